"""Command line: ``python -m pymach.replay replay [SESSION]`` and ``... generate``."""

import importlib
import json
import sys

import click

from pymach.replay.format import SessionError


def _load_class(spec):
    module, _, name = spec.partition(":")
    if not module or not name:
        raise click.BadParameter("expected MODULE:CLASS, got %r" % (spec,))
    try:
        obj = importlib.import_module(module)
        for part in name.split("."):
            obj = getattr(obj, part)
    except (ImportError, AttributeError) as exc:
        raise click.BadParameter("cannot load %s: %s" % (spec, exc))
    return obj


def _n(v):
    return "{:,}".format(v)


def format_summary(s):
    """The summary as text, in the order a reader wants it."""
    out = []
    add = out.append
    v = s["virtual_time"]
    add("Replayed %s" % s["session"])
    add("  virtual time %s -> %s" % (v["start"][:19], v["end"][:19]))
    add("")
    add("Callbacks played: %s" % _n(s["callbacks_total"]))
    for name, n in sorted(s["callbacks"].items(), key=lambda kv: -kv[1]):
        add("  %-36s %10s" % (name, _n(n)))
    ce, ml = s["callback_errors"], s["malformed_lines"]
    add("  callback errors: %d   malformed lines skipped: %d   records behind the clock: %d"
        % (ce["count"], ml["count"], s["late_records"]))
    for e in ce["first"]:
        add("    line %s %s: %s" % (e["line"], e["callback"], e["error"]))
    for m in ml["first"]:
        add("    %s" % m)
    add("")
    add("Timers fired:")
    for t in s["timers_fired"]:
        add("  %-28s at %s  (order book %d -> %d)" % (
            t["timer"], t["at"][:19], t["order_book_before"], t["order_book_after"]))
    for t in s["timers_pending"]:
        add("  %-28s pending for %s" % (t["timer"], t["at"][:19]))
    add("Phase events drained: " + ", ".join(
        "%s %s" % (p["event"].split(".", 1)[1], p["at"][11:19]) for p in s["phase_events"]))
    add("")
    e = s["events"]
    add("Events posted %s, drained %s, lost %s" % (_n(e["posted_total"]), _n(e["drained_total"]),
                                                  _n(e["lost"])))
    for name, n in sorted(e["drained"].items(), key=lambda kv: -kv[1]):
        add("  %-36s %10s" % (name, _n(n)))
    if e["stale_before_start"]:
        add("  (%d events left in the queue from before were dropped)" % e["stale_before_start"])
    add("")
    h = s["host_orders"]
    add("Host orders: %d submitted, %d left in the order book at the end"
        % (h["submitted"], h["left_in_order_book"]))
    for name, n in h["by_final_status"].items():
        add("  %-36s %10s" % (name, _n(n)))
    add("")
    add("Account after the queries: " + (", ".join("%s=%s" % kv for kv in s["account"].items())
                                        or "no answer"))
    add("Positions after the queries: %d" % len(s["positions"]))
    for p in s["positions"]:
        add("  %-12s %-24s qty %8s  avg %-8s mv %s" % (
            p.get("market_code"), p.get("direction"), _n(p.get("quantity") or 0),
            p.get("avg_price"), p.get("market_value")))
    if s["queries_sent"]:
        add("Queries the bridge sent: " + ", ".join("%s x%d" % kv
                                                    for kv in s["queries_sent"].items()))
    add("")
    tp, lat = s["throughput"], s["latency_us"]
    add("Throughput: %s callbacks/s (%.2f s wall)" % (_n(tp["callbacks_per_second"] or 0),
                                                     tp["wall_seconds"]))
    if lat["events"]:
        add("Latency callback -> drain over %s events: p50 %s us, p99 %s us, max %s us"
            % (_n(lat["events"]), lat["p50"], lat["p99"], lat["max"]))
    add("Peak memory (max RSS): %.1f MiB" % s["peak_memory_mib"])
    return "\n".join(out)


