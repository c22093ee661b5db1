"""A session read into rows per kind, for the columnar export.

The export needs the values as recorded, not gateway records: enumeration
members stay their text ("OrderStatusType.Filled") and no SDK is imported.
Well-formed lines are read here straight from their JSON into value lists;
anything unusual goes to the session reader's own decoder, which either
accepts it (and its record is taken from there) or says what is wrong, so
the lines skipped are exactly those a replay skips."""

import datetime as _dt
from typing import Any, Dict, List, Optional, Union

import msgspec

from bridge_replay.export.kinds import (ARGS, DECLARED, FLOAT, FLOATS, HOST_ORDER, INT, INTS,
                                        KIND_OF, MEMBER, STAMP, TEXT)
from bridge_replay.session.codec import Enumerations, format_time
from bridge_replay.session.entries import End, HostOrder
from bridge_replay.session.reader import DEFAULT_MAX_LINE, SessionReader
from bridge_replay.session.schema import CALLBACKS, ROWS, LineError, SessionError

_fromisoformat = _dt.datetime.fromisoformat
_PLAIN = (str, int, float, bool, type(None))
_REQUIRED = {cb: frozenset(req) for cb, (_, _, req) in CALLBACKS.items()}
_SHORT = ROWS  # callbacks whose lines carry just a record


class Rows:
    """The rows of one kind, grouped by their attribute names: each row a
    list ``[line, t, recv, value...]`` in the order of its group's names, so
    a group becomes columns in one transpose."""

    __slots__ = ("groups",)

    def __init__(self):
        self.groups = {}

    def add(self, names, row):
        group = self.groups.get(names)
        if group is None:
            group = self.groups[names] = []
        group.append(row)

    @property
    def n(self):
        return sum(map(len, self.groups.values()))


# Lines decoded with their values checked in C: a version 1 record whose
# values are all plain (so no tag to decode), a version 2 line whose tagged
# values are all member names. Anything else fails to decode and takes the
# long way.
_Plain1 = Union[str, int, float, None, List[Union[int, float]]]


class _Line1(msgspec.Struct):
    t: Optional[_dt.datetime] = None
    cb: Any = None
    rec: Optional[Dict[str, _Plain1]] = None
    args: Any = None
    recv: Any = None


class _Line2(msgspec.Struct):
    t: Optional[_dt.datetime] = None
    cb: Any = None
    rec: Any = None
    x: Optional[Dict[str, str]] = None
    args: Any = None
    recv: Any = None
    shape: Any = None
    of: Any = None
    names: Any = None
    tagged: Any = None


def _typed_lines():
    """Line types of the common callbacks of version 1 files, told apart by
    "cb": the record's attributes as the bridge reads them, each checked
    against its column's type while decoding and given back as a tuple. A
    line with any other attribute, or a value of another type, fails to
    decode and takes the general way."""
    plain = {STAMP: int, INT: int, FLOAT: float, TEXT: str, MEMBER: str,
             INTS: List[int], FLOATS: List[float]}
    lines = {}
    for cb in ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order"):
        kind = KIND_OF[cb]
        names = CALLBACKS[cb][2]
        rec = msgspec.defstruct(
            "%s_record" % kind, [(n, plain.get(DECLARED[kind].get(n), _Plain1)) for n in names],
            forbid_unknown_fields=True)
        line = msgspec.defstruct(
            "%s_line" % kind, [("rec", rec), ("t", Optional[_dt.datetime], None),
                               ("args", Any, None), ("recv", Any, None)],
            tag_field="cb", tag=cb)
        lines[line] = (kind, tuple(names))
    return lines


_TYPED = _typed_lines()


class ReadResult:
    """What reading a session gave: rows per kind, the lines skipped (their
    messages, all of them), the records behind the clock, where the session
    was cut short, and the error that stopped reading part-way (damaged
    compressed data), if any."""

    def __init__(self, header, rows, skipped, late, cut, lines, failure=None):
        self.header = header
        self.failure = failure
        self.rows = rows
        self.skipped = skipped
        self.late = late
        self.cut = cut
        self.lines = lines


