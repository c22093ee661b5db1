"""Session files: one JSON document per line, plain or gzip-compressed
(possibly several gzip members one after another, as the recorder writes them).

The README's "Session files" section is the reference; in short:

- line 1, the header: ``{"format": "pymach-session", "version": 2, "start": ...,
  "config": {...}, "universe": [...], "orders": [...], "meta": {...}}``;
  ``version`` is the major version: a newer one is refused, unknown keys are
  ignored everywhere;
- every further line is a callback ``{"t", "cb", "rec", "x", "args", "recv"}``,
  a host order ``{"t", "cb": "$order", "client_order_id", "order"}`` or the
  end of the session ``{"t", "cb": "$end"}``;
- since minor version 1, ``{"t", "cb": "$shape", "shape", "of", "names", "tagged"}``
  declares a record shape, and a row ``[shape, t, recv, value...]`` is a
  callback taking just a record, its values in the order of ``names``
  (tagged at the positions in ``tagged``, plain JSON elsewhere).

In version 2 ``rec`` holds the record's attributes whose values are plain JSON
(taken as they are: a text is always a text) and ``x`` the others, encoded
with tags (enumeration members by name, nested records, tuples...). So the
reader does no work per plain attribute. Version 1 put everything in ``rec``
with the tagged rules; it is still read.
"""

import datetime as _dt
import enum
import io
import itertools
import json
import math
import operator
import sys
import types
import zlib
from typing import Any, Optional, Union

import msgspec

try:  # the writer's row check in C, built with the tool when a compiler was at hand
    from bridge_replay import _rows
except ImportError:
    _rows = None

FORMAT = "pymach-session"
VERSION = 2
MINOR = 1
READS = (1, 2)
DEFAULT_MAX_LINE = 16 << 20

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
_REQUIRED = {cb: frozenset(req) for cb, (_, _, req) in CALLBACKS.items()}
# Callbacks taking just a record: written as rows of values after a shape line.
ROWS = frozenset(cb for cb, (takes_rec, nargs, _) in CALLBACKS.items()
                 if takes_rec and not nargs and cb != "on_query_position")
_MAX_SHAPES = 4096


class SessionError(Exception):
    """The session cannot be read on: not a session, unreadable, or too new."""


class LineError(Exception):
    """One malformed line; the rest of the session may still be played."""

    def __init__(self, lineno, message):
        super().__init__("line %d: %s" % (lineno, message))
        self.lineno = lineno
        self.message = message


class Record:
    """A gateway record read from a session: only the attributes it was given."""

    def __init__(self, **attrs):
        self.__dict__.update(attrs)

    def __repr__(self):
        return "Record(%s)" % ", ".join("%s=%r" % kv for kv in self.__dict__.items())


_new_record = object.__new__


def make_record(attrs):
    """A Record owning ``attrs`` (a dict with text keys), without copying it."""
    r = _new_record(Record)
    r.__dict__ = attrs
    return r


# ---------------------------------------------------------------- enumerations

class Member:
    """An enumeration member known only by name ("OrderStatusType.Filled"), for
    writing sessions without importing the SDK or the host. Interned: use
    ``member(text)``."""

    __slots__ = ("text",)

    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return self.text


_MEMBERS = {}


def member(text):
    found = _MEMBERS.get(text)
    if found is None:
        found = _MEMBERS.setdefault(text, Member(text))
    return found


def _is_enumeration(cls):
    if not isinstance(cls, type):
        return False
    if issubclass(cls, enum.Enum):
        return cls is not enum.Enum and len(cls.__members__) > 0
    # A plain class (a native SDK's, say) whose members are instances of it.
    return any(type(v) is cls for k, v in vars(cls).items() if not k.startswith("_"))


class Enumerations:
    """Enumeration classes by name, for writing members as "Class.member" and
    reading them back. Works for ``enum.Enum`` classes and for plain classes
    whose members are instances of the class."""

    def __init__(self, classes=()):
        self.by_name = {}
        self._names = {}  # class -> {id(member): name}
        for cls in classes:
            self.add(cls)

    @classmethod
    def from_namespace(cls, *namespaces, extra=()):
        out = cls()
        for ns in namespaces:
            for value in list(ns.values()):
                if _is_enumeration(value):
                    out.add(value)
        for value in extra:
            out.add(value)
        return out

    def add(self, cls):
        if issubclass(cls, enum.Enum):
            names = {id(m): m.name for m in cls}
        else:
            names = {id(v): k for k, v in vars(cls).items()
                     if not k.startswith("_") and type(v) is cls}
        self.by_name[cls.__name__] = cls
        self._names[cls] = names

    def name_of(self, value):
        """"Class.member" for a member of a known class, else None."""
        names = self._names.get(type(value))
        if names is None:
            return None
        name = names.get(id(value))
        if name is None:
            # A copy of a member (deepcopy of a plain object) still names it.
            name = getattr(value, "name", None)
            if type(name) is not str or id(vars(type(value)).get(name)) not in names:
                return None
        return "%s.%s" % (type(value).__name__, name)

    def knows(self, text):
        cls_name, dot, _ = text.partition(".")
        return bool(dot) and cls_name in self.by_name

    def lookup(self, text):
        """The member for "Class.member"; KeyError-free: raises _DecodeError."""
        cls_name, _, name = text.partition(".")
        cls = self.by_name[cls_name]
        if issubclass(cls, enum.Enum):
            try:
                return cls[name]
            except KeyError:
                pass
        else:
            value = vars(cls).get(name)
            if value is not None and type(value) is cls:
                return value
        raise _DecodeError("%r: %s has no member %r" % (text, cls_name, name))


