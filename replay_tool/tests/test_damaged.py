"""Damaged and hostile sessions, plain, gzip and zstd: what is played, the exit
status and the last line, and the memory the reader takes whatever the
compression ratio."""
import gzip
import re
import subprocess
import sys
import zlib

import pytest

from bridge_replay import Player, ReplayError
from bridge_replay.summary import outcome
from replay_support import small_day  # noqa: F401

AT = 300  # where a bad line goes in


def _insert(line):
    return lambda lines: lines[:AT] + [line] + lines[AT:]


def _spoil_value(lines):
    # Invalid UTF-8 inside a text that is decoded (an older msgspec raises
    # UnicodeDecodeError there, a newer one its own error).
    i = next(i for i in range(AT, len(lines)) if b'"security_id":"' in lines[i])
    return lines[:i] + [lines[i].replace(b'"security_id":"', b'"security_id":"\xff', 1)] \
        + lines[i + 1:]


def _recording(start=None, end_at=b"2024-03-15T16:00:00.000000"):
    """As a recording: no end in the header, an end line last."""
    def change(lines):
        header = re.sub(rb',"end":"[^"]*"', b"", lines[0])
        if start is not None:
            header = re.sub(rb'"start":"[^"]*"', b'"start":"' + start + b'"', header)
        return [header] + lines[1:] + [b'{"t":"' + end_at + b'","cb":"$end","dropped":0}']
    return change


def _nested(depth):
    return (b'{"t":"2024-03-15T09:35:00.000000","cb":"on_order_action_error",'
            b'"rec":{"client_order_id":1},"x":{"y":' + b'{"$tuple":[' * depth + b"]}" * depth
            + b"}}")


BODY = [
    # (name, change to the lines, exit status, callbacks played less than all, text)
    ("invalid UTF-8", _spoil_value, 3, 1, "not valid UTF-8"),
    ("tagged value 700 deep", _insert(_nested(700)), 3, 0, "nested deeper than 100 levels"),
    ("tagged value 99 deep", _insert(_nested(99)), 0, -1, None),
    ("plain value 100,000 deep", _insert(
        b'{"t":"2024-03-15T09:35:00.000000","cb":"on_order_action_error","rec":'
        b'{"client_order_id":1,"y":' + b"[" * 100000 + b"]" * 100000 + b"}}"),
     3, 0, "nested deeper than 100 levels"),
    ("callback not a text", _insert(b'{"t":"2024-03-15T09:35:00.000000","cb":[1]}'), 3, 0,
     "bad line"),
    ("row cut after white space", _insert(b" [1,"), 3, 0, "not valid JSON"),
    ("line over the limit", _insert(b'{"t":"2024-03-15T09:35:00.000000","cb":"on_switch_day",'
                                    b'"pad":"' + b"x" * (300 << 10) + b'"}'),
     3, 0, "longer than 262,144 bytes"),
    ("end line's time a jump", _recording(end_at=b"2099-01-01T00:00:00.000000"), 3, 0,
     "jumps"),
    ("start in year 1", _recording(start=b"0001-01-01T00:00:00.000000"), 3, "all",
     "jumps"),
    ("recording closed", _recording(), 0, 0, None),
]


