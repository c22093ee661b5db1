"""The credential store (sentaly) and the sign-in (login): splitting the
credential variable, storing variables persistently and in the process, the
Windows command, init_gid, and both modules' loading rules."""
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

import korvane.gid as gid
from korvane.orvik.sdk import sentaly
from korvane.orvik.utils import login
from support.bridge import run_python

UNSET = "当前环境未配置用户名和密码\n"
RESTART = "请重启当前的 terminal \n"
NAMES = ("KORVANE_LICENSE", "S7_CRED_OTHER", "S7_VAR_A", "S7_VAR_B")


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, tmp_path):
    """Test variables start unset and are restored; ~/.bashrc is a temporary one."""
    for name in NAMES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    gid.reset()
    yield
    gid.reset()


@pytest.fixture
def store(monkeypatch):
    """Records update_bash_file calls with what os.environ held at that moment."""
    calls = []

    def update_bash_file(*args, **kwargs):
        calls.append((args, kwargs, {n: os.environ.get(n) for n in NAMES}))

    monkeypatch.setattr(sentaly, "update_bash_file", update_bash_file)
    return calls


@pytest.mark.parametrize("value, expected, out", [
    ("alice:s3cret", ("alice", "s3cret"), ""),
    ("alice:pa:ss:", ("alice", "pa:ss:"), ""),
    (":s3cret", ("", "s3cret"), ""),
    ("alice:", ("alice", ""), ""),
    (":", ("", ""), ""),
    ("", (None, None), UNSET),
    (None, (None, None), UNSET),
    ("alice", (None, None), UNSET),  # no separator: not configured, not ("alic", "alice")
])
def test_credential_split(monkeypatch, capsys, value, expected, out):
    if value is not None:
        monkeypatch.setenv("KORVANE_LICENSE", value)
    assert sentaly.get_license_info() == expected
    assert capsys.readouterr().out == out


def test_another_variable_is_read_with_the_same_rules(monkeypatch, capsys):
    monkeypatch.setenv("KORVANE_LICENSE", "a:b")
    monkeypatch.setenv("S7_CRED_OTHER", "c:d:e")
    assert sentaly.get_license_info("S7_CRED_OTHER") == ("c", "d:e")
    assert capsys.readouterr().out == ""
    assert sentaly.get_license_info(license_name="S7_VAR_A") == (None, None)
    assert capsys.readouterr().out == UNSET


@pytest.mark.parametrize("variables, names, shown", [
    ("KORVANE_LICENSE", ["KORVANE_LICENSE"], "korvane license"),
    ("S7_VAR_A", ["S7_VAR_A"], "S7_VAR_A"),
    (["S7_VAR_A", "S7_VAR_B"], ["S7_VAR_A", "S7_VAR_B"], "S7_VAR_A, S7_VAR_B"),
    (["KORVANE_LICENSE", "S7_VAR_A"], ["KORVANE_LICENSE", "S7_VAR_A"], "korvane license, S7_VAR_A"),
])
def test_store_persists_once_then_sets_the_process_then_reports(store, capsys, variables, names, shown):
    assert sentaly.set_to_environ(variables, "bob:p w") is None
    (args, kwargs, env_then), = store
    assert args == (names, "bob:p w") and type(args[0]) is list and kwargs == {}
    assert all(v is None for v in env_then.values())  # nothing set before persisting
    assert {n: os.environ.get(n) for n in names} == dict.fromkeys(names, "bob:p w")
    assert capsys.readouterr().out == "当前 %s 已设置为 bob:p w\n%s" % (shown, RESTART)


def test_a_failing_persistent_store_leaves_the_process_alone(monkeypatch, capsys):
    def broken(names, value):
        raise OSError("disk full")

    monkeypatch.setattr(sentaly, "update_bash_file", broken)
    with pytest.raises(OSError, match="disk full"):
        sentaly.set_to_environ(["S7_VAR_A", "S7_VAR_B"], "v")
    assert "S7_VAR_A" not in os.environ and "S7_VAR_B" not in os.environ
    assert capsys.readouterr().out == ""