# ---------------------------------------------------------------- encoding

class _DecodeError(Exception):
    pass


_PLAIN = (type(None), bool, int, str)


def _plain(value):
    t = type(value)
    if t in _PLAIN:
        return True
    if t is float:
        return math.isfinite(value)
    if t is list:
        for v in value:
            tv = type(v)
            if tv not in _PLAIN and not (tv is float and math.isfinite(v)):
                return False
        return True
    return False


def _plain_list(v, _inf=float("inf")):
    # A finite sum of ints and floats says every element is a finite number.
    try:
        total = sum(v)
    except (TypeError, OverflowError):  # a huge int beside a float: checked one by one
        return _plain(v)
    t = type(total)
    if t is int or (t is float and total - total == 0.0):
        return True
    return _plain(v)


def record_attrs(record):
    """The attributes of a record object, in definition order, or None."""
    d = getattr(record, "__dict__", None)
    if d is not None and not isinstance(record, type):
        return {k: v for k, v in d.items() if not k.startswith("_")}
    slots = []
    for cls in type(record).__mro__:
        s = cls.__dict__.get("__slots__", ())
        slots.extend([s] if isinstance(s, str) else s)
    if slots:
        return {n: getattr(record, n) for n in slots
                if not n.startswith("_") and hasattr(record, n)}
    return None


