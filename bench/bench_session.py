"""The replay tool's own cost per callback, and the recorder's, on CPython 3.8.

    python bench/bench_session.py [--lines N] [--rounds R]

decode: a session of N snapshot lines (taken from a generated day) is read
through the tool's reader (read, decompress, split, decode, build the record)
and each callback dispatched to a strategy method that does nothing; the
figure is the median over R rounds of the thread's CPU time per line (CPU
time, so that other work on a shared machine counts less). Done for the
same lines as the recorder writes them (rows after a shape line, gzip), as
object lines of version 2 (gzip and plain) and in version 1. As a yardstick of the
machine's speed at the time, the standard library's json.loads alone on the
same lines is timed too.

record: the bridge's on_snapshot called N times per round with and without
the production recorder (recording_class), rounds alternating; "added" is the
median difference in the calling thread's CPU time per callback, "CPU" the
difference in process CPU time (all threads, the writer's encoding,
compression and writes included, measured after the recorder has closed)
per recorded callback. To .jsonl.zst (when zstandard is installed), .jsonl.gz
and .jsonl. --noop-strategy puts the recorder in front of a strategy whose
callbacks do nothing instead of the bridge's, so that the bridge's and the
host's work do not blur the difference. "of which the collector" is the
part of "added" spent in the cyclic garbage collector's runs on the calling
thread (timed through gc.callbacks), beside the collections per 1,000 calls
with and without the recorder: a capture allocates container objects that
count towards the collector's next run while they wait in the buffer, so the
runs come sooner, and each costs as much as the objects the strategy keeps
alive make it.

    python bench/bench_session.py --callgrind [--lines N]

the same as instruction counts under valgrind --tool=callgrind, which repeat
where timings on a shared machine do not: only the code driven by
itertools.starmap on the calling thread is counted. decode: the reader's loop
over N snapshot lines; SDK thread: on_snapshot with the recorder minus
without; writer: the writer's work per captured callback (encode, compress
in batches of 1,000 lines, write), for .jsonl.zst (when zstandard is
installed) and .jsonl.gz.

--pure-python runs either without the recorder's C parts (bridge_replay._capture
and bridge_replay._rows), as an install without a compiler would.
"""
import argparse
import gzip
import os
import statistics
import sys
import tempfile
import time

from bridge_replay.session.codec import Enumerations
from bridge_replay.session.encoder import Encoder
from bridge_replay.session.reader import SessionReader
from bridge_replay.generate import generate


