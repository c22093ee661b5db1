"""Differential replay: two event logs compared by content."""
import gzip
import json

import pytest
from click.testing import CliRunner

from bridge_replay.cli import main

BASE = [("EVENT.TICK", {"code": "000001.XSHE", "price": 10.5}),
        ("EVENT.TRADE", {"order": 10001, "qty": 300}),
        ("EVENT.TICK", {"code": "000002.XSHE", "price": 7.25}),
        ("EVENT.ORDER", {"order": 10001, "status": "ORDER_STATUS.FILLED"})]

NOTE = "partial fill on the second leg of the basket, routed through the algo gateway"
NESTED = [("EVENT.TRADE", {"calendar_dt": "2024-03-15T09:31:00", "trade": {
              "__type__": "Trade", "order_id": 10001, "price": 10.5, "qty": 300, "note": NOTE}}),
          ("EVENT.TICK", {"tick": {"__type__": "TickObject", "_tick_dict": {
              "market_code": "000001.XSHE", "asks": [10.51, 10.52, 10.53], "last_price": 10.5}}})]


def _log(path, events):
    path.write_text("".join(json.dumps({"n": i, "event": e, "fields": f}) + "\n"
                            for i, (e, f) in enumerate(events, 1)))
    return str(path)


def _changed(events):
    out = list(events)
    out[1] = ("EVENT.TRADE", {"order": 10001, "qty": 200})
    return out


def _nested(**edits):
    """NESTED with the trade's fields replaced by ``trade`` and the tick's by ``tick``."""
    trade, tick = json.loads(json.dumps(NESTED))
    trade[1]["trade"].update(edits.get("trade", {}))
    tick[1]["tick"]["_tick_dict"].update(edits.get("tick", {}))
    return lambda ev: [tuple(trade), tuple(tick)]


def _many_fields(ev):
    return [("EVENT.TICK", {"f%02d" % i: i for i in range(30)})] + ev[1:]


@pytest.mark.parametrize("name, base, edit, status, expected, counts", [
    ("identical", BASE, list, 0, ["identical: 4 events"], {}),
    ("changed field", BASE, _changed, 1,
     ["line 2 of A, line 2 of B: EVENT.TRADE", "  qty: 300 != 200"],
     {"EVENT.TRADE": {"changed": 1, "missing": 0, "extra": 0, "moved": 0}}),
    ("missing event", BASE, lambda ev: ev[:2] + ev[3:], 1,
     ["line 3 of A: EVENT.TICK, missing from B (before its line 3)"],
     {"EVENT.TICK": {"changed": 0, "missing": 1, "extra": 0, "moved": 0}}),
    ("swapped", BASE, lambda ev: [ev[1], ev[0]] + ev[2:], 1,
     ["line 2 of A: EVENT.TRADE, moved to line 1 of B"],
     {"EVENT.TRADE": {"changed": 0, "missing": 0, "extra": 0, "moved": 1}}),
    ("moved to the end", BASE, lambda ev: ev[1:] + ev[:1], 1,
     ["line 1 of A: EVENT.TICK, moved to line 4 of B"],
     {"EVENT.TICK": {"changed": 0, "missing": 0, "extra": 0, "moved": 1}}),
    ("extra at the end", BASE, lambda ev: ev + [ev[0]], 1,
     ["line 5 of B: EVENT.TICK, not in A (before its line 5)"],
     {"EVENT.TICK": {"changed": 0, "missing": 0, "extra": 1, "moved": 0}}),
    ("nested leaf", NESTED, _nested(trade={"price": 99.99}), 1,
     ["  trade.price: 10.5 != 99.99\ndiffering"], None),
    ("leaf in a list", NESTED, _nested(tick={"asks": [10.51, 10.55, 10.53]}), 1,
     ["  tick._tick_dict.asks[1]: 10.52 != 10.55\ndiffering"], None),
    ("list grew, key gone", NESTED, _nested(tick={"asks": [10.51, 10.52, 10.53, 10.54],
                                                  "last_price": None}), 1,
     ["  tick._tick_dict.asks[3]: only in B: 10.54", "  tick._tick_dict.last_price: 10.5 != null"],
     None),
    ("types differ", NESTED, _nested(trade={"qty": 300.0, "order_id": True}), 1,
     ["  trade.order_id: 10001 != true", "  trade.qty: 300 != 300.0"], None),
    ("long text, late change", NESTED, _nested(trade={"note": NOTE.replace("algo", "ALGO")}), 1,
     ['  trade.note: ...econd leg of the basket, routed through the algo gateway" != '
      '...econd leg of the basket, routed through the ALGO gateway"'],
     None),
    ("leaves capped", BASE, _many_fields, 1,
     ["  code: only in A:", "  f00: only in B: 0", "  ... and 12 more differing fields"], None),
])
def test_diff(tmp_path, name, base, edit, status, expected, counts):
    from bridge_replay.diff import compare
    a, b = _log(tmp_path / "A", base), _log(tmp_path / "B", edit(list(base)))
    r = CliRunner().invoke(main, ["diff", a, b])
    assert r.exit_code == status, r.output
    out = r.output.replace(a, "A").replace(b, "B")
    for text in expected:
        assert text in out, out
    if counts is not None:
        assert compare(a, b)["by_type"] == counts


