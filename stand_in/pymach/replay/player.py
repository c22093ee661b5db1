"""Plays a session through a real bridge strategy.

Two threads, as in production: the SDK thread builds the strategy, runs its
start-up hooks and then calls its callbacks with the session's records, each
at its virtual time; a host thread drains the bridge's event queue as a host
framework would. The bridge reads the local clock through its module bindings
``datetime`` and ``np``, so the player rebinds them to a virtual clock for the
run (and restores them afterwards); the bridge's own timers are scheduled on
that clock and fire on the SDK thread when it moves past their times, so the
phase events appear at 09:00, 09:24 and 15:30 of virtual time.

The bridge module initialises once per process: a replay empties its
containers instead of re-importing it, and puts back every name it rebinds.
"""

import array
import collections
import datetime as _dt
import json
import math
import resource
import threading
import time
import traceback

from pymach.clock import VirtualClock
from pymach.replay.format import LineError, SessionError, SessionReader, format_time

_CONTAINERS = ("mach_params", "history_bar", "history_tick", "orders_dict",
               "algo_parent_orders", "algo_child_orders", "algo_child_trades")
_PHASES = ("BEFORE_TRADING", "OPEN_AUCTION", "AFTER_TRADING")
_KEEP_ERRORS = 10


class ReplayError(Exception):
    """The replay could not run to the end; the message says why."""


def default_session():
    """Path of the bundled sample day."""
    import os
    return os.path.join(os.path.dirname(__file__), "data", "sample_day.jsonl.gz")


class _Patches:
    """Rebinds attributes for the run and restores them in reverse order."""

    _MISSING = object()

    def __init__(self):
        self._saved = []

    def set(self, obj, name, value):
        self._saved.append((obj, name, obj.__dict__.get(name, self._MISSING)
                            if isinstance(obj, type) else getattr(obj, name, self._MISSING)))
        setattr(obj, name, value)

    def restore(self):
        while self._saved:
            obj, name, old = self._saved.pop()
            if old is self._MISSING:
                try:
                    delattr(obj, name)
                except AttributeError:
                    pass
            else:
                setattr(obj, name, old)


class _ReplayClock(VirtualClock):
    """Wraps every timer so the player sees it fire (and its errors)."""

    def __init__(self, start, player):
        super().__init__(start)
        self._player = player

    def schedule(self, interval_ns, callback):
        super().schedule(interval_ns, self._player._timer(callback))


def render(value, _depth=0):
    """A drained event's value in a stable JSON form: no addresses, no wall times."""
    import enum
    if _depth > 8:
        return "<%s>" % type(value).__name__
    t = type(value)
    if value is None or t in (bool, int, str):
        return value
    if t is float:
        return value if math.isfinite(value) else repr(value)
    if isinstance(value, enum.Enum):
        return "%s.%s" % (type(value).__name__, value.name)
    if isinstance(value, (_dt.datetime, _dt.date, _dt.time)):
        return value.isoformat()
    if isinstance(value, (list, tuple, collections.deque)):
        return [render(v, _depth + 1) for v in value]
    if isinstance(value, dict):
        return {str(render(k, _depth + 1)): render(v, _depth + 1) for k, v in value.items()}
    if isinstance(value, (set, frozenset)):
        return sorted((render(v, _depth + 1) for v in value), key=repr)
    if isinstance(value, (bool, int, str)):
        return t.__mro__[1](value) if t.__mro__[1] in (int, str) else bool(value)
    if isinstance(value, float):
        return render(float(value))
    try:
        import numpy
        if isinstance(value, numpy.generic):
            return render(value.item(), _depth) if not isinstance(value, numpy.datetime64) \
                else str(value)
    except ImportError:  # pragma: no cover
        pass
    attrs = {}
    for cls in reversed(t.__mro__):
        slots = cls.__dict__.get("__slots__", ())
        for name in ([slots] if isinstance(slots, str) else slots):
            if not name.startswith("__") and hasattr(value, name):
                attrs[name] = getattr(value, name)
    d = getattr(value, "__dict__", None)
    if isinstance(d, dict):
        attrs.update((k, v) for k, v in d.items() if not k.startswith("__"))
    if attrs or d is not None:
        out = {"__type__": t.__name__}
        out.update((k, render(v, _depth + 1)) for k, v in attrs.items())
        return out
    if callable(value):
        return "<%s>" % getattr(value, "__qualname__", t.__name__)
    text = repr(value)
    return "<%s>" % t.__name__ if " at 0x" in text else text


