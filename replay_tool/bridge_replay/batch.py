"""Replays many sessions on a Dask cluster, one session per task.

The bridge initialises once per process, so each session runs in a worker
process (single-threaded workers: two sessions never share a bridge at the
same time). The player empties the bridge's containers and queue before each
session; the health counters are reset here, so every row counts one session.
Paths must be visible to the workers (the same machine, or a shared folder).
"""

import os
import tempfile
import time
import traceback

from bridge_replay.optional import import_optional
from bridge_replay.paths import events_name, stem
from bridge_replay.status import EXIT_CUT, EXIT_FAILED, EXIT_OK, EXIT_SKIPPED
from bridge_replay.summary import outcome

# Statuses of a session that played to its end (cleanly, with lines skipped, or cut short).
PLAYED = (EXIT_OK, EXIT_SKIPPED, EXIT_CUT)


def replay_one(path, host=None, events_path=None, baseline_path=None, report_path=None):
    """Replays one session in this process; returns its row (never raises)."""
    from bridge_replay.host import load_host
    from bridge_replay.player import Player

    row = {"session": path, "trading_day": None, "status": "FAILED",
           "exit_status": EXIT_FAILED, "error": None, "callbacks": None, "events": None,
           "dropped": None, "callback_errors": None, "orders": {}, "throughput": None, "p99_us": None,
           "wall_seconds": None, "baseline": None, "pid": os.getpid()}
    tmp = partial = None
    player = None
    sampler = None
    try:
        host = load_host(host)
        maviro = host.load_bridge()
        maviro.reset_bridge_stats()
        if report_path is not None:
            from bridge_replay.report import Sampler
            sampler = Sampler(maviro)
        if events_path is None and baseline_path is not None:
            fd, tmp = tempfile.mkstemp(suffix=".events.jsonl")
            os.close(fd)
            events_path = tmp
        failure = None
        final_events, partial = events_path, None
        if events_path is not None and tmp is None:
            # A log appears under its name only once the session has played, so a
            # failed session never leaves something that looks like a baseline.
            partial = events_path = events_path + ".part"
        with _event_log(events_path, final_events) as out:
            player = Player(path, host=host, events_out=out if events_path else None,
                            sample=sampler)
            try:
                summary = player.run()
            except Exception as exc:  # a bad file, a failed start: this row only
                failure = exc
                summary = player.summary
        stats = maviro.bridge_stats()
        errors = sum(c["errors"] for c in stats["callbacks"].values())
        if partial is not None:
            if summary is None:
                os.unlink(partial)
            else:
                os.replace(partial, final_events)
                events_path = final_events
            partial = None
        if summary is None:
            row["error"] = str(failure).splitlines()[0] if str(failure) else type(failure).__name__
            return row
        status, last = outcome(summary, failure)
        row.update({
            "trading_day": summary["virtual_time"]["start"][:10],
            "status": "OK" if status == EXIT_OK else last.split(":")[0],
            "exit_status": status, "error": None if status == EXIT_OK else last,
            "callbacks": summary["callbacks_total"],
            "events": summary["events"]["drained_total"],
            "dropped": stats["queue"]["dropped"] if stats["queue"]["dropped"] is not None
            else summary["events"]["lost"],
            "callback_errors": max(errors, summary["callback_errors"]["count"]),
            "orders": summary["host_orders"]["by_final_status"],
            "throughput": summary["throughput"]["callbacks_per_second"],
            "p99_us": summary["latency_us"]["p99"],
            "wall_seconds": summary["throughput"]["wall_seconds"]})
        if report_path is not None:
            from bridge_replay.report import write_session_report
            write_session_report(report_path, summary, sampler)
        if baseline_path is not None:
            from bridge_replay.diff import compare, format_result
            if not os.path.exists(baseline_path):
                row["baseline"] = "no baseline"
            else:
                d = compare(baseline_path, events_path)
                row["baseline"] = "same" if d["identical"] else \
                    format_result(d, "baseline", "this run").splitlines()[1]
            if row["baseline"] != "same":
                row["status"], row["exit_status"] = "DIFFERS", EXIT_FAILED
        return row
    except Exception as exc:
        row["error"] = "%s: %s" % (type(exc).__name__, exc)
        row["traceback"] = traceback.format_exc()
        return row
    finally:
        for leftover in (tmp, partial):
            if leftover is not None:
                try:
                    os.unlink(leftover)
                except OSError:
                    pass


