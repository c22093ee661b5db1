"""What a session holds: the format's name and versions, the callbacks a
line may name with the attributes their records must carry, and the errors of
reading a session."""

FORMAT = "pymach-session"
VERSION = 2
MINOR = 2
READS = (1, 2)

# callback -> (takes a record, number of extra positional arguments,
#              attributes the record must carry)
CALLBACKS = {
    "on_switch_day": (False, 0, ()),
    "on_snapshot": (True, 0, (
        "orig_time", "security_id", "market_type", "open_price", "close_price", "high_price",
        "low_price", "total_value_trade", "total_volume_trade", "pre_close_price", "ask_volume",
        "ask_price", "bid_volume", "bid_price", "high_limited", "last_price", "low_limited",
        "open_interest", "prev_settlement", "iopv", "trading_phase_code")),
    "on_tick_order": (True, 0, (
        "order_time", "security_id", "market_type", "side", "biz_index", "order_price",
        "order_volume", "order_type", "orig_order_no")),
    "on_tick_trade": (True, 0, (
        "trade_time", "security_id", "market_type", "bid_appl_seq_num", "offer_appl_seq_num",
        "biz_index", "trade_price", "trade_volume", "value_trade", "trade_type")),
    "on_bar": (True, 0, (
        "security_id", "market_type", "end_time", "open", "close", "high", "low", "amount",
        "volume", "prev_close")),
    "on_login": (True, 0, ("fund_account_id", "error_code", "error_msg", "client_seq_id")),
    "on_query_asset": (True, 3, (
        "fund_account_id", "available_t1", "frozen_all", "market_value", "total_asset",
        "leaves_value", "init_leaves_value")),
    # A list of position records; a record the bridge cannot convert is its to skip.
    "on_query_position": (True, 3, ()),
    "on_order": (True, 0, (
        "client_order_id", "security_id", "order_price", "order_status", "order_qty",
        "trade_qty", "total_trade_value", "error_msg", "error_code", "last_match_qty",
        "last_match_price", "counter_order_id", "frozen_trade_value")),
    "on_trade": (True, 0, ()),
    "on_order_action_error": (True, 0, ("client_order_id",)),
    "on_algo_login": (True, 0, ("client_seq_id", "trader_id", "error_code", "error_msg")),
    "on_create_algo_parent_order_res": (True, 0, (
        "client_seq_id", "sys_quote_id", "error_code", "error_msg")),
    "on_cancel_algo_parent_order_res": (True, 0, ("sys_quote_id", "error_code", "error_msg")),
    "on_control_algo_parent_order_res": (True, 0, (
        "sys_quote_id", "error_code", "error_msg", "control_type")),
    "on_algo_parent_order_update": (True, 0, ("sys_quote_id",)),
    "on_algo_child_order_update": (True, 0, ("sys_quote_id",)),
    "on_algo_child_order_trade": (True, 0, ("sys_quote_id",)),
}
# Attributes the bridge reads on some paths only: recorded when the record has
# them, not required of a line (a pause answer need not carry the resume test's).
READ_IF_PRESENT = {"on_control_algo_parent_order_res": ("algo_control_type",)}
# Callbacks taking just a record: written as rows of values after a shape line.
ROWS = frozenset(cb for cb, (takes_rec, nargs, _) in CALLBACKS.items()
                 if takes_rec and not nargs and cb != "on_query_position")


class SessionError(Exception):
    """The session cannot be read on: not a session, unreadable, or too new."""


class LineError(Exception):
    """One malformed line; the rest of the session may still be played."""

    def __init__(self, lineno, message):
        if len(message) > 500:  # it is kept and printed: never a line's worth of text
            message = message[:497] + "..."
        super().__init__("line %d: %s" % (lineno, message))
        self.lineno = lineno
        self.message = message
