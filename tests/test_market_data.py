"""Snapshots, level-2 records and bars, and the tick and bar history queries."""
import gc
import random

import pytest

from korvane.orvik.const import SIDE
from korvane.orvik.core.events import EVENT
from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro
from pymach.enums import MarketType
from pymach.records import Record
from support.bridge import drain

STAMP = 20260302093000123

TICK_KEYS = ["market_code", "datetime", "open_price", "close_price", "high_price", "low_price",
             "total_turnover", "volume", "prev_close", "ask_vols", "asks", "bid_vols", "bids",
             "high_limited", "last_price", "low_limited", "open_interest", "prev_settlement", "iopv",
             "trading_phase_code"]
SNAPSHOT_ATTRS = ["open_price", "close_price", "high_price", "low_price", "total_value_trade",
                  "total_volume_trade", "pre_close_price", "ask_volume", "ask_price", "bid_volume",
                  "bid_price", "high_limited", "last_price", "low_limited", "open_interest",
                  "prev_settlement", "iopv", "trading_phase_code"]


def snapshot(sid="000001", stamp=STAMP, **over):
    attrs = dict(orig_time=stamp, security_id=sid, market_type=MarketType.SZSE)
    attrs.update({a: i for i, a in enumerate(SNAPSHOT_ATTRS)})
    attrs.update(ask_price=[10.1, 10.2], bid_price=[10.0])
    attrs.update(over)
    return Record(**attrs)


def bar(sid="000001", end=20260302093100000, **over):
    attrs = dict(security_id=sid, market_type=MarketType.SZSE, end_time=end, open=1, close=2, high=3,
                 low=0.5, amount=1000, volume=10, prev_close=1.5)
    attrs.update(over)
    return Record(**attrs)


@pytest.fixture
def universe():
    env = Environment.get_instance()
    saved = list(env.universe)
    yield env.universe
    env.universe[:] = saved


def test_snapshot_builds_the_tick_record_caches_it_and_posts_it(bridge):
    snap = snapshot()
    bridge.on_snapshot(snap)
    [ev] = drain()
    tick = maviro.get_current_tick("000001.XSHE")
    assert list(tick) == TICK_KEYS
    assert tick["market_code"] == "000001.XSHE"
    assert [tick[k] for k in TICK_KEYS[2:]] == [getattr(snap, a) for a in SNAPSHOT_ATTRS]
    assert tick["asks"] is snap.ask_price
    assert ev.event_type == EVENT.TICK and list(ev.fields) == ["calendar_dt", "trading_dt", "tick"]
    assert ev.calendar_dt is ev.trading_dt is tick["datetime"]
    assert ev.tick._tick_dict is tick and ev.tick.instrument.market_code == "000001.XSHE"


@pytest.mark.parametrize("over", [{}, dict(ask_price=1, bid_price=2), dict(ask_price=(), bid_price=2)],
                         ids=["lists", "numbers", "empty tuple"])
def test_tick_record_is_tracked_by_the_collector_as_a_dict_built_in_python(bridge, over):
    bridge.on_snapshot(snapshot(**over))
    drain()
    tick = maviro.get_current_tick("000001.XSHE")
    assert gc.is_tracked(tick) == gc.is_tracked({k: v for k, v in tick.items()})


@pytest.mark.parametrize("slots", [True, False], ids=["slots", "dict"])
def test_record_reads_follow_every_change_of_the_record_class(bridge, slots):
    """Reads are remembered per class version: replacing, removing or moving
    a class attribute, or emptying the instance's own, is seen at once, as
    Python's own read sees it."""
    fields = ["orig_time", "security_id", "market_type"] + SNAPSHOT_ATTRS
    Rec = type("Rec", (), {"__slots__": fields} if slots else {})
    Other = type("Other", (), {"__slots__": fields})
    rec = Rec()
    for name, value in vars(snapshot()).items():
        setattr(rec, name, value)

    def outcome(read):
        try:
            return read()
        except (AttributeError, TypeError) as e:
            return type(e)

    def check():
        def via_bridge():
            bridge.on_snapshot(rec)
            drain()
            return maviro.get_current_tick("000001.XSHE")["iopv"]
        assert outcome(via_bridge) == outcome(via_bridge) == outcome(lambda: rec.iopv)

    check()
    own = Rec.__dict__.get("iopv")
    for change in (lambda: setattr(Rec, "iopv", property(lambda self: "property")),
                   lambda: delattr(Rec, "iopv"),
                   lambda: setattr(Rec, "iopv", Other.iopv),  # a descriptor of another class
                   lambda: setattr(Rec, "iopv", own) if own else delattr(Rec, "iopv"),
                   lambda: delattr(rec, "iopv"),
                   lambda: setattr(Rec, "iopv", 5)):
        change()
        check()


