"""Replay throughput and memory: the bundled day and a generated day ten times
its size, each in a fresh process, with the full stand-ins.

    python bench/bench_replay.py [--big FILE]

--big names the generated day (made first when missing, with 500 instruments
instead of 50; about a minute). For each day it prints callbacks/s, peak RSS,
and RSS sampled through the day beside the records the histories hold: tick
histories stop growing once every instrument has 60 snapshots, bar histories
grow by one record per instrument and minute until the day switch (they keep
the whole day), so after the ticks are full RSS may grow only with the bars:
the report sets the growth per bar record beside what one bar record holds."""
import argparse
import json
import os
import subprocess
import sys

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


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--big", default=os.path.join("build", "bench", "day_x10.jsonl.gz"))
    ap.add_argument("--play", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.play:
        return play(args.play)
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
