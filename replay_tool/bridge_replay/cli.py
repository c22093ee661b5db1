"""Command line: the options of ``replay``, ``generate``, ``diff``, ``batch``,
``export`` and ``check`` and their wiring; the work is done in modules that never
import this one."""

import errno
import json
import math
import os
import signal
import sys
import textwrap
import threading
import traceback

import click

from bridge_replay import __version__
from bridge_replay.errors import Interrupted, ReplayError, exit_for
from bridge_replay.host import DEFAULT_HOST, HostLoadError, load_host, load_object
from bridge_replay.optional import require
from bridge_replay.session.reader import DEFAULT_MAX_LINE
from bridge_replay.session.schema import SessionError
from bridge_replay.status import EXIT_FAILED, EXIT_OK, EXIT_USAGE
from bridge_replay.stopping import StopSignals
from bridge_replay.summary import WIDTH, format_summary, outcome

_REPORT_AT_MOST = 50

EXIT_STATUS_HELP = """\b
Exit status:
  0    played to the end, nothing skipped
  1    failed: unreadable session, newer format, strategy or callback error, --strict stop,
       or the --record file could not be written (the summary is printed)
  2    usage error (bad option or output path)
  3    played to the end, but lines were skipped (malformed, oversized, time jumps)
  4    the session was cut short: played up to its last complete line
  130  interrupted by Ctrl-C (SIGINT); the partial summary is printed
  143  stopped by SIGTERM; the partial summary is printed"""


class _Speed(click.ParamType):
    name = "N"

    def convert(self, value, param, ctx):
        try:
            speed = float(value)
        except (TypeError, ValueError):
            self.fail("%r is not a number" % (value,), param, ctx)
        if not math.isfinite(speed) or speed <= 0:
            self.fail("must be a positive finite multiple of real time, not %s" % (value,),
                      param, ctx)
        return speed


class _Bytes(click.ParamType):
    name = "BYTES"
    _UNITS = {"": 1, "k": 1 << 10, "kib": 1 << 10, "m": 1 << 20, "mib": 1 << 20,
              "g": 1 << 30, "gib": 1 << 30}

    def convert(self, value, param, ctx):
        if isinstance(value, int):
            return value
        text = str(value).strip().lower()
        digits = text.rstrip("kmgib")
        try:
            n = int(digits) * self._UNITS[text[len(digits):]]
        except (ValueError, KeyError):
            self.fail("%r is not a size (e.g. 16777216, 64MiB)" % (value,), param, ctx)
        if n < 1024:
            self.fail("must be at least 1024 bytes", param, ctx)
        return n


def _serve_metrics(host, port):
    require("metrics", "--metrics-port")
    try:
        from bridge_replay.metrics import serve_metrics
        serve_metrics(host.load_bridge(), port)
        click.echo("serving the bridge's counters on http://127.0.0.1:%d/metrics" % port,
                   err=True)
    except OSError as exc:
        raise click.BadParameter("cannot serve on 127.0.0.1:%d: %s" % (port, exc),
                                 param_hint="--metrics-port")


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(session, outputs):
    """Refuse, before anything runs, output paths that cannot be written or
    that would overwrite the input or each other."""
    seen = {}
    to_stdout = [opt for opt, path in outputs if path == "-"]
    if len(to_stdout) > 1:
        raise click.UsageError("only one of %s can write to standard output"
                               % " and ".join(to_stdout))
    for opt, path in outputs:
        if path is None or path == "-":
            continue
        if session not in (None, "-") and _same_file(path, session):
            raise click.BadParameter("%s is the input session; refusing to overwrite it" % path,
                                     param_hint=opt)
        for other, other_path in seen.items():
            if _same_file(path, other_path):
                raise click.BadParameter("%s is also given to %s" % (path, other),
                                         param_hint=opt)
        seen[opt] = path
        if os.path.isdir(path):
            raise click.BadParameter("%s is a directory" % path, param_hint=opt)
        parent = os.path.dirname(os.path.abspath(path))
        if not os.path.isdir(parent):
            raise click.BadParameter("directory %s does not exist" % parent, param_hint=opt)
        if not os.access(parent, os.W_OK) or (os.path.exists(path)
                                              and not os.access(path, os.W_OK)):
            raise click.BadParameter("%s is not writable" % path, param_hint=opt)


CONTEXT = {"help_option_names": ["-h", "--help"], "max_content_width": WIDTH}


