"""Replays many sessions on a Dask cluster, one session per task.

The bridge initialises once per process, so each session runs in a worker
process (single-threaded workers: two sessions never share a bridge at the
same time). The player empties the bridge's containers and queue before each
session; the health counters are reset here, so every row counts one session.
Paths must be visible to the workers (the same machine, or a shared folder).

A session's event log is written where no ``NAME.events.jsonl`` lookup can see it
and gets its name only once the session has played to its end; a session that
failed keeps what it wrote as ``NAME.events.failed.jsonl``, which no baseline
lookup produces (a session named NAME.failed would look up
NAME.failed.events.jsonl).
"""

import ipaddress
import os
import re
import shutil
import tempfile
import time
import traceback

from bridge_replay.optional import import_optional
from bridge_replay.paths import events_name, stem
from bridge_replay.status import EXIT_CUT, EXIT_FAILED, EXIT_OK, EXIT_SKIPPED
from bridge_replay.summary import outcome

# Statuses of a session that played to its end (cleanly, with lines skipped, or cut short).
PLAYED = (EXIT_OK, EXIT_SKIPPED, EXIT_CUT)


def failed_events_path(events_path):
    """Where a failed session's log is kept instead of ``events_path``."""
    for suffix in (".jsonl", ".parquet"):
        if events_path.endswith(".events" + suffix):
            return events_path[:-len(suffix)] + ".failed" + suffix
    return events_path + ".failed"


def _partial_path(events_path):
    folder, name = os.path.split(events_path)
    return os.path.join(folder, "." + name + ".part")


def _unlink(path):
    try:
        os.unlink(path)
    except OSError:
        pass