def test_stored_value_reaches_later_shells_and_child_processes(tmp_path, capsys):
    bashrc = tmp_path / ".bashrc"
    bashrc.write_text("export S7_VAR_A=old\n")
    sentaly.set_to_environ(["S7_VAR_A", "S7_VAR_B"], "it's $HOME")
    assert os.environ["S7_VAR_A"] == os.getenv("S7_VAR_B") == "it's $HOME"
    child = subprocess.run([sys.executable, "-c", "import os; print(os.environ['S7_VAR_A'], os.environ['S7_VAR_B'])"],
                           capture_output=True, text=True, check=True)
    assert child.stdout == "it's $HOME it's $HOME\n"
    shell = subprocess.run(["bash", "-c", "source ~/.bashrc; printf '%s|%s' \"$S7_VAR_A\" \"$S7_VAR_B\""],
                           env={"HOME": str(tmp_path), "PATH": os.environ["PATH"]},
                           capture_output=True, text=True, check=True)
    assert shell.stdout == "it's $HOME|it's $HOME"
    assert capsys.readouterr().out.endswith(RESTART)


@pytest.mark.parametrize("variables, value, error, match", [
    ("S7_VAR_A", 5, TypeError, "'value' must be str, not int"),
    ("S7_VAR_A", b"v", TypeError, "'value' must be str, not bytes"),
    (7, "v", TypeError, "'variables' must be str or a list of str, not int"),
    (["S7_VAR_A", None], "v", TypeError, "'variables' must be str or a list of str, not a list holding NoneType"),
    (("S7_VAR_A", "S7_VAR_B"), "v", TypeError, "'variables' .* not tuple"),
    (["S7_VAR_A", "BAD=NAME"], "v", ValueError, "illegal environment variable name"),
    ("", "v", ValueError, "illegal environment variable name"),
    ("S7_VAR_A", "a\0b", ValueError, "null character"),
])
def test_bad_arguments_fail_before_anything_is_stored(store, capsys, variables, value, error, match):
    with pytest.raises(error, match=match):
        sentaly.set_to_environ(variables, value)
    assert store == [] and "S7_VAR_A" not in os.environ
    assert capsys.readouterr().out == ""


def test_a_collection_while_names_are_compared_sees_no_unfilled_list():
    """A name's __eq__ may collect; a gc callback walking every list then must
    not meet a half-filled one."""
    out = run_python("""
        import gc
        from korvane.orvik.sdk import sentaly

        def walk(phase, info):
            for o in gc.get_objects(0):
                if type(o) is list:
                    for _ in o:
                        pass

        class Name(str):
            __hash__ = str.__hash__

            def __eq__(self, other):
                [[] for _ in range(3000)]
                return str.__eq__(self, other)

        sentaly.update_bash_file = lambda names, value: None
        gc.callbacks.append(walk)
        gc.set_threshold(50)
        sentaly.set_to_environ([Name("S7_VAR_A"), Name("KORVANE_LICENSE")], "v")
    """)
    assert out.stdout.startswith("当前 S7_VAR_A, korvane license 已设置为 v")


@pytest.mark.parametrize("platform, windows", [
    ("win32", True), ("linux", False), ("darwin", False), ("cygwin", False),
])
def test_windows_starts_setx_with_an_argument_vector(monkeypatch, store, capsys, platform, windows):
    runs = []
    monkeypatch.setattr(sentaly, "sys", SimpleNamespace(platform=platform))
    monkeypatch.setattr(sentaly, "subprocess",
                        SimpleNamespace(run=lambda *a, **kw: runs.append((a, kw)) or SimpleNamespace(returncode=1)))
    hostile = 'x" & calc & "'
    sentaly.set_to_environ(["S7_VAR_A", "S7_VAR_B"], hostile)
    if windows:
        # One argument per item, no shell=True: the quotes stay inside the value.
        assert runs == [((["setx", "S7_VAR_A", hostile],), {}), ((["setx", "S7_VAR_B", hostile],), {})]
        assert store == []
    else:
        assert runs == [] and len(store) == 1
    assert os.environ["S7_VAR_A"] == os.environ["S7_VAR_B"] == hostile
    assert capsys.readouterr().out == "当前 S7_VAR_A, S7_VAR_B 已设置为 %s\n%s" % (hostile, RESTART)


