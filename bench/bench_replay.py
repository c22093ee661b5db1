"""Replay throughput and memory: the bundled day and a generated day ten times
its size, each in a fresh process, with the full stand-ins.

    python bench/bench_replay.py [--big FILE]

--big names the generated day (made first when missing, with 500 instruments
instead of 50; about a minute). For each day it prints callbacks/s, peak RSS,
and RSS sampled through the day beside the records the histories hold: tick
histories stop growing once every instrument has 60 snapshots, bar histories
grow by one record per instrument and minute until the day switch (they keep
the whole day), so after the ticks are full RSS may grow only with the bars:
the report sets the growth per bar record beside what one bar record holds.

    python bench/bench_replay.py --breakdown [--old DIR] [--rounds 3] [--callgrind]
                                 [--lines N] [--gzip] [--only day on_snapshot ...]

The tool's own CPU per callback beside the bridge's and host's: the bundled
day, and for each of its five commonest callbacks a session of the day's
lines of that kind alone (header and shape lines kept), in fresh processes,
with CPython 3.8 (.venv) and the newest interpreter (.venv-newest) where
built. --old DIR runs another checkout's environments too, the two builds
alternating round after round. Each run replays its session three times:
the first as `make demo` does (its throughput line), the second for the CPU
time of the whole replay (all threads), the third with a strategy that times
each callback in the thread's CPU time, which is the bridge's and host's
(less what that timing takes, measured beside it); the tool's own is the
rest: reading and decoding, the clock, dispatch, statistics, and the host's
drain with the freeing of its events. The figures are medians over the
rounds. --callgrind adds instruction counts (valgrind --tool=callgrind, each
whole session or its first --lines lines, the replay alone): bridge and host
are the instructions inside the bridge's callback functions, the tool the
rest. The sessions are stored as the bundled day is (uncompressed); --gzip
writes them as `generate` writes a .gz, to see what inflating adds.
"""
import argparse
import collections
import gzip
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BUNDLED_ARGS = ["--snapshot-interval", "30", "--l2-per-minute", "2"]
BIG_ARGS = ["--instruments", "500"] + BUNDLED_ARGS


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def bar_record_bytes(record):
    """What one bar record takes: the dict and its key table, its values (each
    record has its own market code, time and prices), each rounded up to the
    allocator's 16-byte blocks, and its slot in the history."""
    def block(n):
        return -(-n // 16) * 16
    keys = sys.getsizeof(record) - sys.getsizeof({})  # the key table beyond an empty dict's
    return (block(sys.getsizeof({})) + block(keys) + sum(block(sys.getsizeof(v)) for v in record.values())
            + 8)


def play(path):
    """Child process: replay `path`, sampling RSS and history sizes as it goes."""
    from korvane.orvik.utils import maviro
    from bridge_replay.player import Player

    samples = []

    record_bytes = []

    def progress(done, total):
        histories = list(maviro.history_bar.values())
        ticks = sum(len(h) for h in list(maviro.history_tick.values()))
        bars = sum(len(h) for h in histories)
        samples.append({"done": done / max(total, 1), "rss_kib": rss_kib(), "tick_records": ticks,
                        "bar_records": bars})
        if histories and not record_bytes:
            record_bytes.append(bar_record_bytes(histories[0][-1]))

    summary = Player(path, progress=progress).run()
    json.dump({"callbacks": summary["callbacks_total"], "lost": summary["events"]["lost"],
               "errors": summary["callback_errors"]["count"],
               "callbacks_per_second": summary["throughput"]["callbacks_per_second"],
               "peak_mib": summary["peak_memory_mib"], "samples": samples,
               "bar_record_bytes": record_bytes[0] if record_bytes else 0}, sys.stdout)


def report(name, r):
    print("%s: %d callbacks, %s callbacks/s, peak RSS %.1f MiB, %d events lost, %d callback errors"
          % (name, r["callbacks"], r["callbacks_per_second"], r["peak_mib"], r["lost"], r["errors"]))
    samples = r["samples"]
    # Tick histories are full once their record count stops rising.
    top = max(s["tick_records"] for s in samples)
    full = next(s for s in samples if s["tick_records"] >= top * 0.99)
    # The day switch empties the histories: compare the last sample before it.
    last = max((s for s in samples if s["bar_records"]), key=lambda s: s["done"])
    for s in samples[:: max(1, len(samples) // 8)] + [last]:
        print("  %5.1f%% of the file  RSS %7.1f MiB  tick records %7d  bar records %7d"
              % (s["done"] * 100, s["rss_kib"] / 1024, s["tick_records"], s["bar_records"]))
    grew = (last["rss_kib"] - full["rss_kib"]) * 1024
    bars = last["bar_records"] - full["bar_records"]
    print("  after the tick histories filled (%.0f%% of the file): RSS %+.1f MiB, %d bar records added, "
          "%.0f bytes of RSS per bar record (a bar record takes %d bytes)"
          % (full["done"] * 100, grew / 2 ** 20, bars, grew / max(bars, 1), r["bar_record_bytes"]))


# ---------------------------------------------------------------- breakdown

KINDS = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order")
HERE = os.path.dirname(os.path.abspath(__file__))
NO_ASLR = ["setarch", os.uname().machine, "-R"] if shutil.which("setarch") else []
# callgrind runs a replay about fifty times slower: the drain, every millisecond
# of wall time, then waits as many callbacks as in a real run.
SLOWDOWN = 50


def sessions(folder, lines=None, only=None, gz=False):
    """The bundled day and a session per kind in KINDS (the day's lines of that
    kind, with the header, the shape lines and the other lines the format
    needs); with ``lines``, each cut to its first so many lines. Written as the
    bundled day is stored, or with ``gz`` compressed as `generate` compresses."""
    from bridge_replay.player import default_session
    path = default_session()
    with (gzip.open if path.endswith(".gz") else open)(path, "rb") as f:
        day = f.read().split(b"\n")
    shape_of = {}  # shape number -> callback
    kind_of = []
    for line in day[1:]:
        cb = None
        if line.startswith(b"["):
            cb = shape_of.get(int(line[1:line.index(b",")]))
        elif line:
            obj = json.loads(line)
            cb = obj.get("cb")
            if cb == "$shape":
                shape_of[obj["shape"]] = obj["of"]
        kind_of.append(cb)
    out = {}
    for name in ("day",) + KINDS:
        if only and name not in only:
            continue
        body = [l for l, cb in zip(day[1:], kind_of)
                if l and (name == "day" or cb == name or (cb or "x")[0] == "$")]
        if lines:
            body = body[:lines]
        path = os.path.join(folder, "%s%s.jsonl%s" % (name, ".cg" if lines else "", ".gz" if gz else ""))
        with (gzip.open(path, "wb", compresslevel=9) if gz else open(path, "wb")) as f:
            f.write(b"\n".join([day[0]] + body) + b"\n")
        out[name] = path
    return out


def measure(path):
    """Child process: the three replays of the breakdown; prints JSON."""
    from korvane.orvik.utils import maviro
    from bridge_replay.player import Player
    from bridge_replay.session.schema import CALLBACKS

    first = Player(path).run()
    cpu0 = time.process_time()
    plain = Player(path).run()
    cpu = time.process_time() - cpu0

    clock = time.thread_time_ns
    spent = collections.Counter()

    def timed(base, cb):
        def call(self, *args):
            t0 = clock()
            try:
                return base(self, *args)
            finally:
                spent[cb] += clock() - t0
        call.__name__ = cb
        return call

    def noop(self, *args):
        return None

    Timed = type("MachStrategy", (maviro.MachStrategy,),
                 {cb: timed(getattr(maviro.MachStrategy, cb), cb) for cb in CALLBACKS})
    # What the timing itself adds inside the timed span: around a method doing nothing.
    calibrate = type("Calibrate", (), {"call": timed(noop, "$calibrate")})()
    for _ in range(20000):
        calibrate.call(None)
    spent.clear()
    for _ in range(50000):
        calibrate.call(None)
    overhead = spent.pop("$calibrate") / 50000.0
    s = Player(path, strategy_class=Timed).run()
    inside = {cb: (n, max(0.0, spent[cb] - n * overhead)) for cb, n in s["callbacks"].items()}
    json.dump({"callbacks": plain["callbacks_total"], "first_cps":
               first["throughput"]["callbacks_per_second"], "cpu_s": cpu,
               "inside": inside, "latency_p50_us": plain["latency_us"]["p50"]}, sys.stdout)


def measure_cg(path):
    """Child process under callgrind: one replay, its drain paced as in a real run."""
    import bridge_replay.player as player
    if hasattr(player, "_DRAIN_EVERY"):
        player._DRAIN_EVERY *= SLOWDOWN
    s = player.Player(path).run()
    json.dump({"callbacks": s["callbacks"]}, sys.stdout)


def callgrind_counts(out, callbacks):
    """(total instructions, {callback: instructions inside the bridge's callback}) of
    the replay: the dump between the run's start and its end (the bridge's
    counters are reset and read there)."""
    part = out + ".2"
    with open(part) as f:
        total = int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M).group(1))
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", part],
                          capture_output=True, text=True, check=True).stdout
    inside = {}
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) .*maviro::(on_\w+|send_\w+|set_timer)\(", line)
        if m:
            inside[m.group(2)] = inside.get(m.group(2), 0) + int(m.group(1).replace(",", ""))
    return total, inside


def run_children(jobs, commands):
    """Runs each (key, argv, env) at most ``jobs`` at a time; {key: stdout}."""
    out, procs, pending = {}, {}, list(commands)
    while pending or procs:
        while pending and len(procs) < jobs:
            key, argv, env = pending.pop(0)
            procs[key] = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE, text=True)
        for key, proc in list(procs.items()):
            if proc.poll() is not None:
                del procs[key]
                stdout, stderr = proc.communicate()
                if proc.returncode:
                    sys.exit("%s failed (exit %d): %s" % (key, proc.returncode, stderr[-2000:]))
                out[key] = stdout
        time.sleep(0.1)
    return out


