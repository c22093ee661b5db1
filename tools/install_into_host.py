#!/usr/bin/env python3
"""Copies the bridge's installed extension files, type stubs and data into the source
tree of a host framework installed in development (editable) mode.

    install_into_host.py HOST_TREE

HOST_TREE is the folder that holds the host's korvane/ package. The files are
taken from the bridge's distribution in the running interpreter's environment
(after `make install`) and land at the same package paths in the tree, so the
host's own packages stay the ones imported. Exit status: 0 done, 1 the bridge is
not installed here, 2 HOST_TREE is not a host source tree.
"""
import os
import shutil
import sys
import tempfile

try:
    from importlib import metadata
except ImportError:  # pragma: no cover - 3.8 has it
    import importlib_metadata as metadata

DIST = "korvane-orvik-bridge"


def main(argv):
    if len(argv) != 2:
        print("usage: install_into_host.py HOST_TREE", file=sys.stderr)
        return 2
    tree = argv[1]
    if not os.path.isfile(os.path.join(tree, "korvane", "orvik", "__init__.py")):
        print("install_into_host.py: %s is not a host source tree (no korvane/orvik/__init__.py in it)" % tree,
              file=sys.stderr)
        return 2
    try:
        files = metadata.files(DIST) or []
    except metadata.PackageNotFoundError:
        print("install_into_host.py: the bridge (%s) is not installed in this environment; run make install"
              % DIST, file=sys.stderr)
        return 1
    ours = [f for f in files if f.parts[0] == "korvane" and f.suffix in (".so", ".pyi", ".json")]
    if not ours:
        print("install_into_host.py: the installed bridge lists no extension files", file=sys.stderr)
        return 1
    for f in ours:
        dst = os.path.join(tree, *f.parts)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        # Through a temporary file and a rename: a process that has the old
        # extension loaded keeps its mapping, and no half-written file is seen.
        fd, tmp = tempfile.mkstemp(dir=os.path.dirname(dst), prefix=".bridge-")
        os.close(fd)
        try:
            shutil.copyfile(str(f.locate()), tmp)
            shutil.copymode(str(f.locate()), tmp)
            os.replace(tmp, dst)
        except BaseException:
            os.unlink(tmp)
            raise
        print(dst)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
