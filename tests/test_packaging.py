"""Shipping: the modules without a host, and copied into a host's source tree."""
import os
import shutil
import subprocess
import sys

import pytest

from support.bridge import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = ["korvane.orvik.utils.maviro", "korvane.orvik.sdk.sentaly", "korvane.orvik.utils.login"]


@pytest.mark.parametrize("module", MODULES)
def test_import_without_the_host_says_what_is_missing(module):
    """Only the wheel's own folders on the path: korvane is a namespace package
    holding nothing but the extension files."""
    out = run_python("""
        import glob, importlib, importlib.machinery, os, shutil, sys, tempfile
        import korvane
        site = os.path.dirname(os.path.dirname(korvane.__file__))
        root = tempfile.mkdtemp()
        for so in glob.glob(site + "/korvane/orvik/*/*.so"):
            dst = os.path.join(root, os.path.relpath(so, site))
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy(so, dst)
        for name in [m for m in sys.modules if m.startswith("korvane")]:
            del sys.modules[name]

        class NoHost:
            def find_spec(self, name, path=None, target=None):
                if name == "korvane":
                    spec = importlib.machinery.ModuleSpec(name, None, is_package=True)
                    spec.submodule_search_locations = [os.path.join(root, "korvane")]
                    return spec

        sys.meta_path.insert(0, NoHost())
        try:
            importlib.import_module(sys.argv[1])
        except ImportError as e:
            assert isinstance(e.__cause__, ImportError), repr(e.__cause__)
            print(e)
        shutil.rmtree(root)
    """, module)
    message = out.stdout.strip()
    assert message.startswith(module + " needs the host framework (korvane"), message
    assert "not installed in this environment" in message and "Install the host framework first" in message


def test_install_into_host_copies_the_modules_stubs_and_data_into_the_tree(tmp_path):
    tree = tmp_path / "host"
    shutil.copytree(os.path.join(ROOT, "stand_in", "korvane"), tree / "korvane")
    tool = [sys.executable, os.path.join(ROOT, "tools", "install_into_host.py")]
    done = subprocess.run(tool + [str(tree)], capture_output=True, text=True, check=True)
    copied = sorted(os.path.relpath(p, tree) for p in done.stdout.split())
    assert [p.split(".")[0] for p in copied] == ["korvane/orvik/sdk/sentaly"] * 2 + ["korvane/orvik/utils/login"] * 2 + \
        ["korvane/orvik/utils/maviro"] * 3
    # The tree, first on the path, is the package imported, with the copied modules in it.
    env = dict(os.environ, PYTHONPATH=str(tree))
    out = subprocess.run([sys.executable, "-c", "import korvane.orvik.utils.maviro as m, korvane.orvik.utils.login as l;"
                          "print(m.__file__); print(l.__file__)"], capture_output=True, text=True, env=env, check=True)
    assert all(line.startswith(str(tree)) for line in out.stdout.split()), out.stdout
    refused = subprocess.run(tool + [str(tmp_path)], capture_output=True, text=True)
    assert refused.returncode == 2 and "not a host source tree" in refused.stderr
