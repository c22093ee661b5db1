"""The light host: the cheapest stand-ins for the host framework that still do
what the hot callbacks need of it, so that a benchmark measures the bridge and
not the full stand-ins' Python converters, validation and logging.

`install(module)` binds them into a module's globals (the bridge's, or the
interpreted baseline's); both implementations look their globals up at use, so
they then make the same calls to the same objects.

- time converters: the stand-in's exact converter, remembered per stamp (a dict
  whose bound `__getitem__` computes a missing stamp once);
- exchange and level-2 code mappings: dict lookups, markets told apart by identity;
- Event, TickObject and the level-2 and trade factories: tuples and dicts of
  what they are given; AlgoChildOrder keeps the newest report;
- Environment: one instance, handed out by a C callable; instruments and
  accounts are dicts of the codes;
- system_log: keeps each line in a list, no `logging` behind it;
- Order (for the order book): a `__deepcopy__` that copies the fields (all
  immutable) in one step, so `copy.deepcopy` stays the real one.
"""
import itertools

from korvane.orvik.const import L2_ORDER_TYPE, ORDER_TYPE, ORDER_STATUS, POSITION_EFFECT, SIDE, TRADE_TYPE
from korvane.orvik.environment import Instrument
from korvane.orvik.portfolio.account import Account
from korvane.orvik.utils import datetime_func
from pymach.enums import MarketType


class Memo(dict):
    """key -> convert(key), computed on the first lookup of each key."""
    __slots__ = ("convert",)

    def __init__(self, convert):
        super().__init__()
        self.convert = convert

    def __missing__(self, key):
        value = self[key] = self.convert(key)
        return value


convert_int_to_datetime = Memo(datetime_func.convert_int_to_datetime).__getitem__
convert_int_to_whole_date = Memo(datetime_func.convert_int_to_whole_date).__getitem__

# Market members are told apart by identity: the SDK's enum hashes in Python,
# which would cost more than the whole lookup.
SZSE, SSE = MarketType.SZSE, MarketType.SSE
_SZSE_SIDES, _SSE_SIDES = {"1": SIDE.BUY, "2": SIDE.SELL}, {"1": SIDE.BUY, "2": SIDE.SELL, "B": SIDE.BUY,
                                                              "S": SIDE.SELL}
_SZSE_TYPES = {"1": ORDER_TYPE.MARKET, "2": ORDER_TYPE.LIMIT, "U": ORDER_TYPE.BEST_OWN}
_SSE_TYPES = {"A": ORDER_TYPE.LIMIT, "D": ORDER_TYPE.LIMIT}
_SZSE_L2 = {"1": L2_ORDER_TYPE.ADD, "2": L2_ORDER_TYPE.ADD, "U": L2_ORDER_TYPE.ADD}
_SSE_L2 = {"A": L2_ORDER_TYPE.ADD, "D": L2_ORDER_TYPE.DELETE}
get_trade_type_from_mach = {"F": TRADE_TYPE.FILL, "4": TRADE_TYPE.CANCEL}.__getitem__


def get_exchane_from_mach_mdtype(market):
    return "XSHE" if market is SZSE else "XSHG"


def get_side_from_mach_l2_order(side, market_type):
    return (_SZSE_SIDES if market_type is SZSE else _SSE_SIDES)[side]


def get_order_type_from_mach_l2_order(order_type, market_type):
    return (_SZSE_TYPES if market_type is SZSE else _SSE_TYPES)[order_type]


def get_l2order_type_from_mach(order_type, market_type):
    return (_SZSE_L2 if market_type is SZSE else _SSE_L2)[order_type]


# Events, tick objects and level-2 records as plain tuples and dicts: what the
# host keeps of them, made by the cheapest call that keeps it.
def Event(event_type, **fields):
    return event_type, fields


def TickObject(instrument, tick):
    return instrument, tick


class L2Order:
    @staticmethod
    def __from_create__(*values):
        return values


class L2Transaction:
    @staticmethod
    def __from_create__(*values):
        return values


class Trade:
    @staticmethod
    def __from_create__(**fields):
        return fields


class Order:
    def __init__(self, market_code, order_id, side, price, quantity, status=ORDER_STATUS.ACTIVE):
        self.market_code, self.order_id, self.side, self.price, self.quantity = \
            market_code, order_id, side, price, quantity
        self.position_effect, self.status, self.filled_quantity, self.unfilled_quantity = \
            POSITION_EFFECT.OPEN, status, 0, quantity
        self.avg_price, self.secondary_order_id, self.frozen_cash, self.message = 0.0, None, 0.0, ""

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        self.status = ORDER_STATUS.REJECTED
        self.message = reason

    def __deepcopy__(self, memo):
        # Every field holds an immutable value, so copying the fields is a deep copy.
        dup = Order.__new__(Order)
        dup.__dict__.update(self.__dict__)
        return dup


class AlgoChildOrder:
    """Keeps the newest report of its child order."""
    __slots__ = ("report",)

    @staticmethod
    def from_mach(report, existing):
        record = AlgoChildOrder() if existing is None else existing
        record.report = report
        return record

    def __deepcopy__(self, memo):
        dup = AlgoChildOrder()
        dup.report = self.report
        return dup


class _Log:
    __slots__ = ("records", "debug", "info", "warning", "error")

    def __init__(self):
        self.records = []
        self.debug = self.info = self.warning = self.error = self.records.append

    def clear(self):
        del self.records[:]


system_log = _Log()
user_system_log = _Log()


class _DataProxy:
    __slots__ = ("instruments",)

    def __init__(self):
        self.instruments = Memo(Instrument).__getitem__


class _Environment:
    __slots__ = ("data_proxy", "universe", "get_account", "get_universe")

    def __init__(self):
        self.data_proxy = _DataProxy()
        self.universe = []
        # One account per exchange suffix, as the host keeps them.
        self.get_account = Memo(lambda code: Account(code.rpartition(".")[2])).__getitem__
        self.get_universe = itertools.repeat(self.universe).__next__


class Environment:
    get_instance = staticmethod(itertools.repeat(_Environment()).__next__)


NAMES = ("convert_int_to_datetime", "convert_int_to_whole_date", "get_exchane_from_mach_mdtype",
         "get_side_from_mach_l2_order", "get_order_type_from_mach_l2_order", "get_l2order_type_from_mach",
         "get_trade_type_from_mach", "Event", "TickObject", "L2Order", "L2Transaction", "Trade",
         "AlgoChildOrder", "system_log", "user_system_log", "Environment")


def install(module):
    """Bind the light host into `module`; returns the names it replaced and
    their old values, so the caller can put them back."""
    old = {name: module.__dict__.get(name) for name in NAMES}
    for name in NAMES:
        setattr(module, name, globals()[name])
    return old