class _Main(click.Group):
    """Every exception a command lets out ends here: one line on standard error
    and its exit status (BRIDGE_REPLAY_DEBUG=1 adds the traceback)."""

    def invoke(self, ctx):
        early = ctx.obj if isinstance(ctx.obj, StopSignals) else None
        try:
            if early is not None:
                # Signals were only noted while the tool loaded; each command
                # now stops as it needs (replay sets its own handlers).
                early.restore()
                if early.signum is not None:
                    raise Interrupted(early.signum)
            return super().invoke(ctx)
        except (click.ClickException, click.exceptions.Exit, click.Abort):
            raise
        except OSError as exc:
            if exc.errno == errno.EPIPE:  # a closed pipe: click's own quiet handling
                raise
            self._fail(ctx, exc)
        except (Exception, KeyboardInterrupt) as exc:
            self._fail(ctx, exc)

    @staticmethod
    def _fail(ctx, exc):
        if os.environ.get("BRIDGE_REPLAY_DEBUG"):
            traceback.print_exc()
        status, line = exit_for(exc)
        click.echo(line, err=True)
        ctx.exit(status)


def _read_limits(command):
    """--max-line-size and --max-jump: how a session's reader treats damage,
    the same for every command that reads sessions."""
    command = click.option("--max-jump", type=click.FloatRange(min=1.0), default=86400.0,
                           show_default=True, metavar="SECONDS",
                           help="A record this far ahead of the clock is taken as a "
                           "corrupt time stamp and skipped.")(command)
    return click.option("--max-line-size", type=_Bytes(), default=DEFAULT_MAX_LINE,
                        show_default=True, help="Longest line read, in bytes (suffixes "
                        "KiB, MiB, GiB); a longer one is skipped.")(command)


@click.group(cls=_Main, context_settings=CONTEXT, epilog="""\b
Examples:
  bridge-replay replay                          play the bundled sample day
  bridge-replay replay today.jsonl.gz --events run1.jsonl --json summary.json
  zcat today.jsonl.gz | bridge-replay replay - --json - > summary.json
  bridge-replay replay today.jsonl.gz --speed 60 --strategy mystrat:MyStrategy
  bridge-replay replay today.jsonl.gz --host myhost.adapter:Host
  bridge-replay generate --out day.jsonl.gz --instruments 20
  bridge-replay diff run1.jsonl run2.jsonl      compare two event logs
  bridge-replay batch "days/*.jsonl.gz" --csv days.csv   many sessions on a Dask cluster
  bridge-replay export "days/*.jsonl.gz" --to research/  sessions as Parquet tables
  bridge-replay check --host myhost.adapter:Host --smoke   the installed host and SDK, before trading

Run "bridge-replay COMMAND -h" for the options of a command.""")
@click.version_option(__version__, "--version", prog_name="bridge-replay",
                      message="%(prog)s %(version)s")
def main():
    """Replay recorded gateway sessions through the bridge on a virtual clock, and
    generate sample trading days."""


@main.command(context_settings=CONTEXT, epilog=EXIT_STATUS_HELP)
@click.argument("session", required=False, metavar="[SESSION]")
@click.option("--host", "host_spec", metavar="MODULE:NAME", default=DEFAULT_HOST,
              show_default=True, help="Host adapter: how to set up the host, rebuild its "
              "orders and describe its events.")
@click.option("--strategy", "strategy", metavar="MODULE:CLASS",
              help="Drive this MachStrategy subclass instead of the bridge's own.")
@click.option("--speed", type=_Speed(), default=None,
              help="Pace at N times real time (default: as fast as possible).")
@click.option("--strict", is_flag=True,
              help="Stop at the first malformed or skipped line, late record or callback error.")
@click.option("--json", "json_out", metavar="FILE",
              help="Also write the summary as JSON to FILE (\"-\": standard output; the text "
              "summary then goes to standard error).")
@click.option("--events", "events_out", metavar="FILE",
              help="Write every drained event as one JSON line to FILE (\"-\": standard "
              "output), stable for diffing two runs; FILE.parquet writes a Parquet table "
              "(needs the [export] extra).")
@click.option("--record", metavar="FILE",
              help="Record the replayed session into FILE (.gz and .zst compress).")
@click.option("--report", "report_out", metavar="FILE.html",
              help="Write an HTML page with charts over the day (opens without network).")
