"""Runs the fuzz targets one after the other and prints a table of executions
and coverage. Needs the fuzz build (make fuzz-install).

    run.py --seconds 600 [TARGET...]   fuzz each target, starting from its kept corpus
    run.py --replay [TARGET...]        run each kept corpus once
    run.py --merge [TARGET...]         minimise corpus + new finds back into fuzz/corpus

New inputs go to fuzz/work/TARGET, crashes to fuzz/crashes/; neither is kept
in the repository. Exit status 1 when a target found a crash."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
TARGETS = ["on_snapshot", "on_tick_order", "on_bar", "on_order", "on_query_position", "event_queue"]


def environment():
    import atheris
    runtime = os.path.join(atheris.path(), "asan_with_fuzzer.so")
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=runtime,
        # Through malloc, so that ASan sees the objects the bridge builds.
        PYTHONMALLOC="malloc",
        # A size past 2 GiB (np.empty of a shape the fuzz data made up) fails
        # as a MemoryError in Python, not as the fuzzer's out-of-memory finding.
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:max_allocation_size_mb=2048:"
                     + env.get("ASAN_OPTIONS", ""),
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:" + env.get("UBSAN_OPTIONS", ""),
    )
    return env


def run(target, options, log_path):
    cmd = [sys.executable, os.path.join(HERE, "harness.py"), "-timeout=60", "-rss_limit_mb=3072", "-max_len=512",
           "-print_final_stats=1"] + options
    with open(log_path, "w") as log:
        env = dict(environment(), FUZZ_TARGET=target)
        return subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT, env=env, cwd=HERE).returncode


STATUS = re.compile(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/")


def summary(log_path):
    out = dict(execs=None, cov=None, ft=None, corp=None, counters=0, eps=None)
    with open(log_path, errors="replace") as f:
        for line in f:
            m = STATUS.match(line)
            if m:
                out.update(cov=int(m[2]), ft=int(m[3]), corp=int(m[4]))
            m = re.search(r"Loaded \d+ modules\s+\((\d+) inline 8-bit counters\)", line)
            if m:
                out["counters"] = int(m[1])
            m = re.match(r"MERGE-OUTER: (\d+) new files with (\d+) new features added; (\d+) new coverage edges", line)
            if m:
                out.update(corp=int(m[1]), ft=int(m[2]), cov=int(m[3]))
            m = re.match(r"stat::number_of_executed_units:\s+(\d+)", line)
            if m:
                out["execs"] = int(m[1])
            m = re.match(r"stat::average_exec_per_sec:\s+(\d+)", line)
            if m:
                out["eps"] = int(m[1])
    return out


def main():
    p = argparse.ArgumentParser()
    mode = p.add_mutually_exclusive_group(required=True)
    mode.add_argument("--seconds", type=int)
    mode.add_argument("--replay", action="store_true")
    mode.add_argument("--merge", action="store_true")
    p.add_argument("targets", nargs="*", default=TARGETS)
    args = p.parse_args()
    unknown = set(args.targets) - set(TARGETS)
    if unknown:
        p.error("unknown target: " + ", ".join(sorted(unknown)))

    logs = os.path.join(HERE, "logs")
    crashes = os.path.join(HERE, "crashes")
    os.makedirs(logs, exist_ok=True)
    os.makedirs(crashes, exist_ok=True)
    rows, failed = [], []
    for target in args.targets:
        corpus = os.path.join(HERE, "corpus", target)
        work = os.path.join(HERE, "work", target)
        os.makedirs(corpus, exist_ok=True)
        os.makedirs(work, exist_ok=True)
        artifacts = "-artifact_prefix=%s/%s-" % (crashes, target)
        if args.replay:
            options = [artifacts, "-runs=0", corpus]
        elif args.merge:
            merged = corpus + ".merged"
            shutil.rmtree(merged, ignore_errors=True)
            os.makedirs(merged)
            options = [artifacts, "-merge=1", merged, corpus, work]
        else:
            options = [artifacts, "-max_total_time=%d" % args.seconds, work, corpus]
        log_path = os.path.join(logs, target + ".log")
        print("== %s" % target, flush=True)
        start = time.monotonic()
        rc = run(target, options, log_path)
        took = time.monotonic() - start
        if args.merge and rc == 0:
            shutil.rmtree(corpus)
            os.rename(merged, corpus)
            shutil.rmtree(work)
        s = summary(log_path)
        result = "ok" if rc == 0 else "FINDING (exit %d, see %s)" % (rc, os.path.relpath(log_path))
        if rc:
            failed.append(target)
        rows.append((target, took, s, result))

    print()
    print("| target | seconds | executions | exec/s | edges covered | features | corpus | result |")
    print("|---|---|---|---|---|---|---|---|")
    for target, took, s, result in rows:
        cov = "-" if s["cov"] is None else "%d of %d" % (s["cov"], s["counters"])
        print("| %s | %.0f | %s | %s | %s | %s | %s | %s |" % (
            target, took, s["execs"] if s["execs"] is not None else "-", s["eps"] if s["eps"] is not None else "-",
            cov, s["ft"] if s["ft"] is not None else "-", s["corp"] if s["corp"] is not None else "-", result))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