def _event_log(path, final):
    """The writer of an event log, chosen by its final name's suffix."""
    if path is None:
        return _Null()
    if final.endswith(".parquet"):
        from bridge_replay.export.events import ParquetEventLog
        return ParquetEventLog(path)
    return open(path, "w", encoding="utf-8")


class _Null:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


def local_cluster(workers=None):
    """A cluster on this machine: one single-threaded worker process per core."""
    LocalCluster = import_optional("distributed", "batch", "the batch replay").LocalCluster
    return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                        processes=True, dashboard_address=None)


def run(paths, scheduler=None, workers=None, host=None, events_dir=None, baseline_dir=None,
        reports_dir=None, progress=None, events_format="jsonl"):
    """Replays every session on the cluster at ``scheduler`` (an address) or on a
    local one; returns the rows in the order of ``paths``. ``progress`` is called
    with (done, total, row) as each session finishes. ``events_format``
    "parquet" writes the logs under ``events_dir`` as NAME.events.parquet."""
    distributed = import_optional("distributed", "batch", "the batch replay")
    Client, as_completed = distributed.Client, distributed.as_completed

    cluster = None
    if scheduler is None:
        cluster = local_cluster(workers)
        client = Client(cluster)
    else:
        client = Client(scheduler)
    try:
        futures = {}
        for i, p in enumerate(paths):
            name = events_name(p)
            log = name if events_format == "jsonl" else stem(p) + ".events.parquet"
            fut = client.submit(
                replay_one, p, host,
                os.path.join(events_dir, log) if events_dir else None,
                os.path.join(baseline_dir, name) if baseline_dir else None,
                os.path.join(reports_dir, stem(p) + ".html") if reports_dir else None,
                key="replay-%d-%s" % (i, stem(p)), pure=False, retries=0)
            futures[fut] = i
        rows = [None] * len(paths)
        done = 0
        for fut in as_completed(futures):
            i = futures[fut]
            try:
                row = fut.result()
            except Exception as exc:  # the worker died (a crash of the process)
                row = {"session": paths[i], "status": "FAILED", "exit_status": EXIT_FAILED,
                       "error": "the worker failed: %s: %s" % (type(exc).__name__, exc)}
            rows[i] = row
            done += 1
            if progress is not None:
                progress(done, len(paths), row)
        return rows
    finally:
        client.close()
        if cluster is not None:
            cluster.close()


def sequential(paths, host=None, events_dir=None):
    """The same sessions one after the other in this process (for comparison)."""
    t0 = time.perf_counter()
    rows = [replay_one(p, host, os.path.join(events_dir, events_name(p)) if events_dir else None)
            for p in paths]
    return rows, time.perf_counter() - t0


def exit_status(rows):
    """1 when any session failed or differs from its baseline, else the worst
    of the others (3 lines skipped, 4 cut short), 0 when all played cleanly."""
    statuses = [r.get("exit_status", EXIT_FAILED) for r in rows]
    if any(s not in PLAYED for s in statuses):
        return EXIT_FAILED
    return max(statuses, default=EXIT_OK)


COLUMNS = ("session", "trading_day", "status", "callbacks", "events", "dropped",
           "callback_errors", "orders", "throughput", "p99_us", "baseline", "error")


def flat(row):
    """A row with plain values only (for CSV)."""
    out = {}
    for c in COLUMNS:
        v = row.get(c)
        if c == "orders":
            v = "; ".join("%s %d" % kv for kv in (v or {}).items())
        out[c] = "" if v is None else v
    return out


def format_table(rows):
    def n(v):
        return "-" if v is None else "{:,}".format(v)

    head = "%-24s %-10s %-10s %9s %9s %7s %6s %10s %9s  %s" % (
        "session", "day", "status", "callbacks", "events", "dropped", "errors", "cb/s",
        "p99 µs", "orders by final status")
    out = [head, "-" * len(head)]
    for r in rows:
        name = stem(r["session"])
        orders = ", ".join("%s %d" % (k.rpartition(".")[2], v)
                           for k, v in (r.get("orders") or {}).items())
        out.append("%-24s %-10s %-10s %9s %9s %7s %6s %10s %9s  %s" % (
            name if len(name) <= 24 else name[:21] + "...", r.get("trading_day") or "-",
            r["status"], n(r.get("callbacks")), n(r.get("events")), n(r.get("dropped")),
            n(r.get("callback_errors")), n(r.get("throughput")),
            "-" if r.get("p99_us") is None else "%.1f" % r["p99_us"], orders or "-"))
        for key in ("error", "baseline"):
            if r.get(key) and r.get(key) != "same":
                out.append("    %s" % r[key])
    return "\n".join(out)