class Undecided:
    def __bool__(self):
        raise ZeroDivisionError("neither")


@pytest.mark.parametrize("platform, error", [
    (5, AttributeError),                                            # no startswith
    (SimpleNamespace(startswith=lambda p: Undecided()), ZeroDivisionError),  # no truth value
])
def test_an_unreadable_platform_raises_before_anything_is_stored(monkeypatch, store, platform, error):
    monkeypatch.setattr(sentaly, "sys", SimpleNamespace(platform=platform))
    with pytest.raises(error):
        sentaly.set_to_environ("S7_VAR_A", "v")
    assert store == [] and "S7_VAR_A" not in os.environ


@pytest.mark.parametrize("value, calls, out", [
    ("alice:s3:cret", [("alice", "s3:cret")], ""),
    (None, [], UNSET),
    ("alice:", [], ""),
    (":s3cret", [], ""),
    ("alice", [], UNSET),
])
def test_init_gid(monkeypatch, capsys, value, calls, out):
    if value is not None:
        monkeypatch.setenv("KORVANE_LICENSE", value)
    assert login.init_gid() is None
    assert gid.calls == calls
    assert capsys.readouterr().out == out


def test_init_gid_remembers_nothing_between_calls(monkeypatch):
    monkeypatch.setenv("KORVANE_LICENSE", "alice:one")
    login.init_gid()
    monkeypatch.setenv("KORVANE_LICENSE", "bob:two")
    login.init_gid()
    assert gid.calls == [("alice", "one"), ("bob", "two")]


def _gen():
    yield "u"
    yield "p"


@pytest.mark.parametrize("result", [("u", "p", "x"), ("u",), ["u", "p", "x"], None, 5, _gen, ["u", "p"]])
def test_init_gid_unpacks_like_python(monkeypatch, result):
    make = result if callable(result) else (lambda: result)
    monkeypatch.setattr(login, "get_license_info", make)
    try:
        user, pw = make()
    except (TypeError, ValueError) as e:
        with pytest.raises(type(e)) as got:
            login.init_gid()
        assert str(got.value) == str(e)
        assert gid.calls == []
    else:
        login.init_gid()
        assert gid.calls == [(user, pw)]


def test_login_binds_gid_then_the_store_function():
    run_python("""
        import sys
        from korvane.orvik.utils import login
        names = [n for n in vars(login) if not n.startswith("__")]
        assert names == ["gid", "get_license_info", "init_gid"], names
        assert login.gid is sys.modules["korvane.gid"]
        assert login.get_license_info is sys.modules["korvane.orvik.sdk.sentaly"].get_license_info
    """)


@pytest.mark.parametrize("path, short", [
    ("korvane.orvik.sdk.sentaly", "sentaly"),
    ("korvane.orvik.utils.login", "login"),
])
def test_module_loads_once_per_process(path, short):
    out = run_python("""
        import sys, importlib, _testcapi
        path = sys.argv[1]
        first = importlib.import_module(path)
        first.marker = 1
        del sys.modules[path]
        again = importlib.import_module(path)
        assert again is first and again.marker == 1
        inner = "\\n".join([
            "try:",
            "    import " + path,
            "except ImportError as e:",
            "    print('ImportError:', e)",
        ])
        _testcapi.run_in_subinterp(inner)
    """, path)
    assert out.stdout.strip() == ("ImportError: Interpreter change detected - this module can "
                                  "only be loaded into one interpreter per process.")


@pytest.mark.parametrize("blocked, path", [
    ("click", "korvane.orvik.sdk.sentaly"),
    ("korvane.orvik.sdk.script_update", "korvane.orvik.sdk.sentaly"),
    ("click", "korvane.orvik.utils.login"),  # the store it needs fails to load
])
def test_a_failed_import_fails_the_load(blocked, path):
    run_python("""
        import sys, importlib
        blocked, path = sys.argv[1:]
        sys.modules[blocked] = None
        try:
            importlib.import_module(path)
        except ImportError as e:
            assert blocked in str(e), e
        else:
            raise AssertionError("import should fail")
        del sys.modules[blocked]
        importlib.import_module(path)
    """, blocked, path)
