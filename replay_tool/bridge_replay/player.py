"""Plays a session through a real bridge strategy.

Two threads, as in production: the SDK thread builds the strategy, runs its
start-up hooks and then calls its callbacks with the session's records, each
at its virtual time; a host thread drains the bridge's event queue as a host
would. The bridge reads the local clock through its module bindings
``datetime`` and ``np``, so the player rebinds them to a virtual clock for the
run (and restores them afterwards); the strategy's gateway context schedules
the bridge's timers on that clock, and they fire on the SDK thread when it
moves past their times.

The bridge module initialises once per process: a replay empties its
containers instead of re-importing it, and puts back every name it rebinds.
Everything about the host goes through the host adapter (``host.py``).
"""

import collections
import datetime as _dt
import enum
import itertools
import json
import math
import os
import resource
import threading
import time
import traceback

import msgspec

from bridge_replay.clock import VirtualClock
from bridge_replay.context import VirtualContext, with_context
from bridge_replay.errors import Interrupted, ReplayError
from bridge_replay.host import adapter_method, load_host, type_name
from bridge_replay.session.codec import Enumerations, Other, format_time, shown
from bridge_replay.session.entries import End, Entry, HostOrder
from bridge_replay.session.reader import DEFAULT_MAX_LINE, SessionReader
from bridge_replay.session.records import ObjectRecords, RowRecords
from bridge_replay.session.schema import LineError, SessionError
from bridge_replay.stats import EventStats
from bridge_replay.stopping import StopSignals, signal_name

_CONTAINERS = ("mach_params", "history_bar", "history_tick", "orders_dict",
               "algo_parent_orders", "algo_child_orders", "algo_child_trades")
_PHASES = ("BEFORE_TRADING", "OPEN_AUCTION", "AFTER_TRADING")
_KEEP_ERRORS = 10
_HANDLED = frozenset(_PHASES + ("QUERY_ACCOUNT", "QUERY_POSITION"))
# After a stop request: how long the SDK thread may take to finish its callback,
# and then to drain what is queued, before the run ends without them.
_SDK_GRACE = 0.3
_DRAIN_GRACE = 0.2
# The host drains the queue at least this often (seconds of wall time), between callbacks.
_DRAIN_EVERY = 0.001
DEFAULT_MAX_JUMP = 86400.0
_NEVER = _dt.datetime.max
_INF = float("inf")
_UNSEEN = object()
# Seconds as a float: cheaper to make and to store than nanoseconds as an int.
_now = time.perf_counter
_starmap, _repeat = itertools.starmap, itertools.repeat


def default_session():
    """Path of the bundled sample day."""
    return os.path.join(os.path.dirname(__file__), "data", "sample_day.jsonl")


class _Patches:
    """Rebinds attributes for the run and restores them in reverse order."""

    _MISSING = object()

    def __init__(self):
        self._saved = []

    def set(self, obj, name, value):
        self._saved.append((obj, name, getattr(obj, name, self._MISSING)))
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


class Renderer:
    """A drained event's values in a stable JSON form: no addresses, no wall times."""

    def __init__(self, enums):
        self.enums = enums

    def __call__(self, value, _depth=0):
        if _depth > 8:
            return "<%s>" % type(value).__name__
        t = type(value)
        if value is None or t in (bool, int, str):
            return value
        if t is float:
            return value if math.isfinite(value) else repr(value)
        if t is Other:
            return value.text
        name = self.enums.name_of(value)
        if name is not None:
            return name
        if isinstance(value, enum.Enum):
            return "%s.%s" % (t.__name__, value.name)
        if isinstance(value, (_dt.datetime, _dt.date, _dt.time)):
            return value.isoformat()
        if isinstance(value, (list, tuple, collections.deque)):
            return [self(v, _depth + 1) for v in value]
        if isinstance(value, dict):
            return {str(self(k, _depth + 1)): self(v, _depth + 1) for k, v in value.items()}
        if isinstance(value, (set, frozenset)):
            return sorted((self(v, _depth + 1) for v in value), key=repr)
        if isinstance(value, bool):
            return bool(value)
        if isinstance(value, int):
            return int(value)
        if isinstance(value, str):
            return str(value)
        if isinstance(value, float):
            return self(float(value))
        item = getattr(value, "item", None)  # numpy scalars
        if item is not None and hasattr(value, "dtype") and not hasattr(value, "__len__"):
            return str(value) if "datetime64" in str(value.dtype) else self(item(), _depth)
        attrs = {}
        for cls in reversed(t.__mro__):
            slots = cls.__dict__.get("__slots__", ())
            for n in ([slots] if isinstance(slots, str) else slots):
                if not n.startswith("__") and hasattr(value, n):
                    attrs[n] = getattr(value, n)
        d = getattr(value, "__dict__", None)
        if isinstance(d, dict):
            attrs.update((k, v) for k, v in d.items() if not k.startswith("__"))
        if attrs or d is not None:
            out = {"__type__": t.__name__}
            out.update((k, self(v, _depth + 1)) for k, v in attrs.items())
            return out
        if callable(value):
            return "<%s>" % getattr(value, "__qualname__", t.__name__)
        text = repr(value)
        return "<%s>" % t.__name__ if " at 0x" in text else text


