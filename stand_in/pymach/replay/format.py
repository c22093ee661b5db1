"""Session files: one JSON document per line, optionally gzip-compressed.

Line 1 is the header::

    {"format": "pymach-session", "version": 1,
     "start": "2024-03-15T08:30:00.000000", "end": "2024-03-15T16:00:00.000000",
     "config": {"accounts": {"stock": "acct_sim"}, "algo_account": "algo_atx",
                "trading_calendar": ["2024-03-14", "2024-03-15"]},
     "universe": ["000001.XSHE", ...],
     "orders": [{"t": "...", "client_order_id": 10001,
                 "order": {"market_code": "000001.XSHE", "side": "SIDE.BUY", ...}}],
     "meta": {...}}

``start`` is the virtual time at which the strategy is built and initialised,
``end`` the time the clock is run to after the last record (optional).
``config`` holds the members of the host configuration's ``base``
(``md_type`` and ``order_way`` too, when present). ``orders`` are the host
orders the host submitted: each goes into the order book at its ``t``, before
any record of that time is played.

Every further line is one gateway callback::

    {"t": "2024-03-15T09:15:03.120000", "cb": "on_snapshot", "rec": {...}}
    {"t": "...", "cb": "on_query_asset", "rec": {...}, "args": [2, 0, ""]}
    {"t": "...", "cb": "on_switch_day"}
    {"t": "...", "cb": "on_order", "rec": {...}, "recv": 1710466503.120518}

``t`` is the virtual local time of the callback, ``cb`` the callback, ``rec``
its gateway record (an object of attributes; a list of them for
``on_query_position``), ``args`` the extra positional arguments
(``request_id``, ``code``, ``msg`` of the two query answers) and ``recv`` the
wall-clock receive time (seconds since the epoch) a recording adds.

Values: JSON numbers, text, true/false/null and arrays as they are; an object
is a nested record. Enumeration members are written by name,
"OrderStatusType.Filled" (the SDK's enumerations and the host's constants).
A few tags keep other values exact: {"$str": ...} for a text that would read
as an enumeration member, {"$tuple": [...]}, {"$dict": {...}} and
{"$float": "nan"|"inf"|"-inf"}.
"""

import datetime as _dt
import enum
import gzip
import io
import json
import math
import types

import numpy

FORMAT = "pymach-session"
VERSION = 1

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


class SessionError(Exception):
    """The session cannot be read on: not a session, unreadable, or cut short."""


class LineError(Exception):
    """One malformed line; the rest of the session may still be played."""

    def __init__(self, lineno, message):
        super().__init__("line %d: %s" % (lineno, message))
        self.lineno = lineno
        self.message = message


def _enum_registry():
    import pymach.enums as sdk_enums
    from korvane.orvik import const
    registry = {}
    for module in (sdk_enums, const):
        names = getattr(module, "__all__", None) or [n for n in vars(module) if not n.startswith("_")]
        for name in names:
            value = getattr(module, name)
            if isinstance(value, type) and issubclass(value, enum.Enum) and value is not enum.Enum:
                registry[value.__name__] = value
    return registry


_ENUMS = None


def enums():
    global _ENUMS
    if _ENUMS is None:
        _ENUMS = _enum_registry()
    return _ENUMS


def _record_class():
    from pymach.records import Record
    return Record


# ---------------------------------------------------------------- encoding

def _enum_like(text, registry):
    cls_name, dot, member = text.partition(".")
    return bool(dot) and cls_name in registry


def encode_value(value, where="value"):
    """A Python value as its JSON-ready form (see the module docstring)."""
    registry = enums()
    t = type(value)
    if value is None or t is bool or t is int:
        return value
    if t is float:
        if math.isfinite(value):
            return value
        return {"$float": "nan" if value != value else ("inf" if value > 0 else "-inf")}
    if t is str:
        return {"$str": value} if _enum_like(value, registry) else value
    if isinstance(value, enum.Enum):
        cls = type(value)
        if registry.get(cls.__name__) is not cls:
            raise TypeError("%s: enumeration %s is not one the session format knows"
                            % (where, cls.__name__))
        return "%s.%s" % (cls.__name__, value.name)
    if t is list:
        return [encode_value(v, where) for v in value]
    if t is tuple:
        return {"$tuple": [encode_value(v, where) for v in value]}
    if t is dict:
        return {"$dict": {_key(k, where): encode_value(v, where) for k, v in value.items()}}
    if isinstance(value, (bool, int)):
        return int(value)
    if isinstance(value, float):
        return encode_value(float(value), where)
    if isinstance(value, str):
        return encode_value(str(value), where)
    if isinstance(value, numpy.generic):
        return encode_value(value.item(), where)
    attrs = record_attrs(value)
    if attrs is not None:
        return {k: encode_value(v, "%s.%s" % (where, k)) for k, v in attrs.items()}
    raise TypeError("%s: cannot write a %s to a session" % (where, type(value).__name__))