@_read_limits
@click.option("--timing", is_flag=True,
              help="Switch on the bridge's latency recording and show each method's percentiles.")
@click.option("--metrics-port", type=click.IntRange(1, 65535), metavar="PORT",
              help="Serve the bridge's counters for a metrics scraper on 127.0.0.1:PORT "
              "during the run (needs the tool's [metrics] extra).")
def replay(session, host_spec, strategy, speed, strict, json_out, events_out, record,
           report_out, max_line_size, max_jump, timing, metrics_port):
    """Play SESSION through the bridge and print a summary.

    SESSION is a session file (.jsonl, or gzip- or zstd-compressed), "-" for
    standard input, or nothing for the bundled sample day.
    """
    # From here SIGINT and SIGTERM only ask the run to stop: the work happens on
    # a thread of its own, and this one waits for it.
    with StopSignals() as signals:
        _replay(signals, session, host_spec, strategy, speed, strict, json_out, events_out,
                record, report_out, max_line_size, max_jump, timing, metrics_port)


def _replay(signals, session, host_spec, strategy, speed, strict, json_out, events_out, record,
            report_out, max_line_size, max_jump, timing, metrics_port):
    from bridge_replay.player import default_session

    if session not in (None, "-") and not os.path.exists(session):
        raise click.BadParameter("%s does not exist" % session, param_hint="SESSION")
    if session not in (None, "-") and os.path.isdir(session):
        raise click.BadParameter("%s is a directory" % session, param_hint="SESSION")
    if record == "-":
        raise click.BadParameter("a recording needs a file", param_hint="--record")
    if report_out == "-":
        raise click.BadParameter("a report needs a file", param_hint="--report")
    check_outputs(session or default_session(),
                  [("--json", json_out), ("--events", events_out), ("--record", record),
                   ("--report", report_out)])
    if report_out:
        require("report", "--report")
    if record and record.endswith(".zst"):
        require("zstd", "--record FILE.zst")
    to_stdout = json_out == "-" or events_out == "-"
    text_err = to_stdout
    reported = [0]

    def report(line):
        reported[0] += 1
        if reported[0] <= _REPORT_AT_MOST:
            click.echo(line, err=True)
        elif reported[0] == _REPORT_AT_MOST + 1:
            click.echo("further skipped lines are only counted in the summary", err=True)

    bar = [None]
    def show_progress(done, total):
        if not total:
            return
        if bar[0] is None:
            bar[0] = click.progressbar(length=total, label="replaying", file=sys.stderr)
            bar[0].__enter__()
        bar[0].update(done - bar[0].pos)
    progress = show_progress if sys.stderr.isatty() and not text_err else None
    events_file = None
    if events_out == "-":
        events_file = sys.stdout
    elif events_out and events_out.endswith(".parquet"):
        require("export", "--events FILE.parquet")
        from bridge_replay.export.events import ParquetEventLog
        events_file = ParquetEventLog(events_out)
    elif events_out:
        events_file = open(events_out, "w", encoding="utf-8")
    done = {}

    def work():
        # The host's code is imported here, off the main thread: a stop signal
        # cannot land inside its imports, and the main thread stays free to notice it.
        from bridge_replay.player import Player
        try:
            host = load_host(host_spec)
            cls = load_object(strategy, "strategy") if strategy else None
        except HostLoadError as exc:
            raise click.BadParameter(str(exc), param_hint="--host" if "host" in str(exc)
                                     else "--strategy")
        if metrics_port is not None:
            _serve_metrics(host, metrics_port)
        sampler = None
        if report_out:
            from bridge_replay.report import Sampler
            sampler = Sampler(host.load_bridge())
        done["sampler"] = sampler
        if signals.signum is not None:
            return  # stopped before it started: nothing to play or to sum up
        player = Player(session, host=host, strategy_class=cls, speed=speed, strict=strict,
                        events_out=events_file, record=record, progress=progress,
                        report=report, max_line=max_line_size, max_jump=max_jump,
                        timing=timing, sample=sampler)
        signals.listen(player.stop)
        try:
            done["summary"] = player.run()
        except Interrupted:
            done["summary"] = player.summary
        except (SessionError, ReplayError) as exc:
            done["failure"] = exc
            done["summary"] = player.summary

    try:
        finished = _run_until_stopped(work, signals, done)
    finally:
        if bar[0] is not None:
            bar[0].__exit__(None, None, None)
        if events_file is not None and events_file is not sys.stdout:
            events_file.close()
    if not finished:
        # Still inside the host's code (an import, its set-up) a second after the
        # stop: nothing to sum up, and an interpreter shutting down around that
        # thread could wait on a lock it holds. Out now, as a killed process would.
        status, line = exit_for(Interrupted(signals.signum))
        click.echo(line, err=True)
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    summary, failure = done.get("summary"), done.get("failure")
    if summary is None:  # nothing played: the error handler of _Main says why
        raise failure if failure is not None else Interrupted(signals.signum)
    status, last = outcome(summary, failure)
    click.echo(format_summary(summary), err=text_err)
    if json_out:
        text = json.dumps(summary, indent=2, ensure_ascii=False) + "\n"
        if json_out == "-":
            sys.stdout.write(text)
            sys.stdout.flush()
        else:
            with open(json_out, "w", encoding="utf-8") as f:
                f.write(text)
    if report_out:
        from bridge_replay.report import write_session_report
        write_session_report(report_out, summary, done["sampler"])
    # The last line says how it went; a long reason is wrapped, not cut.
    click.echo("\n".join(textwrap.wrap(last, WIDTH)), err=text_err or status != EXIT_OK)
    sys.exit(status)