def _delete_iopv(rec):
    del rec.iopv


def _readd_iopv(rec):
    del rec.iopv
    rec.iopv = "back"


def _new_class(rec):
    rec.__class__ = type("Other", (), {"iopv": property(lambda self: "property")})


def _more_attributes(rec):
    for i in range(40):
        setattr(rec, "extra%d" % i, i)
    rec.iopv = "after"


@pytest.mark.parametrize("change", [
    lambda rec: setattr(rec, "iopv", "rebound"),
    _delete_iopv,
    _readd_iopv,
    lambda rec: rec.__dict__.__setitem__("iopv", "through the dict"),
    lambda rec: setattr(rec, "__dict__", {**vars(rec), "iopv": "new dict"}),
    lambda rec: setattr(rec, "__dict__", {k: v for k, v in vars(rec).items() if k != "iopv"}),
    _new_class,
    _more_attributes,
], ids=["rebind", "delete", "delete and add", "dict item", "dict replaced", "dict without it", "class changed",
        "attributes past the shared keys"])
def test_record_reads_follow_every_change_of_the_instance(bridge, change):
    """The instance's own values read directly follow whatever happens to
    the instance afterwards as Python's own read does, and so does a second
    instance whose attributes were set in the opposite order."""
    Rec = type("Rec", (), {})
    recs = [Rec(), Rec()]
    for rec, items in zip(recs, (list(vars(snapshot()).items()), list(vars(snapshot()).items())[::-1])):
        for name, value in items:
            setattr(rec, name, value)

    def outcome(rec):
        try:
            bridge.on_snapshot(rec)
        except AttributeError:
            return AttributeError
        drain()
        tick = maviro.get_current_tick("000001.XSHE")
        return [tick[k] for k in TICK_KEYS[2:]]

    def expected(rec):
        try:
            return [getattr(rec, a) for a in SNAPSHOT_ATTRS]
        except AttributeError:
            return AttributeError

    for rec in recs * 2:
        assert outcome(rec) == expected(rec)
    change(recs[0])
    for rec in recs * 2:
        assert outcome(rec) == expected(rec)


