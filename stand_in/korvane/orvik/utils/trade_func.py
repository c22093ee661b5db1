"""Host mappings from gateway codes to host values.

Markets: a ``pymach.enums.MarketType`` member or its value, which is the
gateway's integer market id (Shanghai 101, Shenzhen 102); position records
carry the id, market-data records the member. Exchange suffixes: "XSHG" for
Shanghai, "XSHE" for Shenzhen.

Trading gateways: the upper-case names "SIM", "PAPER" and "RELAY" map to the
``TDType`` members of the same name in mixed case. Matching is exact; the
bridge upper-cases the name before asking.

Level-2 codes arrive as one-character text:

=========  ==========================  ==========================
           Shenzhen                    Shanghai
=========  ==========================  ==========================
side       "1" buy, "2" sell           "1"/"B" buy, "2"/"S" sell
order      "1" market, "2" limit,      "A" add, "D" delete; both
type       "U" best own side; all      are limit orders
           three are additions
=========  ==========================  ==========================

Trade type (either market): "F" fill, "4" cancellation (Shenzhen reports
withdrawn orders in the trade stream).

Unknown codes, names and markets raise ValueError naming them; a code that is
not text raises TypeError.
"""

from korvane.orvik.const import L2_ORDER_TYPE, ORDER_TYPE, SIDE, TRADE_TYPE
from pymach.enums import MarketType, TDType

_EXCHANGES = {MarketType.SZSE: "XSHE", MarketType.SSE: "XSHG"}

_TD_TYPES = {
    "SIM": TDType.Sim,
    "PAPER": TDType.Paper,
    "RELAY": TDType.Relay,
}

_SIDES = {
    MarketType.SZSE: {"1": SIDE.BUY, "2": SIDE.SELL},
    MarketType.SSE: {"1": SIDE.BUY, "2": SIDE.SELL, "B": SIDE.BUY, "S": SIDE.SELL},
}

_ORDER_TYPES = {
    MarketType.SZSE: {"1": ORDER_TYPE.MARKET, "2": ORDER_TYPE.LIMIT, "U": ORDER_TYPE.BEST_OWN},
    MarketType.SSE: {"A": ORDER_TYPE.LIMIT, "D": ORDER_TYPE.LIMIT},
}

_L2_ORDER_TYPES = {
    MarketType.SZSE: {"1": L2_ORDER_TYPE.ADD, "2": L2_ORDER_TYPE.ADD, "U": L2_ORDER_TYPE.ADD},
    MarketType.SSE: {"A": L2_ORDER_TYPE.ADD, "D": L2_ORDER_TYPE.DELETE},
}

_TRADE_TYPES = {"F": TRADE_TYPE.FILL, "4": TRADE_TYPE.CANCEL}


def _market(market):
    if isinstance(market, MarketType):
        return market
    # Exact int only: a float or a bool equal to an id is a caller's mistake.
    if type(market) is int:
        try:
            return MarketType(market)
        except ValueError:
            pass
    raise ValueError("unknown gateway market %r" % (market,))


def _lookup(table, code, what, market=None):
    if not isinstance(code, str):
        raise TypeError("%s code must be one-character text, not %r" % (what, code))
    try:
        return table[code]
    except KeyError:
        where = "" if market is None else " for %s" % market.name
        raise ValueError("unknown level-2 %s code %r%s" % (what, code, where)) from None


def get_exchane_from_mach_mdtype(market):
    return _EXCHANGES[_market(market)]


def get_mach_tdtype(name):
    if not isinstance(name, str):
        raise TypeError("trading gateway name must be text, not %r" % (name,))
    try:
        return _TD_TYPES[name]
    except KeyError:
        raise ValueError("unknown trading gateway %r (known: %s)"
                         % (name, ", ".join(_TD_TYPES))) from None


def get_side_from_mach_l2_order(side, market_type):
    market = _market(market_type)
    return _lookup(_SIDES[market], side, "side", market)


def get_order_type_from_mach_l2_order(order_type, market_type):
    market = _market(market_type)
    return _lookup(_ORDER_TYPES[market], order_type, "order type", market)


def get_l2order_type_from_mach(order_type, market_type):
    market = _market(market_type)
    return _lookup(_L2_ORDER_TYPES[market], order_type, "order type", market)


def get_trade_type_from_mach(trade_type):
    return _lookup(_TRADE_TYPES, trade_type, "trade type")