# After a stop signal, how long the replay may take to end before the command
# gives up on it; the player itself gives up on a stuck callback sooner.
_STOP_GRACE = 0.8


def _run_until_stopped(work, signals, done):
    """Run ``work()`` on a thread and wait for it; once a stop signal came, for
    at most _STOP_GRACE seconds more. Returns whether it ended; an exception
    it raised is raised here."""
    finished = threading.Event()

    def target():
        try:
            work()
        except BaseException as exc:
            done["error"] = exc
        finally:
            finished.set()
    threading.Thread(target=target, name="replay", daemon=True).start()
    while not finished.wait(0.05):
        if signals.event.is_set():
            if not finished.wait(_STOP_GRACE):
                return False
            break
    if "error" in done:
        raise done["error"]
    return True


@main.command(context_settings=CONTEXT)
@click.option("--out", required=True, metavar="FILE",
              help="Session file to write (.gz and .zst compress).")
@click.option("--instruments", default=50, show_default=True, type=click.IntRange(2, 5000),
              help="Instruments in the universe.")
@click.option("--hours", default=4.0, show_default=True, type=click.FloatRange(0.01, 4.0),
              help="Hours of continuous trading, from 09:30 (lunch break skipped).")
@click.option("--seed", default=20240315, show_default=True, type=int,
              help="Seed of the random draws: a seed always gives the same file.")
@click.option("--snapshot-interval", default=3.0, show_default=True,
              type=click.FloatRange(0.5, 3600), help="Seconds between snapshots of an instrument.")
@click.option("--orders", default=200, show_default=True, type=click.IntRange(11, 100000),
              help="Host orders (at least one per status path).")
@click.option("--l2-per-minute", default=6.0, show_default=True, type=click.FloatRange(0, 60),
              help="Mean level-2 orders per instrument and minute.")
@click.option("--day", type=click.DateTime(["%Y-%m-%d"]), default="2024-03-15",
              show_default=True, help="The trading day (YYYY-MM-DD).")
@click.option("--rows", is_flag=True,
              help="Write the callbacks that take just a record as rows after a shape line, "
                   "as a recorder does (half the size, faster to replay).")
def generate(out, instruments, hours, seed, snapshot_interval, orders, l2_per_minute, day, rows):
    """Write a deterministic sample trading day."""
    from bridge_replay.generate import generate as gen
    check_outputs(None, [("--out", out)])
    if out.endswith(".zst"):
        require("zstd", "--out FILE.zst")
    n = gen(out, instruments=instruments, hours=hours, seed=seed,
            snapshot_interval=snapshot_interval, orders=orders, l2_per_minute=l2_per_minute,
            day=day.date(), rows=rows)
    click.echo("wrote %s: {:,} callbacks".format(n) % out)


@main.command(context_settings=CONTEXT, epilog="""\b
Exit status:
  0    the two logs have the same events in the same order
  1    they differ (the first difference and the counts by type are printed)
  2    usage error (a missing or unreadable file, or one that is not an event log)""")
