"""Batch replay against one after the other: N sessions of the bundled size
(seeds 1..N, stored as the bundled day is: rows, uncompressed), replayed in one fresh process in turn, then by `batch` on a local
cluster (a single-threaded worker per core, start-up included), back to back in
one run and repeated, so both see the same machine load.

    python bench/bench_batch.py [--big] [--sessions 4] [--rounds 2] [--dir DIR]

--big: sessions of about 400,000 callbacks each (`generate --snapshot-interval 3`,
about a minute each to make, kept in --dir). Prints wall seconds of each and
the speed-up, the CPU seconds of each way (children included), and the load
average before and after (the machine is shared). The batch's CPU seconds
count its fork server and workers: the batch stops and waits for them before
it exits."""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

BUNDLED_ARGS = ["--snapshot-interval", "30", "--l2-per-minute", "2", "--rows"]
BIG_ARGS = ["--snapshot-interval", "3"]
TOOL = [sys.executable, "-m", "bridge_replay"]


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def sequential(paths):
    code = ("import sys, json; from bridge_replay.batch import sequential; "
            "rows, wall = sequential(sys.argv[1:]); "
            "print(json.dumps([wall, [r['status'] for r in rows]]))")
    t0 = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code, *paths], check=True,
                         capture_output=True, text=True).stdout
    return time.perf_counter() - t0, json.loads(out)[1]


def batch(paths):
    """Wall seconds, exit status, and when the first and the last session's
    line came (the teardown is what follows the last)."""
    t0 = time.perf_counter()
    done = []
    with subprocess.Popen(TOOL + ["batch", *paths], stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True) as proc:
        for line in proc.stderr:
            if line.startswith("["):
                done.append(time.perf_counter() - t0)
    wall = time.perf_counter() - t0
    return wall, proc.returncode, (done[0], done[-1]) if done else (wall, wall)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--big", action="store_true", help="sessions of about 400,000 callbacks")
    ap.add_argument("--sessions", type=int, default=4)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "bench_batch"))
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    paths = []
    for seed in range(1, a.sessions + 1):
        p = os.path.join(a.dir, "big%d.jsonl.gz" % seed if a.big else "day%d.jsonl" % seed)
        if not os.path.exists(p):
            subprocess.run(TOOL + ["generate", "--out", p, "--seed", str(seed)]
                           + (BIG_ARGS if a.big else BUNDLED_ARGS), check=True, capture_output=True)
        paths.append(p)
    print("%d sessions, %d cores, load average %s" % (
        len(paths), os.cpu_count(), " ".join("%.1f" % x for x in os.getloadavg())))
    for rnd in range(1, a.rounds + 1):
        c0 = child_cpu()
        ts, statuses = sequential(paths)
        c1 = child_cpu()
        tb, rc, (first, last) = batch(paths)
        c2 = child_cpu()
        print("round %d: one after the other %.1f s (%s; CPU %.1f s), batch %.1f s (exit %d; "
              "CPU %.1f s; first session done at %.1f s, last at %.1f s): speed-up %.2fx"
              % (rnd, ts, ",".join(statuses), c1 - c0, tb, rc, c2 - c1, first, last, ts / tb))
    print("load average after: %s" % " ".join("%.1f" % x for x in os.getloadavg()))


if __name__ == "__main__":
    main()
