"""The session replay: player and format, end to end through the bridge on
small generated days, and once on the bundled day."""
import datetime
import io
import json
import os
import signal
import subprocess
import sys
import threading

import numpy
import pytest

from bridge_replay import Player, ReplayError, default_session, replay
from bridge_replay.errors import Interrupted
from bridge_replay.session.schema import SessionError
from replay_support import lines_of as _lines, small_day, write_lines as _write  # noqa: F401
from korvane.orvik.core.events import Event
from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro


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
    assert Environment.get_instance() is env


@pytest.mark.parametrize("on_main", [True, False], ids=["main thread", "other thread"])
def test_a_library_replay_stops_on_sigterm_only_on_the_main_thread(small_day, on_main):
    """Called on the main thread, a replay takes SIGINT and SIGTERM as a stop
    for the run and puts the caller's handlers back; elsewhere it leaves them."""
    noted = []
    mine = lambda signum, frame: noted.append(signum)  # noqa: E731
    sent = []

    def term_once(player, t):
        if not sent:
            sent.append(t)
            os.kill(os.getpid(), signal.SIGTERM)

    previous = signal.signal(signal.SIGTERM, mine)
    try:
        player = Player(str(small_day), sample=term_once)
        if on_main:
            with pytest.raises(Interrupted):
                player.run()
        else:
            t = threading.Thread(target=player.run)
            t.start()
            t.join()
        assert signal.getsignal(signal.SIGTERM) is mine
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGTERM, previous)
    s = player.summary
    if on_main:
        assert not noted and s["interrupted"] and s["stopped_by"] == "SIGTERM"
        assert s["callbacks_total"] < sum(1 for l in _lines(small_day) if '"cb":"on_' in l)
    else:
        assert noted == [signal.SIGTERM] and not s["interrupted"] and s["cut"] is None


BAD_LINES = [
    ('{"t": "2024-03-15T10:00:00", "cb": "on_bar", ', "not valid JSON"),
    ('["not", "an", "object"]', "must be a JSON object"),
    ('{"t": "10 o\'clock", "cb": "on_switch_day"}', "not an ISO date"),
    ('{"t": "2024-03-15T10:00:00+08:00", "cb": "on_switch_day"}', "time zone"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_nothing", "rec": {}}', "unknown callback"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_login", "rec": {"fund_account_id": "1"}}',
     "lacks error_code"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_order_action_error", '
     '"rec": {}, "x": {"client_order_id": "OrderStatusType.Lost"}}', "has no member 'Lost'"),
    ('{"t": "2024-03-15T10:00:00", "cb": "on_order_action_error", '
     '"rec": {}, "x": {"client_order_id": {"$other": 5}}}', "other': 5"),
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
    assert s["skipped_lines"]["count"] == s["skipped_lines"]["malformed"] == 1
    assert s["skipped_lines"]["first"][0].startswith("line 301: ")
    assert message in s["skipped_lines"]["first"][0]
    assert s["callbacks_total"] == sum(1 for l in lines if '"cb":"on_' in l)
    with pytest.raises(ReplayError, match="line 301: .*%s" % message.replace("(", ".")):
        Player(str(path), strict=True).run()
    assert maviro.datetime is datetime.datetime


