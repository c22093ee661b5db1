"""What the bridge relies on from the host and the SDK, as its build installs
it beside the module (the data `bridge-replay check` reads), held against what
the bridge actually does when the callback table runs, with start-up, the
daily clock and the phase senders: the module globals it looks up, the
enumeration members it reads, the host and SDK calls it makes (with their
positional count and keywords), the gateway record attributes and the host
order attributes. Both ways: nothing done is left out, nothing listed is
stale."""
import collections
import contextlib
import datetime as dt
import enum
import json
import os
import sys
import types

import pytest

import pymach.enums
import pymach.strategy
from korvane.orvik.core.events import EVENT
from korvane.orvik.model.order import Order
from korvane.orvik.utils import maviro
from pymach.clock import VirtualClock
from pymach.context import Context
from pymach.enums import OrderStatusType as G
from pymach.records import Record
from support import callbacks as cb

DATA = os.path.join(os.path.dirname(maviro.__file__), "maviro.assumptions.json")

SCOPES = []
RAN = set()
SEEN = collections.defaultdict(set)  # method -> {(kind, ...)}


def note(*fact):
    SEEN[SCOPES[-1]].add(fact)


@contextlib.contextmanager
def scope(name):
    RAN.add(name)
    SCOPES.append(name)
    try:
        yield
    finally:
        SCOPES.pop()


def _call(method, *args):
    return method(*args)


def from_bridge():
    """Whether the caller's caller is C code called from _call: the bridge, not host code."""
    return sys._getframe(2).f_code is _call.__code__


class Spy:
    """Stands in the bridge's namespace (or as its context) for a host or SDK
    object, and notes each use in the method being run: the global behind it,
    a member read off an enumeration, a call with its arguments. Results the
    data says the bridge reaches into are spied on too."""

    def __init__(self, real, path, kind, wrap):
        vars(self).update(_real=real, _path=path, _kind=kind, _wrap=wrap)

    def _root(self):
        root = self._path.split(".")[0].split("(")[0]
        if self._kind == "global":
            note("global", root)
        return root

    def __getattr__(self, name):
        root = self._root()
        value = getattr(self._real, name)
        if isinstance(self._real, enum.EnumMeta):
            note("member", root, name)
            if self._kind == "import":
                note("import", self._real.__module__, root)
            return value
        return Spy(value, self._path + "." + name, self._kind, self._wrap)

    def __call__(self, *args, **kwargs):
        self._root()
        event = None
        if self._path == "Event" and isinstance(args[0], EVENT) and \
                ("member", "EVENT", args[0].name) in SEEN[SCOPES[-1]]:
            event = "EVENT." + args[0].name
        note("call", self._path, len(args), tuple(kwargs), event)
        result = self._real(*args, **kwargs)
        path = self._path + "()"
        return Spy(result, path, self._kind, self._wrap) if path in self._wrap else result


class NotedRecord(Record):
    def __getattribute__(self, name):
        if name[:1] != "_" and from_bridge():
            note("record", name)
        return object.__getattribute__(self, name)


class NotedOrder(Order):
    def __getattribute__(self, name):
        value = object.__getattribute__(self, name)
        if name[:1] != "_" and from_bridge():
            if callable(value):
                def method(*args, **kwargs):
                    note("call", "order." + name, len(args), tuple(kwargs), None)
                    return value(*args, **kwargs)
                return method
            note("read", name)
        return value

    def __setattr__(self, name, value):
        if name[:1] != "_" and from_bridge():
            note("set", name)
        object.__setattr__(self, name, value)


class Scoped(maviro.MachStrategy):
    """Methods the bridge calls through the instance get a scope of their own."""

    def send_day_event(self, event_type, dt_):
        with scope("send_day_event"):
            return super().send_day_event(event_type, dt_)

    def create_time_listener(self):
        with scope("create_time_listener"):
            return super().create_time_listener()

    def set_timer(self):
        with scope("set_timer"):
            return super().set_timer()


@pytest.fixture(scope="module")
def data():
    with open(DATA, encoding="utf-8") as f:
        return json.load(f)


