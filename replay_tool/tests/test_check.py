"""bridge-replay check: the stand-ins as installed pass; a copy of them with
one thing changed fails on exactly that thing, with exit status 1. The copies
are imported in this process, in place of the installed host and SDK, for as
long as the check runs (it never imports the bridge)."""
import collections
import contextlib
import dataclasses
import importlib
import importlib.util
import json
import os
import re
import shutil
import sys
import typing

import msgspec
import pytest
from click.testing import CliRunner

from bridge_replay.check import Checker
from bridge_replay.cli import main
from replay_support import run_tool

STAND_IN = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                        "stand_in")
PACKAGES = ("korvane", "pymach")


@pytest.fixture(scope="module")
def pristine(tmp_path_factory):
    """The stand-in host and SDK as sources, with the installed bridge's files in
    them, as a host tree would hold them."""
    if not os.path.isdir(STAND_IN):
        pytest.skip("needs the source tree's stand-ins")
    root = tmp_path_factory.mktemp("platform")
    for package in PACKAGES:
        shutil.copytree(os.path.join(STAND_IN, package), str(root / package),
                        ignore=shutil.ignore_patterns("__pycache__"))
    for module in ("korvane.orvik.utils.maviro", "korvane.orvik.sdk.sentaly"):
        folder = os.path.dirname(importlib.util.find_spec(module).origin)
        for name in os.listdir(folder):
            if name.endswith((".so", ".json")):
                shutil.copy(os.path.join(folder, name), str(root.joinpath(*module.split(".")[:-1])))
    return root


@contextlib.contextmanager
def platform(root):
    """`root`'s host and SDK imported in place of the installed ones."""
    saved = {k: m for k, m in sys.modules.items() if k.partition(".")[0] in PACKAGES}
    for k in saved:
        del sys.modules[k]
    sys.path.insert(0, str(root))
    importlib.invalidate_caches()
    try:
        yield
    finally:
        sys.path.remove(str(root))
        for k in [k for k in sys.modules if k.partition(".")[0] in PACKAGES]:
            del sys.modules[k]
        sys.modules.update(saved)
        importlib.invalidate_caches()


def check(root, *args):
    with platform(root):
        result = CliRunner().invoke(main, ["check", "--json", *args])
    return result.exit_code, json.loads(result.output)


TRADE = "korvane/orvik/model/trade.py"
BROKEN = [
    # (case, file, [(text, replacement)], the one item failing, its status, what the bridge would do)
    ("renamed enumeration member", "pymach/enums.py", [("    Filled = 3", "    FullyFilled = 3")],
     "OrderStatusType.Filled", "missing", "on_order raises AttributeError when an order report arrives"),
    ("missing record attribute", "pymach/records.py", [("    iopv: float\n", "")],
     "on_snapshot: snapshot.iopv", "missing", "on_snapshot raises AttributeError when a snapshot arrives"),
    ("host factory keyword renamed", TRADE,
     [("__from_create__(cls, order_id, price, amount,", "__from_create__(cls, order_id, price, quantity,"),
      ("order_id, price, amount, side,\n                   position_effect",
       "order_id, price, quantity, side,\n                   position_effect")],
     "Trade.__from_create__(order_id=, price=, amount=, side=, position_effect=, market_code=, frozen_price=)",
     "incompatible", "on_order raises TypeError when an order report arrives"),
    ("missing host module name", "korvane/orvik/utils/trade_func.py",
     [("def get_trade_type_from_mach(", "def get_trade_type(")],
     "from korvane.orvik.utils.trade_func import get_trade_type_from_mach", "missing",
     "import of korvane.orvik.utils.maviro fails (ImportError)"),
    ("missing host method", "korvane/orvik/portfolio/position.py", [("def set_state(", "def apply_state(")],
     "Position().set_state(1 positional)", "missing", "on_query_position skips every record"),
    ("star import leaves a name out", "pymach/enums.py", [('"TDType",\n           "OrderStatusType", ', '"TDType", ')],
     "OrderStatusType (from pymach.enums import *)", "missing", "on_order raises NameError"),
]


