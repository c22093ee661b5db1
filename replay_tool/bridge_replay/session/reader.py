"""Reading a session file: plain, gzip or zstd (several members or frames one
after another), split into lines of bounded length, the header first, then
each line decoded."""

import datetime as _dt
import io
import re
import sys
import zlib

import msgspec

from bridge_replay.optional import import_optional
from bridge_replay.session.codec import Decoder, Record
from bridge_replay.session.entries import Entry
from bridge_replay.session.header import Header
from bridge_replay.session.lines import EntryDecoder
from bridge_replay.session.schema import LineError, SessionError

DEFAULT_MAX_LINE = 16 << 20
_CHUNK = 1 << 18  # read and decompressed at most this much at a time
_WBITS = 16 + zlib.MAX_WBITS
_MAGIC = b"\x1f\x8b\x08"  # a gzip member's first bytes
_ZSTD_MAGIC = b"\x28\xb5\x2f\xfd"  # a zstd frame's
# zstd is fed this much at a time: no call can then make more than 2 MiB,
# whatever the ratio (a block of up to 128 KiB may take 4 bytes).
_ZSTD_PIECE = 64
_NEWLINES = re.compile(rb"\n+")
_fromisoformat = _dt.datetime.fromisoformat


class _Damage:
    """Where compressed data could not be decoded: what zlib said, the bytes
    passed over, and whether a later gzip member was found to go on with."""

    __slots__ = ("why", "passed", "resumed", "unit")

    def __init__(self, why, passed, resumed, unit="gzip member"):
        self.why = why
        self.passed = passed
        self.resumed = resumed
        self.unit = unit

    def text(self):
        why = self.why.rpartition("decompressing data: ")[2].rpartition("decompressor error: ")[2]
        return "the compressed data is damaged (%s); %s bytes passed over, %s" % (
            why, "{:,}".format(self.passed), "to the next " + self.unit if self.resumed
            else "to the end: no %s follows" % self.unit)


def _salvage(d, data):
    """Yields what decompressor ``d`` makes of ``data`` fed a byte at a time,
    up to the byte where it fails; returns that byte's index."""
    for i in range(len(data)):
        piece = data[i:i + 1]
        try:
            while True:
                out = d.decompress(piece, _CHUNK)
                if out:
                    yield out
                piece = d.unconsumed_tail
                if not piece and len(out) < _CHUNK:
                    break
        except zlib.error:
            return i
        if d.eof:
            break
    return max(len(data) - 1, 0)


