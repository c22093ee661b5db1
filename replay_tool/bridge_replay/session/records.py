"""Rows, and object lines of the callbacks taking just a record, decoded
straight into the records their callbacks get.

For each declared shape a record type is made once: a msgspec struct read
from the row as an array, tagged by the shape's number, with the row's time
and receive time first (``_t``, ``_recv``) and then the shape's names as its
attributes. One call in C decodes a row into its record, checking its length
and that its plain values are plain JSON. Whatever that cannot take (a shape
whose names cannot be attributes, a tagged value not yet met as a member, a
time that is not one, anything malformed) is left to the line decoder, which
gives the same record as a ``Record`` or says what is wrong."""

import datetime as _dt
from typing import Any, Dict, Optional, Union

import msgspec

from bridge_replay.session.entries import PLAIN
from bridge_replay.session.schema import ROWS

_RECV = Union[int, float, None]
_RECORD_TYPES = {}  # (shape, names, tagged) -> record type; declarations repeat


def record_type(sid, names, tagged):
    """The record type of a shape, or None when its names cannot all be attributes."""
    key = (sid, names, tagged)
    cls = _RECORD_TYPES.get(key)
    if cls is None and key not in _RECORD_TYPES:
        # Names beginning with "_" could meet the row's own fields or the
        # struct's machinery: such shapes take the line decoder's way.
        if all(type(n) is str and n.isidentifier() and n[:1] != "_" for n in names):
            try:
                cls = msgspec.defstruct(
                    "Record", [("_t", _dt.datetime), ("_recv", _RECV)] + [(n, PLAIN) for n in names],
                    array_like=True, tag=sid, forbid_unknown_fields=True,
                    module=__name__)
            except (TypeError, ValueError):
                cls = None
        if len(_RECORD_TYPES) >= 4096:
            _RECORD_TYPES.clear()
        _RECORD_TYPES[key] = cls
    return cls


class RowRecords:
    """The decoder of rows into records, for the shapes ``lines`` (an
    EntryDecoder) has met so far: ``refresh()`` after a line that may have
    declared one. ``decode`` is None while no shape can be decoded here;
    ``kinds`` maps each record type to (callback, tagged names), whose texts
    the caller replaces by the members they name."""

    def __init__(self, lines):
        self._lines = lines
        self._seen = None
        self.decode = None
        self.kinds = {}

    def refresh(self):
        shapes = self._lines._shapes
        if self._seen == self._lines.declared:
            return False
        self._seen = self._lines.declared
        kinds = {}
        for sid, (cb, names, tagged, _) in shapes.items():
            cls = record_type(sid, names, tagged)
            if cls is not None:
                kinds[cls] = (cb, tagged)
        self.kinds = kinds
        self.decode = msgspec.json.Decoder(Union[tuple(kinds)]).decode if kinds else None
        return True


class ObjectRecords:
    """Object lines (version 2) of the callbacks that take just a record,
    decoded straight into their records. A line type is made for a callback
    from the first of its lines read the long way (``learn``): tagged by "cb",
    validated as the line decoder's own Entry is, its record a struct of that
    line's attribute names, those in "x" filled in after. Lines with other
    names, other tags, or anything unusual fail to decode and take the long
    way. ``kinds`` maps each line type to (callback, names in "x", their setters)."""

    def __init__(self):
        self.kinds = {}
        self.decode = None
        self._learned = set()

    def learn(self, entry):
        """Learns the line type of ``entry``'s callback, if not known yet; says
        whether it did."""
        cb = entry.cb
        if cb in self._learned or cb not in ROWS or len(self._learned) >= len(ROWS):
            return False
        self._learned.add(cb)
        rec = entry.call[0] if entry.call else None
        attrs = getattr(rec, "__dict__", None)
        x = entry.x or {}
        if type(attrs) is not dict or type(x) is not dict or not set(x) <= set(attrs):
            return False
        names = [n for n in attrs if n not in x]
        if not all(type(n) is str and n.isidentifier() and n[:1] != "_" for n in attrs):
            return False
        try:
            record = msgspec.defstruct(
                "Record", [(n, PLAIN) for n in names] + [(n, PLAIN, msgspec.UNSET) for n in x],
                forbid_unknown_fields=True, module=__name__)
            line = msgspec.defstruct(
                "Line", [("rec", record)] + _LINE_FIELDS, tag_field="cb", tag=cb,
                module=__name__)
        except (TypeError, ValueError):
            return False
        self.kinds[line] = (cb, frozenset(x), {n: vars(record)[n].__set__ for n in x})
        self.decode = msgspec.json.Decoder(Union[tuple(self.kinds)]).decode
        return True


# The line decoder's Entry, but for "cb" (the tag) and what the short way of
# a line taking just a record requires: "x" all member names, no "args", a
# number or null "recv".
_LINE_FIELDS = [("t", Optional[_dt.datetime], None), ("x", Optional[Dict[str, str]], None),
                ("args", None, None), ("recv", _RECV, None), ("client_order_id", Any, None),
                ("order", Any, None), ("dropped", Any, None), ("shape", Any, None),
                ("of", Any, None), ("names", Any, None), ("tagged", Any, None),
                ("call", Any, None), ("lineno", int, 0)]
