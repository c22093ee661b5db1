"""The session replay: format, player, recorder and command line, run
end to end through the bridge on small generated days (and once on the
bundled day)."""
import datetime
import gzip
import io
import json

import numpy
import pytest
from click.testing import CliRunner

import pymach.strategy
from korvane.orvik.core.events import Event
from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro
from bridge_replay import Player, ReplayError, default_session, replay
from bridge_replay.cli import main
from bridge_replay.format import SessionError
from bridge_replay.generate import generate


@pytest.fixture(scope="module")
def small_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("replay") / "small.jsonl.gz"
    generate(str(path), instruments=4, hours=0.2, orders=24, snapshot_interval=15,
             l2_per_minute=3)
    return path


def _lines(path):
    with gzip.open(str(path), "rt", encoding="utf-8") as f:
        return f.read().splitlines()


def _write(path, lines, compress=False):
    data = ("\n".join(lines) + "\n").encode("utf-8")
    if compress:
        data = gzip.compress(data)
    path.write_bytes(data)
    return path


def _run(path, **options):
    out = io.StringIO()
    summary = replay(str(path), events_out=out, **options)
    return summary, out.getvalue()


def test_replay_is_deterministic_and_loses_nothing(small_day):
    first, events1 = _run(small_day)
    second, events2 = _run(small_day)
    assert events1 == events2
    ev = first["events"]
    assert ev["posted_total"] == ev["drained_total"] == len(events1.splitlines()) > 0
    assert ev["posted"] == ev["drained"] and ev["lost"] == 0
    assert first["callback_errors"]["count"] == 0
    assert first["callbacks"] == second["callbacks"]
    assert " at 0x" not in events1


def test_phase_events_order_book_and_account(small_day):
    s, events = _run(small_day)
    assert [(p["event"], p["at"][11:19]) for p in s["phase_events"]] == [
        ("EVENT.BEFORE_TRADING", "09:00:00"), ("EVENT.OPEN_AUCTION", "09:24:00"),
        ("EVENT.AFTER_TRADING", "15:30:00")]
    after = [t for t in s["timers_fired"] if t["timer"] == "send_after_trading_event"]
    assert len(after) == 1 and after[0]["order_book_before"] == 24
    assert after[0]["order_book_after"] == 0
    assert s["host_orders"]["left_in_order_book"] == 0
    # The late report (15:35) no longer finds its order: it stays as it was.
    statuses = s["host_orders"]["by_final_status"]
    assert set(statuses) == {"ORDER_STATUS.ACTIVE", "ORDER_STATUS.CANCELLED",
                             "ORDER_STATUS.FILLED", "ORDER_STATUS.PARTIALLY_FILLED",
                             "ORDER_STATUS.REJECTED"}
    assert s["events"]["drained"]["EVENT.ORDER_CANCELLATION_REJECT"] == 1
    assert s["queries_sent"] == {"query_asset": 1, "query_position": 1}
    assert s["account"]["fund_account_id"] == "100200300" and s["positions"]
    # Bars complete for the whole universe once a minute.
    assert s["events"]["drained"]["EVENT.BAR"] == s["callbacks"]["on_bar"] // 4


def test_replay_restores_what_it_rebinds(small_day):
    env = Environment.get_instance()
    _run(small_day)
    assert maviro.datetime is datetime.datetime and maviro.np is numpy
    assert maviro.Event is Event
    assert pymach.strategy.MachStrategy.default_clock is None
    assert Environment.get_instance() is env


def test_recording_a_replay_reproduces_the_session(small_day, tmp_path):
    out = tmp_path / "recorded.jsonl.gz"
    s = replay(str(small_day), record=str(out))
    assert s["callback_errors"]["count"] == 0

    def strip(lines):
        return [json.dumps({k: v for k, v in json.loads(l).items() if k != "recv"})
                for l in lines]
    recorded = _lines(out)
    assert all("recv" in json.loads(l) for l in recorded[1:])
    assert strip(recorded) == strip(_lines(small_day))


BAD_LINES = [
    ('{"t": "2024-03-15T10:00:00", "cb": "on_bar", ', "not valid JSON"),
    ('["not", "an", "object"]', "must be a JSON object"),
    ('{"t": "10 o\'clock", "cb": "on_switch_day"}', "not an ISO date"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_nothing", "rec": {}}', "unknown callback"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_login", "rec": {"fund_account_id": "1"}}',
     "lacks error_code"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_order_action_error", '
     '"rec": {"client_order_id": "OrderStatusType.Lost"}}', "has no member 'Lost'"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_query_asset", "rec": {}, "args": [1]}',
     "lacks fund_account_id"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_switch_day", "args": [1]}', "extra argument"),
]