def _pieces(outs):
    """Decompressed output in pieces of at most _CHUNK (``outs`` is emptied)."""
    data = b"".join(outs) if len(outs) > 1 else outs[0]
    del outs[:]  # not held beside the joined data
    if len(data) <= _CHUNK:
        yield data
        return
    view = memoryview(data)
    for k in range(0, len(data), _CHUNK):
        yield bytes(view[k:k + _CHUNK])


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
        self.lost_tail = False  # damaged compressed data, and no readable member after it
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
        self._left = None  # the rest of the piece _lines is in
        try:
            self._batches = self._read_batches()
            self._lines = self._read_lines()
            first = None
            for line in self._lines:
                if line is None:
                    raise SessionError("session %s: line 1 is longer than %s bytes"
                                       % (self.path, "{:,}".format(self.max_line)))
                if type(line) is LineError:
                    raise SessionError("cannot read session %s: %s" % (self.path, line.message))
                if not line.isspace():
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

    def _read(self):
        data = self._raw.read(_CHUNK)
        self.consumed += len(data)
        return data

    def _chunks(self):
        """The file's bytes in pieces of at most _CHUNK, decompressed if it is
        gzip. Where compressed data is damaged: the data before the damage,
        then a _Damage, then the data from the next gzip member on, if any."""
        data = self._read()
        if data[:4] == _ZSTD_MAGIC:
            yield from self._zstd_chunks(data)
            return
        if data[:2] != b"\x1f\x8b":
            while data:
                yield data
                data = self._read()
            return
        # gzip, possibly several members back to back (the recorder's flushes).
        # Output is taken _CHUNK at a time, whatever the compression ratio.
        d = zlib.decompressobj(_WBITS)
        fed = False  # the current member has begun
        damage = None  # (what zlib said, bytes passed over) while looking for a member
        while True:
            if d is None:
                k = data.find(_MAGIC)
                if k < 0:
                    keep = data[-2:]  # a member's first bytes may end this read
                    damage[1] += len(data) - len(keep)
                    data = keep
                else:
                    damage[1] += k
                    yield _Damage(damage[0], damage[1], True)
                    damage = None
                    data = data[k:]
                    d = zlib.decompressobj(_WBITS)
                    fed = False
            while d is not None:
                before = d.copy()
                try:
                    out = d.decompress(data, _CHUNK)
                except zlib.error as exc:
                    # What decoded before the damage is still good: decoded again
                    # a byte at a time up to the damaged one.
                    bad = yield from _salvage(before, data)
                    damage = [str(exc), 1]
                    data = data[bad + 1:]
                    d = None
                    break
                if data:
                    fed = True
                if out:
                    yield out
                if d.eof:
                    data = d.unused_data.lstrip(b"\x00")
                    d = zlib.decompressobj(_WBITS)
                    fed = False
                    if not data:
                        break
                    continue
                data = d.unconsumed_tail
                if not data and len(out) < _CHUNK:
                    break  # all given, nothing held back
            if d is None and data and len(data) > 2:
                continue  # look on in what is left of this read
            more = self._read()
            if not more:
                if damage is not None:
                    yield _Damage(damage[0], damage[1] + len(data), False)
                elif fed:
                    self.cut = "the compressed data ends after line %d" % self.lineno
                return
            data = data + more if data else more

    def _zstd_chunks(self, data):
        """_chunks for zstd: frames one after another (the recorder's flushes).
        Where a frame is damaged, the lines of its damaged block are lost with
        it, and reading goes on at the next frame."""
        zstandard = import_optional("zstandard", "zstd", "reading zstd-compressed session %s"
                                    % self.path)
        dctx = zstandard.ZstdDecompressor()
        d = dctx.decompressobj()
        fed = False  # the current frame has begun
        damage = None  # (what zstd said, bytes passed over) while looking for a frame
        outs, held = [], 0  # output gathered into pieces of about _CHUNK
        pos = 0
        while True:
            if d is None:
                k = data.find(_ZSTD_MAGIC, pos)
                if k < 0:
                    keep = max(pos, len(data) - 3)  # a frame's first bytes may end this read
                    damage[1] += keep - pos
                    data, pos = data[keep:], 0
                else:
                    damage[1] += k - pos
                    yield _Damage(damage[0], damage[1], True, "zstd frame")
                    damage = None
                    pos = k
                    d = dctx.decompressobj()
                    fed = False
            while d is not None and pos < len(data):
                piece = data[pos:pos + _ZSTD_PIECE]
                try:
                    out = d.decompress(piece)
                except zstandard.ZstdError as exc:
                    if outs:
                        yield from _pieces(outs)
                        held = 0
                    damage = [str(exc), 1]
                    pos += 1  # the next frame begins after the one that failed
                    d = None
                    break
                fed = True
                pos += len(piece)
                if out:
                    outs.append(out)
                    held += len(out)
                    out = None
                    if held >= _CHUNK:
                        yield from _pieces(outs)
                        held = 0
                if d.eof:
                    pos -= len(d.unused_data)
                    d = dctx.decompressobj()
                    fed = False
            if d is None and len(data) - pos > 3:
                continue  # look on in what is left of this read
            more = self._read()
            if not more:
                if outs:
                    yield from _pieces(outs)
                if damage is not None:
                    yield _Damage(damage[0], damage[1] + len(data) - pos, False, "zstd frame")
                elif fed:
                    self.cut = "the compressed data ends after line %d" % self.lineno
                return
            data, pos = data[pos:] + more, 0

    def _read_batches(self):
        """Yields (numbers, lines) for each piece of the file read: lines[i] is
        line numbers[i], its bytes (without the break), None for a line longer
        than max_line (skipped up to its end), or a LineError where damaged
        compressed data was passed over. Empty lines are counted, not yielded.
        ``lineno`` is the last line counted, whoever else sets it meanwhile."""
        pending = []  # pieces of the line not ended yet
        plen = 0
        skipping = False  # the line not ended yet is too long: dropped up to its end
        limit = self.max_line
        find, newlines = bytes.find, _NEWLINES.match
        lineno = self.lineno
        for chunk in self._chunks():
            if type(chunk) is _Damage:
                # The line it broke off is lost with the damage.
                lineno += 1
                pending = []
                plen = 0
                skipping = False
                if not chunk.resumed:
                    self.lost_tail = True
                self.lineno = lineno
                yield (lineno,), [LineError(lineno, chunk.text())]
                self.lineno = lineno
                continue
            parts = chunk.split(b"\n")  # at most _CHUNK of them: bounded
            rest = parts.pop()  # the beginning of a line that ends in a later chunk
            if parts:
                first = lineno + 1
                lineno += len(parts)
                head = parts[0]
                # Only the head may be empty: every line of the piece is yielded.
                dense = parts.count(b"") == (0 if head else 1)
                if dense and len(chunk) > limit:
                    for i in range(1, len(parts)):
                        if len(parts[i]) > limit:
                            parts[i] = None
                # The line begun in earlier chunks ends here.
                if skipping:
                    skipping = False
                    head = None
                elif pending:
                    if plen + len(head) > limit:
                        head = None
                    else:
                        pending.append(head)
                        head = b"".join(pending)
                    pending = []  # not held beside the line
                elif len(head) > limit:
                    head = None
                plen = 0
                if dense:
                    if head == b"":  # an empty line: counted
                        del parts[0]
                        first += 1
                    else:
                        parts[0] = head
                    numbers, lines = range(first, lineno + 1), parts
                else:
                    # Runs of empty lines, however long, passed over in one go.
                    numbers, lines = [], []
                    if head != b"":
                        numbers.append(first)
                        lines.append(head)
                    n = first + 1
                    pos = len(parts[0]) + 1
                    end = len(chunk) - len(rest)
                    while pos < end:
                        nl = find(chunk, b"\n", pos, end)
                        if nl == pos:
                            run = newlines(chunk, pos, end).end()
                            n += run - pos
                            pos = run
                            continue
                        numbers.append(n)
                        lines.append(chunk[pos:nl] if nl - pos <= limit else None)
                        n += 1
                        pos = nl + 1
                parts = None  # not held beside the next chunk's
                self.lineno = lineno
                if lines:
                    yield numbers, lines
                    self.lineno = lineno
                numbers = lines = None
            if rest and not skipping:
                plen += len(rest)
                if plen > limit:
                    skipping = True
                    pending = []
                else:
                    pending.append(rest)
        if skipping:
            lineno += 1
            self.lineno = lineno
            self.cut = self.cut or "the last line (%d) ends early" % lineno
            yield (lineno,), [None]
        elif any(not p.isspace() for p in pending):
            self.cut = self.cut or "line %d ends in the middle" % (lineno + 1)
        self.lineno = lineno

    def _read_lines(self):
        """The lines of ``_read_batches`` one at a time, ``lineno`` the current one's."""
        for numbers, lines in self._batches:
            self._left = rest = zip(numbers, lines)
            for self.lineno, line in rest:
                yield line
        self._left = None

    def batches(self):
        """What ``_lines`` has not yielded of its piece, then the pieces after it,
        as ``_read_batches`` gives them; for a reader that takes lines by the piece
        (the player). Not to be mixed with ``_lines`` or ``entries()``."""
        left = self._left
        if left is not None:
            self._left = None
            left = list(left)
            if left:
                yield [n for n, _ in left], [line for _, line in left]
        yield from self._batches

    def position(self):
        """Bytes of the file consumed so far (of the compressed file, for .gz)."""
        return self.consumed

    def entries(self, _type=type, _len=len, _int=int, _str=str, _dict=dict, _zip=zip,
                _recv=(int, float, type(None)), _new=object.__new__, _bytes=bytes):
        decode = self._decode
        shapes = decode._shapes
        members = decode._members
        decode_row = decode._decode_any
        entry = Entry
        record = Record
        for line in self._lines:
            if _type(line) is not _bytes:
                if line is None:
                    yield LineError(self.lineno, "longer than %s bytes (--max-line-size)"
                                    % "{:,}".format(self.max_line))
                else:
                    yield line  # damaged compressed data
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