def render_event(seq, event):
    fields = getattr(event, "fields", None)
    if fields is None:
        fields = {k: v for k, v in vars(event).items() if k != "event_type" and
                  not k.startswith("_")}
    return json.dumps({"n": seq, "event": render(event.event_type),
                       "fields": {k: render(v) for k, v in fields.items()}},
                      separators=(",", ":"), ensure_ascii=False)


def _percentile(sorted_values, q):
    if not sorted_values:
        return None
    k = max(0, min(len(sorted_values) - 1, int(math.ceil(q * len(sorted_values))) - 1))
    return sorted_values[k]


class Player:
    """``Player(path).run()`` replays the session at ``path`` and returns the summary.

    ``strategy_class``: the strategy to drive (default the bridge's
    ``MachStrategy``; a subclass lets a user test their own strategy).
    ``speed``: None or 0 for as fast as possible, else a multiple of real time.
    ``strict``: stop at the first malformed line (or callback error).
    ``events_out``: a text file that receives every drained event as a JSON line.
    ``record``: path of a session file to record the replay into.
    ``progress``: a callable taking (bytes done, bytes total), or None.
    """

    def __init__(self, path=None, strategy_class=None, speed=None, strict=False,
                 events_out=None, record=None, progress=None):
        self.path = str(path) if path is not None else default_session()
        self.strategy_class = strategy_class
        self.speed = speed or None
        if self.speed is not None and not self.speed > 0:
            raise ValueError("speed must be a positive multiple of real time")
        self.strict = strict
        self.events_out = events_out
        self.record = record
        self.progress = progress
        self._stop = threading.Event()
        self._feed_done = threading.Event()
        self._fatal = None
        self._recv_ns = 0
        self._stamps = collections.deque()
        self._posted = collections.Counter()
        self._drained = collections.Counter()
        self._latency = array.array("q")
        self.played = collections.Counter()
        self.callback_errors = []
        self.n_callback_errors = 0
        self.malformed = []
        self.n_malformed = 0
        self.late = 0
        self.timers = []
        self.phase_events = []
        self.host_orders = []
        self.asset = {}
        self.positions = []
        self.stale_events = 0

    # ------------------------------------------------------------ threads

    def _timer(self, callback):
        name = getattr(callback, "__name__", None) or type(callback).__name__

        def fire():
            self._recv_ns = time.perf_counter_ns()
            at = self._clock.now()
            before = len(self._maviro.orders_dict)
            try:
                callback()
            except Exception as exc:
                self._callback_error(None, name, exc)
            self.timers.append({"timer": name, "at": format_time(at),
                                "order_book_before": before,
                                "order_book_after": len(self._maviro.orders_dict)})
        fire.__name__ = name
        return fire

    def _callback_error(self, lineno, name, exc):
        self.n_callback_errors += 1
        if len(self.callback_errors) < _KEEP_ERRORS:
            where = traceback.extract_tb(exc.__traceback__)[-1:]
            self.callback_errors.append({
                "line": lineno, "callback": name,
                "error": "%s: %s" % (type(exc).__name__, exc),
                "where": "%s:%d" % (where[0].filename, where[0].lineno) if where else None})
        if self.strict:
            self._fatal = ReplayError("%s%s raised %s: %s (--strict stops here)" % (
                name, "" if lineno is None else " at line %d" % lineno,
                type(exc).__name__, exc))
            self._stop.set()

    def _feed(self, reader, header):
        try:
            self._feed_inner(reader, header)
        except SessionError as exc:
            self._fatal = exc
        except ReplayError as exc:
            self._fatal = exc
        except BaseException as exc:  # a fault of the player itself
            self._fatal = ReplayError("replay stopped: %s: %s\n%s" % (
                type(exc).__name__, exc, traceback.format_exc()))
        finally:
            self._feed_done.set()

    def _feed_inner(self, reader, header):
        m = self._maviro
        clock = self._clock
        config = header.make_config()
        self._recv_ns = time.perf_counter_ns()
        try:
            if self.record is not None:
                strategy = self._cls(config, out=self.record, meta=header.meta)
            else:
                strategy = self._cls(config)
            self.strategy = strategy
            strategy.initialize(config)
            strategy.on_initialize()
        except Exception as exc:
            raise ReplayError("the strategy failed to start: %s: %s" % (type(exc).__name__, exc))
        orders = header.orders
        n_orders = len(orders)
        oi = 0
        book = m.orders_dict
        methods = {}
        played = self.played
        speed = self.speed
        wall0 = virt0 = None
        progress = self.progress
        next_progress = 0
        count = 0
        stop = self._stop
        for item in reader.entries():
            if stop.is_set():
                break
            if type(item) is LineError:
                self.n_malformed += 1
                if len(self.malformed) < _KEEP_ERRORS:
                    self.malformed.append(str(item))
                if self.strict:
                    raise ReplayError("malformed %s (--strict stops here)" % (item,))
                continue
            t = item.t
            while oi < n_orders and orders[oi].t <= t:
                o = orders[oi]
                oi += 1
                if o.t > clock.now():
                    clock.advance_to(o.t)
                self._submit(book, o)
            now = clock.now()
            if t < now:
                if self.strict:
                    raise ReplayError("line %d: time %s is before the clock (%s) "
                                      "(--strict stops here)" % (item.lineno, t, now))
                self.late += 1
            else:
                clock.advance_to(t)
            if speed is not None:
                if wall0 is None:
                    wall0, virt0 = time.perf_counter(), t
                ahead = wall0 + (t - virt0).total_seconds() / speed - time.perf_counter()
                if ahead > 0.001:
                    time.sleep(ahead)
            cb = item.cb
            method = methods.get(cb)
            if method is None:
                method = methods[cb] = getattr(strategy, cb)
            self._recv_ns = time.perf_counter_ns()
            try:
                method(*item.call_args())
            except Exception as exc:
                self._callback_error(item.lineno, cb, exc)
            played[cb] += 1
            count += 1
            if progress is not None and count >= next_progress:
                next_progress = count + 2000
                progress(reader.position(), reader.size)
        if stop.is_set():
            return
        while oi < n_orders:
            o = orders[oi]
            oi += 1
            if o.t > clock.now():
                clock.advance_to(o.t)
            self._submit(book, o)
        if header.end is not None and header.end > clock.now():
            clock.advance_to(header.end)
        if progress is not None:
            progress(reader.size, reader.size)
        closer = getattr(strategy, "close_recording", None)
        if closer is not None:
            closer()

    def _submit(self, book, spec):
        """The host's order submission: the order enters the book under its client id."""
        order = spec.make()
        self.host_orders.append(order)
        book[spec.client_order_id] = order

    def _drain(self):
        try:
            self._drain_inner()
        except BaseException as exc:
            self._fatal = ReplayError("the host loop failed: %s: %s\n%s" % (
                type(exc).__name__, exc, traceback.format_exc()))
            self._stop.set()

    def _drain_inner(self):
        q = self._maviro.event_queue
        stamps = self._stamps
        latency = self._latency
        drained = self._drained
        out = self.events_out
        perf = time.perf_counter_ns
        handle = self._host_handle
        seq = 0
        done = self._feed_done
        while True:
            n = len(q)
            if not n:
                if done.is_set():
                    if not len(q):
                        return
                    continue
                time.sleep(0.0002)
                continue
            for _ in range(n):
                event = q.popleft()
                now = perf()
                if stamps:
                    latency.append(now - stamps.popleft())
                etype = event.event_type
                drained[etype] += 1
                handle(etype, event)
                seq += 1
                if out is not None:
                    out.write(render_event(seq, event))
                    out.write("\n")

    def _host_handle(self, etype, event):
        """What a host would keep of the account side, plus the phase events."""
        name = getattr(etype, "name", None)
        if name in _PHASES:
            self.phase_events.append({"event": render(etype),
                                      "at": format_time(event.calendar_dt)})
        elif name == "QUERY_ACCOUNT":
            asset = getattr(event, "asset", None)
            if asset is not None:
                self.asset = {k: render(v) for k, v in render(asset).items()
                              if k != "__type__"}
            else:
                self.asset = {"code": render(getattr(event, "code", None)),
                              "msg": render(getattr(event, "msg", None))}
        elif name == "QUERY_POSITION":
            self.positions = [{k: render(v) for k, v in render(p).items() if k != "__type__"}
                              for p in event.positions]

    # ------------------------------------------------------------ run

    def run(self):
        from korvane.orvik.utils import maviro
        from korvane.orvik.environment import Environment
        import korvane.orvik.model.trade as trade_module
        import itertools
        import pymach.strategy

        self._maviro = maviro
        reader = SessionReader(self.path)
        patches = _Patches()
        try:
            header = reader.header
            if self.strategy_class is None:
                cls = maviro.MachStrategy
            else:
                cls = self.strategy_class
            if self.record is not None:
                from pymach.replay.recorder import recording_class
                cls = recording_class(cls)
            self._cls = cls
            self.header = header
            self._clock = clock = _ReplayClock(header.start, self)

            # A fresh trading day for the bridge: empty containers and queue.
            for name in _CONTAINERS:
                getattr(maviro, name).clear()
            q = maviro.event_queue
            while len(q):
                q.popleft()
                self.stale_events += 1

            host_event = maviro.Event
            stamps, posted = self._stamps, self._posted

            def event(event_type, **fields):
                # The host's Event, noting when the callback that built it began.
                made = host_event(event_type, **fields)
                stamps.append(self._recv_ns)
                posted[event_type] += 1
                return made

            env = Environment()
            env.universe = list(header.universe)
            patches.set(maviro, "datetime", clock.datetime_class())
            patches.set(maviro, "np", clock.numpy_proxy())
            patches.set(maviro, "Event", event)
            patches.set(pymach.strategy.MachStrategy, "default_clock", clock)
            patches.set(Environment, "_instance", env)
            patches.set(trade_module, "_trade_ids", itertools.count(1))

            sdk = threading.Thread(target=self._feed, args=(reader, header),
                                   name="sdk-callbacks", daemon=True)
            host = threading.Thread(target=self._drain, name="host-drain", daemon=True)
            wall0 = time.perf_counter()
            host.start()
            sdk.start()
            try:
                while sdk.is_alive():
                    sdk.join(0.2)
            except KeyboardInterrupt:
                self._stop.set()
                sdk.join()
                self._feed_done.set()
                host.join()
                raise
            host.join()
            wall = time.perf_counter() - wall0
            summary = self._summary(wall)
        finally:
            patches.restore()
            reader.close()
        if self._fatal is not None:
            self.summary = summary
            raise self._fatal
        return summary

    def _summary(self, wall):
        m = self._maviro
        lat = sorted(self._latency)
        total = sum(self.played.values())
        by_status = collections.Counter(render(o.status) for o in self.host_orders)
        ctx = getattr(getattr(self, "strategy", None), "context", None)
        queries = collections.Counter(name for name, _ in getattr(ctx, "calls", ())
                                      if name.startswith("query_"))
        pending = [{"timer": getattr(cb, "__name__", "?"), "at": format_time(at)}
                   for at, cb in self._clock.pending()]
        posted_total = sum(self._posted.values())
        drained_total = sum(self._drained.values())
        us = lambda ns: None if ns is None else round(ns / 1000.0, 1)  # noqa: E731
        return {
            "session": self.path,
            "virtual_time": {"start": format_time(self.header.start),
                             "end": format_time(self._clock.now())},
            "callbacks": dict(sorted(self.played.items())),
            "callbacks_total": total,
            "callback_errors": {"count": self.n_callback_errors, "first": self.callback_errors},
            "malformed_lines": {"count": self.n_malformed, "first": self.malformed},
            "late_records": self.late,
            "timers_fired": self.timers,
            "timers_pending": pending,
            "queries_sent": dict(sorted(queries.items())),
            "events": {
                "posted": {render(k): v for k, v in sorted(self._posted.items(),
                                                           key=lambda kv: kv[0].name)},
                "drained": {render(k): v for k, v in sorted(self._drained.items(),
                                                            key=lambda kv: kv[0].name)},
                "posted_total": posted_total, "drained_total": drained_total,
                "lost": posted_total - drained_total, "stale_before_start": self.stale_events},
            "phase_events": self.phase_events,
            "host_orders": {"submitted": len(self.host_orders),
                            "by_final_status": dict(sorted(by_status.items())),
                            "left_in_order_book": len(m.orders_dict)},
            "account": self.asset,
            "positions": self.positions,
            "throughput": {"wall_seconds": round(wall, 3),
                           "callbacks_per_second": round(total / wall) if wall > 0 else None},
            "latency_us": {"events": len(lat), "p50": us(_percentile(lat, 0.50)),
                           "p99": us(_percentile(lat, 0.99)),
                           "max": us(lat[-1] if lat else None)},
            "peak_memory_mib": round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
                                     1),
        }


def replay(path=None, **options):
    """Replay a session (default: the bundled day) and return its summary."""
    return Player(path, **options).run()