class _Reader(SessionReader):
    """The session reader with its line loop replaced by one that keeps
    the values as recorded."""

    def rows(self, max_jump, report, got, flush=None, chunk=None):
        """Fills ``got`` ("rows", "skipped", "late", "ended") line by line, so
        that what was read before a SessionError is kept; every ``chunk`` rows
        ``flush(got["rows"])`` takes them (and empties their lists)."""
        header = self.header
        decode_line = self._decode  # the reader's own decoder: the reference
        if header.version == 1:
            decode_fast = msgspec.json.Decoder(Union[tuple(_TYPED)]).decode
            decode_plain = msgspec.json.Decoder(_Line1).decode
        else:
            decode_fast = msgspec.json.Decoder(Union[_Line2, list]).decode
            decode_plain = None
        typed = _TYPED
        astuple = msgspec.structs.astuple
        shapes = {}
        tables = got["rows"]
        skipped = got["skipped"]
        short = _SHORT
        required = _REQUIRED
        errors = (msgspec.DecodeError, msgspec.ValidationError)
        recv_types = (int, float, type(None))

        def skip(text):
            skipped.append(text)
            if report is not None:
                report(text)

        orders = list(header.orders)
        for o in orders:
            _host_order(tables, o, 1)
        oi = 0
        next_order = orders[0].t if orders else None
        # The replay's clock: host orders of the header enter at their time, a
        # record more than max_jump ahead of it is a corrupt time stamp. "limit"
        # is a lower bound of clock + max_jump, renewed only when a time passes it.
        clock = header.start
        limit = clock + max_jump
        v2 = header.version >= 2
        by_kind = {}
        known = {}  # (callback or kind, names) -> the rows of that group
        pending = 0
        if flush is None:
            chunk = -1
        for line in self._lines:
            lineno = self.lineno
            if line is None:
                skip("line %d: longer than %s bytes (--max-line-size)"
                     % (lineno, "{:,}".format(self.max_line)))
                continue
            if type(line) is LineError:  # damaged compressed data: what came before stands
                skip(str(line))
                continue
            try:
                obj = decode_fast(line)
            except errors:
                obj = None
                if decode_plain is not None:
                    try:
                        obj = decode_plain(line)
                    except errors:
                        pass
                if obj is None and (not line or line.isspace()):
                    continue
            fast = None
            item = None
            shape = typed.get(type(obj))
            if shape is not None:
                t = obj.t
                if t is not None and t.tzinfo is None and obj.args is None \
                        and type(obj.recv) in recv_types:
                    fast = known.get(shape)
                    if fast is None:
                        fast = known[shape] = _group(tables, by_kind, *shape)
                    row = [lineno, t, obj.recv, *astuple(obj.rec)]
            elif type(obj) is list:
                got_row = _row(obj, shapes, lineno)
                if got_row is not None:
                    kind, names, row = got_row
                    t = row[1]
                    fast = known.get((kind, names))
                    if fast is None:
                        fast = known[kind, names] = _group(tables, by_kind, kind, names)
            elif obj is not None:
                cb = obj.cb
                t = obj.t
                raw = obj.rec
                if cb in short and t is not None and t.tzinfo is None \
                        and type(raw) is dict and obj.args is None \
                        and type(obj.recv) in recv_types:
                    if v2:
                        x = obj.x
                        if x:
                            raw.update(x)
                    names = tuple(raw)
                    group = known.get((cb, names))
                    if group is None and required[cb] <= raw.keys():
                        group = _group(tables, by_kind, KIND_OF[cb], names)
                        known[cb, names] = group
                    if group is not None:
                        fast = group
                        row = [lineno, t, obj.recv, *raw.values()]
            if fast is None:
                # The long way: the reader's decoder says what is wrong, or
                # hands back what it made of the line.
                try:
                    item = decode_line(line, lineno)
                except LineError as exc:
                    skip(str(exc))
                    continue
                if item is None:  # a shape, or a line kind this tool ignores
                    if type(obj) is _Line2 and obj.cb == "$shape":
                        # (kind, names, row positions of tagged values, row length)
                        shapes[obj.shape] = (KIND_OF[obj.of], tuple(obj.names), tuple(
                            sorted({3 + i for i in obj.tagged})), len(obj.names) + 3)
                    continue
                t = item.t
            while next_order is not None and next_order <= t:
                if next_order > clock:
                    clock = next_order
                oi += 1
                next_order = orders[oi].t if oi < len(orders) else None
            if t > limit:
                if t - clock > max_jump:
                    skip("line %d: time %s jumps %s ahead of the clock (%s)"
                         % (lineno, format_time(t), _span(t - clock), format_time(clock)))
                    continue
                limit = clock + max_jump
            if t > clock:
                clock = t
            elif t < clock:
                got["late"] += 1
            pending += 1
            if pending == chunk:
                flush(tables)
                pending = 0
            if fast is not None:
                fast.append(row)
                continue
            cls = type(item)
            if cls is HostOrder:
                _host_order(tables, item, lineno)
            elif cls is End:
                got["ended"] = True
            else:
                for kind, names, row in _from_entry(item):
                    rows = tables.get(kind)
                    if rows is None:
                        rows = tables[kind] = Rows()
                        by_kind[kind] = rows.groups
                    rows.add(names, row)


