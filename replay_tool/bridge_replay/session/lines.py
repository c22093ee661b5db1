"""Decoding one body line into an Entry, a HostOrder or an End, for each
version read: version 1 (every attribute tagged in ``rec``), version 2
(plain ``rec``, tagged ``x``) and its minor version 1 (rows of declared shapes)."""

import operator
from typing import List, Union

import msgspec

from bridge_replay.session.codec import (TOO_DEEP, DecodeError, Decoder, make_record,
                                         parse_time, shown, too_deep)
from bridge_replay.session.entries import PLAIN, End, Entry, EntryV1, HostOrder
from bridge_replay.session.schema import CALLBACKS, ROWS, LineError

_REQUIRED = {cb: frozenset(req) for cb, (_, _, req) in CALLBACKS.items()}


def _nothing(_):
    return None


def undecodable(line, exc):
    """Why msgspec could not decode ``line``, in the same words whichever
    version of it raised ``exc`` (older ones raise UnicodeDecodeError)."""
    if isinstance(exc, RecursionError):
        return TOO_DEEP
    if type(line) is not str:
        try:
            bytes(line).decode("utf-8")
        except UnicodeDecodeError as bad:
            return "not valid UTF-8 (byte %d)" % bad.start
    return "not valid JSON: %s" % (exc,)


