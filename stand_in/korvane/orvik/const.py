"""Host enumerations. Plain ``enum.Enum``: members equal only themselves
(never a bare string or number) and deep-copy to themselves."""

import enum


class ORDER_STATUS(enum.Enum):
    PENDING_NEW = "PENDING_NEW"
    ACTIVE = "ACTIVE"
    PARTIALLY_FILLED = "PARTIALLY_FILLED"
    FILLED = "FILLED"
    PENDING_CANCEL = "PENDING_CANCEL"
    CANCELLED = "CANCELLED"
    REJECTED = "REJECTED"


class POSITION_DIRECTION(enum.Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class SIDE(enum.Enum):
    BUY = "BUY"
    SELL = "SELL"


class ORDER_TYPE(enum.Enum):
    MARKET = "MARKET"
    LIMIT = "LIMIT"
    # A market order priced at the best quote on the order's own side.
    BEST_OWN = "BEST_OWN"


class POSITION_EFFECT(enum.Enum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class L2_ORDER_TYPE(enum.Enum):
    ADD = "ADD"
    DELETE = "DELETE"


class TRADE_TYPE(enum.Enum):
    FILL = "FILL"
    CANCEL = "CANCEL"
