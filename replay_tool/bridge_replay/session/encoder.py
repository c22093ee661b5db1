"""Turning captured callbacks into line objects: an object line per callback,
or, for the callbacks that take just a record, a row of values after a line
declaring the record's shape once."""

import datetime as _dt
import itertools
import operator

import msgspec

from bridge_replay.session.codec import AttrDict, ValueEncoder, format_time, record_attrs
from bridge_replay.session.entries import HostOrder
from bridge_replay.session.schema import CALLBACKS, ROWS

try:  # the writer's row check in C, built with the tool when a compiler was at hand
    from bridge_replay import _rows
except ImportError:
    _rows = None

_MAX_SHAPES = 4096


class Encoder(ValueEncoder):
    """Turns callback arguments into session lines (text, no line break)."""

    def __init__(self, enums):
        super().__init__(enums)
        self._shapes = {}
        self._last = {}
        self.shapes_declared = 0  # shape lines handed out

    def entry(self, t, cb, rec=None, args=(), recv=None):
        return self._json.encode(self.entry_obj(t, cb, rec, args, recv))

    def entry_obj(self, t, cb, rec=None, args=(), recv=None):
        """The line of ``entry`` as the object to encode."""
        takes_rec, nargs, _ = CALLBACKS[cb]
        line = {"t": format_time(t), "cb": cb}
        if takes_rec:
            attrs = rec if isinstance(rec, AttrDict) else (
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

    def write_into(self, out, items, other=None):
        """Appends the lines of captured callbacks (as ``callbacks`` takes
        them), each with its line break, to the bytearray ``out``; ``other``
        as for ``callbacks``, with an ``add`` that does the same. On an error
        ``out`` is left as it was."""
        start = len(out)
        try:
            if _rows is None or not hasattr(_rows, "rows"):
                objs = []
                self.callbacks(objs.append, items, other)
                if objs:
                    out += self._json.encode_lines(objs)
                return
            # The usual rows' text goes straight into out; the rest is
            # encoded into it in turn, so the lines keep their order.
            encode_into = self._json.encode_into

            def add(obj):
                encode_into(obj, out, -1)
                out.append(10)
            self.callbacks(add, items, other, _out=out)
        except BaseException:
            del out[start:]
            raise

    def callbacks(self, add, items, other=None, _fromtimestamp=_dt.datetime.fromtimestamp,
                  _datetime=_dt.datetime, _type=type, _tuple=tuple, _map=map, _sum=sum,
                  _chain=itertools.chain, _dict=dict, _out=None):
        """Hands ``add`` the line objects of captured callbacks, each
        ``(cb, t, rec, args, recv)``: ``rec`` the record's attribute dict, a
        pair of tuples (names, values), the record itself or None; ``t`` None
        for the local time of ``recv``.
        Callbacks in ROWS with an attribute dict are written as ``row`` says.
        An item whose ``cb`` is no callback goes to ``other(add, item)``.
        ``_out``: the bytearray that ``add`` appends each line to, where the
        C writer may append rows' text itself (``write_into``)."""
        # One loop for a whole batch: the recorder's writer spends most of its
        # time here, so the usual row (same shape as the callback's last, plain
        # numbers) is done inline, without a call per row.
        last = self._last
        known = self._member_names
        attrdict = AttrDict
        crow = _rows.row if _rows is not None else None
        crows = getattr(_rows, "rows", None)
        if crows is not None:
            # The usual rows in C, as text where it can write it as msgspec
            # would; the loop gets each item that C leaves to it.
            items = _left_by_c(crows, items if _type(items) is list else list(items),
                               last, known, add, attrdict, _out)
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
        self.shapes_declared += 1
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


def _left_by_c(rows, items, last, known, add, attrdict, out=None, _raw=msgspec.Raw):
    """Runs the C writer over ``items``, yielding each item it leaves to the
    Python loop; it goes on after the item once that has been written. The
    lines it hands ``add`` are line objects, or runs of rows' text as one
    msgspec.Raw (which ``lines`` writes as it is); with ``out``, the rows'
    text is appended to that bytearray instead."""
    i, n = 0, len(items)
    text = _raw if out is None else out
    while True:
        i = rows(items, i, last, known, add, attrdict, text)
        if i >= n:
            return
        yield items[i]
        i += 1


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