@pytest.mark.parametrize("bad,message", BAD_LINES)
def test_malformed_line_is_skipped_or_stops_under_strict(small_day, tmp_path, bad, message):
    lines = _lines(small_day)
    lines.insert(300, bad)
    path = _write(tmp_path / "bad.jsonl", lines)
    s, _ = _run(path)
    assert s["malformed_lines"]["count"] == 1
    assert s["malformed_lines"]["first"][0].startswith("line 301: ")
    assert message in s["malformed_lines"]["first"][0]
    assert s["callbacks_total"] == len(lines) - 2
    with pytest.raises(ReplayError, match="line 301: .*%s" % message.replace("(", ".")):
        Player(str(path), strict=True).run()
    assert maviro.datetime is datetime.datetime


@pytest.mark.parametrize("cut", ["gzip", "mid_line", "not_a_session", "missing"])
def test_unreadable_or_truncated_session_fails_clearly(small_day, tmp_path, cut):
    if cut == "gzip":
        data = small_day.read_bytes()
        path = tmp_path / "cut.jsonl.gz"
        path.write_bytes(data[:len(data) // 2])
        expected = "truncated"
    elif cut == "mid_line":
        text = "\n".join(_lines(small_day)[:500])
        path = tmp_path / "cut.jsonl"
        path.write_text(text[:-7], encoding="utf-8")
        expected = "ends in the middle of line 500"
    elif cut == "not_a_session":
        path = _write(tmp_path / "x.jsonl", ['{"hello": 1}'])
        expected = "not a session file"
    else:
        path = tmp_path / "nothing.jsonl.gz"
        expected = "cannot read session"
    with pytest.raises(SessionError, match=expected):
        replay(str(path))
    result = CliRunner().invoke(main, ["replay", str(path)])
    assert result.exit_code == 1 and expected in result.output


def test_command_line_end_to_end(small_day, tmp_path):
    lines = _lines(small_day)[:400] + ['{"t": "2024-03-15T09:40:00", "cb": "on_nothing"}']
    path = _write(tmp_path / "tiny.jsonl", lines)
    summary_file, events_file = tmp_path / "summary.json", tmp_path / "events.jsonl"
    result = CliRunner().invoke(main, ["replay", str(path), "--json", str(summary_file),
                                       "--events", str(events_file)])
    assert result.exit_code == 0, result.output
    for text in ("Callbacks played: 399", "malformed lines skipped: 1", "Throughput:",
                 "p50", "Peak memory", "BEFORE_TRADING 09:00:00"):
        assert text in result.output
    summary = json.loads(summary_file.read_text())
    assert summary["malformed_lines"]["count"] == 1
    assert len(events_file.read_text().splitlines()) == summary["events"]["drained_total"]
    strict = CliRunner().invoke(main, ["replay", str(path), "--strict"])
    assert strict.exit_code == 1 and "line 401: unknown callback" in strict.output

    out = tmp_path / "gen.jsonl"
    gen = CliRunner().invoke(main, ["generate", "--out", str(out), "--instruments", "3",
                                    "--hours", "0.05", "--orders", "11", "--seed", "7"])
    assert gen.exit_code == 0, gen.output
    again = tmp_path / "gen2.jsonl"
    CliRunner().invoke(main, ["generate", "--out", str(again), "--instruments", "3",
                              "--hours", "0.05", "--orders", "11", "--seed", "7"])
    assert out.read_bytes() == again.read_bytes()


def test_callback_errors_are_counted_and_fail_the_command(small_day, tmp_path):
    class Failing(maviro.MachStrategy):
        def on_bar(self, bar):
            raise RuntimeError("strategy broke")

    s, _ = _run(small_day, strategy_class=Failing)
    assert s["callback_errors"]["count"] == s["callbacks"]["on_bar"] > 0
    assert s["callback_errors"]["first"][0]["error"] == "RuntimeError: strategy broke"
    assert s["events"]["drained"].get("EVENT.BAR") is None


def test_bundled_day_plays_cleanly():
    s = replay(default_session())
    assert s["callback_errors"]["count"] == s["malformed_lines"]["count"] == 0
    assert s["events"]["lost"] == 0 and s["events"]["posted_total"] > 50000
    assert len(s["phase_events"]) == 3
    assert s["host_orders"]["submitted"] == 200
    assert s["host_orders"]["left_in_order_book"] == 0
    assert s["events"]["drained"]["EVENT.BAR"] == 240
