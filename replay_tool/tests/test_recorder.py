"""The production recorder: what it writes replays to the same events, a
killed recorder leaves a readable file, a full buffer is reported."""
import io
import signal
import subprocess
import sys
import time
import types

import pytest

from bridge_replay import replay
from bridge_replay.recorder import recording_class
from replay_support import lines_of, run_tool, small_day  # noqa: F401


def test_record_then_replay_gives_identical_event_logs(small_day, tmp_path):
    recorded = tmp_path / "recorded.jsonl.gz"
    first, second = io.StringIO(), io.StringIO()
    s1 = replay(str(small_day), record=str(recorded), events_out=first)
    s2 = replay(str(recorded), events_out=second)
    assert first.getvalue() == second.getvalue() and s1["events"]["drained_total"] > 0
    assert s2["callbacks"] == s1["callbacks"] and s2["cut"] is None
    assert s2["host_orders"]["submitted"] == s1["host_orders"]["submitted"]


@pytest.mark.parametrize("suffix", [".jsonl.gz", ".jsonl"])
def test_a_recorder_killed_mid_session_leaves_a_readable_file(small_day, tmp_path, suffix):
    out = tmp_path / ("killed" + suffix)
    proc = subprocess.Popen([sys.executable, "-m", "bridge_replay", "replay", str(small_day),
                             "--speed", "4000", "--record", str(out)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3.0)
    assert proc.poll() is None
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    again = run_tool("replay", out)
    text = (again.stdout + again.stderr).decode()
    assert again.returncode == 4, text
    assert "CUT SHORT" in text
    played = int(text.split("Callbacks played: ")[1].split()[0].replace(",", ""))
    assert 0 < played < sum(1 for l in lines_of(small_day) if '"cb":"on_' in l)


def test_a_full_buffer_is_counted_and_reported(tmp_path, capfd):
    Recording = recording_class()
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    out = tmp_path / "full.jsonl"
    strategy = Recording(config, out=str(out), buffer_size=10, flush_interval=5)
    for _ in range(100):
        strategy.on_switch_day()
    strategy.close_recording()
    assert strategy._recorder.dropped == 90
    assert "90 callbacks were not recorded" in capfd.readouterr().err
    s = replay(str(out))
    assert s["recording_dropped"] == 90 and s["callbacks"] == {"on_switch_day": 10}
