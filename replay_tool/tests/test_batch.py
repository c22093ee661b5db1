"""Batch replay on a local Dask cluster: one cluster for the whole file."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest

from replay_support import drain_bridge_queue, lines_of, run_tool, write_lines

pytest.importorskip("distributed")

from bridge_replay.generate import generate  # noqa: E402


@pytest.fixture(scope="module")
def days(tmp_path_factory):
    d = tmp_path_factory.mktemp("days")
    for seed in (1, 2, 3):
        generate(str(d / ("day%d.jsonl.gz" % seed)), instruments=3, hours=0.1, orders=12,
                 snapshot_interval=20, l2_per_minute=2, seed=seed)
    write_lines(d / "bad.jsonl", ['{"format": "something else"}'])
    lines = lines_of(d / "day1.jsonl.gz")
    write_lines(d / "jump.jsonl", lines[:50] + [
        '{"t":"2025-01-01T10:00:00.000000","cb":"on_switch_day"}'] + lines[50:])
    return d


@pytest.fixture(scope="module")
def batch_run(days, tmp_path_factory):
    """Two workers for five sessions, so a worker replays several in turn."""
    out = tmp_path_factory.mktemp("out")
    r = run_tool("batch", str(days), "--workers", "2", "--events-dir", out / "ev",
                 "--json", out / "rows.json", "--csv", out / "rows.csv",
                 "--report", out / "days.html", timeout=300)
    return r, out, {row["session"].rsplit("/", 1)[1]: row
                    for row in json.loads((out / "rows.json").read_text())}


def test_batch_equals_one_by_one(days, batch_run, tmp_path):
    r, out, rows = batch_run
    for name in ("day1", "day3"):
        alone = tmp_path / (name + ".events.jsonl")
        assert run_tool("replay", days / (name + ".jsonl.gz"), "--events", alone).returncode == 0
        assert (out / "ev" / (name + ".events.jsonl")).read_bytes() == alone.read_bytes()
        assert rows[name + ".jsonl.gz"]["events"] == len(alone.read_text().splitlines())


def test_failing_sessions_are_marked_and_the_rest_play(batch_run):
    r, out, rows = batch_run
    text = r.stdout.decode()
    assert r.returncode == 1, r.stderr.decode()
    assert rows["bad.jsonl"]["status"] == "FAILED"
    assert "not a session file" in rows["bad.jsonl"]["error"]
    assert rows["jump.jsonl"]["exit_status"] == 3 and rows["jump.jsonl"]["status"] == "SKIPPED"
    for name in ("day1.jsonl.gz", "day2.jsonl.gz", "day3.jsonl.gz"):
        assert rows[name]["callbacks"] > 0 and rows[name]["dropped"] == 0
        assert rows[name]["callback_errors"] == 0 and rows[name]["trading_day"] == "2024-03-15"
    assert sorted(p.name for p in (out / "ev").iterdir()) == [
        "day1.events.jsonl", "day2.events.jsonl", "day3.events.jsonl", "jump.events.jsonl"]
    assert "[5/5]" in r.stderr.decode() and "bad" in text
    # Played longest first, reported in the order of the paths.
    names = [row["session"] for row in json.loads((out / "rows.json").read_text())]
    assert names == sorted(names)
    assert len((out / "rows.csv").read_text().splitlines()) == 6
    page = (out / "days.html").read_text(encoding="utf-8")
    assert page.count('<tr class="bad">') == 2 and "Throughput and drops across days" in page


def test_baseline_comparison(days, batch_run):
    from bridge_replay.batch import replay_one
    ev = batch_run[1] / "ev"
    same = replay_one(str(days / "day1.jsonl.gz"), baseline_path=str(ev / "day1.events.jsonl"))
    assert (same["status"], same["baseline"]) == ("OK", "same")
    other = replay_one(str(days / "day2.jsonl.gz"), baseline_path=str(ev / "day1.events.jsonl"))
    assert other["status"] == "DIFFERS" and other["exit_status"] == 1
    assert other["baseline"].startswith("first difference: line ")
    none = replay_one(str(days / "day3.jsonl.gz"), baseline_path=str(ev / "nothing.jsonl"))
    assert (none["status"], none["baseline"]) == ("DIFFERS", "no baseline")


def test_sessions_sharing_an_event_log_name_are_refused(days, tmp_path):
    from click.testing import CliRunner
    from bridge_replay.cli import main
    (tmp_path / "day1.jsonl").write_bytes(b"")
    r = CliRunner().invoke(main, ["batch", str(days / "day1.jsonl.gz"),
                                  str(tmp_path / "day1.jsonl"), "--events-dir", str(tmp_path)])
    assert r.exit_code == 2 and "would share the event log day1.events.jsonl" in r.output


TESTS = os.path.dirname(os.path.abspath(__file__))


@pytest.mark.parametrize("session, host, before, after, status", [
    ("day1.jsonl.gz", None, ["day1.events.failed.jsonl"], ["day1.events.jsonl"], "DIFFERS"),
    ("day1.jsonl.gz", "replay_support:FailingHost", [], ["day1.events.failed.jsonl"], "FAILED"),
    ("bad.jsonl", None, [], [], "FAILED"),
], ids=["played", "failed part-way", "not a session"])
def test_an_event_log_is_named_for_a_baseline_only_once_its_session_played(
        days, tmp_path, session, host, before, after, status):
    """Compared with a baseline that does not exist: only a played session is compared."""
    from bridge_replay.batch import events_name, replay_one
    from bridge_replay.diff import compare
    ev = tmp_path / "ev"
    ev.mkdir()
    for name in before:
        (ev / name).write_text("left by an earlier run\n")
    row = replay_one(str(days / session), host, str(ev / events_name(session)),
                     baseline_path=str(tmp_path / "none.events.jsonl"))
    drain_bridge_queue()
    assert row["status"] == status, row
    assert sorted(os.listdir(str(ev))) == after
    if status == "FAILED" and after:
        assert compare(str(ev / after[0]), str(ev / after[0]))["events_a"] == 49
        assert row["baseline"] is None and "the host gave up" in row["error"]


def test_a_killed_session_leaves_nothing_in_the_events_folder(days, tmp_path):
    code = ("from bridge_replay.batch import replay_one\n"
            "replay_one(%r, 'replay_support:KilledHost', %r)"
            % (str(days / "day1.jsonl.gz"), str(tmp_path / "day1.events.jsonl")))
    proc = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=TESTS),
                          capture_output=True, timeout=120)
    assert proc.returncode == -signal.SIGKILL, proc.stderr.decode()
    assert os.listdir(str(tmp_path)) == []


def test_a_killed_worker_leaves_nothing_in_the_events_folder(days, tmp_path):
    """Where unnamed files are not to be had, the batch removes the worker's partial log."""
    r = run_tool("batch", days / "day1.jsonl.gz", "--workers", "1", "--events-dir", tmp_path,
                 "--host", "replay_support:KilledHostWithoutTmpfile", timeout=300,
                 env={"PYTHONPATH": TESTS, "DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0"})
    assert r.returncode == 1 and "the worker failed" in r.stdout.decode(), r.stderr.decode()
    assert os.listdir(str(tmp_path)) == []


