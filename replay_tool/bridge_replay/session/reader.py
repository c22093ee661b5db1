"""Reading a session file: plain or gzip (several members one after another),
split into lines of bounded length, the header first, then each line decoded."""

import datetime as _dt
import io
import sys
import zlib

import msgspec

from bridge_replay.session.codec import Decoder, Record
from bridge_replay.session.entries import Entry
from bridge_replay.session.header import Header
from bridge_replay.session.lines import EntryDecoder
from bridge_replay.session.schema import LineError, SessionError

DEFAULT_MAX_LINE = 16 << 20
_CHUNK = 1 << 16
_fromisoformat = _dt.datetime.fromisoformat


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
                except (msgspec.DecodeError, ValueError, RecursionError):
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