@click.argument("a", type=click.Path(exists=True, dir_okay=False, readable=True))
@click.argument("b", type=click.Path(exists=True, dir_okay=False, readable=True))
def diff(a, b):
    """Compare two event logs written by "replay --events".

    Events are matched by content, so an event missing from one log counts once
    and one out of place is a move. A changed event shows each differing field
    down to its leaf (for example trade.price).
    """
    from bridge_replay.diff import NotAnEventLog, compare, format_result
    try:
        result = compare(a, b)
    except NotAnEventLog as exc:
        click.echo("Error: %s" % exc, err=True)
        sys.exit(EXIT_USAGE)
    except OSError as exc:
        click.echo("Error: cannot read %s: %s" % (exc.filename, exc.strerror or exc), err=True)
        sys.exit(EXIT_USAGE)
    click.echo(format_result(result, a, b))
    sys.exit(EXIT_OK if result["identical"] else EXIT_FAILED)


def _dir_option(value, opt, must_exist):
    if value is None:
        return None
    if must_exist and not os.path.isdir(value):
        raise click.BadParameter("%s is not a directory" % value, param_hint=opt)
    if not must_exist:
        if os.path.exists(value) and not os.path.isdir(value):
            raise click.BadParameter("%s is not a directory" % value, param_hint=opt)
        os.makedirs(value, exist_ok=True)
        if not os.access(value, os.W_OK):
            raise click.BadParameter("%s is not writable" % value, param_hint=opt)
    return os.path.abspath(value)


@main.command(context_settings=CONTEXT, epilog="""\b
Exit status:
  0    every session played to the end, nothing skipped, same as its baseline
  1    a session failed (unreadable, callback error...) or differs from its baseline,
       or the cluster cannot be reached
  2    usage error (a bad option, a malformed --scheduler address, a session name
       that matches nothing)
  3    all played, but lines were skipped in some
  4    all played, but some were cut short
  130  interrupted by Ctrl-C (SIGINT)
  143  stopped by SIGTERM

\b
Examples:
  bridge-replay batch 'sessions/*.jsonl.gz' --csv days.csv
  bridge-replay batch sessions/ --events-dir new/ --baseline old/
  bridge-replay batch sessions/ --scheduler tcp://10.0.0.5:8786""")
@click.argument("sessions", nargs=-1, required=True, metavar="SESSIONS...")
@click.option("--scheduler", metavar="ADDRESS",
              help="Use the Dask cluster at ADDRESS (default: a local one, a worker per core).")
@click.option("--workers", type=click.IntRange(1, 1024), metavar="N",
              help="Worker processes of the local cluster (default: one per core).")
@click.option("--host", "host_spec", metavar="MODULE:NAME", default=DEFAULT_HOST,
              show_default=True, help="Host adapter (see replay -h).")
@click.option("--csv", "csv_out", metavar="FILE", help="Also write the table as CSV.")
@click.option("--json", "json_out", metavar="FILE", help="Also write the table as JSON.")
@click.option("--events-dir", metavar="DIR",
              help="Write each session's events to DIR/NAME.events.jsonl once it has played "
              "(a failed session's to DIR/NAME.events.failed.jsonl).")
@click.option("--events-format", type=click.Choice(["jsonl", "parquet"]), default="jsonl",
              show_default=True, help="Event logs under --events-dir as JSON Lines (for diff "
              "and --baseline) or as Parquet tables, NAME.events.parquet ([export] extra).")
@click.option("--baseline", "baseline_dir", metavar="DIR",
              help="Compare each session's events with DIR/NAME.events.jsonl.")
@click.option("--report", "report_out", metavar="FILE.html",
              help="Write an HTML page with a row per day and charts across the days.")
def batch(sessions, scheduler, workers, host_spec, csv_out, json_out, events_dir,
          events_format, baseline_dir, report_out):
    """Replay many sessions (files, folders or globs) on a Dask cluster, each in a
    worker process, and print a row per session.

    Session and output paths must be visible to the workers.
    """
    from bridge_replay import batch as b
    # A local cluster's workers are forked from a server that imports Dask and
    # the tool: started first, it imports them while this process does.
    forked = scheduler is None and b.start_forkserver()
    try:
        _batch(b, sessions, scheduler, workers, host_spec, csv_out, json_out, events_dir,
               events_format, baseline_dir, report_out)
    finally:
        if forked:
            b.stop_forkserver()