class Encoder:
    """Turns callback arguments into session lines (text, no line break)."""

    def __init__(self, enums):
        self.enums = enums
        self._json = msgspec.json.Encoder()
        self._plans = {}
        self._member_names = {}
        self._shapes = {}
        self._last = {}

    def value(self, value, where="value"):
        """The tagged form of any value (nested records, members, tuples...)."""
        t = type(value)
        if value is None or t is bool or t is int:
            return value
        if t is float:
            if math.isfinite(value):
                return value
            return {"$float": "nan" if value != value else ("inf" if value > 0 else "-inf")}
        if t is str:
            return {"$str": value} if self.enums.knows(value) else value
        if t is Member:
            return value.text
        name = self.enums.name_of(value)
        if name is not None:
            return name
        if isinstance(value, enum.Enum):
            raise TypeError("%s: enumeration %s is not one the session knows"
                            % (where, type(value).__name__))
        if t is list:
            return [self.value(v, where) for v in value]
        if t is tuple:
            return {"$tuple": [self.value(v, where) for v in value]}
        if t is dict:
            return {"$dict": {_key(k, where): self.value(v, where) for k, v in value.items()}}
        if isinstance(value, (bool, int)):
            return int(value)
        if isinstance(value, float):
            return self.value(float(value), where)
        if isinstance(value, str):
            return self.value(str(value), where)
        item = getattr(value, "item", None)  # numpy scalars
        if item is not None and hasattr(value, "dtype"):
            return self.value(item(), where)
        attrs = value if isinstance(value, _AttrDict) else record_attrs(value)
        if attrs is not None:
            return {k: self.value(v, "%s.%s" % (where, k)) for k, v in attrs.items()}
        raise TypeError("%s: cannot write a %s to a session" % (where, t.__name__))

    def record(self, attrs, where):
        """(plain attributes, tagged others) of a record's attribute dict."""
        # Records of one kind keep their attribute names and value types, so the
        # sorting into plain and tagged is planned once per shape; the values
        # are then checked in bulk (a finite sum says the numbers are plain).
        values = attrs.values()
        shape = (tuple(attrs), tuple(map(type, values)))
        plan = self._plans.get(shape)
        if plan is None:
            if len(self._plans) >= 4096:  # records of ever new shapes: keep it bounded
                self._plans.clear()
            plan = self._plans[shape] = self._plan(*shape)
        floats, lists, tagged = plan
        if floats is not None:
            total = sum(floats(attrs))
            if total - total != 0.0:
                return self._record(attrs, where)
        if lists is not None:
            try:
                total = sum(map(sum, lists(attrs)))
            except Exception:  # not all numbers: sorted one by one
                return self._record(attrs, where)
            t = type(total)
            if not (t is int or (t is float and total - total == 0.0)):
                return self._record(attrs, where)
        if not tagged:
            return attrs, {}
        plain = dict(attrs)
        x = {}
        known = self._member_names
        for k in tagged:
            v = plain.pop(k)
            if k[:1] != "_":
                hit = known.get(id(v))
                if hit is not None and hit[0] is v:
                    x[k] = hit[1]
                    continue
                name = self.enums.name_of(v)
                if name is None:
                    x[k] = self.value(v, "%s.%s" % (where, k))
                else:
                    x[k] = name
                    if len(known) < 4096:
                        # held here, so its id cannot pass to another object
                        known[id(v)] = (v, name)
        return plain, x

    @staticmethod
    def _plan(keys, types):
        floats, lists, tagged = [], [], []
        for k, t in zip(keys, types):
            if t is float:
                floats.append(k)
            elif t is list:
                lists.append(k)
            elif not (t is int or t is str or t is type(None)):
                tagged.append(k)

        def getter(ks):
            if not ks:
                return None
            if len(ks) == 1:
                return lambda d, k=ks[0]: (d[k],)
            return operator.itemgetter(*ks)
        return getter(floats), getter(lists), tuple(tagged)

    def _record(self, attrs, where):
        plain, x = {}, {}
        name_of = self.enums.name_of
        for k, v in attrs.items():
            t = type(v)
            if t is float:
                if v - v == 0.0:  # finite
                    plain[k] = v
                    continue
            elif t is int or t is str or v is None:
                plain[k] = v
                continue
            elif t is list and _plain_list(v):
                plain[k] = v
                continue
            if k[:1] != "_":
                name = name_of(v)
                x[k] = name if name is not None else self.value(v, "%s.%s" % (where, k))
        return plain, x

    def entry(self, t, cb, rec=None, args=(), recv=None):
        return self._json.encode(self.entry_obj(t, cb, rec, args, recv))

    def entry_obj(self, t, cb, rec=None, args=(), recv=None):
        """The line of ``entry`` as the object to encode."""
        takes_rec, nargs, _ = CALLBACKS[cb]
        line = {"t": format_time(t), "cb": cb}
        if takes_rec:
            attrs = rec if isinstance(rec, _AttrDict) else (
                None if type(rec) in (list, tuple) else record_attrs(rec))
            if attrs is None:
                line["rec"] = self.value(rec, cb)
            else:
                plain, x = self.record(attrs, cb)
                line["rec"] = plain
                if x:
                    line["x"] = x
        if nargs:
            line["args"] = [self.value(a, cb) for a in args]
        if recv is not None:
            line["recv"] = recv
        return line

    def entry_attrs(self, t, cb, attrs, args, recv):
        """A callback line whose record is given as its attribute dict."""
        return self._json.encode(self.attrs_obj(t, cb, attrs, args, recv))

    def attrs_obj(self, t, cb, attrs, args, recv):
        """The line of ``entry_attrs`` as the object to encode."""
        plain, x = self.record(attrs, cb)
        # The encoder writes a naive time as format_time does unless its microseconds are zero.
        line = {"t": t if t.microsecond and type(t) is _dt.datetime and t.tzinfo is None
                else format_time(t),
                "cb": cb, "rec": plain}
        if x:
            line["x"] = x
        if args:
            line["args"] = [self.value(a, cb) for a in args]
        line["recv"] = recv
        return line

    def row(self, add, t, cb, attrs, recv):
        """Hands ``add`` the line objects of a callback in ROWS: a shape line
        the first time its record's names and value types are met, then the
        values as an array. A record the shape cannot carry as it is (a nan
        in a number column, a list that is not all numbers) is written as an
        object line instead."""
        self.callbacks(add, ((cb, t, attrs, (), recv),))

    def callbacks(self, add, items, other=None, _fromtimestamp=_dt.datetime.fromtimestamp,
                  _datetime=_dt.datetime, _type=type, _tuple=tuple, _map=map, _sum=sum,
                  _chain=itertools.chain, _dict=dict):
        """Hands ``add`` the line objects of captured callbacks, each
        ``(cb, t, rec, args, recv)``: ``rec`` the record's attribute dict, a
        pair of tuples (names, values), the record itself or None; ``t`` None
        for the local time of ``recv``.
        Callbacks in ROWS with an attribute dict are written as ``row`` says.
        An item whose ``cb`` is no callback goes to ``other(add, item)``."""
        # One loop for a whole batch: the recorder's writer spends most of its
        # time here, so the usual row (same shape as the callback's last, plain
        # numbers) is done inline, without a call per row.
        last = self._last
        known = self._member_names
        attrdict = _AttrDict
        crow = _rows.row if _rows is not None else None
        for item in items:
            cb, t, rec, extra, recv = item
            if t is None:
                t = _fromtimestamp(recv)
            trec = _type(rec)
            if trec is _tuple:
                # A record read by its class's attrgetter: (names, values).
                if cb not in CALLBACKS:
                    other(add, item)
                    continue
                names, values = rec
                attrs = None
            elif trec is attrdict or trec is _dict:
                names = values = None  # read below only if needed
                attrs = rec
            else:
                if cb in CALLBACKS:
                    add(self.entry_obj(t, cb, rec, extra, recv))
                else:
                    other(add, item)
                continue
            if cb not in ROWS:
                add(self.attrs_obj(t, cb, _whole(attrs, names, values),
                                   extra, recv))
                continue
            tt = t if t.microsecond and _type(t) is _datetime and t.tzinfo is None \
                else format_time(t)
            line = None
            hit = last.get(cb)
            if crow is not None and hit is not None and hit[2] is not False:
                # The usual row in C; None leaves the record to the loop below.
                shape = hit[2]
                line = crow(values if attrs is None else attrs, names, hit[0], hit[1],
                            shape[0], tt, recv)
            if line is None:
                if attrs is not None:
                    values = attrs.values()
                    names = _tuple(attrs)
                types_ = _tuple(_map(_type, values))
                # Mostly the same shape as the callback's last: compared, not hashed.
                if hit is not None and hit[0] == names and hit[1] == types_:
                    shape = hit[2]
                else:
                    key = (cb, names, types_)
                    shape = self._shapes.get(key)
                    if shape is None:
                        shape = self._new_shape(add, t, key)
                    last[cb] = (names, types_, shape)
                if shape is False:
                    add(self.attrs_obj(t, cb, _whole(attrs, names, values), (), recv))
                    continue
                sid, floats, lists, _ = shape
                line = [sid, tt, recv, *values]
                if floats is not None:
                    total = _sum(floats(line))
                    if total - total != 0.0:
                        add(self.attrs_obj(t, cb, _whole(attrs, names, values), (), recv))
                        continue
                if lists is not None:
                    # One sum over all the lists' elements: a finite int or float
                    # says each is a plain number.
                    try:
                        total = _sum(_chain(*lists(line)))
                    except Exception:
                        total = None
                    tt_ = _type(total)
                    if not (tt_ is int or (tt_ is float and total - total == 0.0)):
                        add(self.attrs_obj(t, cb, _whole(attrs, names, values), (), recv))
                        continue
            tagged = shape[3]
            if tagged:
                for i, k in tagged:
                    v = line[i]
                    found = known.get(id(v))
                    if found is not None and found[0] is v:
                        line[i] = found[1]
                        continue
                    name = self.enums.name_of(v)
                    if name is None:
                        line[i] = self.value(v, "%s.%s" % (cb, k))
                    else:
                        line[i] = name
                        if len(known) < 4096:
                            # held here, so its id cannot pass to another object
                            known[id(v)] = (v, name)
            add(line)

    def _new_shape(self, add, t, key):
        cb, names, types_ = key
        if len(self._shapes) >= _MAX_SHAPES or any(n[:1] == "_" for n in names):
            # Ever new shapes or private names: object lines, as before.
            if len(self._shapes) < _MAX_SHAPES:
                self._shapes[key] = False
            return False
        _, _, tagged = self._plan(names, types_)
        # Positions in the row line: its number, t and recv come first.
        floats = [3 + i for i, t_ in enumerate(types_) if t_ is float]
        lists = [3 + i for i, t_ in enumerate(types_) if t_ is list]
        index = {n: i for i, n in enumerate(names)}
        sid = len(self._shapes)
        shape = self._shapes[key] = (sid, _getter(floats), _getter(lists),
                                     tuple((3 + index[k], k) for k in tagged))
        add({"t": format_time(t), "cb": "$shape", "shape": sid, "of": cb,
             "names": list(names), "tagged": [index[k] for k in tagged]})
        return shape

    def lines(self, objs):
        """Encoded line objects, each followed by a line break."""
        return self._json.encode_lines(objs)

    def order(self, t, client_order_id, attrs):
        return self._json.encode(HostOrder(t, client_order_id, attrs).to_json(self))

    def end(self, t):
        return self._json.encode({"t": format_time(t), "cb": "$end"})


