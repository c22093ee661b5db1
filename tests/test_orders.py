"""Order reports, trade reports and order-action errors: the host order kept in
step with the gateway and the events the host sees."""
import copy
import gc
import types
import weakref

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from korvane.orvik.const import ORDER_STATUS as OS, SIDE
from korvane.orvik.core.events import EVENT as E
from korvane.orvik.model.order import Order
from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log
from pymach.enums import OrderStatusType as G
from pymach.records import Record
from support.bridge import drain, run_python

CID = "c-1"


def host(status=OS.PENDING_NEW, filled=0, **kw):
    order = Order(market_code="000001.XSHE", order_id=7, side=SIDE.BUY, price=10.0,
                  quantity=100, status=status, filled_quantity=filled,
                  unfilled_quantity=100 - filled, avg_price=9.5 if filled else 0.0, **kw)
    maviro.orders_dict[CID] = order
    return order


def report(status, match=20, **kw):
    fields = dict(client_order_id=CID, security_id="000001", order_price=10.0, order_status=status,
                  order_qty=100, trade_qty=60, total_trade_value=615.0, error_msg="no money",
                  error_code=20001, last_match_qty=match, last_match_price=10.5,
                  counter_order_id=8001, frozen_trade_value=123.0)
    fields.update(kw)
    return Record(**fields)


FIGURES = dict(avg_price=10.25, filled_quantity=60, unfilled_quantity=40)
TRADE, PASS, PENDING = E.TRADE, E.ORDER_CANCELLATION_PASS, E.ORDER_PENDING_CANCEL


def expected(gw, matched, was_active, filled):
    """Host members changed and event types posted, per the status table."""
    if gw in (G.UnSend, G.Sended):
        change = dict(secondary_order_id=8001, frozen_cash=123.0, status=OS.ACTIVE)
        return change, [] if was_active else [E.ORDER_CREATION_PASS]
    if gw is G.Reject:
        return dict(status=OS.REJECTED, message="20001_no money", frozen_cash=123.0), \
            [E.ORDER_UNSOLICITED_UPDATE]
    if gw is G.Unknown:
        return {}, []
    change = dict(FIGURES) if matched else {}
    events = [TRADE] if matched else []
    if gw is G.Filled and matched:
        change["status"] = OS.FILLED
    elif gw is G.PartiallyFilled and matched:
        change["status"] = OS.PARTIALLY_FILLED
    elif gw in (G.Cancelled, G.PartiallyFilledPartiallyCancelled):
        change["status"] = OS.CANCELLED
        events.append(PASS)
    elif gw in (G.WaitCancelled, G.PartiallyFilledWaitCancelled):
        if matched or filled:
            change["status"] = OS.PARTIALLY_FILLED
        events.append(PENDING)
    return change, events


@pytest.mark.parametrize("filled", [0, 40])
@pytest.mark.parametrize("was_active", [True, False], ids=["active", "pending"])
@pytest.mark.parametrize("matched", [True, False], ids=["match", "nomatch"])
@pytest.mark.parametrize("gw", list(G), ids=lambda g: g.name)
def test_status_table(bridge, gw, matched, was_active, filled):
    order = host(OS.ACTIVE if was_active else OS.PENDING_NEW, filled)
    before = vars(order).copy()
    bridge.on_order(report(gw, 20 if matched else 0))
    change, types_ = expected(gw, matched, was_active, filled)
    assert vars(order) == {**before, **change}
    events = drain()
    assert [e.event_type for e in events] == types_
    for ev in events:
        assert list(ev.fields)[0] == "account" and list(ev.fields)[-1] == "order"
        assert ev.account is maviro.Environment.get_instance().get_account("000001.XSHE")
        assert ev.order is not order and isinstance(ev.order, Order)
        if ev.event_type is TRADE:
            assert list(ev.fields) == ["account", "trade", "order"]
            t = ev.trade
            assert (t.order_id, t.price, t.amount, t.side, t.market_code, t.frozen_price) == \
                (7, 10.5, 20, SIDE.BUY, "000001.XSHE", 10.0)
        else:
            assert list(ev.fields) == ["account", "order"]
    if events:
        assert vars(events[-1].order) == vars(order)