def _key(k, where):
    if not isinstance(k, str):
        raise TypeError("%s: dictionary keys must be text, not %r" % (where, k))
    return k


def record_attrs(record):
    """The attributes of a gateway record, in definition order, or None."""
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


def format_time(t):
    return t.isoformat(timespec="microseconds")


def encode_entry(t, cb, rec=None, args=(), recv=None):
    """One callback line (without its line break)."""
    takes_rec, nargs, _ = CALLBACKS[cb]
    line = {"t": format_time(t), "cb": cb}
    if takes_rec:
        line["rec"] = encode_value(rec, cb)
    if nargs:
        line["args"] = [encode_value(a, cb) for a in args]
    if recv is not None:
        line["recv"] = recv
    return _dumps(line)


def _dumps(obj):
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


# ---------------------------------------------------------------- decoding

class _DecodeError(Exception):
    pass


def decode_value(value):
    t = type(value)
    if t is str:
        cls_name, dot, member = value.partition(".")
        if dot:
            cls = enums().get(cls_name)
            if cls is not None:
                try:
                    return cls[member]
                except KeyError:
                    raise _DecodeError("%r: %s has no member %r" % (value, cls_name, member)) \
                        from None
        return value
    if t is list:
        return [decode_value(v) for v in value]
    if t is dict:
        if len(value) == 1:
            (tag, inner), = value.items()
            if tag.startswith("$"):
                return _decode_tag(tag, inner)
        return _record_class()(**{k: decode_value(v) for k, v in value.items()})
    return value


def _decode_tag(tag, inner):
    if tag == "$str" and type(inner) is str:
        return inner
    if tag == "$tuple" and type(inner) is list:
        return tuple(decode_value(v) for v in inner)
    if tag == "$dict" and type(inner) is dict:
        return {k: decode_value(v) for k, v in inner.items()}
    if tag == "$float" and inner in ("nan", "inf", "-inf"):
        return float(inner)
    raise _DecodeError("unknown tag %s: %r" % (tag, inner))


_NUMBER = (int, float, bool, type(None))


def _decode_record(obj):
    """A record object: the hot path of reading, so plain numbers skip decode_value."""
    attrs = {}
    for k, v in obj.items():
        t = type(v)
        if t in _NUMBER:
            attrs[k] = v
        elif t is list and all(type(x) in _NUMBER for x in v):
            attrs[k] = v
        else:
            attrs[k] = decode_value(v)
    return _record_class()(**attrs)


def parse_time(text, what="t"):
    if type(text) is not str:
        raise _DecodeError("%s must be an ISO date and time text, not %r" % (what, text))
    try:
        t = _dt.datetime.fromisoformat(text)
    except ValueError:
        raise _DecodeError("%s %r is not an ISO date and time" % (what, text)) from None
    if t.tzinfo is not None:
        raise _DecodeError("%s %r carries a time zone; sessions keep naive local time"
                           % (what, text))
    return t


class Entry:
    """One callback of a session."""

    __slots__ = ("lineno", "t", "cb", "rec", "args", "recv")

    def __init__(self, lineno, t, cb, rec, args, recv):
        self.lineno = lineno
        self.t = t
        self.cb = cb
        self.rec = rec
        self.args = args
        self.recv = recv

    def call_args(self):
        takes_rec = CALLBACKS[self.cb][0]
        return ((self.rec,) if takes_rec else ()) + tuple(self.args)

    def __repr__(self):
        return "Entry(line %d, %s %s)" % (self.lineno, self.t, self.cb)