def _getter(keys):
    """A function giving a tuple of ``keys`` of its argument, or None for no keys.
    A single key is given twice: an itemgetter of one key would not give a tuple,
    and a sum or a chain over the tuple only checks its elements."""
    if not keys:
        return None
    if len(keys) == 1:
        return operator.itemgetter(keys[0], keys[0])
    return operator.itemgetter(*keys)


def _whole(attrs, names, values):
    """The attribute dict of a captured record: given, or built from its names and values."""
    return attrs if attrs is not None else dict(zip(names, values))


class _AttrDict(dict):
    """Attributes already captured from a record (the recorder's form)."""

    __slots__ = ()


def _key(k, where):
    if not isinstance(k, str):
        raise TypeError("%s: dictionary keys must be text, not %r" % (where, k))
    return k


def format_time(t):
    text = t.isoformat()
    # isoformat() leaves out zero microseconds; the files always carry them.
    return text if len(text) != 19 else text + ".000000"


# ---------------------------------------------------------------- decoding

class Decoder:
    """Turns tagged values back into Python values (members, records...)."""

    def __init__(self, enums):
        self.enums = enums

    def value(self, value):
        t = type(value)
        if t is str:
            if self.enums.knows(value):
                return self.enums.lookup(value)
            return value
        if t is list:
            return [self.value(v) for v in value]
        if t is dict:
            if len(value) == 1:
                (tag, inner), = value.items()
                if tag.startswith("$"):
                    return self._tag(tag, inner)
            return make_record({k: self.value(v) for k, v in value.items()})
        return value

    def _tag(self, tag, inner):
        if tag == "$str" and type(inner) is str:
            return inner
        if tag == "$tuple" and type(inner) is list:
            return tuple(self.value(v) for v in inner)
        if tag == "$dict" and type(inner) is dict:
            return {k: self.value(v) for k, v in inner.items()}
        if tag == "$float" and inner in ("nan", "inf", "-inf"):
            return float(inner)
        raise _DecodeError("unknown tag %s: %r" % (tag, inner))

    def record_v1(self, obj):
        attrs = {}
        for k, v in obj.items():
            t = type(v)
            if t is str or t is dict or (t is list and not all(
                    type(e) is float or type(e) is int for e in v)):
                attrs[k] = self.value(v)
            else:
                attrs[k] = v
        return attrs


