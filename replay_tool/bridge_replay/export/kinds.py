"""The tables of an export: one kind per callback (its name without "on_"),
plus the host orders, and the columns whose type the gateway fixes.

Declared columns always appear in a kind's table with their type, so that
every day of a kind reads with the same schema; any other attribute a record
carries gets a column typed from its values."""

from bridge_replay.session.schema import CALLBACKS

# Column types: "stamp" is a gateway time stamp YYYYMMDDHHMMSSmmm, written as
# recorded (int64) with its decoded time beside it in "<name>_dt".
STAMP, INT, FLOAT, TEXT, MEMBER, INTS, FLOATS = (
    "stamp", "int", "float", "text", "member", "ints", "floats")

_MD = {"security_id": TEXT, "market_type": MEMBER}
_ERR = {"error_code": INT, "error_msg": TEXT}

DECLARED = {
    "snapshot": dict(
        orig_time=STAMP, **_MD, open_price=FLOAT, close_price=FLOAT, high_price=FLOAT,
        low_price=FLOAT, total_value_trade=FLOAT, total_volume_trade=INT,
        pre_close_price=FLOAT, ask_volume=INTS, ask_price=FLOATS, bid_volume=INTS,
        bid_price=FLOATS, high_limited=FLOAT, last_price=FLOAT, low_limited=FLOAT,
        open_interest=INT, prev_settlement=FLOAT, iopv=FLOAT, trading_phase_code=TEXT),
    "tick_order": dict(
        order_time=STAMP, **_MD, biz_index=INT, order_price=FLOAT, order_volume=INT,
        orig_order_no=INT),
    "tick_trade": dict(
        trade_time=STAMP, **_MD, bid_appl_seq_num=INT, offer_appl_seq_num=INT, biz_index=INT,
        trade_price=FLOAT, trade_volume=INT, value_trade=FLOAT),
    "bar": dict(
        **_MD, end_time=STAMP, open=FLOAT, close=FLOAT, high=FLOAT, low=FLOAT, amount=FLOAT,
        volume=INT, prev_close=FLOAT),
    "login": dict(fund_account_id=TEXT, **_ERR, client_seq_id=INT),
    "query_asset": dict(
        fund_account_id=TEXT, available_t1=FLOAT, frozen_all=FLOAT, market_value=FLOAT,
        total_asset=FLOAT, leaves_value=FLOAT, init_leaves_value=FLOAT),
    "query_position": dict(
        security_id=TEXT, init_qty=INT, leaves_qty=INT, available_qty=INT, cost_price=FLOAT,
        last_price=FLOAT, market_value=FLOAT, profit_loss=FLOAT),
    "order": dict(
        security_id=TEXT, order_price=FLOAT, order_status=MEMBER, order_qty=INT, trade_qty=INT,
        total_trade_value=FLOAT, **_ERR, last_match_qty=INT, last_match_price=FLOAT,
        frozen_trade_value=FLOAT),
    "trade": dict(security_id=TEXT, trade_price=FLOAT, trade_qty=INT, trade_time=STAMP),
    "order_action_error": dict(_ERR),
    "algo_login": dict(client_seq_id=INT, trader_id=TEXT, **_ERR),
    "create_algo_parent_order_res": dict(client_seq_id=INT, sys_quote_id=TEXT, **_ERR),
    "cancel_algo_parent_order_res": dict(sys_quote_id=TEXT, **_ERR),
    "control_algo_parent_order_res": dict(
        sys_quote_id=TEXT, **_ERR, control_type=MEMBER, algo_control_type=MEMBER),
    "algo_parent_order_update": dict(sys_quote_id=TEXT, security_id=TEXT),
    "algo_child_order_update": dict(sys_quote_id=TEXT, security_id=TEXT),
    "algo_child_order_trade": dict(sys_quote_id=TEXT, security_id=TEXT),
    "switch_day": {},
    "host_order": dict(market_code=TEXT, price=FLOAT, quantity=INT),
}

# The extra positional arguments of the query answers, as columns.
ARGS = ("request_id", "code", "message")
HOST_ORDER = "host_order"
KIND_OF = {cb: cb[3:] for cb in CALLBACKS}
CALLBACK_OF = {kind: cb for cb, kind in KIND_OF.items()}
# Columns every table starts with: the session line, its virtual time and the
# wall-clock receive time a recording adds.
LEADING = ("line", "t", "recv")
assert set(DECLARED) == set(KIND_OF.values()) | {HOST_ORDER}