def test_event_orders_are_copies_taken_when_each_event_is_built(bridge):
    order = host(OS.ACTIVE)
    bridge.on_order(report(G.Cancelled))
    order.status = OS.PENDING_NEW
    order.filled_quantity = 99
    trade, cancel = drain()
    assert trade.order.status is OS.ACTIVE and trade.order.filled_quantity == 60
    assert cancel.order.status is OS.CANCELLED and cancel.order.filled_quantity == 60


def test_copies_go_through_the_module_copy_binding(bridge, monkeypatch):
    seen = []
    monkeypatch.setattr(maviro, "copy", types.SimpleNamespace(
        deepcopy=lambda o: seen.append(o.status) or "copy-%d" % len(seen)))
    order = host()
    bridge.on_order(report(G.PartiallyFilledPartiallyCancelled))
    assert [e.order for e in drain()] == ["copy-1", "copy-2"]
    assert seen == [OS.PENDING_NEW, OS.CANCELLED] and order.status is OS.CANCELLED


def test_second_acceptance_only_refreshes_number_and_frozen_cash(bridge):
    order = host()
    bridge.on_order(report(G.Sended))
    bridge.on_order(report(G.Sended, counter_order_id=8002, frozen_trade_value=50.0))
    assert [e.event_type for e in drain()] == [E.ORDER_CREATION_PASS]
    assert (order.status, order.secondary_order_id, order.frozen_cash) == (OS.ACTIVE, 8002, 50.0)


@pytest.mark.parametrize("counter, active", [(None, False), (0, False), (-3, False), (0.0, False),
                                             (1, True), (8001.0, True)])
def test_counter_order_number(bridge, counter, active):
    order = host()
    bridge.on_order(report(G.UnSend, counter_order_id=counter))
    assert order.secondary_order_id == counter and order.frozen_cash == 123.0
    assert order.status is (OS.ACTIVE if active else OS.PENDING_NEW)
    assert len(drain()) == active


@pytest.mark.parametrize("status", [OS.FILLED, OS.CANCELLED, OS.REJECTED])
@pytest.mark.parametrize("gw", [G.UnSend, G.Sended])
def test_late_acceptance_leaves_a_finished_order_alone(bridge, gw, status):
    order = host(status, 40)
    before = vars(order).copy()
    bridge.on_order(report(gw))
    assert vars(order) == before and drain() == []


def test_late_acceptance_keeps_a_partial_fill_open_but_unchanged(bridge):
    order = host(OS.PARTIALLY_FILLED, 40)
    bridge.on_order(report(G.Sended))
    assert (order.status, order.secondary_order_id, order.frozen_cash) == (OS.PARTIALLY_FILLED, 8001, 123.0)
    assert drain() == []


def test_reject_with_non_text_message_fails_before_marking(bridge):
    order = host()
    with pytest.raises(TypeError):
        bridge.on_order(report(G.Reject, error_msg=5))
    assert order.status is OS.PENDING_NEW and drain() == []


def test_log_line_for_every_report_even_unknown_orders(bridge):
    bridge.on_order(report(G.Filled, client_order_id="nobody", error_msg=None))
    assert system_log.records == [("info", (
        "on_order:nobody, symbol: 000001, price:10.0, status:OrderStatusType.Filled, order_qty:100, "
        "trade_qty:60, total_trade_value: 615.0, error_msg:None, last_match_qty: 20"))]
    assert drain() == []