class _PendingLog:
    """An event log being written, with no name until ``publish``.

    On Linux it is an unnamed file in the log's folder (O_TMPFILE), so a worker
    killed mid-session leaves nothing behind; where the file system cannot do
    that, a hidden ``.NAME.events.jsonl.part`` beside it, removed on every way
    out but a kill (``run`` removes it for a worker that died)."""

    def __init__(self, events_path):
        self._named = None
        fd = None
        flag = getattr(os, "O_TMPFILE", 0)
        if flag and os.path.isdir("/proc/self/fd"):
            try:
                fd = os.open(os.path.dirname(os.path.abspath(events_path)),
                             flag | os.O_RDWR, 0o666)
            except OSError:  # not supported here (NFS, an old kernel)
                fd = None
        if fd is None:
            self._named = _partial_path(events_path)
            fd = os.open(self._named, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        self.file = os.fdopen(fd, "w", encoding="utf-8")

    def publish(self, path):
        """Close the log under the name ``path``, replacing what was there."""
        self.file.flush()
        if self._named is None:
            tmp = _partial_path(path)
            _unlink(tmp)
            # linkat() following the /proc link names the unnamed file; a plain
            # link() (os.link without a dir_fd) would link the symlink itself.
            try:
                proc = os.open("/proc/self/fd", os.O_RDONLY | os.O_DIRECTORY)
                try:
                    os.link(str(self.file.fileno()), tmp, src_dir_fd=proc,
                            follow_symlinks=True)
                finally:
                    os.close(proc)
            except OSError:  # refused (a hardened /proc): copy it out instead
                with os.fdopen(os.dup(self.file.fileno()), "rb") as src, \
                        open(tmp, "wb") as dst:
                    src.seek(0)
                    shutil.copyfileobj(src, dst)
        else:
            tmp = self._named
        os.replace(tmp, path)
        self._named = None
        self.file.close()

    def discard(self):
        try:
            self.file.close()
        except OSError:
            pass
        if self._named is not None:
            _unlink(self._named)
            self._named = None


def _pending_log(events_path):
    """The log being written, chosen by its name's suffix: JSON Lines, or a
    Parquet table (kept in memory, written when it is published)."""
    if events_path.endswith(".parquet"):
        from bridge_replay.export.events import ParquetEventLog
        return ParquetEventLog(events_path)
    return _PendingLog(events_path)


class SchedulerError(ValueError):
    """A scheduler address that is malformed or whose protocol is not set up here."""


_SCHEMES = ("tcp", "tls", "ws", "wss", "ucx")
_HOST = re.compile(r"[A-Za-z0-9]([A-Za-z0-9._-]*[A-Za-z0-9])?\Z")


def check_scheduler(address):
    """The scheduler address in full ("tcp://HOST:PORT"), or SchedulerError naming
    what is wrong with its form. Whether a scheduler answers there is only known
    once the client connects."""
    if not isinstance(address, str) or not address.strip():
        raise SchedulerError("no address given (expected tcp://HOST:PORT)")
    text = address.strip()
    scheme, sep, rest = text.partition("://")
    if not sep:
        scheme, rest = "tcp", text
    if scheme not in _SCHEMES:
        raise SchedulerError("%r: unknown protocol %r (one of %s)"
                             % (address, scheme, ", ".join(_SCHEMES)))
    host, colon, port = rest.rpartition(":")
    if not colon or not (port.isascii() and port.isdigit()) or not 0 < int(port) < 65536:
        raise SchedulerError("%r: expected %s://HOST:PORT with a port from 1 to 65535"
                             % (address, scheme))
    if host.startswith("[") and host.endswith("]"):
        try:
            ipaddress.IPv6Address(host[1:-1])
        except ValueError:
            raise SchedulerError("%r: %s is not an IPv6 address" % (address, host)) from None
    elif not _HOST.match(host):
        raise SchedulerError("%r: %r is not a host name or address" % (address, host))
    return "%s://%s:%d" % (scheme, host, int(port))


def replay_one(path, host=None, events_path=None, baseline_path=None, report_path=None):
    """Replays one session in this process; returns its row (never raises)."""
    from bridge_replay.host import load_host
    from bridge_replay.player import Player

    row = {"session": path, "trading_day": None, "status": "FAILED",
           "exit_status": EXIT_FAILED, "error": None, "callbacks": None, "events": None,
           "dropped": None, "callback_errors": None, "orders": {}, "throughput": None, "p99_us": None,
           "wall_seconds": None, "baseline": None, "pid": os.getpid()}
    tmp = pending = None
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
        if tmp is not None:
            out = open(tmp, "w", encoding="utf-8")
        elif events_path is not None:
            pending = _pending_log(events_path)
            out = pending.file
        else:
            out = None
        try:
            player = Player(path, host=host, events_out=out, sample=sampler)
            try:
                summary = player.run()
            except Exception as exc:  # a bad file, a failed start: this row only
                failure = exc
                summary = player.summary
        finally:
            if tmp is not None:
                out.close()
        stats = maviro.bridge_stats()
        errors = sum(c["errors"] for c in stats["callbacks"].values())
        status, last = outcome(summary, failure) if summary is not None else (EXIT_FAILED, None)
        played = status in PLAYED
        if pending is not None:
            # Only a session played to its end leaves a log a baseline may be
            # taken from; a failed one keeps what it wrote under another name.
            if played:
                pending.publish(events_path)
                _unlink(failed_events_path(events_path))
            elif summary is not None:
                pending.publish(failed_events_path(events_path))
            else:
                pending.discard()
            pending = None
        if summary is None:
            row["error"] = str(failure).splitlines()[0] if str(failure) else type(failure).__name__
            return row
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
        if baseline_path is not None and played:
            from bridge_replay.diff import NotAnEventLog, compare, format_result
            if not os.path.exists(baseline_path):
                row["baseline"] = "no baseline"
            else:
                try:
                    d = compare(baseline_path, events_path)
                    row["baseline"] = "same" if d["identical"] else \
                        format_result(d, "baseline", "this run").splitlines()[1]
                except NotAnEventLog as exc:
                    row["baseline"] = str(exc)
            if row["baseline"] != "same":
                row["status"], row["exit_status"] = "DIFFERS", EXIT_FAILED
        return row
    except Exception as exc:
        row["error"] = "%s: %s" % (type(exc).__name__, exc)
        row["traceback"] = traceback.format_exc()
        return row
    finally:
        if pending is not None:
            pending.discard()
        if tmp is not None:
            _unlink(tmp)


# Imported once by the server the local workers are forked from: a worker then
# starts in a fraction of the time a fresh interpreter takes to import Dask and
# the tool.
_PRELOAD = ["bridge_replay.batch_worker"]

# A replay's workers need none of Dask's frequent housekeeping: each wake-up
# takes the interpreter lock from a replay (on the workers) or a core from
# them (the scheduler and the nannies in this process). The task profiler
# samples every thread's stack every 10 ms, and nobody looks at a replay's
# profile; the event-loop tick (20 ms), the system monitor (500 ms, with disk
# counters) and the memory monitor (100 ms) only feed dashboards and limits
# that a second's delay does not change; work stealing has nothing to move
# between single-threaded workers that take one session at a time. Without
# a dashboard the HTTP routes (metrics and health pages) serve nobody.
_QUIET = {
    "distributed.worker.profile.enabled": False,
    "distributed.admin.tick.interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.admin.system-monitor.disk": False,
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.scheduler.work-stealing": False,
    "distributed.scheduler.http.routes": [],
    "distributed.worker.http.routes": [],
    "distributed.worker.multiprocessing-method": "forkserver",
}


def local_versions_only():
    """Dask's processes report the versions of its optional packages to one
    another, importing each to read it (pandas alone takes most of a second of
    CPU). A local cluster's processes all run this environment, so there is no
    mismatch to find: they report the packages Dask itself needs, and no others."""
    try:
        from distributed import versions
    except ImportError:
        return
    optional = getattr(versions, "optional_packages", None)
    if isinstance(optional, list):
        del optional[:]


_ONE_THREAD = ("OMP_NUM_THREADS", "MKL_NUM_THREADS", "OPENBLAS_NUM_THREADS")


def start_forkserver(preload=_PRELOAD):
    """Starts the server the local workers are forked from, importing ``preload``
    meanwhile (alongside this process's own import of Dask). Returns whether one
    runs (forkserver is POSIX only)."""
    import multiprocessing
    try:
        ctx = multiprocessing.get_context("forkserver")
    except ValueError:
        return False
    from multiprocessing import forkserver
    ctx.set_forkserver_preload(list(preload))
    # One thread for numerical libraries, as Dask gives its workers: the
    # server (which imports numpy) then forks from a single thread.
    saved = {name: os.environ.get(name) for name in _ONE_THREAD}
    os.environ.update({name: "1" for name, value in saved.items() if value is None})
    try:
        forkserver.ensure_running()
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
    return True


def stop_forkserver():
    """Ends the fork server and waits for it, so that neither it nor its CPU
    time outlives the run (it would otherwise end with this process)."""
    from multiprocessing import forkserver
    stop = getattr(forkserver._forkserver, "_stop", None)
    if stop is not None and getattr(forkserver._forkserver, "_forkserver_pid", None):
        try:
            stop()
        except OSError:
            pass


def local_cluster(workers=None):
    """A cluster on this machine: one single-threaded worker process per core,
    forked from a server with the tool and Dask already imported."""
    forked = start_forkserver()
    try:
        LocalCluster = import_optional("distributed", "batch", "the batch replay").LocalCluster
        import dask
        local_versions_only()
        config = dict(_QUIET)
        if not forked:
            del config["distributed.worker.multiprocessing-method"]
        with dask.config.set(config):
            return LocalCluster(n_workers=workers or os.cpu_count() or 1, threads_per_worker=1,
                                processes=True, dashboard_address=None)
    except BaseException:
        if forked:
            stop_forkserver()
        raise


def run(paths, scheduler=None, workers=None, host=None, events_dir=None, baseline_dir=None,
        reports_dir=None, progress=None, events_format="jsonl"):
    """Replays every session on the cluster at ``scheduler`` (an address) or on a
    local one; returns the rows in the order of ``paths``. ``progress`` is called
    with (done, total, row) as each session finishes. ``events_format``
    "parquet" writes the logs under ``events_dir`` as NAME.events.parquet."""
    cluster = None
    if scheduler is None:
        # First, so that the workers' server imports while this process does.
        cluster = local_cluster(workers)
    distributed = import_optional("distributed", "batch", "the batch replay")
    Client, as_completed = distributed.Client, distributed.as_completed
    if cluster is not None:
        client = Client(cluster)
    else:
        scheduler = check_scheduler(scheduler)
        try:
            client = Client(scheduler)
        except (TypeError, ValueError, ImportError) as exc:
            # The protocol is not set up here: TLS without certificates, UCX
            # not installed. (Not answering is an OSError.)
            raise SchedulerError("%s: %s" % (scheduler, str(exc).splitlines()[0])) from None
    rows = [None] * len(paths)
    try:
        futures = {}
        # The longest first (by file size), so that no long session is left
        # to play alone at the end while the other workers idle.
        for i in sorted(range(len(paths)), key=lambda i: -_size(paths[i])):
            p = paths[i]
            name = events_name(p)
            log = name if events_format == "jsonl" else stem(p) + ".events.parquet"
            fut = client.submit(
                replay_one, p, host,
                os.path.join(events_dir, log) if events_dir else None,
                os.path.join(baseline_dir, name) if baseline_dir else None,
                os.path.join(reports_dir, stem(p) + ".html") if reports_dir else None,
                key="replay-%d-%s" % (i, stem(p)), pure=False, retries=0)
            futures[fut] = i
        done = 0
        for fut in as_completed(futures):
            i = futures[fut]
            try:
                row = fut.result()
            except Exception as exc:  # the worker died (a crash of the process)
                row = {"session": paths[i], "status": "FAILED", "exit_status": EXIT_FAILED,
                       "error": "the worker failed: %s: %s" % (type(exc).__name__, exc)}
                if events_dir:
                    _unlink(_partial_path(os.path.join(events_dir, events_name(paths[i]))))
            rows[i] = row
            done += 1
            if progress is not None:
                progress(done, len(paths), row)
        return rows
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
            stop_forkserver()
            # Interrupted: the local workers are gone, and with them the
            # sessions they were playing.
            for p, row in zip(paths, rows):
                if row is None and events_dir:
                    _unlink(_partial_path(os.path.join(events_dir, events_name(p))))


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


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