def builds(old):
    """[(build name, interpreter name, python)] of the environments present."""
    found = []
    for name, root in [("old", old), ("new", os.path.dirname(HERE))]:
        if root is None:
            continue
        for venv in (".venv", ".venv-newest"):
            py = os.path.join(root, venv, "bin", "python")
            if os.path.exists(py):
                ver = subprocess.run([py, "-c", "import sys; print(sys.version.split()[0])"],
                                     capture_output=True, text=True, check=True).stdout.strip()
                found.append((name, ver, py))
    return found


def breakdown(a):
    envs = builds(a.old)
    work = tempfile.mkdtemp(prefix="bench_replay")
    try:
        paths = sessions(work, only=a.only, gz=a.gzip)
        times = collections.defaultdict(list)  # (build, version, session) -> [measurements]
        print("load average %s" % " ".join("%.1f" % x for x in os.getloadavg()))
        for rnd in range(a.rounds):
            for session, path in paths.items():
                for build, ver, py in envs:  # old and new in turn
                    r = subprocess.run([py, os.path.abspath(__file__), "--measure", path],
                                       capture_output=True, text=True)
                    if r.returncode:
                        sys.exit("%s %s %s failed: %s" % (build, ver, session, r.stderr[-2000:]))
                    times[build, ver, session].append(json.loads(r.stdout))
            print("round %d done, load average %s" % (
                rnd + 1, " ".join("%.1f" % x for x in os.getloadavg())))
        counts = {}
        if a.callgrind:
            cg_paths = sessions(work, a.lines, a.only, a.gzip)
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONHASHSEED": "0",
                   "LC_ALL": "C"}
            commands = []
            for session, path in cg_paths.items():
                for build, ver, py in envs:
                    out = os.path.join(work, "cg.%s.%s.%s" % (build, ver, session))
                    commands.append(((build, ver, session, out), NO_ASLR + [
                        "valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                        "--dump-before=*entry_reset_bridge_stats*",
                        "--dump-before=*entry_bridge_stats*",
                        py, os.path.abspath(__file__), "--measure-cg", path], env))
            for (build, ver, session, out), stdout in run_children(a.jobs, commands).items():
                played = json.loads(stdout)["callbacks"]
                counts[build, ver, session] = (sum(played.values()),) + callgrind_counts(out, played)
        report_breakdown(envs, times, counts, a)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("load average after: %s" % " ".join("%.1f" % x for x in os.getloadavg()))