def test_a_collection_while_the_log_line_is_built_sees_no_unfilled_container():
    """str() of a value may collect; a gc callback walking every tuple then
    must not meet a half-filled one."""
    out = run_python("""
        import gc
        from korvane.orvik.utils import maviro
        from pymach.records import Record

        def walk(phase, info):
            for o in gc.get_objects(0):
                if type(o) is tuple:
                    for _ in o:
                        pass

        class Allocates:
            def __str__(self):
                [[] for _ in range(3000)]
                return "x"

        gc.callbacks.append(walk)
        gc.set_threshold(50)
        v = Allocates()
        s = object.__new__(maviro.MachStrategy)
        for _ in range(5):
            s.on_order(Record(client_order_id=v, security_id=v, order_price=v, order_status=v,
                              order_qty=v, trade_qty=v, total_trade_value=v, error_msg=v, last_match_qty=v))
        print(maviro.system_log.records[-1][1])
    """)
    assert out.stdout.startswith("on_order:x, symbol: x")
ENUM_CHANGES = {
    "none": lambda mp: None,
    "class renamed": lambda mp: setattr(G, "__name__", "Renamed"),  # put back by the test
    "member renamed": lambda mp: mp.setattr(G.Filled, "_name_", "Done"),
    "own __str__": lambda mp: mp.setattr(G, "__str__", lambda self: "own", raising=False),
}


@pytest.mark.parametrize("change", ENUM_CHANGES)
def test_the_log_line_renders_enum_members_as_str_does(bridge, monkeypatch, change):
    bridge.on_order(report(G.Filled, client_order_id="nobody"))
    name = G.__name__
    try:
        ENUM_CHANGES[change](monkeypatch)
        system_log.clear()
        bridge.on_order(report(G.Filled, client_order_id="nobody"))
        [(_, line)] = system_log.records
        assert ", status:%s, " % str(G.Filled) in line
    finally:
        G.__name__ = name


class Copyable(Order):
    def __deepcopy__(self, memo):
        self.memos.append(memo)
        return self if self.same else Order(**{k: v for k, v in vars(self).items() if k not in ("memos", "same")})


COPY_CHANGES = {
    "none": lambda mp, order: None,
    "returns itself": lambda mp, order: setattr(order, "same", True),
    "instance hides it": lambda mp, order: setattr(order, "__deepcopy__", None),
    "dispatch table": lambda mp, order: mp.setitem(copy._deepcopy_dispatch, Copyable, lambda x, memo: "dispatched"),
    "deepcopy replaced": lambda mp, order: mp.setattr(copy, "deepcopy", lambda x: "replaced"),
    "getattr shadowed": lambda mp, order: mp.setattr(copy, "getattr", lambda *a: lambda memo: "shadowed",
                                                     raising=False),
    "keep-alive replaced": lambda mp, order: mp.setattr(copy, "_keep_alive", lambda x, memo: memo.clear()),
}


@pytest.mark.parametrize("change", COPY_CHANGES)
def test_order_snapshots_are_what_copy_deepcopy_gives(bridge, monkeypatch, change):
    def fresh():
        order = Copyable(market_code="000001.XSHE", order_id=7, side=SIDE.BUY, price=10.0, quantity=100)
        order.memos, order.same = [], False
        COPY_CHANGES[change](monkeypatch, order)
        return order

    def plain(v, order, memo=None):
        if v is order or v is memo:
            return "order" if v is order else "memo"
        if isinstance(v, Order):
            return {k: plain(x, order) for k, x in vars(v).items() if k != "memos"}
        return [plain(x, order) for x in v] if isinstance(v, list) else v

    def outcome(dup, order):
        # What was copied, and what each memo handed to __deepcopy__ held
        # afterwards, with the ids in its keys named.
        ids = {id(order): "id(order)"}
        return plain(dup, order), [{ids.get(k, "id(memo)" if k == id(m) else k): plain(v, order, m)
                                    for k, v in m.items()} for m in order.memos]

    order = fresh()
    maviro.orders_dict[CID] = order
    bridge.on_order(report(G.Filled))
    [ev] = drain()
    got = outcome(ev.order, order)
    order.memos.clear()
    assert got == outcome(copy.deepcopy(order), order)


def test_error_in_a_host_call_leaves_done_steps_done(bridge, monkeypatch):
    order = host()
    monkeypatch.setattr(maviro, "Event", None)
    with pytest.raises(TypeError):
        bridge.on_order(report(G.Filled))
    assert order.status is OS.FILLED and order.filled_quantity == 60 and drain() == []