@click.group()
def main():
    """Replay gateway sessions through the bridge, or generate sample days."""


@main.command()
@click.argument("session", required=False, type=click.Path(dir_okay=False))
@click.option("--speed", type=float, default=None,
              help="Pace as a multiple of real time (default: as fast as possible).")
@click.option("--strict", is_flag=True,
              help="Stop at the first malformed line or callback error (non-zero exit).")
@click.option("--json", "json_out", type=click.Path(dir_okay=False, writable=True),
              help="Also write the summary as JSON to this file.")
@click.option("--events", "events_out", type=click.Path(dir_okay=False, writable=True),
              help="Write every drained event as a JSON line to this file.")
@click.option("--record", type=click.Path(dir_okay=False, writable=True),
              help="Record the replayed session into this file (.gz compresses).")
@click.option("--strategy", "strategy", metavar="MODULE:CLASS",
              help="Drive this MachStrategy subclass instead of the bridge's own.")
def replay(session, speed, strict, json_out, events_out, record, strategy):
    """Play SESSION (default: the bundled sample day) through the bridge."""
    from pymach.replay.player import Player, ReplayError

    if speed is not None and speed <= 0:
        raise click.BadParameter("must be positive", param_hint="--speed")
    cls = _load_class(strategy) if strategy else None
    events_file = open(events_out, "w", encoding="utf-8") if events_out else None
    bar = None
    progress = None
    if sys.stderr.isatty():
        state = {"done": 0}

        def progress(done, total):
            nonlocal bar
            if bar is None:
                bar = click.progressbar(length=max(total, 1), label="replaying",
                                        file=sys.stderr)
                bar.__enter__()
            bar.update(done - state["done"])
            state["done"] = done
    try:
        player = Player(session, strategy_class=cls, speed=speed, strict=strict,
                        events_out=events_file, record=record, progress=progress)
        failure = None
        try:
            summary = player.run()
        except (SessionError, ReplayError) as exc:
            failure = exc
            summary = getattr(player, "summary", None)
    finally:
        if bar is not None:
            bar.__exit__(None, None, None)
        if events_file is not None:
            events_file.close()
    if summary is not None:
        click.echo(format_summary(summary))
        if json_out:
            with open(json_out, "w", encoding="utf-8") as f:
                json.dump(summary, f, indent=2, ensure_ascii=False)
                f.write("\n")
    if failure is not None:
        click.echo("error: %s" % (failure,), err=True)
        sys.exit(1)
    if summary["callback_errors"]["count"]:
        click.echo("error: %d callbacks raised (see above)" % summary["callback_errors"]["count"],
                   err=True)
        sys.exit(1)


@main.command()
@click.option("--out", required=True, type=click.Path(dir_okay=False, writable=True),
              help="Session file to write (.gz compresses).")
@click.option("--instruments", default=50, show_default=True, type=click.IntRange(2, 5000))
@click.option("--hours", default=4.0, show_default=True, type=click.FloatRange(0.01, 4.0),
              help="Hours of continuous trading, from 09:30 (lunch break skipped).")
@click.option("--seed", default=20240315, show_default=True, type=int)
@click.option("--snapshot-interval", default=3.0, show_default=True,
              type=click.FloatRange(0.5, 3600), help="Seconds between snapshots of an instrument.")
@click.option("--orders", default=200, show_default=True, type=click.IntRange(11, 100000),
              help="Host orders (at least one per status path).")
@click.option("--l2-per-minute", default=6.0, show_default=True, type=click.FloatRange(0, 60),
              help="Mean level-2 orders per instrument and minute.")
def generate(out, instruments, hours, seed, snapshot_interval, orders, l2_per_minute):
    """Write a deterministic sample trading day."""
    from pymach.replay.generate import generate as gen
    n = gen(out, instruments=instruments, hours=hours, seed=seed,
            snapshot_interval=snapshot_interval, orders=orders, l2_per_minute=l2_per_minute)
    click.echo("wrote %s: %s callbacks" % (out, _n(n)))