def snapshot_lines(tmp, n):
    day = os.path.join(tmp, "day.jsonl")
    generate(day, instruments=4, hours=0.2, orders=11, snapshot_interval=3)
    with open(day, "rb") as f:
        header = f.readline()
        snaps = [l for l in f if b'"on_snapshot"' in l]
    return header, (snaps * (n // len(snaps) + 1))[:n]


def v1_line(line):
    import json
    obj = json.loads(line)
    obj["rec"].update(obj.pop("x", {}))
    return (json.dumps(obj, separators=(",", ":")) + "\n").encode()


def row_lines(lines, enums):
    """The same snapshot lines as the recorder writes them: a shape line, then rows."""
    from bridge_replay.session.lines import EntryDecoder
    dec, enc = EntryDecoder(2, enums), Encoder(enums)
    objs = []
    for line in lines:
        e = dec(line, 1)
        enc.row(objs.append, e.t, e.cb, dict(vars(e.call[0])), e.recv)
    return enc.lines(objs)


class Sink:
    def on_snapshot(self, snapshot):
        pass


def time_decode(path, enums, rounds):
    sink = Sink()
    per_line = []
    for _ in range(rounds):
        reader = SessionReader(path, enums)
        methods = {}
        n = 0
        t0 = time.thread_time_ns()
        for item in reader.entries():
            m = methods.get(item.cb)
            if m is None:
                m = methods[item.cb] = getattr(sink, item.cb)
            m(*item.call)
            n += 1
        per_line.append((time.thread_time_ns() - t0) / n)
        reader.close()
    return statistics.median(per_line), min(per_line)


def bench_decode(args, tmp):
    from korvane.orvik.utils import maviro
    enums = Enumerations.from_namespace(vars(maviro))
    header, lines = snapshot_lines(tmp, args.lines)
    v2 = os.path.join(tmp, "v2.jsonl.gz")
    with gzip.open(v2, "wb", compresslevel=6) as f:
        f.write(header + b"".join(lines))
    v1 = os.path.join(tmp, "v1.jsonl.gz")
    with gzip.open(v1, "wb", compresslevel=6) as f:
        f.write(header.replace(b'"version":2', b'"version":1')
                + b"".join(v1_line(l) for l in lines))
    plain = os.path.join(tmp, "v2.jsonl")
    with open(plain, "wb") as f:
        f.write(header + b"".join(lines))
    rows = os.path.join(tmp, "rows.jsonl.gz")
    with gzip.open(rows, "wb", compresslevel=6) as f:
        f.write(header + row_lines(lines, enums))
    import json
    yardstick = []
    for _ in range(args.rounds):
        t0 = time.thread_time_ns()
        for line in lines[:10000]:
            json.loads(line)
        yardstick.append((time.thread_time_ns() - t0) / 10000)
    print("yardstick: the standard library's json.loads alone on the same lines: median %.2f us"
          % (statistics.median(yardstick) / 1000))
    print("decode, per snapshot line (read, decompress, decode, build the record, dispatch):")
    for name, path in (("version 2.1 rows, gzip", rows), ("version 2, gzip", v2),
                       ("version 2, plain", plain), ("version 1, gzip", v1)):
        med, best = time_decode(path, enums, args.rounds)
        print("  %-22s median %6.2f us   best %6.2f us   (%d lines x %d rounds)"
              % (name, med / 1000, best / 1000, args.lines, args.rounds))


def bench_record(args, tmp):
    from korvane.orvik.utils import maviro
    from korvane.orvik.environment import Environment
    import types
    from bridge_replay.recorder import recording_class

    Environment.get_instance().universe = ["000001.XSHE"]
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        md_type=None, accounts={"stock": "a"}, algo_account=None, trading_calendar=[]))
    header, lines = snapshot_lines(tmp, 2000)
    from bridge_replay.session.lines import EntryDecoder
    dec = EntryDecoder(2, Enumerations.from_namespace(vars(maviro)))
    recs = [dec(l, 1).call[0] for l in lines[:500]]
    if args.noop_strategy:
        from bridge_replay.session.schema import CALLBACKS
        base = type("Noop", (), dict({cb: lambda self, *a: None for cb in CALLBACKS},
                                     __init__=lambda self, config: None))
    else:
        base = maviro.MachStrategy
    plain = base(config)
    Recording = recording_class(base)
    n = args.lines
    q = maviro.event_queue
    import gc
    import threading
    me = threading.get_ident()
    in_gc = [0, 0]  # thread CPU time in collections on this thread; when the current one began

    def gc_timer(phase, info):
        if threading.get_ident() == me:
            if phase == "start":
                in_gc[1] = time.thread_time_ns()
            else:
                in_gc[0] += time.thread_time_ns() - in_gc[1]
    gc.callbacks.append(gc_timer)
    for suffix in _record_suffixes():
        added, cpu, gc_added = [], [], []
        runs = {"plain": [], "recorded": []}
        for r in range(args.rounds):
            out = os.path.join(tmp, "rec%d%s" % (r, suffix))
            rec_strategy = Recording(config, out=out)
            timings = {}
            for name, s in (("plain", plain), ("recorded", rec_strategy)):
                cb = s.on_snapshot
                runs0 = sum(g["collections"] for g in gc.get_stats())
                in_gc[0] = 0
                c0 = time.process_time_ns()
                t0 = time.thread_time_ns()
                for i in range(n):
                    cb(recs[i % 500])
                    if len(q) > 10000:
                        while len(q):
                            q.popleft()
                t1 = time.thread_time_ns()
                collector = in_gc[0]
                runs[name].append(sum(g["collections"] for g in gc.get_stats()) - runs0)
                if s is rec_strategy:
                    s.close_recording()
                c1 = time.process_time_ns()
                timings[name] = ((t1 - t0) / n, (c1 - c0) / n, collector / n)
                while len(q):
                    q.popleft()
            assert rec_strategy._recorder.dropped == 0
            added.append(timings["recorded"][0] - timings["plain"][0])
            cpu.append(timings["recorded"][1] - timings["plain"][1])
            gc_added.append(timings["recorded"][2] - timings["plain"][2])
        print("record to %s, %s on_snapshot with and without the recorder (%d calls x %d "
              "rounds):" % (suffix, "a no-op" if args.noop_strategy else "bridge", n,
                            args.rounds))
        print("  added on the SDK thread: median %6.2f us" % (statistics.median(added) / 1000))
        print("    of which the collector: median %6.2f us   (collections per 1,000 calls:"
              " %.1f without, %.1f with the recorder)"
              % (statistics.median(gc_added) / 1000, 1000 * statistics.median(runs["plain"]) / n,
                 1000 * statistics.median(runs["recorded"]) / n))
        print("  CPU per recorded callback, all threads: median %6.2f us"
              % (statistics.median(cpu) / 1000))
    gc.callbacks.remove(gc_timer)


def _record_suffixes():
    try:
        import zstandard  # noqa: F401
    except ImportError:
        return (".jsonl.gz", ".jsonl")
    return (".jsonl.zst", ".jsonl.gz", ".jsonl")


def _drive(fn, args):
    import collections
    import itertools
    collections.deque(itertools.starmap(fn, args), maxlen=0)