def test_diff_missing_file_is_a_usage_error(tmp_path):
    a = _log(tmp_path / "A", BASE)
    assert CliRunner().invoke(main, ["diff", a, str(tmp_path / "none")]).exit_code == 2


def _jsonl(*lines):
    return ("".join(line + "\n" for line in lines)).encode()


SESSION = _jsonl('{"format":"pymach-session","version":2,"start":"2024-03-15T08:30:00"}',
                 '{"t":"2024-03-15T09:30:00.000000","cb":"on_bar"}')


@pytest.mark.parametrize("content, message", [
    (SESSION, "line 1 is a session file's header"),
    (_jsonl('{"n":1,"event":"EVENT.TICK","fields":{}}', '{"t":"x","cb":"on_bar"}'),
     'line 2 is not an event (an object with "n", "event" and "fields")'),
    (_jsonl('{"n":1,"event":"EVENT.TICK","fields":[1]}'), "line 1 is not an event"),
    (_jsonl("[1, 2]"), "line 1 is not an event"),
    (_jsonl("not json at all"), "line 1 is not JSON"),
    (_jsonl('{"n":1,"event":"EVENT.TICK","fields":{"x":%s}}' % ("[" * 100000 + "]" * 100000)),
     "line 1 is not JSON"),
    (b'{"n":1,"event":"EVENT.TICK","fields":{"x":"\xff"}}\n', "line 1 is not UTF-8"),
    (gzip.compress(SESSION), "gzip-compressed"),
    (bytes(range(256)) * 64, "line 1 is not"),
], ids=["session", "other lines", "fields not an object", "array", "not JSON", "deep nesting",
        "not UTF-8", "gzip", "binary"])
def test_diff_refuses_what_is_not_an_event_log(tmp_path, content, message):
    """Both sides the same bytes: the old diff called such pairs identical."""
    (tmp_path / "A").write_bytes(content)
    (tmp_path / "B").write_bytes(content)
    r = CliRunner().invoke(main, ["diff", str(tmp_path / "A"), str(tmp_path / "B")])
    assert r.exit_code == 2 and len(r.output.splitlines()) == 1, r.output
    assert "A: not an event log: " in r.output and message in r.output


def test_two_empty_event_logs_are_identical(tmp_path):
    (tmp_path / "A").write_bytes(b"")
    (tmp_path / "B").write_bytes(b"")
    r = CliRunner().invoke(main, ["diff", str(tmp_path / "A"), str(tmp_path / "B")])
    assert (r.exit_code, r.output) == (0, "identical: 0 events\n")
