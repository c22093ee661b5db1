"""Algo session responses and the parent/child order and trade registries."""
import enum
import sys

import pytest

from korvane.orvik.core.events import EVENT
from korvane.orvik.utils import maviro
from pymach import enums
from pymach.enums import AlgoControlType
from pymach.records import Record
from support.bridge import drain


RESPONSES = [
    ("on_algo_login", EVENT.ALGO_LOGIN, ["req_id", "algo_account", "code", "msg"],
     dict(client_seq_id=7, trader_id="T1", error_code=-3, error_msg="denied")),
    ("on_create_algo_parent_order_res", EVENT.PARENT_ORDER_CREATE, ["req_id", "parent_order_id", "code", "msg"],
     dict(client_seq_id=8, sys_quote_id="Q1", error_code=0, error_msg="")),
    ("on_cancel_algo_parent_order_res", EVENT.PARENT_ORDER_CANCEL, ["parent_order_id", "code", "msg"],
     dict(client_seq_id=9, sys_quote_id="Q1", error_code=0, error_msg="ok")),
]
SOURCE = {"req_id": "client_seq_id", "algo_account": "trader_id", "parent_order_id": "sys_quote_id",
          "code": "error_code", "msg": "error_msg"}


@pytest.mark.parametrize("method, event_type, fields, attrs", RESPONSES)
def test_responses_forward_their_fields_unchanged_in_order(bridge, method, event_type, fields, attrs):
    getattr(bridge, method)(Record(**attrs))
    [ev] = drain()
    assert ev.event_type == event_type and list(ev.fields) == fields
    assert all(getattr(ev, f) == attrs[SOURCE[f]] for f in fields)


@pytest.mark.parametrize("method, event_type, fields, attrs", RESPONSES)
def test_a_response_lacking_an_attribute_posts_nothing(bridge, method, event_type, fields, attrs):
    del attrs["error_msg"]
    maviro.event_queue.append("earlier")
    with pytest.raises(AttributeError, match="error_msg"):
        getattr(bridge, method)(Record(**attrs))
    assert drain() == ["earlier"]


@pytest.mark.parametrize("attrs, expected", [
    (dict(control_type=AlgoControlType.Pause), EVENT.PARENT_ORDER_PAUSE),  # no algo_control_type at all
    (dict(control_type=AlgoControlType.Resume, algo_control_type=AlgoControlType.Resume),
     EVENT.PARENT_ORDER_RESUME),
    (dict(control_type=None, algo_control_type=AlgoControlType.Pause), None),
])
def test_control_response_tests_pause_then_resume(bridge, attrs, expected):
    assert bridge.on_control_algo_parent_order_res(
        Record(sys_quote_id="Q", error_code=0, error_msg="", **attrs)) is None
    events = drain()
    assert [e.event_type for e in events] == ([expected] if expected else [])
    if expected:
        assert list(events[0].fields) == ["parent_order_id", "code", "msg"]


def test_control_response_imports_the_enumeration_at_every_call(bridge, monkeypatch):
    Other = enum.Enum("Other", "Pause Resume")
    monkeypatch.setattr(enums, "AlgoControlType", Other)
    bridge.on_control_algo_parent_order_res(
        Record(sys_quote_id="Q", error_code=0, error_msg="", control_type=Other.Pause))
    assert [e.event_type for e in drain()] == [EVENT.PARENT_ORDER_PAUSE]
    monkeypatch.delattr(enums, "AlgoControlType")
    res = Record(control_type=Other.Pause)
    with pytest.raises(ImportError) as err:
        bridge.on_control_algo_parent_order_res(res)
    assert str(err.value) == "cannot import name 'AlgoControlType' from 'pymach.enums' (%s)" % enums.__file__
    assert err.value.name == "pymach.enums" and err.value.path == enums.__file__
    before = sys.getrefcount(enums), sys.getrefcount(res)
    for _ in range(100):
        with pytest.raises(ImportError):
            bridge.on_control_algo_parent_order_res(res)
    assert (sys.getrefcount(enums), sys.getrefcount(res)) == before


UPDATES = [
    ("on_algo_parent_order_update", "algo_parent_orders", "AlgoParentOrder", EVENT.PARENT_ORDER_UPDATE,
     "algo_parent_order"),
    ("on_algo_child_order_update", "algo_child_orders", "AlgoChildOrder", EVENT.CHILD_ORDER_UPDATE,
     "algo_child_order"),
    ("on_algo_child_order_trade", "algo_child_trades", "AlgoChildTrade", EVENT.CHILD_ORDER_TRADE,
     "algo_child_trade"),
]