class Player:
    """``Player(path).run()`` replays the session at ``path`` and returns the summary.

    ``host``: a host adapter or "MODULE:NAME" (default: the stand-in host's).
    ``strategy_class``: the strategy to drive (default the bridge's ``MachStrategy``).
    ``speed``: None for as fast as possible, else a multiple of real time.
    ``strict``: stop at the first malformed or skipped line (or callback error).
    ``events_out``: a text file that receives every drained event as a JSON line,
    or an object whose ``add_event(n, name, fields, render)`` takes each.
    ``record``: path of a session file to record the replay into.
    ``progress``: a callable taking (bytes done, bytes total), or None.
    ``report``: a callable taking one line about a skipped line, as it happens.
    ``max_line``: longest line in bytes; ``max_jump``: seconds a record may be
    ahead of the clock before it is taken as a corrupt time stamp.
    ``timing``: switch on the bridge's latency recording for the run.
    ``sample``: a callable taking (player, virtual time), called on the SDK
    thread before the first callback of each virtual minute and at the end.
    """

    def __init__(self, path=None, host=None, strategy_class=None, speed=None, strict=False,
                 events_out=None, record=None, progress=None, report=None,
                 max_line=DEFAULT_MAX_LINE, max_jump=DEFAULT_MAX_JUMP, timing=False, sample=None):
        self.sample = sample
        self.path = path if path is not None else default_session()
        self.host = load_host(host) if host is None or isinstance(host, str) else host
        self.strategy_class = strategy_class
        self.speed = speed or None
        if self.speed is not None and not self.speed > 0:
            raise ValueError("speed must be a positive multiple of real time")
        self.strict = strict
        self.events_out = events_out
        self.record = record
        self.progress = progress
        self.report = report
        self.max_line = max_line
        self.max_jump = _dt.timedelta(seconds=max_jump)
        self.timing = timing
        self.stats = EventStats()
        self._stop = threading.Event()
        self._feed_done = threading.Event()
        self._decode_line = None
        # Looked at by the SDK thread between callbacks, and by the drain between events.
        self._halt = [False]
        self._drain_halt = [False]
        self._seq = 0  # events written out
        self._plain_kinds = set()  # event type names that are only counted
        self.signal = None
        self._fatal = None
        self.interrupted = False
        self.cut = None
        self.summary = None
        self.strategy = None
        # Callbacks played by name; a plain dict (a Counter's item assignment
        # goes through Python code), a name entered at 0 when first bound.
        self.played = {}
        self.callback_errors = []
        self.n_callback_errors = 0
        self.skipped = []
        self.n_skipped = 0
        self.n_malformed = 0
        self.n_jumps = 0
        self.late = 0
        self.timers = []
        self.phase_events = []
        self.host_orders = []
        self.asset = {}
        self.positions = []
        self.stale_events = 0
        self.recording_dropped = 0

    def stop(self, signum=None):
        """Ask a running replay to stop soon (any thread); ``signum``: the
        signal that asked, if one did."""
        if self.signal is None:
            self.signal = signum
        self.interrupted = True
        self._halt_feed()

    def _halt_feed(self):
        self._halt[0] = True
        self._stop.set()

    # ------------------------------------------------------------ threads

    def _timer(self, callback):
        name = getattr(callback, "__name__", None) or type(callback).__name__

        def fire():
            started = _now()
            at = self._clock.now()
            before = len(self._maviro.orders_dict)
            try:
                callback()
            except Exception as exc:
                self._callback_error(None, name, exc)
            self.stats.ended(started)
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
            self._halt_feed()

    def _skip(self, kind, text):
        """A line that is not played: counted, kept, reported at once."""
        self.n_skipped += 1
        if kind == "malformed":
            self.n_malformed += 1
        else:
            self.n_jumps += 1
        if len(self.skipped) < _KEEP_ERRORS:
            self.skipped.append(text)
        if self.strict:
            raise ReplayError("%s (--strict stops here)" % text)
        if self.report is not None:
            self.report("skipped %s" % text)

    def _feed(self, reader, header):
        try:
            self._feed_inner(reader, header)
        except (SessionError, ReplayError) as exc:
            self._fatal = exc
        except BaseException as exc:  # a fault of the player itself
            self._fatal = ReplayError("replay stopped: %s: %s\n%s" % (
                type(exc).__name__, exc, traceback.format_exc()))
        finally:
            try:
                if not self._drain_halt[0]:
                    self._drain()  # what the last callbacks posted
            finally:
                self._feed_done.set()

    def _feed_inner(self, reader, header):
        clock = self._clock
        self._decode_line = reader._decode
        config = header.make_config(reader._decode.values)
        self.config = config
        st = self.stats
        started = _now()
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
        st.ended(started)
        self._drain()
        orders = header.orders
        n_orders = len(orders)
        oi = 0
        next_order = orders[0].t if orders else _NEVER
        book = self._maviro.orders_dict
        methods = {}
        played = self.played
        speed = self.speed
        wall0 = virt0 = None
        progress = self.progress
        halt = self._halt
        max_jump = self.max_jump
        end = header.end
        sample = self.sample
        next_sample = None
        extras = speed is not None or sample is not None
        ended = False
        now = clock.now()
        limit = _later(now, max_jump)  # at most the clock + max_jump: a time past it is looked at
        bound = min(next_order, limit)  # before it, a time needs neither of them
        strict = self.strict
        rows = RowRecords(reader._decode)
        calls = {}  # record type -> (bound method, callback, tagged names)
        objs = ObjectRecords() if header.version >= 2 else None
        decode_obj = None
        objcalls = {}  # line type -> (bound method, callback, names in x, their setters)
        members = reader._decode._members
        errors = (msgspec.DecodeError, ValueError, TypeError, KeyError, RecursionError)
        q = self._maviro.event_queue
        qlen = len
        capacity = st.capacity
        note_start = st.starts.append
        appended = st.appended
        drain = self._drain
        next_drain = _now() + _DRAIN_EVERY
        get, put = getattr, setattr

        def method_of(cb):
            method = methods.get(cb)
            if method is None:
                method = methods[cb] = getattr(strategy, cb)
                if cb not in played:
                    played[cb] = 0
            return method

        def bind():
            return {cls: (method_of(cb), cb, tagged) for cls, (cb, tagged) in rows.kinds.items()}

        def bind_objs():
            return {cls: (method_of(cb), cb, tagged, puts)
                    for cls, (cb, tagged, puts) in objs.kinds.items()}

        try:
            for numbers, lines in reader.batches():
                if rows.refresh():
                    calls = bind()
                decode_row = rows.decode
                for lineno, line in zip(numbers, lines):
                    if halt[0]:
                        break
                    # A row of a declared shape, nearly every line of a recording:
                    # decoded into its record in one call. Anything unusual about it,
                    # and any other line, takes the line decoder's way.
                    rec = None
                    if decode_row is not None:
                        try:
                            rec = decode_row(line)
                            t = rec._t
                            if t.tzinfo is not None:
                                raise ValueError("a time zone")
                            method, cb, tagged = calls[type(rec)]
                            # Tagged texts are members met before.
                            for k in tagged:
                                put(rec, k, members[get(rec, k)])
                        except errors:
                            rec = None
                    if rec is None and decode_obj is not None:
                        # An object line of a callback taking just a record, likewise.
                        try:
                            obj = decode_obj(line)
                            t = obj.t
                            if t is None or t.tzinfo is not None:
                                raise ValueError("no naive time")
                            method, cb, tagged, puts = objcalls[type(obj)]
                            rec = obj.rec
                            x = obj.x
                            if x is None:
                                if tagged:
                                    raise KeyError("x")
                            elif x.keys() != tagged:
                                raise KeyError("x")
                            else:
                                for k, v in x.items():
                                    puts[k](rec, members[v])
                        except errors:
                            rec = None
                    if rec is None:
                        item = self._line_item(line, lineno)
                        if item is None:
                            if rows.refresh():  # a shape declared
                                calls = bind()
                                decode_row = rows.decode
                            continue
                        if objs is not None and type(item) is Entry and objs.learn(item):
                            objcalls = bind_objs()
                            decode_obj = objs.decode
                        t = item.t
                    if now <= t < bound:
                        if t < clock.next_due:
                            # The clock's own fast way, inline: no timer falls due.
                            clock._now = t
                            clock._ns = None
                        else:
                            st.appended = appended
                            clock.advance_to(t)
                            appended = st.appended
                        now = t
                    else:
                        if t >= next_order:
                            st.appended = appended
                            while oi < n_orders and orders[oi].t <= t:
                                self._enter(book, orders[oi])
                                oi += 1
                            appended = st.appended
                            next_order = orders[oi].t if oi < n_orders else _NEVER
                            now = clock.now()
                        if t >= now:
                            if t > limit:
                                limit = _later(now, max_jump)
                            bound = min(next_order, limit)
                            if t > limit:
                                self._skip("jump", "line %d: %s" % (lineno, _jump_text(t, now)))
                                if rec is None and type(item) is End:
                                    # its time is not to be trusted, but the recording closed
                                    ended = True
                                    self.recording_dropped += item.dropped
                                continue
                            st.appended = appended
                            clock.advance_to(t)
                            appended = st.appended
                            now = t
                        else:
                            bound = min(next_order, limit)
                            if strict:
                                raise ReplayError("line %d: time %s is before the clock (%s) "
                                                  "(--strict stops here)" % (lineno, t, now))
                            self.late += 1
                    if rec is None:
                        cls = type(item)
                        if cls is HostOrder:
                            st.appended = appended
                            self._submit(book, item)
                            appended = st.appended
                            continue
                        if cls is End:
                            end = item.t
                            ended = True
                            self.recording_dropped += item.dropped
                            continue
                        cb = item.cb
                        method = method_of(cb)
                    if extras:
                        if speed is not None:
                            if wall0 is None:
                                wall0, virt0 = time.perf_counter(), t
                            ahead = (wall0 + (t - virt0).total_seconds() / speed
                                     - time.perf_counter())
                            if ahead > 0.001:
                                st.appended = appended
                                drain()
                                appended = st.appended
                                if self._stop.wait(ahead):
                                    break
                        if sample is not None and (next_sample is None or t >= next_sample):
                            sample(self, t)
                            next_sample = (t.replace(second=0, microsecond=0)
                                           + _dt.timedelta(minutes=1))
                    started = _now()
                    try:
                        if rec is not None:
                            method(rec)
                        else:
                            method(*item.call)
                    except Exception as exc:
                        self._callback_error(lineno, cb, exc)
                    # What the callback posted, for the latency (see stats.py).
                    n = qlen(q)
                    if n >= capacity:
                        n = st.appended_since_drain(n)
                    if n != appended:
                        if n == appended + 1:
                            note_start(started)
                        else:
                            st.appended = appended
                            st.ended(started)
                        appended = n
                    played[cb] += 1
                    if started >= next_drain:
                        st.appended = appended
                        drain()
                        appended = st.appended
                        next_drain = _now() + _DRAIN_EVERY
                else:
                    if progress is not None:
                        progress(reader.position(), reader.size)
                    continue
                break
        finally:
            st.appended = appended
        self.cut = reader.cut
        if halt[0]:
            return
        if header.version >= 2 and header.end is None and not ended and not self.cut \
                and not reader.lost_tail:
            # A recording gets its end line when the recorder closes.
            self.cut = "no end line after line %d: the recording stopped without closing" \
                % reader.lineno
        while oi < n_orders:
            self._enter(book, orders[oi])
            oi += 1
        if end is not None and end > clock.now() and not self.cut:
            if end - clock.now() > max_jump:
                self._skip("jump", "the session's end: %s; the clock is not run to it"
                           % _jump_text(end, clock.now()))
            else:
                clock.advance_to(end)
        if sample is not None:
            sample(self, clock.now())
        if progress is not None and reader.size:
            progress(reader.size, reader.size)

    def _line_item(self, line, lineno):
        """What the session's line decoder makes of a line: an Entry, a
        HostOrder or an End; None for a line that is not played (reported as
        skipped when it is malformed)."""
        if type(line) is not bytes:
            if line is None:
                self._skip("malformed", "line %d: longer than %s bytes (--max-line-size)"
                           % (lineno, "{:,}".format(self.max_line)))
            else:
                self._skip("malformed", str(line))  # damaged compressed data
            return None
        try:
            return self._decode_line(line, lineno)
        except LineError as exc:
            if not line.isspace():
                self._skip("malformed", str(exc))
            return None

    def _enter(self, book, order):
        """A header order enters the book at its time, unless that time is a jump."""
        now = self._clock.now()
        if order.t > now:
            if order.t - now > self.max_jump:
                self._skip("jump", "header order %s: %s" % (
                    shown(order.client_order_id), _jump_text(order.t, now)))
                return
            self._clock.advance_to(order.t)
        self._submit(book, order)

    def _submit(self, book, entry):
        """The host's order submission: the order enters the book under its client id."""
        started = _now()
        try:
            order = self.host.make_order(dict(entry.attrs))
        except Exception as exc:
            where = "line %d" % entry.lineno if entry.lineno else "header order"
            self._skip("malformed", "%s: host order %s cannot be rebuilt: %s: %s" % (
                where, shown(entry.client_order_id), type(exc).__name__, exc))
            return
        finally:
            self.stats.ended(started)
        self.host_orders.append(order)
        book[entry.client_order_id] = order

    def _drain(self):
        """The host's event loop, between callbacks on the SDK thread: every
        event queued is drained and described through the host adapter. A
        failure there ends the run."""
        try:
            self._drain_inner()
        except BaseException as exc:
            self._fatal = ReplayError("the host loop failed: %s: %s\n%s" % (
                type(exc).__name__, exc, traceback.format_exc()))
            self._halt_feed()
            self._drain_halt[0] = True

    def _drain_inner(self, _now=_now):
        q = self._maviro.event_queue
        depth = len(q)
        if not depth:
            return
        events = list(_starmap(q.popleft, _repeat((), depth)))
        self.stats.drained_at(_now(), depth)
        out = self.events_out
        if out is None:
            # Most events are only counted: their types' names are all it takes.
            names = self._event_type_names(events)
            self.stats.drained.update(names)
            if not self._plain_kinds.issuperset(names):
                for name, event in zip(names, events):
                    if name not in self._plain_kinds:
                        self._host_kind(name, event)
            return
        names = []
        try:
            self._drain_out(events, out, names)
        finally:
            self.stats.drained.update(names)

    def _drain_out(self, events, out, names):
        """Drained events written out, each described through the host adapter."""
        # A columnar log (export.events) takes the fields themselves.
        add_event = getattr(out, "add_event", None)
        describe = self.host.describe_event
        render = self._render
        plain = self._plain_kinds
        halt = self._drain_halt
        seq = self._seq
        try:
            for event in events:
                if halt[0]:
                    return
                name, fields = describe(event)
                names.append(name)
                if name not in plain:
                    self._host_kind(name, event, fields)
                seq += 1
                if add_event is not None:
                    add_event(seq, name, fields, render)
                else:
                    out.write(json.dumps({"n": seq, "event": name,
                                          "fields": {k: render(v) for k, v in fields.items()}},
                                         separators=(",", ":"), ensure_ascii=False))
                    out.write("\n")
        finally:
            self._seq = seq

    def _host_kind(self, name, event, fields=None):
        """An event whose type _host_handle keeps, or one not met before."""
        kind = name.rpartition(".")[2] if type(name) is str else None
        if kind not in _HANDLED:
            self._plain_kinds.add(name)
            return
        if fields is None:
            fields = self.host.describe_event(event)[1]
        self._host_handle(kind, name, fields)

    def _host_handle(self, kind, name, fields):
        """What a host would keep of the account side, plus the phase events."""
        render = self._render
        if kind in _PHASES:
            self.phase_events.append({"event": name,
                                      "at": format_time(fields.get("calendar_dt"))})
        elif kind == "QUERY_ACCOUNT":
            asset = fields.get("asset")
            if asset is not None:
                self.asset = {k: render(v) for k, v in
                              adapter_method(self.host, "describe_asset")(asset).items()}
            else:
                self.asset = {"code": render(fields.get("code")),
                              "msg": render(fields.get("msg"))}
        elif kind == "QUERY_POSITION":
            describe = adapter_method(self.host, "describe_position")
            self.positions = [{k: render(v) for k, v in describe(p).items()}
                              for p in fields.get("positions") or ()]

    # ------------------------------------------------------------ run

    def run(self):
        """Play the session; returns the summary. Raises ``Interrupted`` (the
        partial summary in ``summary``) once stopped by ``stop()`` or, when
        called on the main thread, by SIGINT or SIGTERM: for the run those only
        ask it to stop, and the handlers that were there before come back."""
        with StopSignals(self._signalled):
            return self._run()

    def _signalled(self, signum):
        self.stop(signum)

    def _run(self):
        maviro = self.host.load_bridge()
        self._maviro = maviro
        enums = Enumerations.from_namespace(vars(maviro), extra=self.host.enumerations())
        self.enums = enums
        self._render = Renderer(enums)
        self._event_type_names = adapter_method(self.host, "event_type_names")
        reader = SessionReader(self.path, enums, self.max_line)
        patches = _Patches()
        undo = None
        timing_was = None
        try:
            header = reader.header
            self.header = header
            self._clock = clock = _ReplayClock(header.start, self)
            self.context = VirtualContext(clock)
            cls = self.strategy_class or maviro.MachStrategy
            if self.record is not None:
                from bridge_replay.recorder import recording_class
                cls = recording_class(cls, host=self.host)
            self._cls = with_context(cls, self.context)

            # A fresh trading day for the bridge: empty containers and queue.
            for name in _CONTAINERS:
                getattr(maviro, name).clear()
            q = maviro.event_queue
            while len(q):
                q.popleft()
                self.stale_events += 1

            timing_was = self.stats.start(maviro, self.timing)
            patches.set(maviro, "datetime", clock.datetime_class())
            patches.set(maviro, "np", clock.numpy_proxy())
            undo = self.host.setup(header.universe, dict(header.config.get("accounts", {})))

            sdk = threading.Thread(target=self._feed, args=(reader, header),
                                   name="sdk-callbacks", daemon=True)
            wall0 = time.perf_counter()
            sdk.start()
            # The SDK thread looks at the stop flag between callbacks (one callback
            # is short) and then drains what is queued, between events.
            if not self._wait_for(self._feed_done.wait, _SDK_GRACE + _DRAIN_GRACE):
                # Not done in time: the summary must not read counts it still changes.
                self._drain_halt[0] = True
                self._feed_done.wait(0.1)
            closer = getattr(self.strategy, "close_recording", None)
            if closer is not None:
                closer()
            wall = time.perf_counter() - wall0
            # The bridge counts by EVENT member name ("other": a type it could not
            # tell); drained events are named "EVENT.NAME".
            self.stats.finish(lambda name: name if name == "other" else "EVENT." + name)
            self.summary = summary = self._summary(wall)
        finally:
            if timing_was is not None:
                maviro.set_bridge_timing(timing_was)
            if undo is not None:
                undo()
            patches.restore()
            reader.close()
        if self.interrupted:
            raise Interrupted(self.signal)
        if self._fatal is not None:
            raise self._fatal
        return summary

    def _wait_for(self, done, grace):
        """Wait until ``done(timeout)`` says so; once a stop is asked, for at
        most ``grace`` seconds more. Returns whether it was done."""
        deadline = None
        while not done(0.1):
            if self.interrupted:
                if deadline is None:
                    deadline = time.monotonic() + grace
                elif time.monotonic() >= deadline:
                    return False
        return True

    def _recording(self):
        """What became of the recording the run made, or None."""
        rec = getattr(self.strategy, "_recorder", None)
        if self.record is None or rec is None:
            return None
        return {"file": str(self.record), "not_recorded": rec.dropped, "error": rec.failure}

    def _summary(self, wall):
        m = self._maviro
        render = self._render
        total = sum(self.played.values())
        status = adapter_method(self.host, "order_status")
        by_status = collections.Counter(render(status(o)) for o in self.host_orders)
        queries = collections.Counter(name for name, _ in list(self.context.calls)
                                      if name.startswith("query_"))
        pending = [{"timer": getattr(cb, "__name__", "?"), "at": format_time(at)}
                   for at, cb in self._clock.pending()]
        st = self.stats
        posted_total = sum(st.posted.values())
        drained_total = sum(st.drained.values())
        n, p50, p99, mx = st.latency_ns()
        b = st.bridge
        us = lambda ns: None if ns is None else round(ns / 1000.0, 1)  # noqa: E731
        by_name = lambda c: {type_name(k): v for k, v in  # noqa: E731
                             sorted(c.items(), key=lambda kv: type_name(kv[0]))}
        return {
            "session": str(getattr(self.path, "name", self.path)),
            "format_version": self.header.version,
            "virtual_time": {"start": format_time(self.header.start),
                             "end": format_time(self._clock.now())},
            "callbacks": dict(sorted((k, n) for k, n in self.played.items() if n)),
            "callbacks_total": total,
            "callback_errors": {"count": self.n_callback_errors, "first": self.callback_errors},
            "skipped_lines": {"count": self.n_skipped, "malformed": self.n_malformed,
                              "time_jumps": self.n_jumps, "first": self.skipped},
            "late_records": self.late,
            "cut": self.cut,
            "recording_dropped": self.recording_dropped,
            "recording": self._recording(),
            "interrupted": self.interrupted,
            "stopped_by": None if self.signal is None else signal_name(self.signal),
            "timers_fired": self.timers,
            "timers_pending": pending,
            "queries_sent": dict(sorted(queries.items())),
            "events": {
                "posted": by_name(st.posted), "drained": by_name(st.drained),
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
            "latency_us": {"events": n, "p50": us(p50), "p99": us(p99), "max": us(mx)},
            "bridge": _bridge_figures(b, us),
            "peak_memory_mib": peak_memory_mib(),
        }


def peak_memory_mib():
    """This process's peak resident memory. Linux keeps ru_maxrss across execve,
    so a replay that a large process started (a script's subprocess call, a test
    run) would report that process's peak; VmHWM belongs to this address space."""
    try:
        with open("/proc/self/status", "rb") as f:
            for line in f:
                if line.startswith(b"VmHWM:"):
                    return round(int(line.split()[1]) / 1024.0, 1)
    except (OSError, ValueError, IndexError):
        pass
    return round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0, 1)


def _bridge_figures(b, us):
    """The bridge's own counters for the run: the queue, the methods that were
    called, order outcomes and, with timing on, per-method latency in µs."""
    if b is None:
        return None
    calls = {name: c for name, c in sorted(b["callbacks"].items()) if c["calls"]}
    out = {"queue": b["queue"], "callback_errors": sum(c["errors"] for c in calls.values()),
           "callbacks": calls, "orders": dict(sorted(b["orders"].items()))}
    if "latency_ns" in b:
        out["latency_us"] = {name: {k: us(v) if k != "count" else v for k, v in lat.items()}
                             for name, lat in sorted(b["latency_ns"].items()) if lat["count"]}
    return out


def _later(t, delta):
    """t + delta, or the latest time there is."""
    try:
        return t + delta
    except OverflowError:
        return _NEVER


def _jump_text(t, now):
    return "time %s jumps %s ahead of the clock (%s)" % (format_time(t), _span(t - now),
                                                        format_time(now))


def _span(delta):
    s = delta.total_seconds()
    if s >= 86400:
        return "%.1f days" % (s / 86400)
    return "%.1f hours" % (s / 3600)


def replay(path=None, **options):
    """Replay a session (default: the bundled day) and return its summary."""
    return Player(path, **options).run()
