"""Differential replay: two event logs compared by content."""
import json

import pytest
from click.testing import CliRunner

from bridge_replay.cli import main

BASE = [("EVENT.TICK", {"code": "000001.XSHE", "price": 10.5}),
        ("EVENT.TRADE", {"order": 10001, "qty": 300}),
        ("EVENT.TICK", {"code": "000002.XSHE", "price": 7.25}),
        ("EVENT.ORDER", {"order": 10001, "status": "ORDER_STATUS.FILLED"})]


def _log(path, events):
    path.write_text("".join(json.dumps({"n": i, "event": e, "fields": f}) + "\n"
                            for i, (e, f) in enumerate(events, 1)))
    return str(path)


def _changed(events):
    out = list(events)
    out[1] = ("EVENT.TRADE", {"order": 10001, "qty": 200})
    return out


@pytest.mark.parametrize("name, edit, status, expected, counts", [
    ("identical", list, 0, ["identical: 4 events"], {}),
    ("changed field", _changed, 1,
     ["line 2 of A, line 2 of B: EVENT.TRADE", "  qty: 300 != 200"],
     {"EVENT.TRADE": {"changed": 1, "missing": 0, "extra": 0}}),
    ("missing event", lambda ev: ev[:2] + ev[3:], 1,
     ["line 3 of A: EVENT.TICK, missing from B (before its line 3)"],
     {"EVENT.TICK": {"changed": 0, "missing": 1, "extra": 0}}),
    ("reordered", lambda ev: [ev[1], ev[0]] + ev[2:], 1,
     ["line 1 of B: EVENT.TRADE, not in A (before its line 1)"],
     {"EVENT.TRADE": {"changed": 0, "missing": 1, "extra": 1}}),
    ("extra at the end", lambda ev: ev + [ev[0]], 1,
     ["line 5 of B: EVENT.TICK, not in A (before its line 5)"],
     {"EVENT.TICK": {"changed": 0, "missing": 0, "extra": 1}}),
])
def test_diff(tmp_path, name, edit, status, expected, counts):
    from bridge_replay.diff import compare
    a, b = _log(tmp_path / "A", BASE), _log(tmp_path / "B", edit(list(BASE)))
    r = CliRunner().invoke(main, ["diff", a, b])
    assert r.exit_code == status, r.output
    out = r.output.replace(a, "A").replace(b, "B")
    for text in expected:
        assert text in out
    assert compare(a, b)["by_type"] == counts


def test_diff_missing_file_is_a_usage_error(tmp_path):
    a = _log(tmp_path / "A", BASE)
    assert CliRunner().invoke(main, ["diff", a, str(tmp_path / "none")]).exit_code == 2