@pytest.mark.parametrize("cut", ["gzip", "mid_line"])
def test_a_cut_session_plays_up_to_its_last_complete_line(small_day, tmp_path, cut):
    full, _ = _run(small_day)
    if cut == "gzip":
        data = small_day.read_bytes()
        path = tmp_path / "cut.jsonl.gz"
        path.write_bytes(data[:len(data) // 2])
        expected = "compressed data ends after line"
    else:
        text = "\n".join(_lines(small_day)[:500])
        path = tmp_path / "cut.jsonl"
        path.write_text(text[:-7], encoding="utf-8")
        expected = "line 500 ends in the middle"
    s, _ = _run(path)
    assert expected in s["cut"]
    assert 0 < s["callbacks_total"] < full["callbacks_total"]
    assert s["skipped_lines"]["count"] == 0


_HEADER = b'{"format": "pymach-session", "version": 2, "start": "2024-03-15T08:30:00", '


@pytest.mark.parametrize("header,expected", [
    (b'{"hello": 1}', "not a session file"),
    (_HEADER.replace(b'"version": 2', b'"version": 3') + b'"meta": {}}',
     "version 3 is newer than this tool reads"),
    (b'{"format": "pymach-session", "version": 2, "start": "soon"}', "bad session header"),
    (_HEADER + b'"meta": {"by": "\xff"}}', r"not a session file: line 1 is not valid UTF-8 \(byte"),
    (_HEADER + b'"meta": ' + b"[" * 100000 + b"]" * 100000 + b"}",
     "bad session header: nested deeper than 100 levels"),
    (_HEADER + b'"meta": ' + b"[" * 500 + b"]" * 500 + b"}",
     "bad session header: nested deeper than 100 levels"),
    (_HEADER + b'"orders": 5}', "bad session header: header orders must be a list"),
    (_HEADER + b'"config": {"algo_account": {"$nothing": 1}}}',
     "bad session header: unknown tag"),
    (_HEADER + b'"config": {"md_type": "MDType.Nope"}}',
     "bad session header: 'MDType.Nope': MDType has no member 'Nope'"),
    # taken by newer Pythons' date parser, and then misread by numpy
    (_HEADER + b'"config": {"trading_calendar": ["20240315"]}}',
     "bad session header: trading calendar date '20240315' is not YYYY-MM-DD"),
])
def test_unreadable_sessions_fail_clearly(tmp_path, header, expected):
    path = tmp_path / "x.jsonl"
    path.write_bytes(header + b"\n")
    with pytest.raises(SessionError, match=expected):
        replay(str(path))
    with pytest.raises(SessionError, match="cannot read session"):
        replay(str(tmp_path / "missing.jsonl"))


def test_unknown_keys_are_ignored(small_day, tmp_path):
    lines = _lines(small_day)
    lines[0] = lines[0].replace('"version":2', '"version":2,"future":{"a":1}')
    lines[5] = lines[5][:-1] + ',"future":[1,2]}'
    lines.insert(6, '{"t":"2024-03-15T09:00:00","cb":"$future_kind","y":1}')
    first, events1 = _run(small_day)
    second, events2 = _run(_write(tmp_path / "future.jsonl", lines))
    assert events1 == events2 and second["skipped_lines"]["count"] == 0


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
    assert s["format_version"] == 2
    assert s["callback_errors"]["count"] == s["skipped_lines"]["count"] == 0
    assert s["events"]["lost"] == 0 and s["events"]["posted_total"] > 50000
    assert len(s["phase_events"]) == 3
    assert s["host_orders"]["submitted"] == 200
    assert s["host_orders"]["left_in_order_book"] == 0
    assert s["events"]["drained"]["EVENT.BAR"] == 240


def test_peak_memory_is_the_replay_s_not_its_launcher_s(small_day):
    """A process that grew large, then exec'd the tool in its place (as a
    subprocess call does after its fork)."""
    code = ("import os, sys\n"
            "big = bytearray(300 << 20)\n"
            "for i in range(0, len(big), 4096): big[i] = 1\n"
            "os.execv(sys.executable, [sys.executable, '-m', 'bridge_replay', 'replay', %r,"
            " '--json', '-'])" % str(small_day))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=120)
    assert r.returncode == 0, r.stderr.decode()
    assert json.loads(r.stdout)["peak_memory_mib"] < 200


def test_bridge_counters_and_timing_in_the_summary(small_day):
    was = maviro.set_bridge_timing(False)
    s, events = _run(small_day, timing=True)
    assert maviro.set_bridge_timing(was) is False  # the run put the setting back
    b = s["bridge"]
    # The counters cover this run only: the bridge saw exactly the callbacks played.
    for name, n in s["callbacks"].items():
        assert b["callbacks"][name]["calls"] == n
    assert b["callback_errors"] == 0 and b["queue"]["dropped"] == 0
    assert b["queue"]["appended"] == s["events"]["posted_total"] == len(events.splitlines())
    assert 0 < b["queue"]["high_water"] <= b["queue"]["appended"]
    snap = b["latency_us"]["on_snapshot"]
    assert snap["count"] == s["callbacks"]["on_snapshot"]
    assert 0 < snap["p50"] <= snap["p99"] <= snap["max"]
    # Every drained event is traced back to the callback that posted it.
    assert s["latency_us"]["events"] == s["events"]["drained_total"]
    assert "latency_us" not in _run(small_day)[0]["bridge"]


@pytest.mark.parametrize("folder", ["/d", "/" + "deep/" * 30])
def test_the_summary_names_the_session_s_file_whatever_its_folder(small_day, folder):
    from bridge_replay.summary import format_summary
    s, _ = _run(small_day)
    s["session"] = folder + "/2024-03-15.jsonl.gz"
    first = format_summary(s).splitlines()[0]
    assert first.endswith("/2024-03-15.jsonl.gz (format version %s)" % s["format_version"])
    assert len(first) <= 100 and (folder == "/d") == (folder in first)
