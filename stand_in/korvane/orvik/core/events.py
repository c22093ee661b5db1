"""Host events: the event types and the ``Event`` record posted to the queue."""

import enum


class EVENT(enum.Enum):
    BEFORE_TRADING = "before_trading"
    OPEN_AUCTION = "open_auction"
    AFTER_TRADING = "after_trading"
    TICK = "tick"
    L2_ORDER = "l2_order"
    L2_TRANSACTION = "l2_transaction"
    BAR = "bar"
    LOGIN = "login"
    QUERY_ACCOUNT = "query_account"
    QUERY_POSITION = "query_position"
    ORDER_CREATION_PASS = "order_creation_pass"
    TRADE = "trade"
    ORDER_CANCELLATION_PASS = "order_cancellation_pass"
    ORDER_PENDING_CANCEL = "order_pending_cancel"
    ORDER_UNSOLICITED_UPDATE = "order_unsolicited_update"
    ORDER_CANCELLATION_REJECT = "order_cancellation_reject"
    ALGO_LOGIN = "algo_login"
    PARENT_ORDER_CREATE = "parent_order_create"
    PARENT_ORDER_CANCEL = "parent_order_cancel"
    PARENT_ORDER_PAUSE = "parent_order_pause"
    PARENT_ORDER_RESUME = "parent_order_resume"
    PARENT_ORDER_UPDATE = "parent_order_update"
    CHILD_ORDER_UPDATE = "child_order_update"
    CHILD_ORDER_TRADE = "child_order_trade"


class Event:
    """``Event(event_type, **fields)``: each field is readable as an attribute,
    and ``fields`` gives them as a new dict in the order they were passed
    (tests check keyword order). Names starting with "_" and the name
    "fields" are refused because they would hide the record's own members."""

    def __init__(self, event_type, **fields):
        for name in fields:
            if name.startswith("_") or name == "fields":
                raise TypeError("Event field name %r is reserved" % (name,))
        self.event_type = event_type
        self._fields = fields
        self.__dict__.update(fields)

    @property
    def fields(self):
        return dict(self._fields)

    def __repr__(self):
        parts = [repr(self.event_type)]
        parts.extend("%s=%r" % item for item in self._fields.items())
        return "Event(%s)" % ", ".join(parts)