def _members(lines, spoil, which=1, compress=gzip.compress):
    """Three gzip members (or zstd frames), as the recorder's flushes make them,
    the one numbered ``which`` made by ``spoil`` from its lines' bytes."""
    cut = [0, len(lines) // 3, 2 * len(lines) // 3, len(lines)]
    data = [b"".join(l + b"\n" for l in lines[a:b]) for a, b in zip(cut, cut[1:])]
    return b"".join(spoil(d) if i == which else compress(d) for i, d in enumerate(data))


def _zstd(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor(level=1, write_checksum=True).compress(data)


def _zstd_frames(spoil=None, which=1, tail=b""):
    return lambda lines: _members(lines, spoil or _zstd, which, _zstd) + tail


def _zstd_flipped(data):  # a byte of its second block's data changed
    frame = bytearray(_zstd(data))
    frame[len(frame) // 2] ^= 0x5A
    return bytes(frame)


def _bad_check(data):  # every line in it decodes; the check at its end fails
    member = gzip.compress(data)
    return member[:-8] + bytes(b ^ 0xFF for b in member[-8:-4]) + member[-4:]


def _bad_second_block(data):
    # Stored blocks: the second block's length and its complement disagree.
    member = bytearray(gzip.compress(data, 0))
    second = 10 + 5 + int.from_bytes(member[11:13], "little")
    member[second + 3] ^= 0xFF
    return bytes(member)


def _bomb(lines):
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    data = b"".join(l + b"\n" for l in lines[:AT])
    return c.compress(data) + c.compress(b"\n" * (64 << 20)) \
        + c.compress(b"".join(l + b"\n" for l in lines[AT:])) + c.flush()


COMPRESSED = [
    # (name, the file's bytes from the lines, exit status, played less than all, text)
    ("damage in a member", lambda lines: _members(lines, _bad_check), 3, 0,
     "the compressed data is damaged (incorrect data check); 5 bytes passed over, "
     "to the next gzip member"),
    ("damage takes a recording's end", lambda lines: _members(
        _recording()(lines), _bad_second_block, 2), 3, "some", "no gzip member follows"),
    ("garbage after the last member", lambda lines: gzip.compress(
        b"".join(l + b"\n" for l in lines)) + b"no gzip here\n", 3, 0,
     "to the end: no gzip member follows"),
    ("64 MiB of line breaks", _bomb, 0, 0, None),
    ("zstd frames", _zstd_frames(), 0, 0, None),
    ("damage in a zstd frame", _zstd_frames(_zstd_flipped), 3, "some",
     "bytes passed over, to the next zstd frame"),
    ("garbage after the last zstd frame", _zstd_frames(tail=b"no zstd here\n"), 3, 0,
     "to the end: no zstd frame follows"),
]


@pytest.fixture(scope="module")
def day_lines(small_day):
    lines = gzip.decompress(small_day.read_bytes()).split(b"\n")
    return [l for l in lines if l]


def _play(path):
    player = Player(str(path), max_line=256 << 10)
    try:
        summary = player.run()
        failure = None
    except ReplayError as exc:
        summary, failure = player.summary, exc
    return summary, failure


def _check(summary, failure, everything, status, fewer, text):
    code, last = outcome(summary, failure)
    assert (code, failure) == (status, None), last
    if fewer == "some":
        assert 0 < summary["callbacks_total"] < everything
    else:
        assert summary["callbacks_total"] == (0 if fewer == "all" else everything - fewer)
    if text is None:
        assert summary["skipped_lines"]["count"] == 0 and last == "OK"
    else:
        assert summary["skipped_lines"]["count"] >= 1 and not summary["cut"]
        assert any(text in s for s in summary["skipped_lines"]["first"])


def _callbacks(lines):
    return sum(1 for l in lines if b'"cb":"on_' in l)


@pytest.mark.parametrize("compress", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("name,change,status,fewer,text", BODY, ids=[c[0] for c in BODY])
def test_damaged_lines(day_lines, tmp_path, compress, name, change, status, fewer, text):
    lines = change(list(day_lines))
    data = b"".join(l + b"\n" for l in lines)
    path = tmp_path / ("s.jsonl.gz" if compress else "s.jsonl")
    path.write_bytes(gzip.compress(data, 1) if compress else data)
    _check(*_play(path), _callbacks(day_lines), status, fewer, text)
    if status == 3:
        with pytest.raises(ReplayError, match="--strict stops here"):
            Player(str(path), strict=True, max_line=256 << 10).run()


@pytest.mark.parametrize("name,make,status,fewer,text", COMPRESSED,
                         ids=[c[0] for c in COMPRESSED])
def test_damaged_compressed_data(day_lines, tmp_path, name, make, status, fewer, text):
    path = tmp_path / "s.jsonl.gz"
    path.write_bytes(make(list(day_lines)))
    _check(*_play(path), _callbacks(day_lines), status, fewer, text)


# Reads a session, as the player does, under tracemalloc; prints the peak.
_MEASURE = """
import sys, tracemalloc
from bridge_replay.session.codec import Enumerations
from bridge_replay.session.reader import SessionReader
tracemalloc.start()
with SessionReader(sys.argv[1], Enumerations(), int(sys.argv[2])) as reader:
    n = sum(1 for _ in reader.entries())
print(n, tracemalloc.get_traced_memory()[1])
"""
HEADER = b'{"format":"pymach-session","version":2,"start":"2024-03-15T08:30:00"}\n'
LONG = b'{"t":"2024-03-15T09:35:00","cb":"on_order_action_error","rec":{"client_order_id":1,' \
    b'"pad":"%s"}}\n'


@pytest.mark.parametrize("body,max_line,bound,compress", [
    pytest.param(b"\n" * (64 << 20), 1 << 20, 4 << 20, True, id="64 MiB of line breaks, gzip"),
    pytest.param(b"\n" * (64 << 20), 1 << 20, 6 << 20, _zstd, id="64 MiB of line breaks, zstd"),
    pytest.param(LONG % (b"x" * (8 << 20)), 16 << 20, 20 << 20, False, id="8 MiB line"),
    pytest.param(LONG % (b"x" * (8 << 20)), 16 << 20, 20 << 20, True, id="8 MiB line, gzip"),
    pytest.param(LONG % (b"x" * (8 << 20)), 1 << 20, 4 << 20, True,
                 id="8 MiB line over the limit, gzip"),
])
def test_memory_stays_bounded(tmp_path, body, max_line, bound, compress):
    data = HEADER + body
    path = tmp_path / "s.jsonl"
    path.write_bytes(compress(data) if callable(compress) else
                     gzip.compress(data, 9) if compress else data)
    out = subprocess.run([sys.executable, "-c", _MEASURE, str(path), str(max_line)],
                         capture_output=True, timeout=120, check=True).stdout.split()
    entries, peak = int(out[0]), int(out[1])
    assert entries == (0 if body[:1] == b"\n" else 1)
    assert peak < bound, "peak %.1f MiB" % (peak / (1 << 20))