def test_converter_gets_the_stamp_divided_by_1000_bit_for_bit(bridge, monkeypatch):
    rng = random.Random(1000)
    stamps = [STAMP, -STAMP, 0, 1, -1, 999, 1001, 2 ** 53 - 1, 2 ** 53 + 1, 2 ** 54 + 500, 2 ** 63 - 1, -2 ** 63,
              2 ** 63, 10 ** 30, True, 1.5, 20261231235959999, 20260302093000500]
    stamps += [rng.randrange(2 ** rng.randrange(1, 64)) * rng.choice((1, -1)) for _ in range(20000)]
    # Multiples of 500 land exactly half-way between doubles at some sizes.
    stamps += [rng.randrange(2 ** 55, 2 ** 63) // 500 * 500 for _ in range(5000)]
    seen = []
    monkeypatch.setattr(maviro, "convert_int_to_datetime", lambda x: seen.append(x) or "dt")
    for stamp in stamps:
        bridge.on_snapshot(snapshot(stamp=stamp))
    drain()
    assert [(type(q), q.hex()) for q in seen] == [(float, (s / 1000).hex()) for s in stamps]


def test_61_snapshots_roll_the_history_over_at_60(bridge):
    for i in range(61):
        bridge.on_snapshot(snapshot(last_price=i))
    ticks = maviro.history_ticks("000001.XSHE", 100)
    assert len(ticks) == 60 and [t["last_price"] for t in ticks] == list(range(1, 61))
    assert maviro.get_current_tick("000001.XSHE") is ticks[-1] is drain()[-1].tick._tick_dict
    assert maviro.history_tick["000001.XSHE"].maxlen == 60


def test_a_failing_instrument_lookup_leaves_the_tick_cached_without_an_event(bridge, monkeypatch):
    class Env:
        @staticmethod
        def get_instance():
            raise RuntimeError("no environment")

    monkeypatch.setattr(maviro, "Environment", Env)
    with pytest.raises(RuntimeError):
        bridge.on_snapshot(snapshot())
    assert maviro.get_current_tick("000001.XSHE") is not None and drain() == []


@pytest.mark.parametrize("missing", ["orig_time", "security_id", "market_type"] + SNAPSHOT_ATTRS)
def test_a_snapshot_lacking_an_attribute_caches_and_posts_nothing(bridge, missing):
    attrs = dict(vars(snapshot()))
    del attrs[missing]
    with pytest.raises(AttributeError):
        bridge.on_snapshot(Record(**attrs))
    assert maviro.history_tick == {} and drain() == []


class Watched(Record):
    """A record that notes every attribute read."""

    def __getattribute__(self, name):
        if not name.startswith("__"):
            object.__getattribute__(self, "__dict__").setdefault("_reads", []).append(name)
        return object.__getattribute__(self, name)


def l2_order(**over):
    attrs = dict(order_time=STAMP, security_id="000001", market_type=MarketType.SZSE, side=49,
                 biz_index=7, order_price=10.5, order_volume=300, order_type=50, orig_order_no=99)
    attrs.update(over)
    return Record(**attrs)


def l2_trade(bid=1, offer=2, **over):
    attrs = dict(trade_time=STAMP, security_id="000001", market_type=MarketType.SZSE,
                 bid_appl_seq_num=bid, offer_appl_seq_num=offer, biz_index=8, trade_price=10.5,
                 trade_volume=100, value_trade=1050.0, trade_type=ord("F"))
    attrs.update(over)
    return Record(**attrs)


HEAD = ["security_id", "market_type"]
READS = {
    "on_snapshot": (snapshot, ["orig_time"] + HEAD + SNAPSHOT_ATTRS),
    "on_tick_order": (l2_order, ["order_time"] + HEAD + ["side", "market_type", "biz_index", "order_price",
                                                         "order_volume", "order_type", "market_type",
                                                         "orig_order_no", "order_type", "market_type"]),
    "on_tick_trade": (l2_trade, ["trade_time"] + HEAD + ["bid_appl_seq_num", "offer_appl_seq_num", "biz_index",
                                                         "trade_price", "trade_volume", "value_trade",
                                                         "trade_type", "bid_appl_seq_num",
                                                         "offer_appl_seq_num"]),
    "on_bar": (bar, HEAD + ["end_time", "open", "close", "high", "low", "amount", "volume", "prev_close"]),
}


@pytest.mark.parametrize("callback", sorted(READS))
def test_gateway_attributes_are_read_in_order(bridge, universe, callback):
    make, expected = READS[callback]
    rec = Watched(**vars(make()))
    getattr(bridge, callback)(rec)
    assert rec.__dict__["_reads"] == expected


@pytest.mark.parametrize("missing", READS["on_bar"][1])
def test_a_bar_lacking_an_attribute_caches_and_counts_nothing(bridge, universe, missing):
    universe[:] = ["x"]
    attrs = dict(vars(bar()))
    del attrs[missing]
    with pytest.raises(AttributeError):
        bridge.on_bar(Record(**attrs))
    assert maviro.history_bar == {} and drain() == [] and bridge.bar_cnt == 0 and bridge.current_trade_dt == 0


@pytest.mark.parametrize("callback, missing", [(cb, a) for cb in ("on_tick_order", "on_tick_trade")
                                               for a in dict.fromkeys(READS[cb][1])])
def test_a_level2_record_lacking_an_attribute_posts_nothing(bridge, callback, missing):
    attrs = dict(vars(READS[callback][0]()))
    del attrs[missing]
    with pytest.raises(AttributeError):
        getattr(bridge, callback)(Record(**attrs))
    assert drain() == []


SELECTIONS = [(3, [3, 4, 5]), (10, [1, 2, 3, 4, 5]), (1, [5]), (True, [5]), (0, [1, 2, 3, 4, 5]),
              (-2, [3, 4, 5]), (-4, [5]), (-5, []), (-6, []), (2 ** 100, [1, 2, 3, 4, 5]), (-2 ** 100, [])]


@pytest.mark.parametrize("count, expected", SELECTIONS)
def test_history_bars_selects_the_newest_count(bridge, universe, count, expected):
    universe[:] = ["x"] * 100
    for i in range(1, 6):
        bridge.on_bar(bar(close=i))
    got = maviro.history_bars("000001.XSHE", count)
    assert type(got) is list and [b["close_price"] for b in got] == expected
    assert got == list(maviro.history_bar["000001.XSHE"])[-count:]
    bridge.on_bar(bar(close=6))
    assert [b["close_price"] for b in got] == expected
    assert maviro.get_current_bar("000001.XSHE")["close_price"] == 6


@pytest.mark.parametrize("count", [0, 1, 128, 129, 5000, -871, -872])
def test_long_histories_give_the_same_selection(count):
    """Long selections are walked from the newest record, short ones indexed."""
    maviro.history_bar["000001.XSHE"] = maviro.deque(range(1000))
    assert maviro.history_bars("000001.XSHE", count) == list(range(1000))[-count:]


class Histories(dict):
    """A mapping the host might substitute, holding deque subclasses."""


@pytest.mark.parametrize("count, expected", SELECTIONS)
def test_other_containers_get_the_same_answers(bridge, monkeypatch, count, expected):
    monkeypatch.setattr(maviro, "history_tick", Histories())
    monkeypatch.setattr(maviro, "deque", type("Ticks", (maviro.deque,), {}))
    for i in range(1, 6):
        bridge.on_snapshot(snapshot(last_price=i))
    assert type(maviro.history_tick["000001.XSHE"]).__name__ == "Ticks"
    assert [t["last_price"] for t in maviro.history_ticks("000001.XSHE", count)] == expected
    assert maviro.get_current_tick("000001.XSHE")["last_price"] == 5
    assert maviro.get_current_tick("000002.XSHE") is None


def test_queries_answer_none_for_unknown_instruments_and_after_the_day_switch(bridge, universe):
    universe[:] = ["x"] * 10
    bridge.on_snapshot(snapshot())
    bridge.on_bar(bar())
    assert maviro.get_current_tick("000001.XSHE") and maviro.get_current_bar("000001.XSHE")
    assert maviro.get_current_tick("000002.XSHE") is None
    bridge.on_switch_day()
    for fn in (maviro.get_current_tick, maviro.get_current_bar):
        assert fn("000001.XSHE") is None
    for fn in (maviro.history_ticks, maviro.history_bars):
        assert fn("000001.XSHE", 5) is None and fn(market_code="nope", count=0) is None


def test_ticks_and_bars_are_cached_separately(bridge, universe):
    universe[:] = ["x"] * 10
    bridge.on_bar(bar())
    assert maviro.get_current_bar("000001.XSHE")["close_price"] == 2
    assert maviro.get_current_tick("000001.XSHE") is None


@pytest.mark.parametrize("count", [2.0, "2", None])
def test_a_count_that_is_not_an_integer_raises_type_error(bridge, count):
    bridge.on_snapshot(snapshot())
    with pytest.raises(TypeError, match="count must be an integer"):
        maviro.history_ticks("000001.XSHE", count)


def test_level2_order_maps_codes_as_text_with_the_market_and_posts(bridge, monkeypatch):
    calls = []

    def spy(name):
        return lambda *a: calls.append((name, a)) or name

    for fn in ("get_side_from_mach_l2_order", "get_order_type_from_mach_l2_order", "get_l2order_type_from_mach"):
        monkeypatch.setattr(maviro, fn, spy(fn))
    created = []
    monkeypatch.setattr(maviro.L2Order, "__from_create__", staticmethod(lambda *a: created.append(a) or "l2"))
    bridge.on_tick_order(l2_order())
    assert calls == [("get_side_from_mach_l2_order", ("1", MarketType.SZSE)),
                     ("get_order_type_from_mach_l2_order", ("2", MarketType.SZSE)),
                     ("get_l2order_type_from_mach", ("2", MarketType.SZSE))]
    [args] = created
    assert args[:2] == (7, "000001.XSHE") and args[3:] == (
        "get_side_from_mach_l2_order", 10.5, 300, "get_order_type_from_mach_l2_order", 99,
        "get_l2order_type_from_mach")
    [ev] = drain()
    assert ev.event_type == EVENT.L2_ORDER and list(ev.fields) == ["calendar_dt", "trading_dt", "l2_order"]
    assert ev.l2_order == "l2" and ev.calendar_dt is args[2] is ev.trading_dt
    assert maviro.history_tick == {} and maviro.history_bar == {}


class _Meta(type):
    @property
    def __from_create__(cls):
        return lambda *a: ("meta",) + a


def _factory(kind):
    body = {"classmethod": classmethod(lambda *a: a), "staticmethod": staticmethod(lambda *a: ("static",) + a),
            "function": lambda *a: ("plain",) + a, "callable classmethod": classmethod(_Callable()),
            "metaclass property": classmethod(lambda *a: ("class",) + a)}[kind]
    meta = _Meta if kind == "metaclass property" else type
    return meta("Factory", (), {"__from_create__": body})


class _Callable:
    def __call__(self, *a):
        return ("callable",) + a

    def __get__(self, obj, cls=None):
        return lambda *a: ("bound",) + a


@pytest.mark.parametrize("kind", ["classmethod", "staticmethod", "function", "callable classmethod",
                                  "metaclass property"])
@pytest.mark.parametrize("callback", ["on_tick_order", "on_tick_trade"])
def test_level2_factory_is_called_as_python_calls_it(bridge, monkeypatch, kind, callback):
    """However the host defines the record factory, it gets what
    `L2Order.__from_create__(...)` would pass it."""
    name = "L2Order" if callback == "on_tick_order" else "L2Transaction"
    cls = _factory(kind)
    monkeypatch.setattr(maviro, name, cls)
    getattr(bridge, callback)(l2_order() if callback == "on_tick_order" else l2_trade(1001, 1000))
    [ev] = drain()
    made = ev.l2_order if callback == "on_tick_order" else ev.l2_transaction
    assert made[:-9 if callback == "on_tick_order" else -10] == cls.__from_create__()


@pytest.mark.parametrize("bid, offer, side", [(1001, 1000, SIDE.BUY), (1000, 1001, SIDE.SELL),
                                              (1000, 1000, SIDE.SELL)])
def test_level2_trade_side_comes_from_the_sequence_numbers(bridge, bid, offer, side):
    bridge.on_tick_trade(l2_trade(bid, offer))
    [ev] = drain()
    t = ev.l2_transaction
    assert ev.event_type == EVENT.L2_TRANSACTION and t.side == side
    assert (t.biz_index, t.market_code, t.price, t.volume, t.value, t.bid_no, t.ask_no) == (
        8, "000001.XSHE", 10.5, 100, 1050.0, bid, offer)


@pytest.mark.parametrize("code, error", [(49.0, TypeError), (-1, ValueError), (2 ** 80, (OverflowError, ValueError)),
                                         ("1", TypeError)])
def test_a_bad_character_code_raises_and_posts_nothing(bridge, code, error):
    with pytest.raises(error):
        bridge.on_tick_order(l2_order(side=code))
    with pytest.raises(error):
        bridge.on_tick_trade(l2_trade(1, 2, trade_type=code))
    assert drain() == []


E1, E2 = 20260302093100000, 20260302093200000


@pytest.mark.parametrize("size, bars, events, bar_cnt", [
    (3, [("A", E1), ("B", E1), ("C", E1)], [E1], 0),
    (3, [("A", E1), ("B", E1), ("A", E2)], [], 1),
    (1, [("A", E1), ("A", E1)], [E1, E1], 0),
    (2, [("A", E1), ("A", E1)], [E1], 0),
    (0, [("A", E1), ("B", E1)], [], 2),
    (2, [("A", E1), ("B", E1), ("C", E1)], [E1], 1),
])
def test_bar_counting(bridge, universe, size, bars, events, bar_cnt):
    universe[:] = ["x"] * size
    for sid, end in bars:
        bridge.on_bar(bar(sid, end))
    posted = drain()
    assert [e.event_type for e in posted] == [EVENT.BAR] * len(events)
    assert [e.calendar_dt for e in posted] == [
        maviro.convert_int_to_whole_date(int(e / 1000)) for e in events]
    assert all(e.calendar_dt is e.trading_dt and list(e.fields) == ["calendar_dt", "trading_dt"]
               for e in posted)
    assert bridge.bar_cnt == bar_cnt and bridge.current_trade_dt == bars[-1][1] / 1000


def test_bar_record_time_is_untruncated_and_cached_before_the_event(bridge, universe, monkeypatch):
    universe[:] = ["x"]
    seen = []

    class Queue:
        def append(self, event):
            seen.append(maviro.get_current_bar("000001.XSHE"))

    monkeypatch.setattr(maviro, "event_queue", Queue())
    bridge.on_bar(bar(end=E1 + 500))
    [record] = seen
    assert list(record) == ["market_code", "orig_time", "open_price", "close_price", "high_price",
                            "low_price", "total_turnover", "volume", "prev_close"]
    assert record["orig_time"].microsecond == 500000


def test_a_failing_universe_query_leaves_the_bar_cached_and_counted(bridge, monkeypatch):
    env = Environment.get_instance()
    monkeypatch.setattr(env, "get_universe", lambda: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        bridge.on_bar(bar())
    assert maviro.get_current_bar("000001.XSHE") is not None and bridge.bar_cnt == 1 and drain() == []


@pytest.mark.parametrize("stamp", [STAMP, 2 ** 53 - 1, 2 ** 53 + 1, -(2 ** 53) - 3, 10 ** 20, -7, True, 12.5])
def test_the_quotient_is_what_true_division_gives(bridge, monkeypatch, stamp):
    seen = []
    monkeypatch.setattr(maviro, "convert_int_to_datetime", lambda q: seen.append(q) or "dt")
    bridge.on_snapshot(snapshot(stamp=stamp))
    assert type(seen[0]) is float and seen[0] == stamp / 1000


class Code(str):
    """Text whose "+" is its own: the bridge must join as the expression does."""
    def __add__(self, other):
        return Code(str.__add__(self, other).upper())

    def __radd__(self, other):
        return Code(other + "@" + str(self))


@pytest.mark.parametrize("sid, exchange, expected", [
    ("000001", "XSHE", "000001.XSHE"),
    ("\u4e2d\u4e00", "XSHE", "\u4e2d\u4e00.XSHE"),
    ("ab", "\U0001f600", "ab.\U0001f600"),
    (Code("ab"), "xshe", "AB.XSHE"),
    ("ab", Code("XSHE"), "ab.@XSHE"),
])
def test_market_code_joins_as_plus_does(bridge, monkeypatch, sid, exchange, expected):
    monkeypatch.setattr(maviro, "get_exchane_from_mach_mdtype", lambda m: exchange)
    bridge.on_snapshot(snapshot(sid=sid))
    [ev] = drain()
    assert ev.tick.market_code == expected and type(ev.tick.market_code) is type(sid + "." + exchange)


def test_a_security_id_that_is_not_text_fails_before_the_mapper(bridge, monkeypatch):
    calls = []
    monkeypatch.setattr(maviro, "get_exchane_from_mach_mdtype", lambda m: calls.append(m) or "XSHE")
    with pytest.raises(TypeError):
        bridge.on_snapshot(snapshot(sid=1))
    assert calls == [] and drain() == []
