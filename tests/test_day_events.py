"""Phase events and the day switch, and module bindings seen at use."""
import datetime as dt

import pytest

from korvane.orvik.core.events import EVENT
from korvane.orvik.utils import maviro
from support.bridge import CONTAINERS, drain

NOW = dt.datetime(2026, 3, 2, 9, 0, 1)


class FixedClock(dt.datetime):
    @classmethod
    def now(cls, tz=None):
        return NOW


@pytest.fixture
def bridge(monkeypatch):
    monkeypatch.setattr(maviro, "datetime", FixedClock)
    return object.__new__(maviro.MachStrategy)


def test_send_day_event_posts_one_event_with_equal_times(bridge):
    assert bridge.send_day_event("T", NOW) is None
    [ev] = drain()
    assert ev.event_type == "T" and list(ev.fields) == ["calendar_dt", "trading_dt"]
    assert ev.calendar_dt is NOW and ev.trading_dt is NOW


@pytest.mark.parametrize("sender, phase", [
    ("send_before_trading_event", EVENT.BEFORE_TRADING),
    ("send_open_auction_event", EVENT.OPEN_AUCTION),
    ("send_after_trading_event", EVENT.AFTER_TRADING),
])
def test_each_sender_posts_its_phase_at_the_current_time_every_time(bridge, sender, phase):
    getattr(bridge, sender)()
    getattr(bridge, sender)()
    events = drain()
    assert [e.event_type for e in events] == [phase, phase]
    assert all(e.calendar_dt == NOW == e.trading_dt for e in events)


def test_senders_go_through_the_instance_send_day_event(bridge):
    seen = []

    class Sub(maviro.MachStrategy):
        def send_day_event(self, event_type, when):
            seen.append((event_type, when))

    sub = object.__new__(Sub)
    sub.send_before_trading_event()
    sub.send_open_auction_event()
    sub.send_after_trading_event()
    assert seen == [(EVENT.BEFORE_TRADING, NOW), (EVENT.OPEN_AUCTION, NOW), (EVENT.AFTER_TRADING, NOW)]
    assert drain() == []


def test_after_trading_posts_first_then_empties_only_the_order_book(bridge, monkeypatch):
    book = maviro.orders_dict
    book["o1"] = "order"
    others = [n for n in CONTAINERS if n not in ("orders_dict", "mach_params")]
    for name in others:
        getattr(maviro, name)["k"] = "v"
    seen_book = []

    class Queue:
        def append(self, event):
            seen_book.append(dict(book))

    monkeypatch.setattr(maviro, "event_queue", Queue())
    bridge.send_after_trading_event()
    assert seen_book == [{"o1": "order"}]
    assert maviro.orders_dict is book and book == {}
    assert all(getattr(maviro, n) == {"k": "v"} for n in others)


def test_a_failing_post_leaves_the_order_book_as_it_was(bridge, monkeypatch):
    maviro.orders_dict["o1"] = "order"

    class Full:
        def append(self, event):
            raise IndexError("full")

    monkeypatch.setattr(maviro, "event_queue", Full())
    with pytest.raises(IndexError):
        bridge.send_after_trading_event()
    assert maviro.orders_dict == {"o1": "order"}


def test_day_switch_empties_the_six_containers_in_place_and_not_the_queue(bridge):
    per_day = [n for n in CONTAINERS if n != "mach_params"]
    before = {n: getattr(maviro, n) for n in per_day}
    for n in per_day:
        before[n]["k"] = "v"
    maviro.mach_params["mach_md"] = "md"
    maviro.event_queue.append("waiting")
    assert bridge.on_switch_day() is None
    assert all(getattr(maviro, n) is before[n] and before[n] == {} for n in per_day)
    assert maviro.mach_params == {"mach_md": "md"}
    assert drain() == ["waiting"]


def test_day_switch_clears_in_order_and_stops_at_a_failure(bridge, monkeypatch):
    cleared = []

    class Broken(dict):
        def clear(self):
            raise RuntimeError("boom")

    class Recording(dict):
        def __init__(self, name):
            super().__init__(k=1)
            self.name = name

        def clear(self):
            cleared.append(self.name)
            super().clear()

    for n in ("orders_dict", "history_bar"):
        monkeypatch.setattr(maviro, n, Recording(n))
    monkeypatch.setattr(maviro, "history_tick", Broken(k=1))
    monkeypatch.setattr(maviro, "algo_parent_orders", Recording("algo_parent_orders"))
    with pytest.raises(RuntimeError):
        bridge.on_switch_day()
    assert cleared == ["orders_dict", "history_bar"]
    assert maviro.algo_parent_orders == {"k": 1}


def test_rebound_event_and_queue_are_used_by_the_next_call(bridge, monkeypatch):
    made, posted = [], []

    def fake_event(event_type, **fields):
        made.append((event_type, fields))
        return "ev"

    class Queue:
        def append(self, event):
            posted.append(event)

    monkeypatch.setattr(maviro, "Event", fake_event)
    monkeypatch.setattr(maviro, "event_queue", Queue())
    bridge.send_day_event("T", NOW)
    assert made == [("T", {"calendar_dt": NOW, "trading_dt": NOW})] and posted == ["ev"]


def test_a_missing_binding_raises_name_error_when_reached(bridge, monkeypatch):
    monkeypatch.delattr(maviro, "Event")
    with pytest.raises(NameError, match="name 'Event' is not defined"):
        bridge.send_day_event("T", NOW)
