"""Gateway records: objects read by attribute name only.

``Record`` takes any attributes. The record types below declare, as
annotations, the fields the gateway delivers in each kind of record (the
bridge's ``bridge-replay check`` reads them); each is still built like a
``Record``, from keywords, and holds exactly what it was given."""


class Record:
    """``Record(**attrs)`` has exactly the given attributes; reading any other
    raises AttributeError, as reading a field a gateway record lacks would.
    ``vars(record)`` gives the attributes, e.g. to build a changed copy with
    ``Record(**{**vars(r), "trade_qty": 0})``."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return "Record(%s)" % ", ".join("%s=%r" % item for item in self.__dict__.items())


class Snapshot(Record):
    """A level-1 snapshot. Time stamps are YYYYMMDDHHMMSSmmm; the depth
    fields are lists, best price first."""
    orig_time: int
    security_id: str
    market_type: object  # a MarketType member
    open_price: float
    close_price: float
    high_price: float
    low_price: float
    total_value_trade: float
    total_volume_trade: int
    pre_close_price: float
    ask_volume: list
    ask_price: list
    bid_volume: list
    bid_price: list
    high_limited: float
    last_price: float
    low_limited: float
    open_interest: int
    prev_settlement: float
    iopv: float
    trading_phase_code: str


class TickOrder(Record):
    """A level-2 order; ``side`` and ``order_type`` are character codes."""
    order_time: int
    security_id: str
    market_type: object
    side: int
    biz_index: int
    order_price: float
    order_volume: int
    order_type: int
    orig_order_no: int


class TickTrade(Record):
    """A level-2 trade; ``trade_type`` is a character code."""
    trade_time: int
    security_id: str
    market_type: object
    bid_appl_seq_num: int
    offer_appl_seq_num: int
    biz_index: int
    trade_price: float
    trade_volume: int
    value_trade: float
    trade_type: int


class Bar(Record):
    security_id: str
    market_type: object
    end_time: int
    open: float
    close: float
    high: float
    low: float
    amount: float
    volume: int
    prev_close: float


class LoginRes(Record):
    fund_account_id: str
    error_code: int
    error_msg: str
    client_seq_id: int


class AssetRes(Record):
    fund_account_id: str
    available_t1: float
    frozen_all: float
    market_value: float
    total_asset: float
    leaves_value: float
    init_leaves_value: float


class PositionRes(Record):
    """One holding of a position query's answer (a list of them)."""
    security_id: str
    market_id: int  # a MarketType value
    init_qty: int
    leaves_qty: int
    available_qty: int
    cost_price: float
    last_price: float
    market_value: float
    profit_loss: float


class OrderReport(Record):
    """An order's state at the gateway; ``order_status`` is an
    OrderStatusType member, the figures cumulative."""
    client_order_id: str
    security_id: str
    order_price: float
    order_status: object
    order_qty: int
    trade_qty: int
    total_trade_value: float
    error_msg: str
    error_code: int
    last_match_qty: int
    last_match_price: float
    counter_order_id: int
    frozen_trade_value: float


class TradeReport(Record):
    client_order_id: str
    exec_id: str
    security_id: str
    trade_price: float
    trade_qty: int
    trade_time: int


class OrderActionError(Record):
    client_order_id: str
    error_code: int
    error_msg: str


class AlgoLoginRes(Record):
    client_seq_id: int
    trader_id: str
    error_code: int
    error_msg: str


class CreateParentOrderRes(Record):
    client_seq_id: int
    sys_quote_id: str
    error_code: int
    error_msg: str


class CancelParentOrderRes(Record):
    sys_quote_id: str
    error_code: int
    error_msg: str


class ControlParentOrderRes(Record):
    """``control_type`` and ``algo_control_type`` are AlgoControlType members."""
    sys_quote_id: str
    error_code: int
    error_msg: str
    control_type: object
    algo_control_type: object


class ParentOrderUpdate(Record):
    sys_quote_id: str
    security_id: str
    side: str
    algo: str
    qty: int
    filled_qty: int
    status: str


class ChildOrderUpdate(Record):
    sys_quote_id: str
    parent_id: str
    security_id: str
    price: float
    order_qty: int
    trade_qty: int
    status: str


class ChildTrade(Record):
    sys_quote_id: str
    parent_id: str
    security_id: str
    trade_qty: int
    trade_price: float
