"""The bridge's gateway callbacks as data: for each one, a valid sample call,
the record attributes it reads, and what one valid call leaves behind. The
bad-input, leak and thread tests walk this table, so a callback added here is
covered by all three."""
import itertools

from korvane.orvik.const import SIDE
from korvane.orvik.environment import Environment
from korvane.orvik.model.order import Order
from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log, user_system_log
from pymach.context import Context
from pymach.enums import AlgoControlType, MarketType, OrderStatusType as G
from pymach.records import Record
from support.bridge import drain

STAMP = 20260302093000123
END = 20260302093100000
CID = "bad-input-1"
CODE = "000001.XSHE"

SNAPSHOT = dict(orig_time=STAMP, security_id="000001", market_type=MarketType.SZSE, open_price=10.0,
                close_price=10.1, high_price=10.3, low_price=9.9, total_value_trade=1e6,
                total_volume_trade=1000, pre_close_price=10.0, ask_volume=[100, 200],
                ask_price=[10.2, 10.3], bid_volume=[300], bid_price=[10.1], high_limited=11.0,
                last_price=10.15, low_limited=9.0, open_interest=0, prev_settlement=0.0, iopv=0.0,
                trading_phase_code="T0")
TICK_ORDER = dict(order_time=STAMP, security_id="000001", market_type=MarketType.SZSE, side=49, biz_index=7,
                  order_price=10.5, order_volume=300, order_type=50, orig_order_no=99)
TICK_TRADE = dict(trade_time=STAMP, security_id="000001", market_type=MarketType.SZSE, bid_appl_seq_num=1001,
                  offer_appl_seq_num=1000, biz_index=8, trade_price=10.5, trade_volume=100, value_trade=1050.0,
                  trade_type=ord("F"))
BAR = dict(security_id="000001", market_type=MarketType.SZSE, end_time=END, open=1.0, close=2.0, high=3.0,
           low=0.5, amount=1000.0, volume=10, prev_close=1.5)
LOGIN = dict(fund_account_id="F1", error_code=0, error_msg="", client_seq_id=9)
ASSET = dict(fund_account_id="F1", available_t1=1.0, frozen_all=2.0, market_value=3.0, total_asset=4.0,
             leaves_value=5.0, init_leaves_value=6.0)
POSITION = dict(security_id="000001", market_id=102, init_qty=100, leaves_qty=100, available_qty=50,
                cost_price=9.5, last_price=10.0, market_value=1000.0, profit_loss=50.0)
ORDER = dict(client_order_id=CID, security_id="000001", order_price=10.0, order_status=G.Filled, order_qty=100,
             trade_qty=60, total_trade_value=615.0, error_msg="no money", error_code=20001, last_match_qty=20,
             last_match_price=10.5, counter_order_id=8001, frozen_trade_value=123.0)
ALGO_LOGIN = dict(client_seq_id=7, trader_id="T1", error_code=0, error_msg="")
ALGO_RES = dict(client_seq_id=8, sys_quote_id="Q1", error_code=0, error_msg="")
CONTROL = dict(sys_quote_id="Q1", error_code=0, error_msg="", control_type=AlgoControlType.Pause,
               algo_control_type=None)
ALGO_UPDATE = dict(sys_quote_id="Q1", status="running", qty=100, filled_qty=10)

# The attributes the order report's log line reads, whatever the status.
ORDER_LOGGED = ("client_order_id", "security_id", "order_price", "order_status", "order_qty", "trade_qty",
                "total_trade_value", "error_msg", "last_match_qty")


class Case:
    """One way of calling one callback.

    ``record``: the sample gateway record (first argument), ``extra``: further
    positional arguments, ``reads``: the record attributes this call reads (all
    of them before anything is posted), ``posts``: events one valid call posts."""

    def __init__(self, id, method, record, reads=None, extra=(), posts=1, book=False, late=(), stored=None):
        self.id = id
        self.method = method
        self.record = dict(record)
        self.reads = tuple(self.record if reads is None else reads)
        self.extra = tuple(extra)
        self.posts = posts
        self.book = book  # needs the host order in orders_dict
        # attributes whose value is first used after the event is posted
        self.late = frozenset(late)
        # the registry written before the record is deep-copied for the event
        self.stored = stored

    def args(self, **changes):
        """Fresh valid arguments, with record attributes changed (a value of
        DROP removes the attribute)."""
        attrs = {k: v for k, v in {**self.record, **changes}.items() if v is not DROP}
        return (Record(**attrs),) + self.extra

    def __repr__(self):
        return self.id


DROP = object()