def decode_entry(line, lineno):
    """Entry from one line's text (or bytes); LineError saying what is wrong."""
    try:
        obj = json.loads(line)
    except ValueError as exc:
        raise LineError(lineno, "not valid JSON: %s" % (exc,)) from None
    if type(obj) is not dict:
        raise LineError(lineno, "a callback line must be a JSON object, not %s"
                        % type(obj).__name__)
    try:
        if "t" not in obj:
            raise _DecodeError("no time \"t\"")
        t = parse_time(obj["t"])
        cb = obj.get("cb")
        if cb not in CALLBACKS:
            raise _DecodeError("unknown callback %r" % (cb,) if cb is not None
                               else "no callback \"cb\"")
        takes_rec, nargs, required = CALLBACKS[cb]
        unknown = set(obj) - {"t", "cb", "rec", "args", "recv"}
        if unknown:
            raise _DecodeError("unknown keys %s" % ", ".join(sorted(unknown)))
        rec = None
        if takes_rec:
            if "rec" not in obj:
                raise _DecodeError("%s needs a record \"rec\"" % cb)
            raw = obj["rec"]
            if cb == "on_query_position":
                if type(raw) is not list and not (type(raw) is dict and "$tuple" in raw):
                    raise _DecodeError("on_query_position needs a list of records")
                rec = decode_value(raw)
            else:
                if type(raw) is not dict:
                    raise _DecodeError("%s needs a record object, not %s"
                                       % (cb, type(raw).__name__))
                missing = [a for a in required if a not in raw]
                if missing:
                    raise _DecodeError("%s record lacks %s" % (cb, ", ".join(missing)))
                rec = _decode_record(raw)
        elif "rec" in obj:
            raise _DecodeError("%s takes no record" % cb)
        args = obj.get("args", [])
        if type(args) is not list or len(args) != nargs:
            raise _DecodeError("%s takes %d extra argument%s in \"args\", got %r"
                               % (cb, nargs, "" if nargs == 1 else "s", args))
        args = tuple(decode_value(a) for a in args)
        recv = obj.get("recv")
        if recv is not None and (type(recv) not in (int, float)):
            raise _DecodeError("receive time \"recv\" must be a number, not %r" % (recv,))
    except _DecodeError as exc:
        raise LineError(lineno, str(exc)) from None
    except TypeError as exc:
        # Record(**attrs) refusing an attribute name, e.g. a non-identifier.
        raise LineError(lineno, "bad record: %s" % (exc,)) from None
    return Entry(lineno, t, cb, rec, args, recv)


# ---------------------------------------------------------------- header

class HostOrder:
    """A host order of the header: its client order id, the time it enters
    the order book, and the attributes of the host ``Order``."""

    __slots__ = ("t", "client_order_id", "attrs")

    def __init__(self, t, client_order_id, attrs):
        self.t = t
        self.client_order_id = client_order_id
        self.attrs = attrs

    def make(self):
        from korvane.orvik.model.order import Order
        return Order(**self.attrs)

    def to_json(self):
        return {"t": format_time(self.t), "client_order_id": encode_value(self.client_order_id),
                "order": {k: encode_value(v, "order.%s" % k) for k, v in self.attrs.items()}}


_CONFIG_KEYS = ("md_type", "order_way", "accounts", "algo_account", "trading_calendar")


class Header:
    def __init__(self, start, end=None, config=None, universe=(), orders=(), meta=None):
        self.start = start
        self.end = end
        self.config = dict(config or {})
        self.universe = list(universe)
        self.orders = sorted(orders, key=lambda o: o.t)
        self.meta = dict(meta or {})

    @staticmethod
    def config_from_base(base):
        """The header form of a host configuration's ``base``."""
        out = {}
        for key in _CONFIG_KEYS:
            if not hasattr(base, key):
                continue
            value = getattr(base, key)
            if key == "accounts":
                value = {str(k): v for k, v in dict(value).items()}
            elif key == "trading_calendar":
                value = [str(numpy.datetime64(d, "D")) for d in value]
            else:
                value = encode_value(value, "config.%s" % key)
            out[key] = value
        return out

    def make_config(self):
        """The host configuration object: ``config.base`` with the header's
        members; the trading calendar as an array of day dates."""
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
                value = decode_value(value)
            setattr(base, key, value)
        return types.SimpleNamespace(base=base)

    def to_json(self):
        out = {"format": FORMAT, "version": VERSION, "start": format_time(self.start)}
        if self.end is not None:
            out["end"] = format_time(self.end)
        out["config"] = self.config
        out["universe"] = self.universe
        out["orders"] = [o.to_json() for o in self.orders]
        out["meta"] = self.meta
        return _dumps(out)

    @classmethod
    def from_line(cls, line):
        try:
            obj = json.loads(line)
        except ValueError as exc:
            raise SessionError("not a session file: line 1 is not JSON (%s)" % (exc,)) from None
        if type(obj) is not dict or obj.get("format") != FORMAT:
            raise SessionError("not a session file: line 1 is no %r header" % FORMAT)
        version = obj.get("version")
        if type(version) is not int or version > VERSION or version < 1:
            raise SessionError("session format version %r is not supported (this reader "
                               "knows version %d)" % (version, VERSION))
        try:
            start = parse_time(obj.get("start"), "header start")
            end = obj.get("end")
            end = None if end is None else parse_time(end, "header end")
            config = obj.get("config", {})
            if type(config) is not dict:
                raise _DecodeError("header config must be an object")
            accounts = config.get("accounts", {})
            if type(accounts) is not dict:
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
                attrs = {k: decode_value(v) for k, v in o["order"].items()}
                orders.append(HostOrder(parse_time(o.get("t"), "header order %d time" % i),
                                        decode_value(o["client_order_id"]), attrs))
            meta = obj.get("meta", {})
        except _DecodeError as exc:
            raise SessionError("bad session header: %s" % (exc,)) from None
        return cls(start, end, config, universe, orders, meta if type(meta) is dict else {})


