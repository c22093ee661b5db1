"""Gateway SDK enumerations. Plain ``enum.Enum``, so members never equal bare
numbers. ``MarketType`` values are the gateway's market ids, the ones that
position records carry in ``market_id``."""

import enum

__all__ = ["MDType", "MarketType", "SubscribeDataType", "AlgoType", "TDType",
           "OrderStatusType", "AlgoControlType"]


class MDType(enum.Enum):
    MaMD = 1
    AMD = 2


class MarketType(enum.Enum):
    SSE = 101
    SZSE = 102


class SubscribeDataType(enum.Enum):
    Bar = 1
    Snapshot = 2
    TickOrder = 3
    TickTrade = 4


class AlgoType(enum.Enum):
    ATX = 1


class TDType(enum.Enum):
    """Trading gateways: a simulated counter, a paper-trading account, and a
    relay to a broker counter."""
    Sim = 1
    Paper = 2
    Relay = 3


class OrderStatusType(enum.Enum):
    UnSend = 0
    Sended = 1
    PartiallyFilled = 2
    Filled = 3
    PartiallyFilledPartiallyCancelled = 4
    WaitCancelled = 5
    PartiallyFilledWaitCancelled = 6
    Cancelled = 7
    Reject = 8
    # A status the bridge has no branch for.
    Unknown = 99


class AlgoControlType(enum.Enum):
    Pause = 1
    Resume = 2
