"""No reference leaks on the hot callbacks, on valid input and on the error
paths (a missing attribute early, in the middle and last; a host call that
raises after the record was built), nor in the query functions."""
import logging
import sys

import pytest

from korvane.orvik.const import ORDER_STATUS
from korvane.orvik.core.events import EVENT
from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro
from pymach.records import Record
from support import callbacks as cb
from support.bridge import drain
from support.callbacks import BY_ID, CASES, DROP
from support.leakcheck import Leak, assert_no_leak


@pytest.fixture(autouse=True)
def quiet():
    env = Environment.get_instance()
    saved = list(env.universe)
    logging.getLogger("korvane.orvik.user_system").disabled = True
    yield
    env.universe[:] = saved
    logging.getLogger("korvane.orvik.user_system").disabled = False
    cb.reset_logs()


def runner(case, args, bridge, expected=None):
    """One call and the undoing of what it leaves behind (events, a growing
    bar history, log lines, context calls)."""
    method = getattr(bridge, case.method)
    queue, bars, calls = cb.QUEUE, cb.REAL["history_bar"], bridge.context.calls
    order = cb.REAL["orders_dict"].get(cb.CID)
    pending = ORDER_STATUS.PENDING_NEW

    def run():
        try:
            method(*args)
        except Exception as e:
            if expected is None or not isinstance(e, expected):
                raise
        else:
            assert expected is None, "expected %s" % expected
        while len(queue):
            queue.popleft()
        bars.clear()
        cb.reset_logs()
        del calls[:]
        bridge.bar_cnt = 0  # every bar completes its end time again
        if order is not None:
            order.status = pending  # every acceptance opens the order again
    return run


def tracked(case, args, bridge):
    """The objects whose counts must not creep: arguments, the record's values,
    the strategy, the host order, and globals every call touches."""
    objs = [bridge, maviro.Event, maviro.EVENT, None, True, False] + list(args)
    objs += [v for v in vars(args[0]).values()]
    if case.book:
        objs.append(cb.REAL["orders_dict"][cb.CID])
    return objs


def check(case, args, expected=None):
    cb.prepare(case)
    bridge = cb.bridge()
    assert_no_leak(runner(case, args, bridge, expected), tracked(case, args, bridge), what=case.id)


@pytest.mark.parametrize("case", CASES, ids=repr)
def test_valid_input_does_not_leak(case):
    check(case, case.args())


def error_points(case):
    reads = case.reads
    return sorted({reads[0], reads[len(reads) // 2], reads[-1]}) if reads else []


MISSING = [(c, a) for c in CASES for a in error_points(c)]


@pytest.mark.parametrize("case, attr", MISSING, ids=["%s-%s" % (c.id, a) for c, a in MISSING])
def test_a_missing_attribute_does_not_leak(case, attr):
    check(case, case.args(**{attr: DROP}), AttributeError)


class Boom(Exception):
    pass


def boom(*a, **k):
    raise Boom()


# A host call that fails after the record, the key and the instrument exist.
LATE_FAILURES = [("snapshot", "TickObject"), ("snapshot", "Event"), ("tick_order", "Event"),
                 ("tick_trade", "Event"), ("bar", "convert_int_to_whole_date"), ("bar", "Event"),
                 ("order_filled", "Event"), ("order_cancelled", "Event"), ("order_accepted", "Event"),
                 ("order_rejected", "Event"), ("order_action_error", "Event"), ("login", "Event"),
                 ("asset", "Asset"), ("algo_login", "Event"), ("parent_update", "Event"),
                 ("child_trade", "AlgoChildTrade")]


@pytest.mark.parametrize("case_id, name", LATE_FAILURES, ids=["%s-%s" % f for f in LATE_FAILURES])
def test_a_host_failure_late_in_the_callback_does_not_leak(case_id, name, monkeypatch):
    monkeypatch.setattr(maviro, name, type("Failing", (), {"__call__": boom, "__getattr__": boom,
                                                            "__from_create__": boom})())
    check(BY_ID[case_id], BY_ID[case_id].args(), Boom)


def test_a_position_answer_with_skipped_records_does_not_leak():
    records = [Record(**cb.POSITION), Record(**{**cb.POSITION, "market_id": 999}),
               Record(**{k: v for k, v in cb.POSITION.items() if k != "init_qty"})]
    bridge = cb.bridge()
    case = cb.Case("positions", "on_query_position", {}, extra=(records, 1, 0, "ok"))

    def run():
        bridge.on_query_position(records, 1, 0, "ok")
        drain(cb.QUEUE)
        cb.reset_logs()
    assert_no_leak(run, [bridge, records] + records, what=case.id)


def test_queries_do_not_leak():
    bridge = cb.bridge()
    for _ in range(70):
        bridge.on_snapshot(*BY_ID["snapshot"].args())
    bridge.on_bar(*BY_ID["bar"].args())
    drain(cb.QUEUE)
    code, missing, count = cb.CODE, "999999.XSHE", 30

    def run():
        maviro.get_current_tick(code)
        maviro.get_current_bar(code)
        maviro.history_ticks(code, count)
        maviro.history_bars(market_code=code, count=count)
        maviro.get_current_tick(missing)
        maviro.history_bars(missing, count)
        for bad in ((code, 1.5), ([], 1)):
            try:
                maviro.history_ticks(*bad)
            except TypeError:
                pass
    assert_no_leak(run, [code, missing, count, maviro.history_tick[code], maviro.history_bar[code]],
                   what="queries")


def test_day_events_and_the_day_switch_do_not_leak():
    bridge = cb.bridge()
    order = cb.host_order()

    def run():
        cb.REAL["orders_dict"]["x"] = order
        bridge.send_before_trading_event()
        bridge.send_day_event(EVENT.OPEN_AUCTION, None)
        bridge.send_after_trading_event()
        bridge.on_switch_day()
        drain(cb.QUEUE)
    assert_no_leak(run, [bridge, order, EVENT.BEFORE_TRADING, EVENT.OPEN_AUCTION], what="day events")


def test_the_health_functions_do_not_leak():
    bridge = cb.bridge()

    def run():
        bridge.send_day_event(EVENT.OPEN_AUCTION, None)
        bridge.send_day_event("not a member", None)
        drain(cb.QUEUE)
        maviro.set_bridge_timing(True)
        maviro.bridge_stats()
        maviro.set_bridge_timing(False)
        maviro.bridge_stats()
        maviro.reset_bridge_stats()
    assert_no_leak(run, [bridge, cb.QUEUE, EVENT.OPEN_AUCTION], what="health")


def test_the_check_catches_a_kept_reference():
    kept, obj = [], object()
    with pytest.raises(Leak, match="refcount"):
        assert_no_leak(lambda: kept.append(obj), [obj], repeat=10)
    if sys.getallocatedblocks():
        with pytest.raises(Leak, match="blocks"):
            assert_no_leak(lambda: kept.append([]), repeat=10)