class EntryDecoder:
    """Decodes one body line into an Entry, a HostOrder, an End, or None (a
    line kind this reader does not know, ignored); raises LineError."""

    def __init__(self, version, enums):
        self.version = version
        self.values = Decoder(enums)
        entry = Entry if version >= 2 else EntryV1
        self._decode = msgspec.json.Decoder(entry).decode
        # A row of values whose shape an earlier line declared: told by its first
        # byte, so that object lines do not pay for a union. Typed as what the
        # writer puts in rows; a row that carries records at its tagged
        # positions is read loosely.
        self._decode_any = msgspec.json.Decoder(Union[entry, List[PLAIN]]).decode
        self._decode_loose = msgspec.json.Decoder(Union[EntryV1, list]).decode
        self._members = {}
        self._shapes = {}
        self.declared = 0  # shape lines taken so far
        # Callbacks taking just a record: their well-formed version 2 lines
        # take the short way in __call__.
        # The check for required attributes is an itemgetter: a KeyError says one lacks.
        self._short = {cb: operator.itemgetter(*req) if req else _nothing
                       for cb, (takes_rec, nargs, req) in CALLBACKS.items()
                       if takes_rec and not nargs and cb != "on_query_position"} \
            if version >= 2 else {}

    def _parse(self, line, lineno):
        """A line the typed decoders refused, decoded loosely or reported. The
        typed ones keep plain values plain, which bounds their nesting as msgspec
        decodes them; here the nesting is checked after. (Values in tagged form
        are bounded as they are decoded.)"""
        try:
            obj = self._decode_loose(line)
        except msgspec.ValidationError as exc:
            self._bad(exc, lineno)
        except (msgspec.DecodeError, UnicodeDecodeError, RecursionError) as exc:
            raise LineError(lineno, undecodable(line, exc)) from None
        if too_deep(obj, 0) if type(obj) is list else too_deep(obj.rec, 1):
            raise LineError(lineno, TOO_DEEP)
        return obj

    def __call__(self, line, lineno, _dict=dict, _recv=(int, float, type(None))):
        try:
            obj = (self._decode_any if line[:1] == b"[" else self._decode)(line)
        except Exception:  # anything unusual, the error of a bad line included
            obj = self._parse(line, lineno)
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
                raise DecodeError("receive time must be a number, not %s" % shown(recv))
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
        except DecodeError as exc:
            raise LineError(lineno, str(exc)) from None
        except (TypeError, AttributeError) as exc:
            raise LineError(lineno, "bad row: %s" % (exc,)) from None
        return Entry(t, cb, recv=recv, call=(make_record(raw),), lineno=lineno)

    def _declare(self, obj):
        sid, cb, names, tagged = obj.shape, obj.of, obj.names, obj.tagged
        if type(sid) is not int or cb not in ROWS:
            raise DecodeError("a shape needs a number \"shape\" and a callback "
                               "taking just a record in \"of\"")
        if type(names) is not list or not all(type(n) is str for n in names) \
                or len(set(names)) != len(names):
            raise DecodeError("a shape's \"names\" must be distinct texts")
        if type(tagged) is not list or not all(
                type(i) is int and 0 <= i < len(names) for i in tagged):
            raise DecodeError("a shape's \"tagged\" must be positions in its names")
        missing = [a for a in CALLBACKS[cb][2] if a not in names]
        if missing:
            raise DecodeError("%s shape lacks %s" % (cb, ", ".join(missing)))
        # the row's length (with its number, t and recv) last, for the reader's short way
        self._shapes[sid] = (cb, tuple(names), tuple(sorted({names[i] for i in tagged})),
                             len(names) + 3)
        self.declared += 1

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
        if text.startswith("Expected `object"):
            raise LineError(lineno, "a line must be a JSON object") from None
        raise LineError(lineno, "bad line: %s" % text) from None

    def _full(self, obj, lineno):
        try:
            t = obj.t
            if t is None:
                raise DecodeError("no time \"t\"")
            if t.tzinfo is not None:
                raise DecodeError("t %s carries a time zone; sessions keep naive local time"
                                   % t.isoformat())
            cb = obj.cb
            signature = CALLBACKS.get(cb)
            if signature is None:
                if type(cb) is str and cb[:1] == "$":
                    return self._special(obj, t, cb, lineno)
                raise DecodeError("unknown callback %s" % shown(cb) if cb is not None
                                   else "no callback \"cb\"")
            takes_rec, nargs, _ = signature
            if takes_rec:
                raw = obj.rec
                if raw is None:
                    raise DecodeError("%s needs a record \"rec\"" % cb)
                if cb == "on_query_position":
                    if type(raw) is not list:
                        if type(raw) is dict and "$tuple" in raw:
                            raw = raw["$tuple"]
                        else:
                            raise DecodeError("on_query_position needs a list of records")
                    rec = [self.values.value(r) for r in raw]
                else:
                    if type(raw) is not dict:
                        raise DecodeError("%s needs a record object, not %s"
                                           % (cb, type(raw).__name__))
                    if self.version == 1:
                        raw = self.values.record_v1(raw)
                    else:
                        x = obj.x
                        if x:
                            self._tagged(raw, x)
                    if not _REQUIRED[cb] <= raw.keys():
                        missing = [a for a in CALLBACKS[cb][2] if a not in raw]
                        raise DecodeError("%s record lacks %s" % (cb, ", ".join(missing)))
                    rec = make_record(raw)
            elif obj.rec is not None:
                raise DecodeError("%s takes no record" % cb)
            args = obj.args
            if args is None:
                args = []
            if type(args) is not list or len(args) != nargs:
                raise DecodeError("%s takes %d extra argument%s in \"args\", got %s"
                                   % (cb, nargs, "" if nargs == 1 else "s", shown(args)))
            recv = obj.recv
            if recv is not None and type(recv) not in (int, float):
                raise DecodeError("receive time \"recv\" must be a number, not %s"
                                   % shown(recv))
            if takes_rec:
                obj.call = (rec,) if not nargs else (rec,) + tuple(
                    self.values.value(a) for a in args)
            else:
                obj.call = ()
        except DecodeError as exc:
            raise LineError(lineno, str(exc)) from None
        except (TypeError, AttributeError) as exc:
            raise LineError(lineno, "bad record: %s" % (exc,)) from None
        obj.lineno = lineno
        return obj

    def _special(self, obj, t, cb, lineno):
        if cb == "$order":
            order = obj.order
            if type(order) is not dict or obj.client_order_id is None:
                raise DecodeError("a host order line needs client_order_id and order")
            attrs = {k: self.values.value(v) for k, v in order.items()}
            return HostOrder(t, self.values.value(obj.client_order_id), attrs, lineno)
        if cb == "$shape":
            self._declare(obj)
            return None
        if cb == "$end":
            dropped = obj.dropped
            return End(t, lineno, dropped if type(dropped) is int and dropped > 0 else 0)
        return None
