"""Both formats' readers on small session files kept beside the tests:
fixtures/session_v1.jsonl, cut from the version-1 day the tool once bundled
(plus two trades whose extra attributes need every tag), and
fixtures/session_v2.jsonl, the recording of its replay in the current format."""
import copy
import enum
import io
import math
import pickle
from pathlib import Path

import pytest

from bridge_replay import replay
from bridge_replay.host import load_host
from bridge_replay.session.codec import Decoder, Enumerations, Record, ValueEncoder, other
from bridge_replay.session.entries import End, Entry, HostOrder
from bridge_replay.session.reader import SessionReader
from korvane.orvik.utils import maviro

FIXTURES = Path(__file__).parent / "fixtures"
V1, V2 = FIXTURES / "session_v1.jsonl", FIXTURES / "session_v2.jsonl"


def _read(path):
    host = load_host(None)
    enums = Enumerations.from_namespace(vars(maviro), extra=host.enumerations())
    with SessionReader(str(path), enums) as reader:
        items = list(reader.entries())
        assert reader.cut is None
        return reader.header, items


def _plain(value):
    """Records as dicts, nan as a text: comparable with ==."""
    if type(value) is Record:
        return {k: _plain(v) for k, v in vars(value).items()}
    if type(value) in (list, tuple):
        return type(value)(_plain(v) for v in value)
    if type(value) is dict:
        return {k: _plain(v) for k, v in value.items()}
    if type(value) is float and math.isnan(value):
        return "nan"
    return value


def test_both_formats_read_the_same_session():
    h1, items1 = _read(V1)
    h2, items2 = _read(V2)
    assert (h1.version, h2.version) == (1, 2)
    assert all(isinstance(e, (Entry, HostOrder, End)) for e in items1 + items2)
    calls = [[(e.t, e.cb, _plain(e.call)) for e in items if isinstance(e, Entry)]
             for items in (items1, items2)]
    assert calls[0] == calls[1] and len(calls[0]) == 33
    # Version 1 had its host orders in the header; a recording puts each in
    # the book with a line when it first sees it, at the next callback.
    recorded = [e for e in items2 if type(e) is HostOrder]
    assert [(o.client_order_id, o.attrs) for o in h1.orders] == \
        [(o.client_order_id, o.attrs) for o in recorded]
    assert len(recorded) == 2 and all(a.t <= b.t for a, b in zip(h1.orders, recorded))
    assert type(items2[-1]) is End and h2.end is None
    assert all(e.recv is not None for e in items2 if isinstance(e, Entry))

    sdk = vars(maviro)
    extra, with_nan = [e.call[0] for e in items1 if e.cb == "on_tick_trade"
                       and len(vars(e.call[0])) > 10]
    assert extra.market_type is sdk["MarketType"].SZSE
    assert extra.note == "SIDE.BUY"  # a text that names a member stays a text
    assert extra.legs == (1, sdk["OrderStatusType"].Filled)
    assert extra.extra == {"k": [1, 2]}
    assert type(extra.venue) is Record and extra.venue.side.name == "BUY"
    assert math.isnan(with_nan.px)
    asset = next(e for e in items1 if e.cb == "on_query_asset")
    assert asset.call[1:] == (2, 0, "")
    positions = next(e for e in items1 if e.cb == "on_query_position").call[0]
    assert len(positions) == 8 and all(type(p) is Record for p in positions)


def test_the_current_format_file_has_every_line_kind():
    data = V2.read_bytes()
    for mark in (b'\n[', b'"cb":"$shape"', b'"x":{', b'"args":', b'"recv":', b'"cb":"$order"',
                 b'"cb":"$end"', b'{"$tuple":', b'{"$dict":', b'{"$float":"nan"}', b'"rec":['):
        assert mark in data, mark


def test_both_formats_replay_to_the_same_events():
    logs = []
    for path in (V1, V2):
        out = io.StringIO()
        summary = replay(str(path), events_out=out)
        assert summary["callbacks_total"] == 33 and summary["events"]["drained_total"] == 30
        assert summary["skipped_lines"]["count"] == summary["callback_errors"]["count"] == 0
        assert not summary["cut"]
        logs.append(out.getvalue())
    assert logs[0] == logs[1]


class _IntStatus(enum.IntEnum):
    Filled = 3
    Unknown = 99


class _Plain:
    """A member class of a native SDK's kind, here one whose == takes anything."""

    def __eq__(self, value):
        return True

    __hash__ = object.__hash__


_Plain.Reject = _Plain()


@pytest.mark.parametrize("members", [list(_IntStatus), [_Plain.Reject]],
                         ids=["IntEnum with the same name", "a member equal to anything"])
def test_a_status_no_sdk_need_have_equals_no_member(members):
    enums = Enumerations([type(members[0])])
    value = other("OrderStatusType.Unknown")
    tagged = ValueEncoder(enums).value(value)
    assert tagged == {"$other": "OrderStatusType.Unknown"}
    back = Decoder(enums).value(tagged)
    # Compared as the bridge compares a report's status: the report's value on the left.
    assert not any(back == m for m in members) and back != 99 and back == back
    assert str(back) == "OrderStatusType.Unknown"
    # Host orders holding one are deep-copied into events, and sessions cross processes.
    assert copy.deepcopy(back) is back and pickle.loads(pickle.dumps(back)) is back