def cg_child(kind, n, tmp, suffix=".jsonl.gz"):
    """One run under callgrind: warm up, then the measured starmap."""
    from korvane.orvik.utils import maviro
    from korvane.orvik.environment import Environment
    import types
    from bridge_replay.session.lines import EntryDecoder
    from bridge_replay.recorder import recording_class
    enums = Enumerations.from_namespace(vars(maviro))
    header, lines = snapshot_lines(tmp, n)
    if kind in ("decode", "decode-rows"):
        path = os.path.join(tmp, "v2.jsonl.gz")
        with gzip.open(path, "wb", compresslevel=6) as f:
            f.write(header + (row_lines(lines, enums) if kind == "decode-rows"
                              else b"".join(lines)))
        sink = Sink()

        def play(_):
            reader = SessionReader(path, enums)
            for item in reader.entries():
                getattr(sink, item.cb)(*item.call)
        play(0)
        _drive(play, [(0,)])
        return
    Environment.get_instance().universe = ["000001.XSHE"]
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    dec = EntryDecoder(2, enums)
    recs = [(dec(l, 1).call[0],) for l in lines]
    q = maviro.event_queue
    if kind == "plain":
        s = maviro.MachStrategy(config)
    else:
        s = recording_class()(config, out=os.path.join(tmp, "r" + suffix),
                              flush_interval=3600, buffer_size=10 * n)
    s.on_snapshot(*recs[0])
    while len(q):
        q.popleft()
    if kind in ("plain", "recorded"):
        _drive(s.on_snapshot, recs)
        return
    r = s._recorder
    # The writer thread's loop, run here: stopped first, it takes what is
    # buffered in batches of up to 1,000 callbacks, writes and flushes, and returns.
    r._stop.set()
    r._thread.join()
    for rec in recs:
        s.on_snapshot(*rec)
    _drive(r._run, [()])


def callgrind(args):
    import re
    import subprocess
    me = os.path.abspath(__file__)
    counts = {}
    runs = [(kind, ".jsonl.gz") for kind in ("decode", "decode-rows", "plain", "recorded",
                                             "writer")]
    if ".jsonl.zst" in _record_suffixes():
        runs.append(("writer", ".jsonl.zst"))
    for kind, suffix in runs:
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, "cg.out")
            cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no",
                   "--toggle-collect=starmap_next", "--callgrind-out-file=" + out,
                   sys.executable, me, "--cg-child", kind, "--lines", str(args.lines),
                   "--suffix", suffix] + ["--pure-python"] * args.pure_python
            subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            with open(out) as f:
                text = f.read()
            m = re.search(r"^summary:\s+(\d+)", text, re.M) or \
                re.search(r"^totals:\s+(\d+)", text, re.M)
            counts[kind if kind != "writer" else kind + suffix] = int(m.group(1)) / args.lines
    print("instructions under callgrind, per snapshot line or callback (%d of them):"
          % args.lines)
    print("  decode (read, decompress, decode, build the record, dispatch): %s;"
          " rows as recorded: %s" % ("{:,.0f}".format(counts["decode"]),
                                     "{:,.0f}".format(counts["decode-rows"])))
    print("  bridge on_snapshot alone: %s   with the recorder: %s   added on the SDK thread: %s"
          % tuple("{:,.0f}".format(v) for v in (counts["plain"], counts["recorded"],
                                                counts["recorded"] - counts["plain"])))
    for suffix in (".jsonl.zst", ".jsonl.gz"):
        writer = counts.get("writer" + suffix)
        if writer is not None:
            print("  writer thread per recorded callback, %s: %s   recorder total: %s"
                  % (suffix, "{:,.0f}".format(writer),
                     "{:,.0f}".format(writer + counts["recorded"] - counts["plain"])))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--lines", type=int, default=50000)
    p.add_argument("--rounds", type=int, default=9)
    p.add_argument("--only", choices=("decode", "record"))
    p.add_argument("--noop-strategy", action="store_true",
                   help="record: in front of a strategy that does nothing")
    p.add_argument("--callgrind", action="store_true")
    p.add_argument("--pure-python", action="store_true",
                   help="without the recorder's C parts")
    p.add_argument("--cg-child", help=argparse.SUPPRESS)
    p.add_argument("--suffix", default=".jsonl.gz", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.pure_python:
        import bridge_replay.recorder
        import bridge_replay.session.encoder
        bridge_replay.session.encoder._rows = None
        bridge_replay.recorder._capture = None
        bridge_replay.recorder._take = bridge_replay.recorder._py_take
    if args.cg_child:
        with tempfile.TemporaryDirectory() as tmp:
            return cg_child(args.cg_child, args.lines, tmp, args.suffix)
    if args.callgrind:
        return callgrind(args)
    print("CPython %s%s" % (sys.version.split()[0],
                            ", pure Python recorder" if args.pure_python else ""))
    with tempfile.TemporaryDirectory() as tmp:
        if args.only != "record":
            bench_decode(args, tmp)
        if args.only != "decode":
            bench_record(args, tmp)


if __name__ == "__main__":
    main()