def test_sigterm_ends_the_batch_and_removes_unfinished_logs(days, tmp_path):
    proc = subprocess.Popen(
        [sys.executable, "-m", "bridge_replay", "batch", str(days / "day1.jsonl.gz"),
         "--workers", "1", "--events-dir", str(tmp_path),
         "--host", "replay_support:StuckHostWithoutTmpfile"],
        env=dict(os.environ, PYTHONPATH=TESTS), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        for _ in range(1200):
            if os.listdir(str(tmp_path)) or proc.poll() is not None:
                break
            time.sleep(0.1)
        assert os.listdir(str(tmp_path)) == [".day1.events.jsonl.part"]
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 143, err.decode()
    assert err.decode().splitlines()[-1] == "INTERRUPTED: stopped by SIGTERM"
    assert os.listdir(str(tmp_path)) == []


def test_the_local_cluster_leaves_no_process_behind(days):
    """Its workers are forked from a server of their own, which the run stops
    and waits for, as the cluster's workers; multiprocessing's resource tracker
    ends with this process, as it always did."""
    import psutil
    from bridge_replay.batch import run
    rows = run([str(days / "day1.jsonl.gz")], workers=1)
    assert rows[0]["status"] == "OK" and rows[0]["pid"] != os.getpid()
    left = [p for p in psutil.Process().children(recursive=True)
            if "resource_tracker" not in " ".join(p.cmdline())]
    assert left == []


@pytest.mark.parametrize("args, local", [
    (["batch", "a.jsonl"], True),
    (["batch", "--workers", "2", "a.jsonl"], True),
    (["batch", "--scheduler", "tcp://h:8786", "a.jsonl"], False),
    (["batch", "--scheduler=tcp://h:8786", "a.jsonl"], False),
    (["batch", "-h"], False),
    (["replay", "batch"], False),
    ([], False),
])
def test_the_fork_server_starts_early_only_for_a_local_batch(args, local):
    from bridge_replay.__main__ import _local_batch
    assert _local_batch(args) is local


@pytest.mark.parametrize("address, expected", [
    ("10.0.0.5:8786", "tcp://10.0.0.5:8786"),
    (" tls://sched.example.com:8786 ", "tls://sched.example.com:8786"),
    ("tcp://[::1]:8786", "tcp://[::1]:8786"),
    ("not-an-address", "expected tcp://HOST:PORT"),
    ("tcp://sched", "expected tcp://HOST:PORT"),
    ("tcp://sched:port", "expected tcp://HOST:PORT"),
    ("tcp://sched:70000", "a port from 1 to 65535"),
    ("tcp://:8786", "'' is not a host name"),
    ("tcp://a b:8786", "'a b' is not a host name"),
    ("tcp://[nope]:8786", "[nope] is not an IPv6 address"),
    ("http://sched:8786", "unknown protocol 'http'"),
    ("inproc://x", "unknown protocol 'inproc'"),
    ("", "no address given"),
])
def test_scheduler_address(address, expected):
    from click.testing import CliRunner
    from bridge_replay.batch import check_scheduler
    from bridge_replay.cli import main
    if expected.startswith(("tcp://", "tls://")):
        assert check_scheduler(address) == expected
        return
    r = CliRunner().invoke(main, ["batch", "nothing.jsonl", "--scheduler", address])
    assert r.exit_code == 2 and len(r.output.splitlines()) == 1, r.output
    assert r.output.startswith("Error: Invalid value for '--scheduler': ") and expected in r.output


@pytest.mark.parametrize("address, status, expected", [
    ("tcp://127.0.0.1:1", 1, "FAILED: cannot reach the cluster: Timed out"),
    ("tls://127.0.0.1:1", 2, "Error: Invalid value for '--scheduler': tls://127.0.0.1:1: TLS"),
])
def test_a_scheduler_that_cannot_be_used(days, address, status, expected):
    r = run_tool("batch", days / "day1.jsonl.gz", "--scheduler", address,
                 env={"DASK_DISTRIBUTED__COMM__TIMEOUTS__CONNECT": "1s"})
    err = r.stderr.decode().splitlines()
    assert r.returncode == status and err[-1].startswith(expected), err
    assert "Traceback" not in r.stderr.decode()