@pytest.mark.parametrize("case, path, edits, what, status, consequence", BROKEN, ids=[b[0] for b in BROKEN])
def test_a_copy_with_one_mismatch_fails_on_it(pristine, tmp_path, case, path, edits, what, status, consequence):
    root = tmp_path / "platform"
    shutil.copytree(str(pristine), str(root))
    source = root / path
    text = source.read_text(encoding="utf-8")
    for old, new in edits:
        assert old in text
        text = text.replace(old, new)
    source.write_text(text, encoding="utf-8")
    code, report = check(root)
    failing = [i for i in report["items"] if i["status"] in ("missing", "incompatible")]
    assert [(i["what"], i["status"]) for i in failing] == [(what, status)]
    assert failing[0]["consequence"].startswith(consequence)
    assert code == report["exit_status"] == 1


def test_the_copy_as_is_passes_and_without_its_data_cannot_be_checked(pristine, tmp_path):
    code, report = check(pristine)
    assert (code, report["error"]) == (0, None)
    counts = collections.Counter(i["status"] for i in report["items"])
    assert set(counts) == {"ok"} and counts["ok"] > 200
    assert report["paths"]["host"] == str(pristine / "korvane")
    root = tmp_path / "platform"
    shutil.copytree(str(pristine), str(root))
    os.remove(str(root / "korvane/orvik/utils/maviro.assumptions.json"))
    code, report = check(root)
    assert code == 1 and report["items"] == []
    assert report["error"].startswith("no maviro.assumptions.json beside the bridge")


def test_the_installed_stand_ins_pass_with_a_smoke_run():
    done = run_tool("check", "--smoke")
    out = done.stdout.decode()
    assert done.returncode == 0, out + done.stderr.decode()
    assert "\nsmoke run: " in out and out.rstrip().endswith("OK: nothing the bridge relies on is missing")


def test_a_failing_smoke_run_fails_the_check(pristine, tmp_path):
    root = tmp_path / "platform"
    shutil.copytree(str(pristine), str(root))
    enums = root / "pymach/enums.py"
    enums.write_text(enums.read_text(encoding="utf-8").replace("    Filled = 3", "    FullyFilled = 3"),
                     encoding="utf-8")
    done = run_tool("check", "--smoke", env={"PYTHONPATH": str(root)})
    out = done.stdout.decode()
    assert done.returncode == 1
    assert re.search(r"\n  on_order: AttributeError: .*Filled", out), out
    assert out.rstrip().endswith("FAILED: 1 missing, the smoke run failed")


def test_a_host_adapter_that_cannot_be_loaded_is_a_usage_error():
    result = CliRunner().invoke(main, ["check", "--host", "no_such_module:Host"])
    assert result.exit_code == 2 and "cannot import no_such_module" in result.output


# Record types as an SDK may declare them; `close` is never declared.
class Slots:
    __slots__ = ("open",)


class Annotated:
    open: float


@dataclasses.dataclass
class Dataclass:
    open: float


class Struct(msgspec.Struct):
    open: float


class Named(typing.NamedTuple):
    open: float


class Getters:
    """As a native type with getters: no instance dict."""
    __slots__ = ()
    open = property(lambda self: 1.0)


class Undeclared:
    def __init__(self):
        self.open = 1.0


class Dynamic(Annotated):
    def __getattr__(self, name):
        return 0


class Adapter:
    def __init__(self, records):
        self.records = records

    def sample_records(self):
        return self.records


@pytest.mark.parametrize("record, statuses", [
    (Slots, "ok missing"), (Annotated, "ok missing"), (Dataclass, "ok missing"), (Struct, "ok missing"),
    (Named, "ok missing"), (Getters, "ok missing"),
    # Nothing declared, or anything answered: cannot be told without a record.
    (Undeclared, "unknown unknown"), (Dynamic, "ok unknown"), (None, "unknown unknown"),
    # A sample record answers for itself.
    (Undeclared(), "ok missing"),
])
def test_record_attributes_are_read_off_what_the_sdk_declares(record, statuses):
    attrs = [{"name": n, "used_by": {"on_bar": "raises"}} for n in ("open", "close")]
    data = {"bridge": "bridge", "records": {"on_bar": {"argument": "bar", "each": False, "attributes": attrs}}}
    checker = Checker(data, Adapter({} if record is None else {"on_bar": record}))
    checker.check_records()
    assert " ".join(i["status"] for i in checker.items) == statuses