CASES = [
    Case("snapshot", "on_snapshot", SNAPSHOT),
    Case("tick_order", "on_tick_order", TICK_ORDER),
    Case("tick_trade", "on_tick_trade", TICK_TRADE),
    Case("bar", "on_bar", BAR),
    Case("login", "on_login", LOGIN, late=["error_code"]),
    Case("login_failed", "on_login", {**LOGIN, "error_code": 5}, late=["error_code"]),
    Case("asset", "on_query_asset", ASSET, extra=(11, 0, "ok")),
    Case("asset_failed", "on_query_asset", ASSET, reads=("fund_account_id", "leaves_value"),
         extra=(11, 3, "down")),
    Case("order_accepted", "on_order", {**ORDER, "order_status": G.Sended},
         reads=ORDER_LOGGED + ("counter_order_id", "frozen_trade_value"), book=True),
    Case("order_filled", "on_order", ORDER, reads=ORDER_LOGGED + ("last_match_price",), book=True),
    Case("order_cancelled", "on_order", {**ORDER, "order_status": G.Cancelled},
         reads=ORDER_LOGGED + ("last_match_price",), posts=2, book=True),
    Case("order_rejected", "on_order", {**ORDER, "order_status": G.Reject},
         reads=ORDER_LOGGED + ("error_code", "frozen_trade_value"), book=True),
    Case("order_unknown_id", "on_order", {**ORDER, "client_order_id": "nobody"}, reads=ORDER_LOGGED,
         posts=0),
    Case("order_action_error", "on_order_action_error", dict(client_order_id=CID), book=True),
    Case("trade", "on_trade", dict(trade_id="x"), reads=(), posts=0),
    Case("algo_login", "on_algo_login", ALGO_LOGIN),
    Case("parent_create", "on_create_algo_parent_order_res", ALGO_RES),
    Case("parent_cancel", "on_cancel_algo_parent_order_res", ALGO_RES,
         reads=("sys_quote_id", "error_code", "error_msg")),
    Case("parent_pause", "on_control_algo_parent_order_res", CONTROL,
         reads=("control_type", "sys_quote_id", "error_code", "error_msg")),
    Case("parent_resume", "on_control_algo_parent_order_res",
         {**CONTROL, "control_type": AlgoControlType.Resume, "algo_control_type": AlgoControlType.Resume}),
    Case("parent_update", "on_algo_parent_order_update", ALGO_UPDATE, reads=("sys_quote_id",), stored="parents"),
    Case("child_update", "on_algo_child_order_update", ALGO_UPDATE, reads=("sys_quote_id",), stored="children"),
    Case("child_trade", "on_algo_child_order_trade", ALGO_UPDATE, reads=("sys_quote_id",), stored="trades"),
]
BY_ID = {c.id: c for c in CASES}

# (case, attribute) for every attribute each case reads.
READS = [(c, a) for c in CASES for a in c.reads]


def bridge():
    """A strategy in its post-construction state, without the SDK start-up."""
    b = object.__new__(maviro.MachStrategy)
    b.context = Context()
    b.logged_in = False
    b.order_num = 0
    b.bar_cnt = 0
    b.current_trade_dt = 0
    return b


def host_order():
    return Order(market_code=CODE, order_id=7, side=SIDE.BUY, price=10.0, quantity=100)


def prepare(case):
    """The world a case expects: the host order in the book for order cases,
    a universe of one so that each bar completes its end time."""
    if case.book:
        REAL["orders_dict"][CID] = host_order()
    Environment.get_instance().universe[:] = ["x"]


def reset_logs():
    system_log.clear()
    user_system_log.clear()


# The module's own containers: a test may rebind the module globals, but these
# objects stay the ones the host imported.
REAL = {name: getattr(maviro, name) for name in (
    "event_queue", "history_tick", "history_bar", "orders_dict", "algo_parent_orders", "algo_child_orders",
    "algo_child_trades")}
QUEUE = REAL["event_queue"]


def clean():
    """Empty the module's own containers and its queue."""
    for container in REAL.values():
        container.clear() if isinstance(container, dict) else drain(container)


def state(b=None):
    """What a failing callback must leave as it was: the caches, the registries,
    the order book's keys and the strategy's own attributes."""
    out = dict(
        history_tick={k: list(v) for k, v in REAL["history_tick"].items()},
        history_bar={k: list(v) for k, v in REAL["history_bar"].items()},
        orders=list(REAL["orders_dict"]),
        parents=dict(REAL["algo_parent_orders"]),
        children=dict(REAL["algo_child_orders"]),
        trades=dict(REAL["algo_child_trades"]),
    )
    if b is not None:
        out.update(bar_cnt=b.bar_cnt, current_trade_dt=b.current_trade_dt, logged_in=b.logged_in,
                   context_calls=list(b.context.calls))
    return out


def cycle(*ids):
    """An endless round of fresh argument tuples for the given cases."""
    cases = [BY_ID[i] for i in ids]
    return itertools.cycle(cases)
