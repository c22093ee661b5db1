"""The run's summary as text, and what it says about the run: the exit status
and the last line."""

import signal

from bridge_replay.errors import interrupted
from bridge_replay.status import EXIT_CUT, EXIT_FAILED, EXIT_OK, EXIT_SKIPPED

WIDTH = 100
_POSITION_COLUMNS = ("market_code", "direction", "quantity", "avg_price", "market_value")


def _n(v):
    return "{:,}".format(v)


def _duration_ns(ns):
    """A latency as a reader wants it: microseconds below 10 ms, else milliseconds."""
    if ns is None:
        return "-"
    if ns < 10_000_000:
        return "{:,.1f} µs".format(ns / 1000.0)
    return "{:,.1f} ms".format(ns / 1e6)


def _clip(line):
    return line if len(line) <= WIDTH else line[:WIDTH - 3] + "..."


def outcome(s, failure=None):
    """(exit status, last line of the summary)."""
    if s is not None and s.get("interrupted"):
        status, why = interrupted(getattr(signal, s.get("stopped_by") or "SIGINT", None))
        return status, "INTERRUPTED: %s; the summary above is partial" % why
    if failure is not None:
        return EXIT_FAILED, "FAILED: %s" % (str(failure).splitlines()[0],)
    rec = s.get("recording")
    if rec and rec["error"]:
        return EXIT_FAILED, "FAILED: the recording %s could not be written (%s); %s callbacks " \
            "are not in it" % (rec["file"], rec["error"], _n(rec["not_recorded"]))
    if s["callback_errors"]["count"]:
        return EXIT_FAILED, "FAILED: %s callbacks raised (see above)" % _n(
            s["callback_errors"]["count"])
    if s["cut"]:
        return EXIT_CUT, "CUT SHORT: %s; played up to the last complete line" % s["cut"]
    if s["skipped_lines"]["count"]:
        return EXIT_SKIPPED, "SKIPPED: %s lines were not played (see above)" % _n(
            s["skipped_lines"]["count"])
    return EXIT_OK, "OK"