def _batch(b, sessions, scheduler, workers, host_spec, csv_out, json_out, events_dir,
           events_format, baseline_dir, report_out):
    import csv
    require("batch", "bridge-replay batch")
    if report_out:
        require("report", "--report")
    if events_format == "parquet":
        if baseline_dir:
            raise click.BadParameter("--baseline compares JSON Lines event logs",
                                     param_hint="--events-format")
        require("export", "--events-format parquet")
    from bridge_replay.paths import events_name, expand, stem

    def bad_scheduler(exc):
        click.echo("Error: Invalid value for '--scheduler': %s" % exc, err=True)
        sys.exit(EXIT_USAGE)

    if scheduler is not None:
        try:
            scheduler = b.check_scheduler(scheduler)
        except b.SchedulerError as exc:
            bad_scheduler(exc)
    try:
        paths = expand(sessions)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="SESSIONS")
    check_outputs(None, [("--csv", csv_out), ("--json", json_out), ("--report", report_out)])
    for opt, path in (("--csv", csv_out), ("--json", json_out), ("--report", report_out)):
        if path == "-":
            raise click.BadParameter("needs a file", param_hint=opt)
    baseline_dir = _dir_option(baseline_dir, "--baseline", True)
    events_dir = _dir_option(events_dir, "--events-dir", False)
    if events_dir and baseline_dir and _same_file(events_dir, baseline_dir):
        raise click.BadParameter("is also the baseline", param_hint="--events-dir")
    if events_dir or baseline_dir:
        # Event logs are named after the session's file name: two sessions of one
        # name in different folders would write, or compare against, the same log.
        seen = {}
        for p in paths:
            other = seen.setdefault(events_name(p), p)
            if other != p:
                raise click.BadParameter("%s and %s would share the event log %s" % (
                    other, p, events_name(p)), param_hint="SESSIONS")

    def progress(done, total, row):
        click.echo("[%d/%d] %s %s" % (done, total, stem(row["session"]), row["status"]),
                   err=True)

    click.echo("replaying %d sessions on %s" % (len(paths), scheduler or "a local cluster"),
               err=True)
    # SIGTERM ends the batch as Ctrl-C does, through the cluster's teardown and
    # the removal of unfinished logs, rather than killing it on the spot.
    previous = None
    if (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGTERM) is signal.SIG_DFL):
        previous = signal.signal(signal.SIGTERM, _terminated)
    try:
        rows = b.run(paths, scheduler=scheduler, workers=workers, host=host_spec,
                     events_dir=events_dir, baseline_dir=baseline_dir, progress=progress,
                     events_format=events_format)
    except b.SchedulerError as exc:
        bad_scheduler(exc)
    except OSError as exc:
        raise ReplayError("cannot reach the cluster: %s"
                          % (str(exc).splitlines() or [exc])[0]) from None
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
    click.echo(b.format_table(rows))
    if csv_out:
        with open(csv_out, "w", newline="", encoding="utf-8") as f:
            w = csv.DictWriter(f, fieldnames=b.COLUMNS)
            w.writeheader()
            w.writerows(b.flat(r) for r in rows)
    if json_out:
        with open(json_out, "w", encoding="utf-8") as f:
            json.dump(rows, f, indent=2, ensure_ascii=False)
            f.write("\n")
    if report_out:
        from bridge_replay.report import write_batch_report
        write_batch_report(report_out, rows)
    status = b.exit_status(rows)
    failed = sum(1 for r in rows if r.get("exit_status") not in b.PLAYED)
    click.echo("OK" if status == EXIT_OK
               else "%d of %d sessions failed or differ" % (failed, len(rows))
               if status == EXIT_FAILED else "played all; some were skipped or cut short",
               err=status != EXIT_OK)
    sys.exit(status)


class _Terminated(KeyboardInterrupt):
    """SIGTERM, raised where Ctrl-C's KeyboardInterrupt would be (no handler
    that catches Exception takes it for a failed session)."""
    signum = signal.SIGTERM


def _terminated(signum, frame):
    raise _Terminated()


@main.command(context_settings=CONTEXT, epilog="""\b
Exit status:
  0    every session exported, nothing skipped
  1    a session cannot be read (not a session, a newer format)
  2    usage error (a bad option, a session name that matches nothing, a day
       DIR already holds without --overwrite, two sessions of one day, or
       the [export] extra is not installed)
  3    exported, but lines were skipped (malformed, oversized, time jumps,
       damaged compressed data, values that do not fit their column)
  4    a session was cut short: exported up to its last complete line

\b
Examples:
  bridge-replay export today.jsonl.gz --to research/
  bridge-replay export 'sessions/2024-03-*.jsonl.gz' --to research/
  bridge-replay export today.jsonl.gz --to research/ --overwrite""")
