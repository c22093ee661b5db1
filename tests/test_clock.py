"""The daily timer chain: what create_time_listener and set_timer register, and
a virtual trading day run through the stand-in SDK."""
import datetime as dt
import types

import numpy
import pytest

from korvane.orvik.core.events import EVENT
from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log
from pymach.clock import VirtualClock
from pymach.context import Context
from pymach.enums import MarketType, MDType, SubscribeDataType, TDType
from pymach.strategy import MachStrategy as SdkStrategy
from support.bridge import drain

D = dt.datetime
MONDAY = dt.date(2026, 3, 2)
SATURDAY = dt.date(2026, 3, 7)
CALENDAR = [numpy.datetime64(MONDAY + dt.timedelta(days=i), "D") for i in range(5)]
S = 10 ** 9


def at(h, m, s=0, us=0, day=MONDAY):
    return D.combine(day, dt.time(h, m, s, us))


@pytest.fixture
def virtual(monkeypatch):
    """Returns make(start): a bridge on a VirtualClock at `start`, with the
    module's clock bindings pointed at it."""
    def make(start, calendar=CALENDAR):
        clock = VirtualClock(start)
        monkeypatch.setattr(maviro, "datetime", clock.datetime_class())
        monkeypatch.setattr(maviro, "np", clock.numpy_proxy())
        bridge = object.__new__(maviro.MachStrategy)
        bridge.context = Context(clock=clock)
        bridge.config = types.SimpleNamespace(base=types.SimpleNamespace(trading_calendar=calendar))
        return bridge, clock
    system_log.clear()
    yield make
    system_log.clear()


def registered(bridge):
    for _, callback in bridge.context.timers:
        assert callback.__self__ is bridge
    return [(callback.__name__, interval) for interval, callback in bridge.context.timers]


BT, OA, AT, ST = ("send_before_trading_event", "send_open_auction_event",
                  "send_after_trading_event", "set_timer")


def until(start, target):
    return round((target - start).total_seconds() * S)