def expected(data):
    """{method: {fact}} as the data lists them."""
    out = collections.defaultdict(set)

    def each(items, fact):
        for item in items:
            for method in item["used_by"]:
                if method != "import":
                    out[method].add(fact(item))

    each(data["globals"], lambda g: ("global", g["name"]))
    each(data["members"], lambda m: ("member", m["owner"], m["name"]))
    each(data["runtime_imports"], lambda r: ("import", r["module"], r["name"]))
    each(data["calls"], lambda c: ("call", c["call"], c["positional"], tuple(c["keywords"]), c.get("event")))
    for method, record in data["records"].items():
        each(record["attributes"], lambda a: ("record", a["name"]))
    for kind in ("read", "set"):
        each([a for a in data["order_attributes"] if a[kind]], lambda a, kind=kind: (kind, a["name"]))
    return out


def config(calendar, **base):
    return types.SimpleNamespace(base=types.SimpleNamespace(trading_calendar=calendar, **base))


@pytest.fixture(scope="module")
def seen(data):
    """Runs every method of MachStrategy on its paths with the host's and the
    SDK's names spied on, and gives what each did."""
    wrap = {c["call"].rpartition("()")[0] + "()" for c in data["calls"] if "()" in c["call"]}
    patch = pytest.MonkeyPatch()
    clock = VirtualClock(dt.datetime(2024, 3, 15, 8, 30))
    today = [clock.numpy_proxy().datetime64("today", "D")]
    SEEN.clear()
    RAN.clear()
    try:
        for g in data["globals"]:
            if g["name"] != "strategy":  # read once, when the module is imported
                patch.setattr(maviro, g["name"], Spy(getattr(maviro, g["name"]), g["name"], "global", wrap))
        for r in data["runtime_imports"]:
            patch.setattr(sys.modules[r["module"]], r["name"],
                          Spy(getattr(sys.modules[r["module"]], r["name"]), r["name"], "import", wrap))
        patch.setattr(maviro, "datetime", clock.datetime_class())
        patch.setattr(maviro, "np", clock.numpy_proxy())
        sdk_init = pymach.strategy.MachStrategy.__init__

        def noted_init(self):
            note("call", "super().__init__", 0, (), None)
            sdk_init(self)
        patch.setattr(pymach.strategy.MachStrategy, "__init__", noted_init)
        patch.setattr(pymach.strategy.MachStrategy, "default_clock", clock)

        with scope("__init__"):
            strategy = Scoped(config(today))
        strategy.context = Spy(Context(clock=clock), "context", "context", wrap)
        start = dict(order_way="fast", accounts={"stock": "s_sim"}, algo_account="a_ATX")
        for calendar, md in ((today, "MaMD"), ([], "AMD")):
            strategy.config = config(calendar, md_type=md, **start)
            with scope("initialize"):
                strategy.initialize(None)
        for name in ("on_initialize", "on_switch_day", "send_before_trading_event",
                     "send_open_auction_event", "send_after_trading_event"):
            with scope(name):
                getattr(strategy, name)()

        # The paths the callback table leaves out.
        cases = cb.CASES + [cb.Case("order_wait_cancelled", "on_order",
                                    {**cb.ORDER, "order_status": G.WaitCancelled}, book=True),
                            cb.Case("tick_trade_sell", "on_tick_trade", {**cb.TICK_TRADE, "bid_appl_seq_num": 1})]
        for case in cases:
            cb.clean()
            cb.prepare(case)
            if case.book:
                cb.REAL["orders_dict"][cb.CID] = NotedOrder(**vars(cb.host_order()))
            with scope(case.method):
                _call(getattr(strategy, case.method), NotedRecord(**case.record), *case.extra)
        bad = dict(cb.POSITION, market_id="no such market")
        for answer, code in (([NotedRecord(**cb.POSITION), NotedRecord(**bad)], 0), ([], 5)):
            with scope("on_query_position"):
                _call(strategy.on_query_position, answer, 1, code, "")
    finally:
        patch.undo()
        cb.clean()
        cb.reset_logs()
    return set(RAN), dict(SEEN)


def test_the_data_is_what_the_bridge_relies_on(data, seen):
    ran, seen = seen
    listed = expected(data)
    assert ran == set(data["methods"])
    differ = {}
    for method in data["methods"]:
        done, claimed = seen.get(method, set()), listed.get(method, set())
        if done != claimed:
            differ[method] = {"not listed": sorted(done - claimed, key=str),
                              "listed, not done": sorted(claimed - done, key=str)}
    assert differ == {}
