"""What a body line decodes into: a callback (Entry), a host order entering
the order book, or the end of a recorded session."""

import datetime as _dt
from typing import Any, Dict, List, Optional, Union

import msgspec

from bridge_replay.session.codec import format_time

# What a record's plain attributes hold: numbers, text, true/false/null and
# lists of those. Typed, so that msgspec refuses anything nested deeper while
# it decodes, at no extra cost.
_SCALAR = Union[None, bool, int, float, str]
PLAIN = Union[None, bool, int, float, str, List[_SCALAR]]


class Entry(msgspec.Struct):
    """One callback of a session, decoded straight from its line: ``t`` its
    virtual time, ``cb`` the callback, ``call`` the argument tuple. The
    other fields hold the line's raw parts until they are decoded (``rec``:
    plain attributes, or the list of on_query_position's tagged records)."""

    t: Optional[_dt.datetime] = None
    cb: Optional[str] = None
    rec: Union[Dict[str, PLAIN], List[Any], None] = None
    x: Optional[dict] = None
    args: Any = None
    recv: Any = None
    client_order_id: Any = None
    order: Any = None
    dropped: Any = None
    shape: Any = None
    of: Any = None
    names: Any = None
    tagged: Any = None
    call: Any = None
    lineno: int = 0

    def __repr__(self):
        return "Entry(line %d, %s %s)" % (self.lineno, self.t, self.cb)


class EntryV1(Entry):
    """A version 1 line: every attribute in ``rec``, in tagged form."""

    rec: Any = None


class HostOrder:
    """A host order: its client order id, when it enters the order book, and
    the attributes the host adapter rebuilds it from."""

    __slots__ = ("t", "client_order_id", "attrs", "lineno")

    def __init__(self, t, client_order_id, attrs, lineno=None):
        self.t = t
        self.client_order_id = client_order_id
        self.attrs = attrs
        self.lineno = lineno

    def to_json(self, encoder):
        return {"t": format_time(self.t), "cb": "$order",
                "client_order_id": encoder.value(self.client_order_id),
                "order": {k: encoder.value(v, "order.%s" % k) for k, v in self.attrs.items()}}


class End:
    """The end of a recorded session; ``dropped``: callbacks the recorder could not keep."""

    __slots__ = ("t", "lineno", "dropped")

    def __init__(self, t, lineno, dropped=0):
        self.t = t
        self.lineno = lineno
        self.dropped = dropped