def format_summary(s):
    """The summary as text, in the order a reader wants it, lines of at most 100 characters."""
    out = []
    add = lambda line="": out.append(_clip(line))  # noqa: E731
    v = s["virtual_time"]
    # A long path loses its beginning, never the file's name.
    tail = " (format version %s)" % s["format_version"]
    room = WIDTH - len("Replayed ") - len(tail)
    session = s["session"]
    if len(session) > room:
        session = "..." + session[-max(room - 3, 1):]
    add("Replayed %s%s" % (session, tail))
    add("  virtual time %s -> %s" % (v["start"][:19], v["end"][:19]))
    add()
    add("Callbacks played: %s" % _n(s["callbacks_total"]))
    for name, n in sorted(s["callbacks"].items(), key=lambda kv: -kv[1]):
        add("  %-36s %10s" % (name, _n(n)))
    sk = s["skipped_lines"]
    add("  callback errors: %s   lines skipped: %s   records behind the clock: %s"
        % (_n(s["callback_errors"]["count"]), _n(sk["count"]), _n(s["late_records"])))
    for e in s["callback_errors"]["first"]:
        add("    line %s %s: %s" % (e["line"], e["callback"], e["error"]))
    for m in sk["first"]:
        add("    %s" % m)
    if s["recording_dropped"]:
        add("  the recorder dropped %s callbacks of this session (a full buffer or a failed write)"
            % _n(s["recording_dropped"]))
    rec = s.get("recording")
    if rec and (rec["error"] or rec["not_recorded"]):
        add("  the recording missed %s callbacks: %s" % (
            _n(rec["not_recorded"]), "writing it failed" if rec["error"] else "its buffer was full"))
        if rec["error"]:
            add("    %s: %s" % (rec["error"], rec["file"]))
    add()
    add("Timers fired:")
    for t in s["timers_fired"]:
        add("  %-28s at %s  (order book %d -> %d)" % (
            t["timer"], t["at"][:19], t["order_book_before"], t["order_book_after"]))
    for t in s["timers_pending"]:
        add("  %-28s pending for %s" % (t["timer"], t["at"][:19]))
    phases = ["%s %s" % (p["event"].rpartition(".")[2], p["at"][11:19])
              for p in s["phase_events"]]
    add("Phase events drained: " + (", ".join(phases) or "none"))
    add()
    e = s["events"]
    add("Events posted %s, drained %s, lost %s" % (_n(e["posted_total"]), _n(e["drained_total"]),
                                                  _n(e["lost"])))
    for name, n in sorted(e["drained"].items(), key=lambda kv: -kv[1]):
        add("  %-36s %10s" % (name, _n(n)))
    if e["stale_before_start"]:
        add("  (%s events left in the queue from before were dropped)"
            % _n(e["stale_before_start"]))
    _bridge_lines(add, s.get("bridge"))
    add()
    h = s["host_orders"]
    add("Host orders: %s submitted, %s left in the order book at the end"
        % (_n(h["submitted"]), _n(h["left_in_order_book"])))
    for name, n in h["by_final_status"].items():
        add("  %-36s %10s" % (name, _n(n)))
    add()
    account = ["%s=%s" % kv for kv in s["account"].items()]
    add("Account after the queries:" + ("" if account else " no answer"))
    line = " "
    for item in account:
        if len(line) + len(item) + 2 > WIDTH:
            add(line.rstrip(","))
            line = " "
        line += " " + item + ","
    if account:
        add(line.rstrip(","))
    add("Positions after the queries: %d" % len(s["positions"]))
    for p in s["positions"]:
        # As the host adapter describes them: its columns when it names them, else every item.
        if any(k in p for k in _POSITION_COLUMNS):
            q = p.get("quantity")
            add("  %-12s %-24s qty %10s  avg %-8s mv %s" % (
                p.get("market_code", "-"), p.get("direction", "-"),
                _n(q) if isinstance(q, (int, float)) else ("-" if q is None else q),
                p.get("avg_price", "-"), p.get("market_value", "-")))
        else:
            add("  " + ", ".join("%s=%s" % kv for kv in p.items()))
    if s["queries_sent"]:
        add("Queries the bridge sent: " + ", ".join("%s x%d" % kv
                                                    for kv in s["queries_sent"].items()))
    add()
    tp, lat = s["throughput"], s["latency_us"]
    add("Throughput: %s callbacks/s (%.2f s wall)" % (_n(tp["callbacks_per_second"] or 0),
                                                     tp["wall_seconds"]))
    if lat["events"]:
        ns = lambda us: None if us is None else us * 1000  # noqa: E731
        add("Latency, callback start to drain, over %s events:" % _n(lat["events"]))
        add("  p50 %s   p99 %s   max %s" % (_duration_ns(ns(lat["p50"])),
                                            _duration_ns(ns(lat["p99"])),
                                            _duration_ns(ns(lat["max"]))))
    add("Peak memory (max RSS): {:,.1f} MiB".format(s["peak_memory_mib"]))
    return "\n".join(out)


def _bridge_lines(add, b):
    """The bridge's own counters: its queue, the calls that raised and, with
    --timing, each method's latency."""
    if not b:
        return
    q = b["queue"]
    if q.get("capacity") is not None:
        add("Bridge queue: high-water %s of %s, dropped %s; methods that raised: %s"
            % (_n(q["high_water"]), _n(q["capacity"]), _n(q["dropped"]),
               _n(b["callback_errors"])))
    else:
        add("Bridge queue: not the bridge's own (no figures); methods that raised: %s"
            % _n(b["callback_errors"]))
    lat = b.get("latency_us")
    if lat:
        add("Latency per method (bridge timing):")
        add("  %-32s %7s %10s %10s %10s %10s %10s"
            % ("method", "calls", "p50", "p90", "p99", "p99.9", "max"))
        d = lambda us: _duration_ns(us * 1000)  # noqa: E731
        for name, m in sorted(lat.items(), key=lambda kv: -kv[1]["count"]):
            add("  %-32s %7s %10s %10s %10s %10s %10s"
                % (name, _n(m["count"]), d(m["p50"]), d(m["p90"]), d(m["p99"]),
                   d(m["p999"]), d(m["max"])))