class Entry(msgspec.Struct):
    """One callback of a session, decoded straight from its line: ``t`` its
    virtual time, ``cb`` the callback, ``call`` the argument tuple. The
    other fields hold the line's raw parts until they are decoded."""

    t: Optional[_dt.datetime] = None
    cb: Any = None
    rec: Any = None
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


_fromisoformat = _dt.datetime.fromisoformat


def parse_time(text, what="t"):
    if type(text) is not str:
        raise _DecodeError("%s must be an ISO date and time text, not %r" % (what, text))
    try:
        t = _fromisoformat(text)
    except ValueError:
        raise _DecodeError("%s %r is not an ISO date and time" % (what, text)) from None
    if t.tzinfo is not None:
        raise _DecodeError("%s %r carries a time zone; sessions keep naive local time"
                           % (what, text))
    return t


def _nothing(_):
    return None


class EntryDecoder:
    """Decodes one body line into an Entry, a HostOrder, an End, or None (a
    line kind this reader does not know, ignored); raises LineError."""

    def __init__(self, version, enums):
        self.version = version
        self.values = Decoder(enums)
        self._decode = msgspec.json.Decoder(Entry).decode
        # A row of values whose shape an earlier line declared: told by its first
        # byte, so that object lines do not pay for a union.
        self._decode_any = msgspec.json.Decoder(Union[Entry, list]).decode
        self._members = {}
        self._shapes = {}
        # Callbacks taking just a record: their well-formed version 2 lines
        # take the short way in __call__.
        # The check for required attributes is an itemgetter: a KeyError says one lacks.
        self._short = {cb: operator.itemgetter(*req) if req else _nothing
                       for cb, (takes_rec, nargs, req) in CALLBACKS.items()
                       if takes_rec and not nargs and cb != "on_query_position"} \
            if version >= 2 else {}

    def __call__(self, line, lineno, _dict=dict, _recv=(int, float, type(None))):
        try:
            obj = (self._decode_any if line[:1] == b"[" else self._decode)(line)
        except msgspec.ValidationError as exc:
            self._bad(exc, lineno)
            try:
                obj = self._decode_any(line)
            except msgspec.ValidationError as exc:
                return self._bad(exc, lineno)
        except msgspec.DecodeError as exc:
            raise LineError(lineno, "not valid JSON: %s" % (exc,)) from None
        if type(obj) is list:
            return self._row(obj, lineno)
        check = self._short.get(obj.cb)
        if check is not None:
            t = obj.t
            raw = obj.rec
            if t is not None and t.tzinfo is None and type(raw) is _dict \
                    and obj.args is None and type(obj.recv) in _recv:
                x = obj.x
                if x:
                    try:
                        members = self._members  # members already met, by their text
                        for k, v in x.items():
                            raw[k] = members[v]
                    except (KeyError, TypeError):
                        try:
                            self._tagged(raw, x)
                        except Exception:  # reported the long way
                            return self._full(obj, lineno)
                try:
                    check(raw)
                except KeyError:
                    return self._full(obj, lineno)
                obj.call = (make_record(raw),)
                obj.lineno = lineno
                return obj
        return self._full(obj, lineno)

    def _row(self, row, lineno, _recv=(int, float, type(None))):
        sid = row[0] if row else None
        if type(sid) is not int:
            raise LineError(lineno, "a line must be a JSON object, or a row of values "
                                    "beginning with its shape's number")
        shape = self._shapes.get(sid)
        if shape is None:
            raise LineError(lineno, "a row of shape %d, which no line before it declared"
                            % sid)
        cb, names, tagged, _ = shape
        if len(row) != len(names) + 3:
            raise LineError(lineno, "a row of shape %d needs %d values, not %d"
                            % (row[0], len(names), len(row) - 3))
        try:
            t = parse_time(row[1])
            recv = row[2]
            if type(recv) not in _recv:
                raise _DecodeError("receive time must be a number, not %r" % (recv,))
            raw = dict(zip(names, row[3:]))
            if tagged:
                members = self._members
                for k in tagged:
                    v = raw[k]
                    m = members.get(v) if type(v) is str else None
                    if m is None:
                        m = self.values.value(v)
                        if type(v) is str and type(m) is not str:
                            members[v] = m
                    raw[k] = m
        except _DecodeError as exc:
            raise LineError(lineno, str(exc)) from None
        except (TypeError, AttributeError) as exc:
            raise LineError(lineno, "bad row: %s" % (exc,)) from None
        return Entry(t, cb, recv=recv, call=(make_record(raw),), lineno=lineno)

    def _declare(self, obj):
        sid, cb, names, tagged = obj.shape, obj.of, obj.names, obj.tagged
        if type(sid) is not int or cb not in ROWS:
            raise _DecodeError("a shape needs a number \"shape\" and a callback "
                               "taking just a record in \"of\"")
        if type(names) is not list or not all(type(n) is str for n in names) \
                or len(set(names)) != len(names):
            raise _DecodeError("a shape's \"names\" must be distinct texts")
        if type(tagged) is not list or not all(
                type(i) is int and 0 <= i < len(names) for i in tagged):
            raise _DecodeError("a shape's \"tagged\" must be positions in its names")
        missing = [a for a in CALLBACKS[cb][2] if a not in names]
        if missing:
            raise _DecodeError("%s shape lacks %s" % (cb, ", ".join(missing)))
        # the row's length (with its number, t and recv) last, for the reader's short way
        self._shapes[sid] = (cb, tuple(names), tuple(sorted({names[i] for i in tagged})),
                             len(names) + 3)

    def _tagged(self, raw, x):
        members = self._members
        for k, v in x.items():
            if type(v) is str:
                m = members.get(v)
                if m is None:
                    m = self.values.value(v)
                    if type(m) is not str:
                        members[v] = m
                raw[k] = m
            else:
                raw[k] = self.values.value(v)

    @staticmethod
    def _bad(exc, lineno):
        text = str(exc)
        if text.endswith("`$.t`"):
            raise LineError(lineno, "t is not an ISO date and time: %s" % text) from None
        if text.startswith("Expected `object`, got `array`"):
            return None  # a row after white space: read the slow way
        if text.startswith("Expected `object`"):
            raise LineError(lineno, "a line must be a JSON object") from None
        raise LineError(lineno, "bad line: %s" % text) from None

    def _full(self, obj, lineno):
        try:
            t = obj.t
            if t is None:
                raise _DecodeError("no time \"t\"")
            if t.tzinfo is not None:
                raise _DecodeError("t %s carries a time zone; sessions keep naive local time"
                                   % t.isoformat())
            cb = obj.cb
            signature = CALLBACKS.get(cb)
            if signature is None:
                if type(cb) is str and cb[:1] == "$":
                    return self._special(obj, t, cb, lineno)
                raise _DecodeError("unknown callback %r" % (cb,) if cb is not None
                                   else "no callback \"cb\"")
            takes_rec, nargs, _ = signature
            if takes_rec:
                raw = obj.rec
                if raw is None:
                    raise _DecodeError("%s needs a record \"rec\"" % cb)
                if cb == "on_query_position":
                    if type(raw) is not list:
                        if type(raw) is dict and "$tuple" in raw:
                            raw = raw["$tuple"]
                        else:
                            raise _DecodeError("on_query_position needs a list of records")
                    rec = [self.values.value(r) for r in raw]
                else:
                    if type(raw) is not dict:
                        raise _DecodeError("%s needs a record object, not %s"
                                           % (cb, type(raw).__name__))
                    if self.version == 1:
                        raw = self.values.record_v1(raw)
                    else:
                        x = obj.x
                        if x:
                            self._tagged(raw, x)
                    if not _REQUIRED[cb] <= raw.keys():
                        missing = [a for a in CALLBACKS[cb][2] if a not in raw]
                        raise _DecodeError("%s record lacks %s" % (cb, ", ".join(missing)))
                    rec = make_record(raw)
            elif obj.rec is not None:
                raise _DecodeError("%s takes no record" % cb)
            args = obj.args
            if args is None:
                args = []
            if type(args) is not list or len(args) != nargs:
                raise _DecodeError("%s takes %d extra argument%s in \"args\", got %r"
                                   % (cb, nargs, "" if nargs == 1 else "s", args))
            recv = obj.recv
            if recv is not None and type(recv) not in (int, float):
                raise _DecodeError("receive time \"recv\" must be a number, not %r" % (recv,))
            if takes_rec:
                obj.call = (rec,) if not nargs else (rec,) + tuple(
                    self.values.value(a) for a in args)
            else:
                obj.call = ()
        except _DecodeError as exc:
            raise LineError(lineno, str(exc)) from None
        except (TypeError, AttributeError) as exc:
            raise LineError(lineno, "bad record: %s" % (exc,)) from None
        obj.lineno = lineno
        return obj

    def _special(self, obj, t, cb, lineno):
        if cb == "$order":
            order = obj.order
            if type(order) is not dict or obj.client_order_id is None:
                raise _DecodeError("a host order line needs client_order_id and order")
            attrs = {k: self.values.value(v) for k, v in order.items()}
            return HostOrder(t, self.values.value(obj.client_order_id), attrs, lineno)
        if cb == "$shape":
            self._declare(obj)
            return None
        if cb == "$end":
            dropped = obj.dropped
            return End(t, lineno, dropped if type(dropped) is int and dropped > 0 else 0)
        return None