def _group(tables, by_kind, kind, names):
    """The row list of a kind's group of ``names``, made on first use."""
    groups = by_kind.get(kind)
    if groups is None:
        rows = tables.get(kind)
        if rows is None:
            rows = tables[kind] = Rows()
        groups = by_kind[kind] = rows.groups
    group = groups.get(names)
    if group is None:
        group = groups[names] = []
    return group


def _span(delta):
    s = delta.total_seconds()
    return "%.1f days" % (s / 86400) if s >= 86400 else "%.1f hours" % (s / 3600)


def _row(row, shapes, lineno, _recv=(int, float, type(None))):
    """(kind, names, row) of a well-formed row of a declared shape, or None."""
    sid = row[0] if row else None
    shape = shapes.get(sid) if type(sid) is int else None
    if shape is None or len(row) != shape[3]:
        return None
    t = row[1]
    if type(t) is not str or type(row[2]) not in _recv:
        return None
    try:
        t = _fromisoformat(t)
    except ValueError:
        return None
    if t.tzinfo is not None:
        return None
    kind, names, tagged, _ = shape
    for i in tagged:
        if type(row[i]) is not str:
            return None  # a tagged value other than a member: the long way
    row[0] = lineno
    row[1] = t
    return kind, names, row


def _from_entry(entry):
    """(kind, names, row) for each row of an entry the reader decoded."""
    cb = entry.cb
    kind = KIND_OF[cb]
    lead = [entry.lineno, entry.t, entry.recv]
    call = entry.call
    if not call:
        yield kind, (), lead
        return
    rec, args = call[0], call[1:]
    extra_names = ARGS[:len(args)]
    extra = [_plain(a) for a in args]
    if cb == "on_query_position":
        for i, p in enumerate(rec):
            attrs = _attrs(p)
            yield kind, ("position",) + tuple(attrs) + extra_names, \
                lead + [i] + list(attrs.values()) + extra
        return
    attrs = _attrs(rec)
    yield kind, tuple(attrs) + extra_names, lead + list(attrs.values()) + extra


def _attrs(rec):
    d = getattr(rec, "__dict__", None)
    if d is None:
        return {"value": _plain(rec)}
    return {k: _plain(v) for k, v in d.items()}


def _plain(v):
    """A decoded value in the form a column takes: scalars as they are,
    tuples as lists, records as their attribute dicts."""
    t = type(v)
    if t in _PLAIN:
        return v
    if t is list or t is tuple:
        return [_plain(e) for e in v]
    if t is dict:
        return {k: _plain(e) for k, e in v.items()}
    d = getattr(v, "__dict__", None)
    if d is not None:
        return {k: _plain(e) for k, e in d.items()}
    text = getattr(v, "text", None)  # a member known by name only
    return text if type(text) is str else repr(v)


def _host_order(tables, order, lineno):
    attrs = {k: _plain(v) for k, v in order.attrs.items()}
    rows = tables.get(HOST_ORDER)
    if rows is None:
        rows = tables[HOST_ORDER] = Rows()
    rows.add(("client_order_id",) + tuple(attrs),
             [lineno, order.t, None, _plain(order.client_order_id), *attrs.values()])


def read_session(source, max_line=DEFAULT_MAX_LINE, max_jump=_dt.timedelta(days=1),
                 report=None, flush=None, chunk=100_000):
    """Reads a session into rows per kind. ``report`` is called with the text
    of each line skipped, as it happens; ``flush``, if given, with the rows
    per kind every ``chunk`` lines, to take them out (their lists are emptied
    after). Raises SessionError when the session cannot be read at all."""
    got = {"rows": {}, "skipped": [], "late": 0, "ended": False}
    with _Reader(source, Enumerations(), max_line) as reader:
        header = reader.header
        failure = None
        try:
            reader.rows(max_jump, report, got, flush, chunk)
        except SessionError as exc:
            failure = str(exc)
        rows, skipped, late, ended = got["rows"], got["skipped"], got["late"], got["ended"]
        cut = reader.cut
        if header.version >= 2 and header.end is None and not ended and not cut:
            # A recording gets its end line when the recorder closes.
            cut = "no end line after line %d: the recording stopped without closing" \
                % reader.lineno
        return ReadResult(header, rows, skipped, late, cut, reader.lineno, failure)