@click.argument("sessions", nargs=-1, required=True, metavar="SESSION...")
@click.option("--to", "out_dir", required=True, metavar="DIR",
              help="Folder of the tables: DIR/kind=KIND/day=YYYY-MM-DD/part-0.parquet.")
@click.option("--overwrite", is_flag=True,
              help="Replace the days DIR already holds (all their tables).")
@_read_limits
def export(sessions, out_dir, overwrite, max_line_size, max_jump):
    """Write recorded sessions (files, folders or globs) as Parquet tables, one
    per callback kind, partitioned by trading day and kind.

    Needs the tool's [export] extra (pyarrow); neither the bridge nor a host.
    """
    require("export", "bridge-replay export")
    from bridge_replay import export as ex
    from bridge_replay.paths import expand

    try:
        paths = expand(sessions)
    except ValueError as exc:
        raise click.BadParameter(str(exc), param_hint="SESSION...")
    if os.path.exists(out_dir) and not os.path.isdir(out_dir):
        raise click.BadParameter("%s is not a directory" % out_dir, param_hint="--to")
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as exc:
        raise click.BadParameter("cannot make %s: %s" % (out_dir, exc.strerror or exc),
                                 param_hint="--to")
    if not os.access(out_dir, os.W_OK):
        raise click.BadParameter("%s is not writable" % out_dir, param_hint="--to")
    try:
        todo, unreadable = ex.plan(paths, out_dir, overwrite)
    except ex.Refused as exc:
        raise click.UsageError(str(exc))
    results = []
    for path, why in unreadable.items():
        click.echo("FAILED %s: %s" % (path, why), err=True)
        results.append({"exit_status": EXIT_FAILED, "skipped": ()})
    for path, day in todo:
        reported = [0]

        def report(line):
            reported[0] += 1
            if reported[0] <= _REPORT_AT_MOST:
                click.echo("skipped %s" % line, err=True)
            elif reported[0] == _REPORT_AT_MOST + 1:
                click.echo("further skipped lines are only counted", err=True)

        try:
            r = ex.export_session(path, out_dir, day, report, max_line_size, max_jump)
        except SessionError as exc:
            click.echo("FAILED %s: %s" % (path, exc), err=True)
            results.append({"exit_status": EXIT_FAILED, "skipped": ()})
            continue
        results.append(r)
        if r["error"]:
            click.echo("FAILED %s: %s" % (path, r["error"].splitlines()[0]), err=True)
        click.echo(ex.describe(r, out_dir))
    status = ex.exit_status(results)
    click.echo(ex.last_line(results, status), err=status != EXIT_OK)
    sys.exit(status)


@main.command(context_settings=CONTEXT, epilog="""\b
Exit status:
  0    nothing the bridge relies on is missing (and the smoke run, if asked for, ended OK)
  1    something is missing or cannot take the bridge's arguments, the bridge or its
       data file is not installed, or the smoke run failed
  2    usage error (a bad option, a host adapter that cannot be loaded)""")
@click.option("--host", "host_spec", metavar="MODULE:NAME", default=DEFAULT_HOST,
              show_default=True, help="Host adapter (see replay -h); its sample_records() and "
              "sample_order() say what the SDK's records and the host's orders hold.")
@click.option("--json", "as_json", is_flag=True, help="Print the result as JSON instead of a table.")
@click.option("--smoke", is_flag=True,
              help="Then play a short generated session through the installed bridge, host and SDK.")
def check(host_spec, as_json, smoke):
    """Check the installed host framework and SDK against what the bridge relies on,
    without running a session: every module, name, enumeration member, call (with
    its arguments and keywords), gateway record attribute and host order attribute.

    What cannot be told without running is listed as unknown.
    """
    from bridge_replay.check import format_report, run, to_json
    try:
        host = load_host(host_spec)
    except HostLoadError as exc:
        raise click.BadParameter(str(exc), param_hint="--host")
    report = run(host, host_spec, with_smoke=smoke)
    if as_json:
        sys.stdout.write(to_json(report))
    else:
        click.echo(format_report(report))
    sys.exit(report["exit_status"])
