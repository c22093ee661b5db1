"""The command line as a user meets it, each case in a fresh process."""
import gzip
import json
import os
import signal
import subprocess
import sys
import time

import pytest
from click.testing import CliRunner

from bridge_replay import replay
from bridge_replay.cli import main
from bridge_replay.stopping import StopSignals
from replay_support import lines_of, run_tool, small_day, write_lines  # noqa: F401

JUMP = '{"t":"2025-01-01T10:00:00.000000","cb":"on_switch_day"}'


@pytest.fixture(scope="module")
def tiny(small_day, tmp_path_factory):
    """The first 400 lines of the small day, plain, with and without a defect."""
    d = tmp_path_factory.mktemp("cli")
    lines = lines_of(small_day)[:400]
    files = {"ok": write_lines(d / "ok.jsonl", lines),
             "gz": write_lines(d / "ok.jsonl.gz", lines, compress=True),
             "empty": write_lines(d / "empty.jsonl", []),
             "jump": write_lines(d / "jump.jsonl", lines[:300] + [JUMP] + lines[300:]),
             "long": write_lines(d / "long.jsonl", lines[:300] + [
                 '{"t":"2024-03-15T09:40:00","cb":"on_switch_day","pad":"%s"}' % ("x" * 100000)]
                 + lines[300:]),
             "newer": write_lines(d / "newer.jsonl", [lines[0].replace('"version":2',
                                                                       '"version":3')])}
    files["not utf-8"] = d / "not-utf-8.jsonl"
    files["not utf-8"].write_bytes(lines[0].encode().replace(b'"meta":{', b'"meta":{"\xff":1,')
                                   + b"\n")
    data = files["gz"].read_bytes()
    files["cut"] = d / "cut.jsonl.gz"
    files["cut"].write_bytes(data[:len(data) * 2 // 3])
    files["dir"] = d
    return files


CASES = [
    # (name, arguments, session file or stdin, exit status, text expected in stdout+stderr)
    ("plays", ["{ok}"], None, 0, "\nOK\n"),
    ("from a pipe", ["-"], "gz", 0, "\nOK\n"),
    ("missing", ["{dir}/nothing.jsonl"], None, 2, "does not exist"),
    ("directory", ["{dir}"], None, 2, "is a directory"),
    ("empty", ["{empty}"], None, 1, "is empty"),
    ("cut gzip", ["{cut}"], None, 4, "CUT SHORT: the compressed data ends after line"),
    ("newer format", ["{newer}"], None, 1, "version 3 is newer than this tool reads"),
    ("header not UTF-8", ["{not utf-8}"], None, 1,
     "FAILED: not a session file: line 1 is not valid UTF-8"),
    ("time jump", ["{jump}"], None, 3, "skipped line 301: time 2025-01-01T10:00:00.000000 jumps"),
    ("time jump, strict", ["{jump}", "--strict"], None, 1, "line 301: time 2025-01-01"),
    ("oversized line", ["{long}", "--max-line-size", "64KiB"], None, 3,
     "skipped line 301: longer than 65,536 bytes"),
    ("oversized line, raised", ["{long}", "--max-line-size", "1MiB"], None, 0, "\nOK\n"),
    ("speed nan", ["{ok}", "--speed", "nan"], None, 2, "positive finite"),
    ("speed zero", ["{ok}", "--speed", "0"], None, 2, "positive finite"),
    ("speed negative", ["{ok}", "--speed", "-2"], None, 2, "positive finite"),
    ("output is the input", ["{ok}", "--events", "{ok}"], None, 2, "is the input session"),
    ("two outputs on one file", ["{ok}", "--events", "{dir}/a", "--json", "{dir}/a"], None, 2,
     "is also given to --json"),
    ("output in a missing directory", ["{ok}", "--json", "{dir}/no/s.json"], None, 2,
     "does not exist"),
    ("two outputs on stdout", ["{ok}", "--events", "-", "--json", "-"], None, 2,
     "only one of"),
    ("bad host", ["{ok}", "--host", "nowhere:Host"], None, 2, "cannot import nowhere"),
    ("bad line size", ["{ok}", "--max-line-size", "lots"], None, 2, "is not a size"),
    ("version", ["--version"], None, 0, "bridge-replay 0.2.0"),
    ("timing", ["{ok}", "--timing"], None, 0, "Latency per method (bridge timing):"),
]


@pytest.mark.parametrize("name,args,stdin,status,text", CASES, ids=[c[0] for c in CASES])
def test_command_line(tiny, name, args, stdin, status, text):
    subcommand = [] if args[0].startswith("--") else ["replay"]
    argv = subcommand + [a.format(**tiny) for a in args]
    data = tiny[stdin].read_bytes() if stdin else None
    proc = run_tool(*argv, input=data)
    out = (proc.stdout + proc.stderr).decode()
    assert proc.returncode == status, out
    assert text in out and "Traceback" not in out
    if status == 0 and subcommand:
        assert all(len(line) <= 100 for line in proc.stdout.decode().splitlines())
    if status == 2:
        assert "Traceback" not in out


def test_json_and_events_to_files_and_stdout(tiny, tmp_path):
    events = tmp_path / "events.jsonl"
    proc = run_tool("replay", tiny["ok"], "--json", "-", "--events", events)
    assert proc.returncode == 0, proc.stderr.decode()
    summary = json.loads(proc.stdout)  # nothing else on standard output
    assert summary["callbacks_total"] == 399
    assert len(events.read_text().splitlines()) == summary["events"]["drained_total"] > 0
    text = proc.stderr.decode()
    for line in ("Callbacks played:", "Throughput:", "p50", "Peak memory", "OK"):
        assert line in text


def test_help_documents_every_option_and_exit_status():
    top = run_tool("-h").stdout.decode()
    assert "Examples:" in top and "bridge-replay replay" in top
    sub = run_tool("replay", "-h").stdout.decode()
    for option in ("--host", "--strategy", "--speed", "--strict", "--json", "--events",
                   "--record", "--max-line-size", "--max-jump", "--timing", "--metrics-port"):
        assert option in sub
    assert "Exit status:" in sub and "130" in sub
    assert all(len(line) <= 100 for line in sub.splitlines())


def test_generate_is_deterministic(tmp_path):
    outs = [tmp_path / "a.jsonl", tmp_path / "b.jsonl"]
    for out in outs:
        proc = run_tool("generate", "--out", out, "--instruments", "3", "--hours", "0.05",
                        "--orders", "11", "--seed", "7")
        assert proc.returncode == 0, proc.stderr.decode()
    assert outs[0].read_bytes() == outs[1].read_bytes()


@pytest.mark.parametrize("speed", ["0.001", None])
def test_ctrl_c_stops_within_a_second_with_a_partial_summary(small_day, tmp_path, speed):
    # A long session at a crawl (or as fast as possible): Ctrl-C must end it at once.
    # Long enough to still run when Ctrl-C comes, at full speed on an idle machine.
    lines = lines_of(small_day)
    body = lines[1:]
    big = write_lines(tmp_path / "long.jsonl", [lines[0]] + body * 200)
    args = [sys.executable, "-m", "bridge_replay", "replay", str(big)]
    if speed:
        args += ["--speed", speed]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(2.0)
    assert proc.poll() is None
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=30)
    waited = time.monotonic() - sent
    assert proc.returncode == 130, err.decode()
    assert waited < 2.0  # a second to stop, with room for a loaded machine
    assert "Callbacks played:" in out.decode()
    assert "INTERRUPTED" in (out + err).decode()


@pytest.mark.parametrize("args, missing, extra", [
    (["batch", "{ok}"], "dask", "batch"),
    (["replay", "{ok}", "--report", "{dir}/day.html"], "plotly", "report"),
    (["export", "{ok}", "--to", "{dir}/tables"], "pyarrow", "export"),
    (["replay", "{ok}", "--events", "{dir}/day.parquet"], "pyarrow", "export"),
], ids=["batch", "report", "export", "parquet events"])
def test_a_missing_extra_is_one_line_naming_its_install(tiny, monkeypatch, args, missing, extra):
    monkeypatch.setitem(sys.modules, missing, None)  # as if not installed
    r = CliRunner().invoke(main, [a.format(**tiny) for a in args])
    assert r.exit_code == 2, r.output
    assert r.output.count("\n") == 1 and "pip install 'bridge-replay[%s]'" % extra in r.output
    assert not any((tiny["dir"] / name).exists() for name in ("day.html", "day.parquet", "tables"))


@pytest.mark.parametrize("exc, status, line", [
    (OSError(28, "No space left on device"), 1, "FAILED: [Errno 28] No space left on device"),
    (KeyboardInterrupt(), 130, "INTERRUPTED: stopped by Ctrl-C"),
    (RuntimeError("boom\nmore"), 1, "FAILED: unexpected RuntimeError: boom"),
], ids=["os error", "ctrl-c", "a fault of the tool"])
def test_an_exception_ending_a_command_is_one_line_and_its_status(tmp_path, monkeypatch, exc,
                                                                    status, line):
    def fail(*args, **kwargs):
        raise exc
    monkeypatch.setattr("bridge_replay.generate.generate", fail)
    r = CliRunner().invoke(main, ["generate", "--out", str(tmp_path / "day.jsonl")])
    assert (r.exit_code, r.output) == (status, line + "\n")


@pytest.mark.parametrize("sig, status, line", [
    (signal.SIGINT, 130, "INTERRUPTED: stopped by Ctrl-C"),
    (signal.SIGTERM, 143, "INTERRUPTED: stopped by SIGTERM"),
], ids=["SIGINT", "SIGTERM"])
def test_a_stop_signal_while_the_tool_loads_ends_it_before_any_command(tiny, sig, status, line):
    noted = StopSignals()  # as the entry point leaves it after a signal
    noted.signum = sig
    r = CliRunner().invoke(main, ["replay", str(tiny["ok"])], obj=noted)
    assert (r.exit_code, r.output) == (status, line + "\n")


# Host adapters and a driver that let a test signal a replay at a known moment:
# each writes the file named by $MARKER when the moment has come.
_SIGNAL_HELPERS = {
    "slow_host.py": '''
import os, time
open(os.environ["MARKER"], "w").close()
time.sleep(60)  # a host whose import takes its time
''',
    "marking_host.py": '''
import os
from bridge_replay.hosts.stand_in import StandInHost

class FirstEvent(StandInHost):
    def describe_event(self, event):
        if not os.path.exists(os.environ["MARKER"]):
            open(os.environ["MARKER"], "w").close()
        return super().describe_event(event)
''',
    "slow_close.py": '''
import os, runpy, time
from bridge_replay.recorder import Recorder

close = Recorder.close

def slow_close(self):
    open(os.environ["MARKER"], "w").close()
    time.sleep(0.5)
    close(self)

Recorder.close = slow_close
runpy.run_module("bridge_replay", run_name="__main__")
''',
}
_MOMENTS = {
    "start-up": (["-m", "bridge_replay"], ["--host", "slow_host:Host"]),
    "mid-run": (["-m", "bridge_replay"], ["--host", "marking_host:FirstEvent", "--speed", "1000"]),
    "close": (["slow_close.py"], []),
}


@pytest.mark.parametrize("moment", list(_MOMENTS))
@pytest.mark.parametrize("sig, status, why", [
    (signal.SIGINT, 130, "INTERRUPTED: stopped by Ctrl-C"),
    (signal.SIGTERM, 143, "INTERRUPTED: stopped by SIGTERM"),
], ids=["SIGINT", "SIGTERM"])
def test_a_stop_signal_at_any_moment_ends_the_run_cleanly(small_day, tmp_path, moment, sig,
                                                         status, why):
    for name, text in _SIGNAL_HELPERS.items():
        (tmp_path / name).write_text(text)
    marker, rec = tmp_path / "marker", tmp_path / "rec.jsonl.gz"
    before, extra = _MOMENTS[moment]
    proc = subprocess.Popen(
        [sys.executable, *before, "replay", str(small_day), "--record", str(rec), *extra],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=str(tmp_path),
        env=dict(os.environ, MARKER=str(marker), PYTHONPATH=os.pathsep.join(
            filter(None, [str(tmp_path), os.environ.get("PYTHONPATH")]))))
    deadline = time.monotonic() + 60
    while not marker.exists():
        assert proc.poll() is None and time.monotonic() < deadline, proc.communicate()
        time.sleep(0.01)
    proc.send_signal(sig)
    sent = time.monotonic()
    out, err = (b.decode() for b in proc.communicate(timeout=60))
    assert proc.returncode == status, err
    assert time.monotonic() - sent < 3.0  # a second, with room for a loaded machine
    assert "Traceback" not in err and err.splitlines()[-1].startswith(why)
    if moment == "start-up":
        assert "Callbacks played" not in out and not rec.exists()
        return
    played = int(out.split("Callbacks played: ")[1].split()[0].replace(",", ""))
    again = replay(str(rec))  # closed with its end line, whether cut short or not
    assert again["cut"] is None and again["callbacks_total"] == played > 0
    full = moment == "close"
    assert (played == sum(1 for l in lines_of(small_day) if '"cb":"on_' in l)) == full