# ---------------------------------------------------------------- header

_CONFIG_KEYS = ("md_type", "order_way", "accounts", "algo_account", "trading_calendar")


class Header:
    def __init__(self, start, end=None, config=None, universe=(), orders=(), meta=None,
                 version=VERSION):
        self.start = start
        self.end = end
        self.config = dict(config or {})
        self.universe = list(universe)
        self.orders = sorted(orders, key=lambda o: o.t)
        self.meta = dict(meta or {})
        self.version = version

    @staticmethod
    def config_from_base(base, encoder):
        """The header form of a host configuration's ``base``."""
        out = {}
        for key in _CONFIG_KEYS:
            if not hasattr(base, key):
                continue
            value = getattr(base, key)
            if key == "accounts":
                value = {str(k): v for k, v in dict(value).items()}
            elif key == "trading_calendar":
                value = [str(d)[:10] for d in value]
            else:
                value = encoder.value(value, "config.%s" % key)
            out[key] = value
        return out

    def make_config(self, decoder):
        """The host configuration: ``config.base`` with the header's members;
        the trading calendar as an array of day dates."""
        import numpy
        base = types.SimpleNamespace()
        for key in _CONFIG_KEYS:
            if key not in self.config:
                continue
            value = self.config[key]
            if key == "trading_calendar":
                value = numpy.array(value, dtype="datetime64[D]")
            elif key == "accounts":
                value = dict(value)
            else:
                value = decoder.value(value)
            setattr(base, key, value)
        return types.SimpleNamespace(base=base)

    def to_json(self, encoder):
        out = {"format": FORMAT, "version": VERSION, "minor": MINOR,
               "start": format_time(self.start)}
        if self.end is not None:
            out["end"] = format_time(self.end)
        out["config"] = self.config
        out["universe"] = self.universe
        out["orders"] = [o.to_json(encoder) for o in self.orders]
        out["meta"] = self.meta
        return _dumps(out)

    @classmethod
    def from_line(cls, line, decoder):
        try:
            obj = msgspec.json.decode(line)
        except msgspec.DecodeError as exc:
            raise SessionError("not a session file: line 1 is not JSON (%s)" % (exc,)) from None
        if type(obj) is not dict or obj.get("format") != FORMAT:
            raise SessionError("not a session file: line 1 is no %r header" % FORMAT)
        version = obj.get("version")
        if type(version) is not int or version < 1:
            raise SessionError("bad session header: version %r is not a whole number"
                               % (version,))
        if version > VERSION:
            raise SessionError("session format version %d is newer than this tool reads "
                               "(versions 1 to %d): upgrade bridge-replay" % (version, VERSION))
        try:
            start = parse_time(obj.get("start"), "header start")
            end = obj.get("end")
            end = None if end is None else parse_time(end, "header end")
            config = obj.get("config", {})
            if type(config) is not dict:
                raise _DecodeError("header config must be an object")
            if type(config.get("accounts", {})) is not dict:
                raise _DecodeError("header config.accounts must be an object")
            calendar = config.get("trading_calendar", [])
            if type(calendar) is not list:
                raise _DecodeError("header config.trading_calendar must be a list of dates")
            for d in calendar:
                try:
                    _dt.date.fromisoformat(d)
                except (TypeError, ValueError):
                    raise _DecodeError("trading calendar date %r is not YYYY-MM-DD" % (d,)) \
                        from None
            universe = obj.get("universe", [])
            if type(universe) is not list or not all(type(u) is str for u in universe):
                raise _DecodeError("header universe must be a list of market codes")
            orders = []
            for i, o in enumerate(obj.get("orders", [])):
                if type(o) is not dict or type(o.get("order")) is not dict \
                        or "client_order_id" not in o:
                    raise _DecodeError("header order %d needs client_order_id and order" % i)
                attrs = {k: decoder.value(v) for k, v in o["order"].items()}
                orders.append(HostOrder(parse_time(o.get("t"), "header order %d time" % i),
                                        decoder.value(o["client_order_id"]), attrs))
            meta = obj.get("meta", {})
        except _DecodeError as exc:
            raise SessionError("bad session header: %s" % (exc,)) from None
        return cls(start, end, config, universe, orders, meta if type(meta) is dict else {},
                   version)


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