# ---------------------------------------------------------------- files

class SessionReader:
    """Reads a session lazily: ``header`` at once, then ``entries()`` yields an
    Entry or a LineError per line. Fatal trouble (unreadable, cut short)
    raises SessionError from either."""

    def __init__(self, path):
        self.path = str(path)
        try:
            self._raw = open(self.path, "rb")
        except OSError as exc:
            raise SessionError("cannot read session %s: %s" % (self.path, exc.strerror or exc)) \
                from None
        try:
            self.size = self._raw.seek(0, io.SEEK_END)
            self._raw.seek(0)
            gz = self._raw.read(2) == b"\x1f\x8b"
            self._raw.seek(0)
            self._stream = gzip.GzipFile(fileobj=self._raw, mode="rb") if gz else self._raw
            self.lineno = 0
            first = self._readline()
            while first is not None and not first.strip():
                first = self._readline()
            if first is None:
                raise SessionError("session %s is empty" % self.path)
            self.header = Header.from_line(first)
        except BaseException:
            self.close()
            raise

    def _readline(self):
        try:
            line = self._stream.readline()
        except EOFError:
            raise SessionError("session %s is truncated: the compressed data ends after line %d"
                               % (self.path, self.lineno)) from None
        except (OSError, gzip.zlib.error) as exc:
            raise SessionError("cannot read session %s after line %d: %s"
                               % (self.path, self.lineno, exc)) from None
        if not line:
            return None
        self.lineno += 1
        return line

    def position(self):
        """Bytes of the file consumed so far (of the compressed file, for .gz)."""
        try:
            return self._raw.tell()
        except (OSError, ValueError):
            return 0

    def entries(self):
        while True:
            line = self._readline()
            if line is None:
                return
            if not line.strip():
                continue
            try:
                yield decode_entry(line, self.lineno)
            except LineError as exc:
                if not line.endswith(b"\n"):
                    raise SessionError("session %s ends in the middle of line %d (%s)"
                                       % (self.path, self.lineno, exc.message)) from None
                yield exc

    def close(self):
        for f in (getattr(self, "_stream", None), getattr(self, "_raw", None)):
            if f is not None:
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
    A path ending in ".gz" is compressed, reproducibly (no time or name in
    the gzip header)."""

    def __init__(self, path, header, compresslevel=9):
        self.path = str(path)
        self._raw = open(self.path, "wb")
        if self.path.endswith(".gz"):
            self._out = gzip.GzipFile(filename="", mode="wb", fileobj=self._raw,
                                      compresslevel=compresslevel, mtime=0)
        else:
            self._out = self._raw
        self._buffer = io.BufferedWriter(self._out, 1 << 16) if self._out is not self._raw \
            else self._raw
        self.write_text(header.to_json())

    def write_text(self, line):
        self._buffer.write(line.encode("utf-8"))
        self._buffer.write(b"\n")

    def write_bytes(self, data):
        self._buffer.write(data)

    def write(self, t, cb, rec=None, args=(), recv=None):
        self.write_text(encode_entry(t, cb, rec, args, recv))

    def close(self):
        if self._buffer is not self._raw:
            self._buffer.flush()
            self._out.close()
        self._raw.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