def test_on_trade_does_nothing(bridge):
    host()
    assert bridge.on_trade(Record()) is None
    assert drain() == [] and system_log.records == []


def test_order_action_error(bridge):
    order = host(OS.ACTIVE)
    bridge.on_order_action_error(Record(client_order_id="nobody"))
    assert drain() == []
    bridge.on_order_action_error(Record(client_order_id=CID))
    [ev] = drain()
    assert ev.event_type is E.ORDER_CANCELLATION_REJECT and list(ev.fields) == ["account", "order"]
    assert ev.order is not order and vars(ev.order) == vars(order) and order.status is OS.ACTIVE
    assert system_log.records == []


# Report streams as brokers send them: one order of 300, filled 100 at 10.0
# and then 200 at 10.5 (or cancelled after the first fill).
def stream_report(status, cum=0, match=0, price=0.0, value=0.0, counter=8001):
    return Record(client_order_id=CID, security_id="000001", order_price=10.5, order_status=status,
                  order_qty=300, trade_qty=cum, total_trade_value=value, error_msg="no money",
                  error_code=20001, last_match_qty=match, last_match_price=price,
                  counter_order_id=counter, frozen_trade_value=3150.0)


ACK, ACK0 = stream_report(G.Sended), stream_report(G.Sended, counter=None)
PART = stream_report(G.PartiallyFilled, 100, 100, 10.0, 1000.0)
FULL = stream_report(G.Filled, 300, 200, 10.5, 3100.0)
WAIT = stream_report(G.PartiallyFilledWaitCancelled, 100, 0, 0.0, 1000.0)
DONE = stream_report(G.PartiallyFilledPartiallyCancelled, 100, 0, 0.0, 1000.0)
LATE_WAIT, LATE_CANCEL = stream_report(G.WaitCancelled, 300), stream_report(G.Cancelled, 300)
REJECT = stream_report(G.Reject)
FINISHED = (OS.FILLED, OS.CANCELLED, OS.REJECTED)


def order_of_300(cid=CID):
    order = Order(market_code="000001.XSHE", order_id=7, side=SIDE.BUY, price=10.5, quantity=300)
    maviro.orders_dict[cid] = order
    return order


def play(bridge, stream, order=None):
    order = order or order_of_300()
    for r in stream:
        bridge.on_order(r)
    return order, drain()


def check_invariants(stream, order, events, final_status):
    """What a portfolio relies on, whatever the gateway repeated or reordered."""
    cum = max(r.trade_qty for r in stream)
    value = max(r.total_trade_value for r in stream)
    trades = [e.trade for e in events if e.event_type is TRADE]
    assert sum(t.amount for t in trades) == cum
    assert sum(t.amount * t.price for t in trades) == pytest.approx(value)
    seen, finished = 0, None
    for e in events:
        assert e.order.filled_quantity >= seen
        seen = e.order.filled_quantity
        if finished is not None:
            assert e.event_type is TRADE and e.order.status is finished
        elif e.order.status in FINISHED:
            finished = e.order.status
    assert order.status is final_status
    assert (order.filled_quantity, order.unfilled_quantity) == (cum, 300 - cum)
    if cum:
        assert order.avg_price == pytest.approx(value / cum)
    counters = [r.counter_order_id for r in stream if r.order_status is G.Sended and r.counter_order_id]
    if counters and final_status not in FINISHED:
        assert order.secondary_order_id == counters[-1]