# ---------------------------------------------------------------- files

_CHUNK = 1 << 16


class SessionReader:
    """Reads a session lazily from a path, "-" (standard input) or a binary
    file object: ``header`` at once, then ``entries()`` yields an Entry,
    HostOrder, End or LineError per line. A session cut short (a gzip stream
    or a last line that ends early) is read up to its last complete line and
    ``cut`` says where it was cut; unreadable data raises SessionError."""

    def __init__(self, source, enums, max_line=DEFAULT_MAX_LINE):
        self.enums = enums
        self.max_line = max_line
        self.cut = None
        self.lineno = 0
        self.size = None
        self._owned = None
        if source == "-":
            self.path = "<stdin>"
            self._raw = sys.stdin.buffer
        elif hasattr(source, "read"):
            self.path = getattr(source, "name", "<stream>")
            self._raw = source
        else:
            self.path = str(source)
            try:
                self._raw = self._owned = open(self.path, "rb", buffering=0)
            except OSError as exc:
                raise SessionError("cannot read session %s: %s"
                                   % (self.path, exc.strerror or exc)) from None
            try:
                self.size = self._raw.seek(0, io.SEEK_END)
                self._raw.seek(0)
            except OSError:
                self.size = None  # a pipe given by name
        self.consumed = 0
        try:
            self._lines = self._read_lines()
            first = None
            for line in self._lines:
                if line is None:
                    raise SessionError("session %s: line 1 is longer than %s bytes"
                                       % (self.path, "{:,}".format(self.max_line)))
                if line.strip():
                    first = line
                    break
            if first is None:
                if self.cut:
                    raise SessionError("session %s is cut short before its header ends"
                                       % self.path)
                raise SessionError("session %s is empty" % self.path)
            self.header = Header.from_line(first, Decoder(enums))
            self._decode = EntryDecoder(self.header.version, enums)
        except BaseException:
            self.close()
            raise

    def _chunks(self):
        read = self._raw.read
        first = read(_CHUNK)
        if not first:
            return
        self.consumed += len(first)
        if first[:2] != b"\x1f\x8b":
            yield first
            while True:
                data = read(_CHUNK)
                if not data:
                    return
                self.consumed += len(data)
                yield data
        # gzip, possibly several members back to back (the recorder's flushes)
        wbits = 16 + zlib.MAX_WBITS
        d = zlib.decompressobj(wbits)
        fed = False
        data = first
        while True:
            try:
                while data:
                    fed = True
                    out = d.decompress(data)
                    if out:
                        yield out
                    if not d.eof:
                        break
                    data = d.unused_data.lstrip(b"\x00")
                    d = zlib.decompressobj(wbits)
                    fed = False
            except zlib.error as exc:
                raise SessionError("cannot read session %s after line %d: the compressed data "
                                   "is damaged (%s)" % (self.path, self.lineno, exc)) from None
            data = read(_CHUNK)
            if not data:
                if fed:
                    self.cut = "the compressed data ends after line %d" % self.lineno
                return
            self.consumed += len(data)

    def _read_lines(self):
        """Yields each line's bytes (without the break), or None for a line
        longer than max_line (skipped up to its end)."""
        pending = []
        plen = 0
        skipping = False
        limit = self.max_line
        for chunk in self._chunks():
            parts = chunk.split(b"\n")
            last = parts.pop()
            if parts:
                head = parts[0]
                if skipping:
                    skipping = False
                    self.lineno += 1
                    pending = []
                    plen = 0
                    yield None
                    parts = parts[1:]
                elif pending:
                    pending.append(head)
                    parts[0] = b"".join(pending)
                    pending = []
                    plen = 0
                for line in parts:
                    self.lineno += 1
                    if len(line) > limit:
                        yield None
                    else:
                        yield line
            if last and not skipping:
                plen += len(last)
                if plen > limit:
                    skipping = True
                    pending = []
                else:
                    pending.append(last)
        if skipping:
            self.lineno += 1
            self.cut = self.cut or "the last line (%d) ends early" % self.lineno
            yield None
        elif pending and b"".join(pending).strip():
            self.cut = self.cut or "line %d ends in the middle" % (self.lineno + 1)

    def position(self):
        """Bytes of the file consumed so far (of the compressed file, for .gz)."""
        return self.consumed

    def entries(self, _type=type, _len=len, _int=int, _str=str, _dict=dict, _zip=zip,
                _recv=(int, float, type(None)), _new=object.__new__):
        decode = self._decode
        shapes = decode._shapes
        members = decode._members
        decode_row = decode._decode_any
        entry = Entry
        record = Record
        for line in self._lines:
            if line is None:
                yield LineError(self.lineno, "longer than %s bytes (--max-line-size)"
                                % "{:,}".format(self.max_line))
                continue
            if not line:
                continue
            if line[:1] == b"[":
                # A row of a declared shape, the bulk of a recorded session: read
                # here without a call per line. Anything unusual about it is left
                # to the decoder, which says what is wrong.
                try:
                    row = decode_row(line)
                except msgspec.DecodeError:
                    row = None
                if _type(row) is list and row:
                    sid = row[0]
                    shape = shapes.get(sid) if _type(sid) is _int else None
                    if shape is not None and _len(row) == shape[3]:
                        t = row[1]
                        recv = row[2]
                        if _type(t) is _str and _type(recv) in _recv:
                            try:
                                t = _fromisoformat(t)
                            except ValueError:
                                t = None
                            if t is not None and t.tzinfo is None:
                                del row[:3]
                                raw = _dict(_zip(shape[1], row))
                                for k in shape[2]:
                                    v = raw[k]
                                    m = members.get(v) if _type(v) is _str else None
                                    if m is None:
                                        break
                                    raw[k] = m
                                else:
                                    rec = _new(record)
                                    rec.__dict__ = raw
                                    yield entry(t, shape[0], None, None, None, recv, None, None,
                                                None, None, None, None, None, (rec,),
                                                self.lineno)
                                    continue
            try:
                item = decode(line, self.lineno)
            except LineError as exc:
                if not line.isspace():
                    yield exc
                continue
            if item is not None:
                yield item

    def close(self):
        f = self._owned
        if f is not None:
            self._owned = None
            try:
                f.close()
            except Exception:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class SessionWriter:
    """Writes a session: the header first, then lines in the order given.
    A path ending in ".gz" is compressed reproducibly (no time or name in the
    gzip header). ``flush()`` ends a gzip member, so whatever was flushed
    reads back even if the process dies later."""

    def __init__(self, path, header, encoder, compresslevel=6):
        self.path = str(path)
        self._raw = sys.stdout.buffer if self.path == "-" else open(self.path, "wb")
        self._gz = self.path.endswith(".gz")
        self._level = compresslevel
        self._pending = []
        self.encoder = encoder
        self.write_line(header.to_json(encoder).encode("utf-8"))
        self.flush()

    def write_line(self, data):
        self._pending.append(data + b"\n")

    def write_block(self, data):
        """Whole lines, each ending with a line break."""
        self._pending.append(data)

    def flush(self):
        if not self._pending:
            return
        data = b"".join(self._pending)
        self._pending = []
        if self._gz:
            c = zlib.compressobj(self._level, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
            data = c.compress(data) + c.flush()
        self._raw.write(data)
        self._raw.flush()

    def close(self):
        if self._raw is None:
            return
        self.flush()
        if self._raw is not sys.stdout.buffer:
            self._raw.close()
        self._raw = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
