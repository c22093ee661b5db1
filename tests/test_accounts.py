"""Login, the asset answer and the position answer."""
import sys

import pytest

from korvane.orvik.const import POSITION_DIRECTION
from korvane.orvik.core.events import EVENT as E
from korvane.orvik.portfolio.account import Asset
from korvane.orvik.portfolio.position import Position
from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log, user_system_log
from pymach.records import Record
from support.bridge import drain


@pytest.mark.parametrize("code, ok", [(0, True), (0.0, True), (-1, False), (3, False)])
def test_login(bridge, code, ok):
    bridge.on_login(Record(fund_account_id="F1", error_code=code, error_msg="m", client_seq_id=9))
    assert system_log.records == [("info", "on_login fund_account_id:F1, error_code:%s" % code)]
    [ev] = drain()
    assert ev.event_type is E.LOGIN and ev.fields == dict(rid=9, account_id="F1", code=code, msg="m")
    assert list(ev.fields) == ["rid", "account_id", "code", "msg"]
    assert bridge.logged_in is ok
    assert bridge.context.calls == ([("query_asset", ("F1",)), ("query_position", ("F1",))] if ok else [])


ASSET = dict(fund_account_id="F1", available_t1=1.0, frozen_all=2.0, market_value=3.0,
             total_asset=4.0, leaves_value=5.0, init_leaves_value=6.0)


@pytest.mark.parametrize("code", [0, 0.0])
def test_asset_answer(bridge, code):
    bridge.on_query_asset(Record(**ASSET), 11, code, "ok")
    assert system_log.records == [("info", "on_query_asset, F1, leaves_value:5.0 code %s  ms ok" % code)]
    [ev] = drain()
    assert ev.event_type is E.QUERY_ACCOUNT and list(ev.fields) == ["rid", "account_id", "asset"]
    assert (ev.rid, ev.account_id) == (11, "F1")
    assert isinstance(ev.asset, Asset) and {k: getattr(ev.asset, k) for k in ASSET} == ASSET


def test_failed_asset_answer(bridge):
    bridge.on_query_asset(Record(**ASSET), 11, 42, "down")
    [ev] = drain()
    assert ev.event_type is E.QUERY_ACCOUNT
    assert ev.fields == dict(rid=11, account_id="F1", code=42, msg="down")
    assert list(ev.fields) == ["rid", "account_id", "code", "msg"]


def pos(security_id="000001", market_id=102, **kw):
    fields = dict(security_id=security_id, market_id=market_id, init_qty=100, leaves_qty=90,
                  available_qty=80, cost_price=9.5, last_price=10.0, market_value=900.0,
                  profit_loss=45.0)
    fields.update(kw)
    return Record(**fields)


def test_positions_skip_a_bad_record_and_keep_the_others(bridge):
    bridge.on_query_position([pos("000001"), pos("600000", 999), pos("600519", 101)], 5, 0, "")
    assert system_log.records == [("info", "on_query_position: code:0, msg:")]
    assert user_system_log.records == [("warning", "on_query_position position do not add: 600000"
                                                   "  exception: unknown gateway market 999")]
    [ev] = drain()
    assert ev.event_type is E.QUERY_POSITION and list(ev.fields) == ["rid", "positions"] and ev.rid == 5
    assert [p.market_code for p in ev.positions] == ["000001.XSHE", "600519.XSHG"]
    p = ev.positions[0]
    assert isinstance(p, Position) and p.direction is POSITION_DIRECTION.LONG and p.init_qty == 100
    assert (p.quantity, p.available_qty, p.avg_price, p.last_price, p.market_value, p.daily_pnl) == \
        (90, 80, 9.5, 10.0, 900.0, 45.0)


def test_every_record_skipped_still_posts(bridge):
    try:
        raise LookupError("outer")
    except LookupError as outer:
        bridge.on_query_position([pos(init_qty="x"), pos(security_id=1)], 5, 0.0, "")
        # The skip handler restores the exception the caller was handling.
        assert sys.exc_info()[1] is outer
    assert [e.positions for e in drain()] == [[]]
    assert [t for _, t in user_system_log.records] == [
        "on_query_position position do not add: 000001  exception: position init_qty must be a number, not 'x'",
        "on_query_position position do not add: 1  exception: unsupported operand type(s) for +: 'int' and 'str'"]


@pytest.mark.parametrize("answer", [[], (pos(),), None, [pos()][:0]])
def test_answers_that_are_not_a_non_empty_list_post_nothing(bridge, answer):
    bridge.on_query_position(answer, 5, 0, "")
    assert drain() == [] and user_system_log.records == []


def test_failed_position_answer_posts_query_account(bridge):
    bridge.on_query_position([pos()], 5, 7, "busy")
    [ev] = drain()
    assert ev.event_type is E.QUERY_ACCOUNT and ev.fields == dict(rid=5, code=7, msg="busy")
    assert list(ev.fields) == ["rid", "code", "msg"]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_guard_lets_non_ordinary_errors_through(bridge, monkeypatch, exc):
    def refuse(*args):
        raise exc()
    monkeypatch.setattr(maviro, "Position", refuse)
    with pytest.raises(exc):
        bridge.on_query_position([pos(), pos()], 5, 0, "")
    assert drain() == [] and user_system_log.records == []


def test_unreadable_security_id_in_the_handler_ends_the_callback(bridge):
    record = pos()
    del record.security_id
    with pytest.raises(AttributeError) as info:
        bridge.on_query_position([pos(), record], 5, 0, "")
    # Raised inside the handler: chained to the error it was handling.
    assert isinstance(info.value.__context__, AttributeError)
    assert drain() == [] and user_system_log.records == []


def test_list_changed_by_host_code_during_conversion(bridge, monkeypatch):
    answer = [pos("000001"), pos("000002"), pos("000003")]
    real = maviro.get_exchane_from_mach_mdtype

    def shrinking(market_id):
        answer.clear()
        return real(market_id)
    monkeypatch.setattr(maviro, "get_exchane_from_mach_mdtype", shrinking)
    bridge.on_query_position(answer, 5, 0, "")
    assert [p.market_code for p in drain()[0].positions] == ["000001.XSHE"]