@pytest.mark.parametrize("start, expected", [
    (at(8, 30), [(BT, 30 * 60 * S), (OA, 54 * 60 * S), (AT, 7 * 3600 * S)]),
    (at(9, 0), [(BT, 3 * S), (OA, 24 * 60 * S), (AT, 6 * 3600 * S + 30 * 60 * S)]),
    # Already past 09:24 but before 09:27: the negative interval goes to the SDK as it is.
    (at(9, 25), [(BT, 3 * S), (OA, -60 * S), (AT, 6 * 3600 * S + 5 * 60 * S)]),
    (at(9, 26, 59, 999999), [(BT, 3 * S), (OA, -(179 * S + 999999000)), (AT, until(at(9, 26, 59, 999999), at(15, 30)))]),
    (at(9, 27), [(BT, 3 * S), (AT, 6 * 3600 * S + 3 * 60 * S)]),
    (at(10, 0), [(BT, 3 * S), (AT, 5 * 3600 * S + 30 * 60 * S)]),
    (at(15, 30), [(BT, 3 * S), (AT, 20 * S)]),
    (at(16, 0), [(BT, 3 * S), (AT, 20 * S)]),
    (at(7, 59, 59, 500000), [(BT, 3600 * S + S // 2), (OA, 5040 * S + S // 2), (AT, 27000 * S + S // 2)]),
])
def test_trading_day_registrations_in_order_to_the_nanosecond(virtual, start, expected):
    bridge, _ = virtual(start)
    assert bridge.set_timer() is None
    # The re-arm is for 08:00 of the next calendar day, even half a second before 08:00 today.
    rearm = until(start, D.combine(start.date() + dt.timedelta(days=1), dt.time(8)))
    assert registered(bridge) == expected + [(ST, rearm)]
    assert all(type(interval) is int for interval, _ in bridge.context.timers)
    assert system_log.records == []


def test_non_trading_day_logs_once_and_only_rearms(virtual):
    bridge, _ = virtual(at(8, 30, day=SATURDAY))
    bridge.set_timer()
    assert registered(bridge) == [(ST, 23 * 3600 * S + 30 * 60 * S)]
    assert system_log.records == [("info", "2026-03-07 not trade day... " + str(CALENDAR))]


def test_failing_listener_leaves_no_rearm(virtual):
    bridge, _ = virtual(at(8, 30))
    bridge.config.base = types.SimpleNamespace()  # no trading_calendar
    with pytest.raises(AttributeError, match="trading_calendar"):
        bridge.set_timer()
    assert bridge.context.timers == []


def test_timers_before_a_failing_step_stay_registered(virtual, monkeypatch):
    bridge, _ = virtual(at(8, 30))
    add = bridge.context.add_timer_interval

    def add_then_fail(interval, callback):
        if callback.__name__ == OA:
            raise RuntimeError("sdk refused")
        add(interval, callback)

    monkeypatch.setattr(bridge.context, "add_timer_interval", add_then_fail)
    with pytest.raises(RuntimeError, match="sdk refused"):
        bridge.set_timer()
    assert registered(bridge) == [(BT, 30 * 60 * S)]


def test_set_timer_runs_the_listener_through_the_instance(virtual):
    seen = []

    class Sub(maviro.MachStrategy):
        def create_time_listener(self):
            seen.append("listener")

    bridge, clock = virtual(at(8, 30))
    sub = object.__new__(Sub)
    sub.context, sub.config = bridge.context, bridge.config
    sub.set_timer()
    assert seen == ["listener"] and registered(sub) == [(ST, until(at(8, 30), at(8, 0, day=MONDAY + dt.timedelta(days=1))))]


def test_interval_is_truncated_toward_zero(virtual, monkeypatch):
    # A time difference of -1.5 ns: int() gives -1 where floor would give -2.
    class Delta:
        def total_seconds(self):
            return -1.5e-9

    class Moment:
        def replace(self, **fields):
            assert fields == {"hour": 8, "minute": 0, "second": 0, "microsecond": 0}
            return self

        def __add__(self, other):
            assert other == dt.timedelta(days=1)
            return self

        def __sub__(self, other):
            return Delta()

    class FakeDatetime:
        @staticmethod
        def now():
            return Moment()

    bridge, _ = virtual(at(8, 30))
    monkeypatch.setattr(bridge, "create_time_listener", lambda: None)
    monkeypatch.setattr(maviro, "datetime", FakeDatetime)
    bridge.set_timer()
    assert registered(bridge) == [(ST, -1)]


@pytest.mark.parametrize("name", ["np", "datetime", "time", "timedelta"])
def test_clock_bindings_are_looked_up_at_use(virtual, monkeypatch, name):
    bridge, _ = virtual(at(8, 30))
    monkeypatch.delattr(maviro, name)
    with pytest.raises(NameError, match="'%s'" % name):
        bridge.set_timer()


def test_virtual_week_raises_the_phase_events_and_rearms_daily(monkeypatch):
    """End to end on the stand-in SDK: construction and start-up at 08:15 on a
    Friday, then Friday, the weekend and Monday on the virtual clock."""
    friday = dt.date(2026, 3, 6)
    start = at(8, 15, day=friday)
    clock = VirtualClock(start)
    monkeypatch.setattr(SdkStrategy, "default_clock", clock)
    monkeypatch.setattr(maviro, "datetime", clock.datetime_class())
    monkeypatch.setattr(maviro, "np", clock.numpy_proxy())
    calendar = CALENDAR + [numpy.datetime64("2026-03-09", "D"), numpy.datetime64("2026-03-10", "D")]
    base = types.SimpleNamespace(md_type="MaMD", accounts={"stock": "acct_sim"},
                                 trading_calendar=calendar)
    config = types.SimpleNamespace(base=base)
    system_log.clear()
    bridge = maviro.MachStrategy(config)
    bridge.initialize(config)
    assert bridge.context.calls[:3] == [
        ("add_md_broker", (MDType.MaMD,)), ("add_td_broker", (TDType.Sim,)),
        ("subscribe", (MDType.MaMD, MarketType.SZSE, SubscribeDataType.Bar, [], "1m"))]
    assert registered(bridge) == [(BT, 45 * 60 * S), (OA, 69 * 60 * S), (AT, until(start, at(15, 30, day=friday))),
                                  (ST, 23 * 3600 * S + 45 * 60 * S)]
    assert maviro.mach_params == {"mach_md": MDType.MaMD, "mach_td": TDType.Sim,
                                  "mach_context": bridge.context}

    clock.advance_to(at(8, 0, day=dt.date(2026, 3, 10)))
    events = [(e.event_type, e.calendar_dt) for e in drain() if e.calendar_dt == e.trading_dt]
    phases = [EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION, EVENT.AFTER_TRADING]
    times = [(9, 0), (9, 24), (15, 30)]
    assert events == [(p, at(h, m, day=d)) for d in (friday, dt.date(2026, 3, 9))
                      for p, (h, m) in zip(phases, times)]
    # One re-arm per calendar day, each for 08:00 of the day after it ran.
    rearms = [interval for interval, cb in bridge.context.timers if cb.__name__ == ST]
    assert rearms == [23 * 3600 * S + 45 * 60 * S] + [24 * 3600 * S] * 4
    assert [text for _, text in system_log.records if "not trade day" in text] == [
        "2026-03-07 not trade day... " + str(calendar),
        "2026-03-08 not trade day... " + str(calendar)]
    tuesday = dt.date(2026, 3, 10)
    assert [due for due, _ in clock.pending()] == [at(h, m, day=tuesday) for h, m in times] + [
        at(8, 0, day=dt.date(2026, 3, 11))]