@pytest.mark.parametrize("stream, final_status", [
    ([ACK, PART, PART, FULL, FULL], OS.FILLED),
    ([ACK, PART, FULL] * 2, OS.FILLED),
    ([ACK, PART, WAIT, DONE] * 2, OS.CANCELLED),
    ([ACK, PART] * 2, OS.PARTIALLY_FILLED),
    ([ACK, FULL, PART], OS.FILLED),
    ([ACK, PART, DONE, WAIT], OS.CANCELLED),
    ([ACK, DONE, PART], OS.CANCELLED),
    ([ACK, PART, FULL, LATE_CANCEL], OS.FILLED),
    ([ACK, PART, FULL, LATE_WAIT], OS.FILLED),
    ([ACK, PART, FULL, REJECT], OS.FILLED),
    ([ACK, PART, REJECT, PART, FULL], OS.REJECTED),
    ([ACK, ACK0], OS.ACTIVE),
], ids=["repeat", "replay-after-fill", "replay-after-cancel", "replay-while-working", "partial-after-fill",
        "cancel-ack-after-confirmation", "fill-after-cancel", "cancel-after-fill", "wait-cancel-after-fill",
        "reject-after-fill", "reject-partly-filled", "ack-without-number"])
def test_report_streams(bridge, stream, final_status):
    order, events = play(bridge, stream)
    check_invariants(stream, order, events, final_status)


def fill_reports(draw):
    """The reports of one order's fills: cumulative quantities, values exact in binary."""
    sizes = draw(st.lists(st.integers(1, 200), min_size=1, max_size=5))
    prices = draw(st.lists(st.sampled_from([9.5, 10.0, 10.25, 10.5]), min_size=len(sizes),
                           max_size=len(sizes)))
    out, cum, value = [], 0, 0.0
    for i, (size, price) in enumerate(zip(sizes, prices)):
        cum, value = cum + size, value + size * price
        status = G.Filled if i == len(sizes) - 1 else G.PartiallyFilled
        out.append(stream_report(status, cum, size, price, value))
    return out


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_fills_repeated_and_reordered(bridge, data):
    fills = fill_reports(data.draw)
    picks = data.draw(st.lists(st.sampled_from(fills), max_size=10))
    stream = data.draw(st.permutations(fills + picks))
    maviro.orders_dict.clear()
    order, events = play(bridge, [ACK] + stream)
    check_invariants(stream, order, events, OS.FILLED)


@pytest.mark.parametrize("empty", ["send_after_trading_event", "on_switch_day"])
def test_emptying_the_book_forgets_its_matches(bridge, empty):
    order, _ = play(bridge, [PART])
    getattr(bridge, empty)()
    maviro.orders_dict[CID] = order
    _, events = play(bridge, [PART], order)
    assert [e.event_type for e in events] == [E.AFTER_TRADING] * (empty == "send_after_trading_event") + [TRADE]


@pytest.mark.parametrize("remove, new_id", [("clear", CID), ("del", CID), ("replace", CID), ("clear", "c-2"),
                                            ("del", "c-2")])
def test_an_order_gone_from_the_book_is_forgotten(bridge, remove, new_id):
    order, _ = play(bridge, [PART])
    gone = weakref.ref(order)
    if remove == "clear":
        maviro.orders_dict.clear()
    elif remove == "del":
        del maviro.orders_dict[CID]
    newer = order_of_300(new_id)
    bridge.on_order(Record(**{**vars(PART), "client_order_id": new_id}))
    assert [e.event_type for e in drain()] == [TRADE] and newer.filled_quantity == 100
    del order
    gc.collect()
    assert gone() is None


def test_a_trade_that_failed_to_post_is_posted_by_the_repeat(bridge, monkeypatch):
    order = order_of_300()
    monkeypatch.setattr(maviro, "Event", None)
    with pytest.raises(TypeError):
        bridge.on_order(PART)
    monkeypatch.undo()
    _, events = play(bridge, [PART, PART], order)
    check_invariants([PART], order, events, OS.PARTIALLY_FILLED)


def test_reports_set_aside_are_counted_by_outcome(bridge):
    maviro.reset_bridge_stats()
    play(bridge, [ACK, PART, PART, FULL, FULL, LATE_CANCEL, REJECT])
    assert maviro.bridge_stats()["orders"] == {"unknown_order": 0, "duplicate_match": 2, "set_aside": 2}
    maviro.reset_bridge_stats()
