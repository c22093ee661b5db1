"""Damaged and hostile sessions, plain and gzip: what is played, the exit status
and the last line."""
import gzip
import re

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
    ("recording closed", _recording(), 0, 0, None),
]


@pytest.fixture(scope="module")
def day_lines(small_day):
    lines = gzip.decompress(small_day.read_bytes()).split(b"\n")
    return [l for l in lines if l]


def _play(path, strict=False):
    player = Player(str(path), strict=strict, max_line=256 << 10)
    try:
        summary = player.run()
        failure = None
    except ReplayError as exc:
        summary, failure = player.summary, exc
    return summary, failure


def _check(summary, failure, everything, status, fewer, text):
    code, last = outcome(summary, failure)
    assert (code, failure) == (status, None), last
    expected = 0 if fewer == "all" else everything - fewer
    assert summary["callbacks_total"] == expected
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
