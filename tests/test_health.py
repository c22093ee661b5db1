"""The bridge's health counters: calls and errors per method, posts per event
type, the queue's appended/dropped/high-water figures, order outcomes, the
optional latency histograms, and reset."""
import collections
import time

import pytest

from korvane.orvik.utils import maviro
from support import callbacks as cb
from support.bridge import drain


@pytest.fixture(autouse=True)
def fresh_stats():
    maviro.reset_bridge_stats()
    yield
    maviro.set_bridge_timing(False)
    maviro.reset_bridge_stats()


def nonzero(d):
    return {k: v for k, v in d.items() if v}


@pytest.mark.parametrize("case", cb.CASES, ids=repr)
def test_each_callback_accounts_exactly_for_its_calls_and_posts(case):
    b, n = cb.bridge(), 3
    for _ in range(n):
        cb.prepare(case)
        getattr(b, case.method)(*case.args())
    posted = collections.Counter(e.event_type.name for e in drain())
    stats = maviro.bridge_stats()
    assert {k: v for k, v in stats["callbacks"].items() if v["calls"]} == {case.method: {"calls": n, "errors": 0}}
    assert nonzero(stats["events"]) == posted
    total = sum(posted.values())
    assert total >= case.posts  # the first call posts in full; repeats may post less
    unknown = n if case.id == "order_unknown_id" else 0
    assert stats["orders"] == {"unknown_order": unknown, "duplicate_match": 0, "set_aside": 0}
    assert stats["queue"] == {"appended": total, "dropped": 0, "depth": 0, "high_water": total,
                              "capacity": cb.QUEUE.maxlen}


def test_a_raising_host_factory_counts_one_error_and_no_event(monkeypatch):
    monkeypatch.setattr(maviro, "Event", lambda *a, **k: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        cb.bridge().on_tick_trade(*cb.BY_ID["tick_trade"].args())
    stats = maviro.bridge_stats()
    assert stats["callbacks"]["on_tick_trade"] == {"calls": 1, "errors": 1}
    assert not nonzero(stats["events"]) and stats["queue"]["appended"] == 0


def test_day_events_are_keyed_by_the_member_given_and_anything_else_is_other():
    b = cb.bridge()
    b.send_day_event(maviro.EVENT.OPEN_AUCTION, 1)
    b.send_before_trading_event()
    b.send_day_event("not a member", 1)
    drain()
    assert nonzero(maviro.bridge_stats()["events"]) == {"OPEN_AUCTION": 1, "BEFORE_TRADING": 1, "other": 1}


@pytest.mark.parametrize("start, op, values, dropped", [
    (0, "append", range(5), 2),                # append over a full queue drops the oldest
    (2, "appendleft", range(2), 1),            # ... appendleft the newest
    (1, "extend", range(2), 0),
    (2, "extend", range(6), 5),                # more than the capacity: the old and the first new
    (0, "extend", range(4), 4),                # an empty queue overflowed stores nothing
    (3, "extendleft", range(1), 1),
])
def test_queue_counts_what_it_loses(monkeypatch, start, op, values, dropped):
    q = maviro.EventQueue(3, object)
    q.extend(list(range(start)))
    monkeypatch.setattr(maviro, "event_queue", q)
    maviro.reset_bridge_stats()
    high = len(q)
    if op in ("append", "appendleft"):
        for v in values:
            getattr(q, op)(v)
            high = max(high, len(q))
    else:
        getattr(q, op)(list(values))
        high = max(high, len(q))
    assert q.dropped == dropped
    assert maviro.bridge_stats()["queue"] == {"appended": len(values), "dropped": dropped, "depth": len(q),
                                              "high_water": high, "capacity": 3}


def test_bridge_posts_over_a_full_queue_count_as_drops(monkeypatch):
    q = maviro.EventQueue(4, object)
    monkeypatch.setattr(maviro, "event_queue", q)
    b, case = cb.bridge(), cb.BY_ID["tick_order"]
    for _ in range(4 + 7):
        b.on_tick_order(*case.args())
    assert q.dropped == 7
    assert maviro.bridge_stats()["queue"] == {"appended": 11, "dropped": 7, "depth": 4, "high_water": 4,
                                              "capacity": 4}
    assert maviro.bridge_stats()["events"]["L2_ORDER"] == 11


def test_a_host_queue_is_not_read_but_posts_are_counted(monkeypatch):
    monkeypatch.setattr(maviro, "event_queue", [])
    cb.bridge().on_tick_order(*cb.BY_ID["tick_order"].args())
    stats = maviro.bridge_stats()
    assert set(stats["queue"].values()) == {None} and stats["events"]["L2_ORDER"] == 1


def test_reset_zeroes_everything_and_keeps_the_queue_depth_as_high_water():
    b = cb.bridge()
    maviro.set_bridge_timing(True)
    for c in cb.CASES:
        cb.prepare(c)
        getattr(b, c.method)(*c.args())
    cb.QUEUE.popleft()
    depth = len(cb.QUEUE)
    maviro.reset_bridge_stats()
    stats = maviro.bridge_stats()
    assert all(v == {"calls": 0, "errors": 0} for v in stats["callbacks"].values())
    assert not nonzero(stats["events"]) and not nonzero(stats["orders"])
    assert stats["queue"] == {"appended": 0, "dropped": 0, "depth": depth, "high_water": depth,
                              "capacity": cb.QUEUE.maxlen}
    assert all(not nonzero(v) for v in stats["latency_ns"].values())


def test_latency_is_reported_only_while_timing_is_on_and_is_plausible(monkeypatch):
    assert "latency_ns" not in maviro.bridge_stats()
    assert maviro.set_bridge_timing(True) is False
    assert maviro.set_bridge_timing(1) is True
    real_event = maviro.Event
    slow = [0.002] * 40 + [0.02]

    def slow_event(*args, **kwargs):
        time.sleep(slow.pop())
        return real_event(*args, **kwargs)

    monkeypatch.setattr(maviro, "Event", slow_event)
    b, case = cb.bridge(), cb.BY_ID["tick_trade"]
    for _ in range(41):
        b.on_tick_trade(*case.args())
    lat = maviro.bridge_stats()["latency_ns"]
    t = lat["on_tick_trade"]
    assert t["count"] == 41 and lat["on_tick_order"]["count"] == 0
    assert 2_000_000 <= t["p50"] <= t["p90"] <= t["p99"] <= t["p999"] <= t["max"] < 10**9
    assert t["max"] >= 20_000_000 and t["p50"] < 20_000_000
    monkeypatch.setattr(maviro, "Event", real_event)
    assert maviro.set_bridge_timing(False) is True
    b.on_tick_trade(*case.args())
    assert "latency_ns" not in maviro.bridge_stats()
    maviro.set_bridge_timing(True)
    assert maviro.bridge_stats()["latency_ns"]["on_tick_trade"]["count"] == 41  # kept while off


def test_stats_are_a_fresh_plain_dict_each_time():
    first = maviro.bridge_stats()
    first["queue"]["dropped"] = 99
    assert maviro.bridge_stats()["queue"]["dropped"] == 0
    assert list(first) == ["callbacks", "events", "queue", "orders"]
