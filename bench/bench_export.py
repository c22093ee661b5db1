"""The export against the replay, side by side: the bundled day (or SESSION)
exported to Parquet and replayed through the bridge, each in a fresh process,
taking turns round after round so both see the same machine load.

    python bench/bench_export.py [--rounds 5] [SESSION]
    python bench/bench_export.py --callgrind [SESSION]

For the export: the CPU and wall time of the export itself (after the imports,
and after pyarrow's first array, which imports pandas when it is installed),
and the CPU of the whole command (interpreter start and imports included).
For the replay: its callbacks per second as its summary gives them (wall
time of the run). Prints the medians and the ratio of the throughputs.
--callgrind counts the export's instructions instead, which do not depend on
the machine's load: a process that imports and exports under valgrind, less
one that only imports."""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile

EXPORT = r"""
import json, sys, time
import pyarrow as pa
pa.array([1])
from bridge_replay.export import export_session
if len(sys.argv) > 3:  # imports only
    sys.exit(0)
w, c = time.perf_counter(), time.process_time()
r = export_session(sys.argv[1], sys.argv[2])
print(json.dumps({"wall": time.perf_counter() - w, "cpu": time.process_time() - c,
                  "rows": sum(r["rows"].values()), "bytes": r["bytes"],
                  "status": r["exit_status"]}))
"""


def _children_cpu():
    u = resource.getrusage(resource.RUSAGE_CHILDREN)
    return u.ru_utime + u.ru_stime


def _run(argv):
    """(stdout, CPU seconds of the child)"""
    before = _children_cpu()
    out = subprocess.run(argv, check=True, capture_output=True, text=True).stdout
    return out, _children_cpu() - before


def _instructions(argv, work):
    out = os.path.join(work, "callgrind.out")
    subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out] + argv,
                   check=True, capture_output=True)
    with open(out) as f:
        for line in f:
            if line.startswith("summary:"):
                return int(line.split()[1])
    raise RuntimeError("no summary in the callgrind output")


def callgrind(session):
    work = tempfile.mkdtemp(prefix="bench_export")
    try:
        out = os.path.join(work, "out")
        base = [sys.executable, "-c", EXPORT, session, out]
        total = _instructions(base, work)
        imports = _instructions(base + ["imports only"], work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("%s, CPython %s: the export %s instructions (%s with the imports)" % (
        os.path.basename(session), sys.version.split()[0], "{:,}".format(total - imports),
        "{:,}".format(total)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("session", nargs="?")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--callgrind", action="store_true")
    a = ap.parse_args()
    from bridge_replay.player import default_session
    session = a.session or default_session()
    if a.callgrind:
        return callgrind(session)
    tool = [sys.executable, "-m", "bridge_replay"]
    work = tempfile.mkdtemp(prefix="bench_export")
    runs = {"export wall": [], "export cpu": [], "command cpu": [], "replay cb/s": [],
            "replay cpu": []}
    try:
        print("%s, CPython %s, load average %s" % (
            os.path.basename(session), sys.version.split()[0],
            " ".join("%.1f" % x for x in os.getloadavg())))
        for rnd in range(a.rounds):
            out = os.path.join(work, "r%d" % rnd)
            got, _ = _run([sys.executable, "-c", EXPORT, session, out])
            e = json.loads(got)
            shutil.rmtree(out)
            _, cmd_cpu = _run(tool + ["export", session, "--to", out])
            shutil.rmtree(out)
            summary, replay_cpu = _run(tool + ["replay", session, "--json", "-"])
            s = json.loads(summary[summary.index("{"):])
            callbacks = s["callbacks_total"]
            runs["export wall"].append(e["wall"])
            runs["export cpu"].append(e["cpu"])
            runs["command cpu"].append(cmd_cpu)
            runs["replay cb/s"].append(s["throughput"]["callbacks_per_second"])
            runs["replay cpu"].append(replay_cpu)
            print("round %d: export %.2f s CPU (%.2f s wall, whole command %.2f s CPU), "
                  "%s rows, %s bytes; replay %s callbacks/s (%.2f s CPU)" % (
                      rnd + 1, e["cpu"], e["wall"], cmd_cpu, "{:,}".format(e["rows"]),
                      "{:,}".format(e["bytes"]), "{:,}".format(runs["replay cb/s"][-1]),
                      replay_cpu))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    med = {k: statistics.median(v) for k, v in runs.items()}
    export_rate = callbacks / med["export wall"]
    print("medians: export %.2f s CPU, %.2f s wall, %s callbacks/s; whole command %.2f s CPU;"
          % (med["export cpu"], med["export wall"], "{:,.0f}".format(export_rate),
             med["command cpu"]))
    print("         replay %s callbacks/s; export/replay throughput %.1fx" % (
        "{:,.0f}".format(med["replay cb/s"]), export_rate / med["replay cb/s"]))
    print("load average after: %s" % " ".join("%.1f" % x for x in os.getloadavg()))


if __name__ == "__main__":
    main()