class Recorder:
    """A from_mach that records what it is given and mutates the existing record."""

    def __init__(self):
        self.calls = []

    def from_mach(self, report, existing):
        self.calls.append(existing)
        record = existing if existing is not None else {"n": 0}
        record["n"] += 1
        return record


@pytest.mark.parametrize("method, registry, cls, event_type, field", UPDATES)
def test_updates_fold_into_the_registry_and_post_deep_copies(bridge, monkeypatch, method, registry, cls,
                                                              event_type, field):
    rec = Recorder()
    monkeypatch.setattr(maviro, cls, rec)
    getattr(bridge, method)(Record(sys_quote_id="Q1"))
    getattr(bridge, method)(Record(sys_quote_id="Q1"))
    reg = getattr(maviro, registry)
    assert rec.calls[0] is None and rec.calls[1] is reg["Q1"]
    assert list(reg) == ["Q1"] and reg["Q1"] == {"n": 2}
    first, second = drain()
    assert first.event_type == event_type and list(first.fields) == [field]
    assert getattr(first, field) == {"n": 1} and getattr(second, field) == {"n": 2}
    assert getattr(second, field) is not reg["Q1"]
    bridge.on_switch_day()
    getattr(bridge, method)(Record(sys_quote_id="Q1"))
    assert rec.calls[2] is None


def test_child_orders_and_trades_do_not_share_records(bridge):
    bridge.on_algo_child_order_update(Record(sys_quote_id="Q", status="new", order_qty=100, trade_qty=0))
    bridge.on_algo_child_order_trade(Record(sys_quote_id="Q", trade_qty=100, trade_price=9.5))
    assert type(maviro.algo_child_orders["Q"]).__name__ == "AlgoChildOrder"
    assert type(maviro.algo_child_trades["Q"]).__name__ == "AlgoChildTrade"


class LoggedRegistry(dict):
    """A registry that is not an exact dict and logs each operation on it."""

    def __init__(self, log):
        super().__init__()
        self.log = log

    def __contains__(self, key):
        self.log.append(("in", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append(("get", key))
        return super().__getitem__(key)

    def __setitem__(self, key, value):
        self.log.append(("set", key))
        super().__setitem__(key, value)


def test_the_key_is_read_afresh_for_the_test_the_lookup_and_the_store(bridge, monkeypatch):
    log = []
    monkeypatch.setattr(maviro, "algo_parent_orders", LoggedRegistry(log))

    class Report:
        reads = 0

        @property
        def sys_quote_id(self):
            Report.reads += 1
            log.append(("read", Report.reads))
            return "Q"

    class Folder:
        @staticmethod
        def from_mach(report, existing):
            log.append(("from_mach", existing))
            return "rec"

    monkeypatch.setattr(maviro, "AlgoParentOrder", Folder)
    bridge.on_algo_parent_order_update(Report())
    bridge.on_algo_parent_order_update(Report())
    assert log == [("read", 1), ("in", "Q"), ("from_mach", None), ("read", 2), ("set", "Q"),
                   ("read", 3), ("in", "Q"), ("read", 4), ("get", "Q"), ("from_mach", "rec"),
                   ("read", 5), ("set", "Q")]
    assert [e.algo_parent_order for e in drain()] == ["rec", "rec"]


def test_the_registry_is_looked_up_at_each_use(bridge, monkeypatch):
    replacement = {}

    class Rebinding:
        @staticmethod
        def from_mach(report, existing):
            monkeypatch.setattr(maviro, "algo_child_trades", replacement)
            return "rec"

    monkeypatch.setattr(maviro, "AlgoChildTrade", Rebinding)
    original = maviro.algo_child_trades
    bridge.on_algo_child_order_trade(Record(sys_quote_id="Q"))
    assert replacement == {"Q": "rec"} and original == {}


def test_a_failing_from_mach_leaves_the_registry_and_queue_alone(bridge, monkeypatch):
    maviro.algo_parent_orders["Q"] = "old"

    class Broken:
        @staticmethod
        def from_mach(report, existing):
            raise ValueError("bad report")

    monkeypatch.setattr(maviro, "AlgoParentOrder", Broken)
    with pytest.raises(ValueError):
        bridge.on_algo_parent_order_update(Record(sys_quote_id="Q"))
    assert maviro.algo_parent_orders == {"Q": "old"} and drain() == []


def test_a_failing_deep_copy_leaves_the_new_record_registered(bridge, monkeypatch):
    class NoCopy:
        @staticmethod
        def deepcopy(obj):
            raise TypeError("cannot copy")

    monkeypatch.setattr(maviro, "copy", NoCopy)
    with pytest.raises(TypeError):
        bridge.on_algo_child_order_update(Record(sys_quote_id="Q", status="new"))
    assert "Q" in maviro.algo_child_orders and drain() == []