def report_breakdown(envs, times, counts, a):
    def med(xs):
        return statistics.median(xs) if xs else float("nan")

    def figures(key):
        """(throughput, CPU µs, tool µs, bridge+host µs) per callback of a session."""
        runs = times[key]
        n = runs[0]["callbacks"]
        cpu = med([r["cpu_s"] for r in runs]) * 1e6 / n
        inside = med([sum(ns for _, ns in r["inside"].values()) for r in runs]) / 1e3 / n
        return med([r["first_cps"] for r in runs]), cpu, cpu - inside, inside, n

    def ir(key):
        if key not in counts:
            return None
        n, total, inside = counts[key]
        bridge = sum(inside.values())
        return (total - bridge) / n, bridge / n

    def cell(us, instr):
        return "%6.2f us" % us + ("  %7s Ir" % "{:,.0f}".format(instr) if instr is not None else "")

    versions = []
    for _, ver, _ in envs:
        if ver not in versions:
            versions.append(ver)
    names = [b for b in ("old", "new") if any(e[0] == b for e in envs)]
    for ver in versions:
        print()
        print("CPython %s: per callback, the tool's own beside the bridge's and host's "
              "(CPU time, medians of %d rounds%s)" % (
                  ver, a.rounds, ("; instructions of the first %s lines" % "{:,}".format(a.lines)
                                  if a.lines else "; instructions of whole sessions") if counts else ""))
        print("%-14s %-4s %9s %12s %22s %22s %7s" % ("session", "", "callbacks", "callbacks/s",
                                                    "tool", "bridge+host", "ratio"))
        for session in ("day",) + KINDS:
            for build in names:
                key = (build, ver, session)
                if key not in times:
                    continue
                cps, cpu, tool, inside, n = figures(key)
                irs = ir(key)
                print("%-14s %-4s %9s %12s %22s %22s %7s" % (
                    session if build == names[0] else "", build, "{:,}".format(n),
                    "{:,.0f}".format(cps) if session == "day" else "",
                    cell(tool, irs and irs[0]), cell(inside, irs and irs[1]),
                    "%.2f" % (tool / inside) + (" %.2f" % (irs[0] / irs[1]) if irs else "")))
    print()
    print("callbacks/s: the replay's own throughput line, the first replay in a fresh process;")
    print("ratio: tool / (bridge + host), in CPU time (and in instructions)")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--big", default=os.path.join("build", "bench", "day_x10.jsonl.gz"))
    ap.add_argument("--play", help=argparse.SUPPRESS)
    ap.add_argument("--breakdown", action="store_true", help="the tool's cost beside the bridge's")
    ap.add_argument("--old", metavar="DIR", help="a checkout whose environments are the old build")
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--callgrind", action="store_true", help="instruction counts too")
    ap.add_argument("--only", nargs="+", metavar="SESSION", choices=("day",) + KINDS,
                    help="these sessions alone (day and/or callback names)")
    ap.add_argument("--lines", type=int, help="lines of each session under callgrind (default all)")
    ap.add_argument("--gzip", action="store_true",
                    help="the sessions gzip-compressed (as `generate` writes .gz), not as the day is stored")
    ap.add_argument("--jobs", type=int, default=2, help="callgrind runs at once")
    ap.add_argument("--measure", help=argparse.SUPPRESS)
    ap.add_argument("--measure-cg", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.play:
        return play(args.play)
    if args.measure:
        return measure(args.measure)
    if args.measure_cg:
        return measure_cg(args.measure_cg)
    if args.breakdown:
        return breakdown(args)
    if not os.path.exists(args.big):
        os.makedirs(os.path.dirname(args.big) or ".", exist_ok=True)
        subprocess.run([sys.executable, "-m", "bridge_replay", "generate", "--out", args.big] + BIG_ARGS,
                       check=True)
    from bridge_replay.player import default_session
    for name, path in [("bundled day", default_session()), ("generated day x10", args.big)]:
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--play", path], check=True,
                             stdout=subprocess.PIPE, text=True).stdout
        report(name, json.loads(out))


if __name__ == "__main__":
    main()
