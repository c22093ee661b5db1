"""Records a live session for replaying it offline, at a small cost to the SDK thread.

``recording_class(base)`` makes a subclass of a strategy class (by default
the bridge's ``MachStrategy``) whose gateway callbacks hand their record and
arguments to a ``Recorder`` and then to the base class, unchanged::

    from bridge_replay.recorder import recording_class

    Recording = recording_class(MyStrategy)       # or recording_class() for the bridge's
    strategy = Recording(config, out="today.jsonl.zst", host="mypackage.adapter:Host")
    ...                                           # the SDK drives it as it would the base
    strategy.close_recording()                    # or let the interpreter's exit close it

On the SDK thread a callback only copies the record's attributes (one dict
copy for a record with a ``__dict__``, one ``attrgetter`` call otherwise),
reads the bridge's clock and appends to a bounded buffer (in C, for the
callbacks that take just a record, where the tool's C capture was built: into
one object the cyclic collector does not count, so recording does not bring
its runs sooner); a writer thread encodes and writes. A full buffer drops the callback and counts
it: the count is written in the session's last line and printed on standard
error when the recorder closes. The file is written in whole lines, flushed
every ``flush_interval`` seconds (a gzip member per flush for ".gz", a zstd
frame for ".zst"), so a process killed at any moment leaves a session that
reads up to its last flush.
A file that cannot be written (a full disk, a size limit, its folder
removed) is told on standard error at once; what was flushed stays, and
every callback from then on is counted with the dropped ones. Nothing of
this raises into the SDK's thread or out of ``close()``.
"""

import atexit
import collections
import datetime as _dt
import itertools
import operator
import sys
import threading
import time
import weakref

from bridge_replay.host import adapter_method, load_host
from bridge_replay.session.codec import AttrDict, Enumerations, record_attrs, shown
from bridge_replay.session.encoder import Encoder
from bridge_replay.session.entries import HostOrder
from bridge_replay.session.header import Header
from bridge_replay.session.schema import CALLBACKS, READ_IF_PRESENT
from bridge_replay.session.writer import FileVanished, SessionWriter

try:  # the SDK thread's capture in C, built with the tool when a compiler was at hand
    from bridge_replay import _capture
except ImportError:
    _capture = None


class _PyCapture:
    """What the recording callbacks read on the SDK thread (where the C
    capture is not built, the same fields as plain attributes)."""


_Capture = _capture.Capture if _capture is not None else _PyCapture
_CLASSES = {}
_ORDER = "$order"
_DICT = "__dict__"  # a record type copied by its instance dict
_first = operator.itemgetter(0)
_ABSENT = object()


def _public_names(cls):
    return [n for n in dir(cls) if not n.startswith("_")
            and not callable(getattr(cls, n, None))]


def _capturer(cls, cb):
    """A function copying a record's attributes now, so that later changes to
    the record (an SDK reusing its objects) do not reach the file."""
    if cls is list or cls is tuple:
        # Elements of a native type keep no __dict__ or __slots__: their getters.
        return lambda recs: [AttrDict(record_attrs(r) or _by_name(_public_names(type(r)), ())(r))
                             for r in recs]
    names = _public_names(cls)
    if not names:
        # Nothing listed on the class (attributes served by __getattr__): what
        # the bridge reads, and what it reads on some paths when the record has it.
        return _by_name(list(CALLBACKS[cb][2]), READ_IF_PRESENT.get(cb, ()))
    return _by_name(names, ())


def _by_name(names, optional):
    get = operator.attrgetter(*names) if names else (lambda rec: ())
    if len(names) == 1:
        get = (lambda one: lambda rec: (one(rec),))(get)

    def capture(rec):
        out = AttrDict(zip(names, get(rec)))
        for name in optional:
            value = getattr(rec, name, _ABSENT)
            if value is not _ABSENT:
                out[name] = value
        return out
    return capture


class Recorder(_Capture):
    """Writes one session: ``capture(cb, args)`` per callback on the SDK
    thread, ``close()`` at the end (also at interpreter exit)."""

    def __init__(self, out, config=None, meta=None, host=None, bridge=None,
                 buffer_size=200000, flush_interval=0.2, compresslevel=1):
        self.host = load_host(host) if host is None or isinstance(host, str) else host
        self._bridge = bridge if bridge is not None else self.host.load_bridge()
        m = self._bridge
        enums = Enumerations.from_namespace(vars(m), extra=self.host.enumerations())
        encoder = Encoder(enums)
        self.out = str(out)
        try:
            universe = [str(u) for u in adapter_method(self.host, "universe")()]
        except Exception:
            universe = []
        base = getattr(config, "base", None)
        header = Header(m.datetime.now(), None,
                        Header.config_from_base(base, encoder) if base is not None else {},
                        universe, (), dict(meta) if meta else {"source": "recorded"})
        self._writer = SessionWriter(self.out, header, encoder, compresslevel)
        self._encoder = encoder
        self.buffer = collections.deque()
        self._append = self.buffer.append
        self.buffer_size = buffer_size
        self.capacity = buffer_size  # 0 once closed or failed
        self.error = None  # why writing stopped, if it did
        self.missed = 0  # callbacks not taken (SDK thread): a full buffer, or writing stopped
        self.unwritten = 0  # callbacks taken but not written (writer thread, then close)
        self._unflushed = 0  # callbacks written since the last flush
        self._items = 0  # callbacks and host orders written
        self.orders_unread = 0  # host orders the adapter's order_attrs failed on
        self.closed = False
        self._seen = {}
        self._book_len = 0
        self._captures = {}
        # record type -> _DICT, or (names, attrgetter) for a type without a __dict__
        self._readers = {}
        self._dict_marker = _DICT
        self._time = time.time
        self._real = _dt.datetime
        self._flush_interval = flush_interval
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="session-writer", daemon=True)
        self._thread.start()
        ref = weakref.ref(self)

        def close_at_exit():
            recorder = ref()
            if recorder is not None:
                recorder.close()
        self._atexit = close_at_exit
        atexit.register(close_at_exit)

    # ---------------------------------------------------------- SDK thread

    @property
    def dropped(self):
        """Callbacks that are not in the file: not taken, or taken and not written."""
        return self.missed + self.unwritten

    @property
    def failure(self):
        """Why writing stopped, in a few words, or None."""
        return None if self.error is None else _reason(self.error)

    def capture(self, cb, rec=None, extra=(), _real=_dt.datetime):
        """Take one callback's record and arguments (called on the SDK thread)."""
        m = self._bridge
        clock = m.datetime
        # On real time the writer derives the local time from the receive time.
        t = None if clock is _real else clock.now()
        if len(m.orders_dict) != self._book_len:
            self._scan_orders(m.orders_dict, t or _real.now())
        if len(self.buffer) >= self.capacity:
            self.missed += 1
            return
        self._take(cb, t, rec, extra)

    def _take(self, cb, t, rec, extra):
        if rec is not None:
            try:
                rec = self._copy(cb, rec)
            except Exception:
                # A record that cannot be read must not fail the SDK's callback.
                self.missed += 1
                return
        self.buffer.append((cb, t, rec, extra, self._time()))

    def _copy(self, cb, rec):
        cls = type(rec)
        how = self._readers.get(cls)
        if how is _DICT:
            return rec.__dict__.copy()
        if how is not None:
            return how[0], how[1](rec)
        cap = self._captures.get((cb, cls))
        if cap is None:
            if cls not in (list, tuple):
                if isinstance(getattr(rec, "__dict__", None), dict) \
                        and not getattr(cls, "__slots__", None):
                    self._readers[cls] = _DICT
                    return rec.__dict__.copy()
                names = _public_names(cls)
                if len(names) > 1:
                    how = self._readers[cls] = (tuple(names), operator.attrgetter(*names))
                    return how[0], how[1](rec)
            cap = self._captures[(cb, cls)] = _capturer(cls, cb)
        return cap(rec)

    def _scan_orders(self, book, t):
        self._book_len = len(book)
        if not self.capacity:
            return  # closed, or writing stopped: nothing would take them from the buffer
        seen = self._seen
        attrs = self.host.order_attrs
        for key, order in list(book.items()):
            if seen.get(key) is not order:
                seen[key] = order
                try:
                    # Copied now: the bridge changes the order as reports arrive.
                    copied = attrs(order)
                except Exception as exc:
                    # An order the adapter cannot read must not fail the SDK's callback.
                    if not self.orders_unread:
                        _say("bridge-replay recorder: host order %s is not recorded (nor any "
                             "other the adapter cannot read): %s" % (shown(key), _reason(exc)))
                    self.orders_unread += 1
                    continue
                self.buffer.append((_ORDER, t, key, copied, None))

    # ---------------------------------------------------------- writer thread

    def _run(self):
        buf = self.buffer
        pop = buf.popleft
        w = self._writer
        interval = self._flush_interval
        stop = self._stop
        write = self._write_items
        take = _take
        while True:
            stopping = stop.wait(interval)
            try:
                while buf:
                    # Encoded in batches: one call into the encoder per batch.
                    items, orders = take(pop, min(len(buf), 1000), _ORDER)
                    self._unflushed += len(items) - orders
                    write(items)
                w.flush()
                self._unflushed = 0
            except BaseException as exc:  # never take the SDK down with the file
                self._failed(exc)
                return
            if stopping:
                return

    def _write_items(self, items):
        self._encoder.write_into(self._writer.pending, items, self._order_obj)
        self._items += len(items)

    @property
    def lines(self):
        """Lines written after the header: one a callback or host order, one a
        record shape declared (an item handed to the encoder may hold many rows)."""
        return self._items + self._encoder.shapes_declared

    def _order_obj(self, add, item):
        _, t, key, attrs, _ = item
        add(HostOrder(t, key, attrs).to_json(self._encoder))

    def _failed(self, exc):
        """Writing stopped: what was flushed stays, every callback from here on is counted."""
        self.capacity = 0
        self.error = exc
        self.unwritten += self._unflushed + self._discard_buffer()
        self._unflushed = 0
        if isinstance(exc, FileVanished):
            _say("bridge-replay recorder: %s was removed while recording; recording stopped"
                 % self.out)
        else:
            _say("bridge-replay recorder: writing %s failed: %s; recording stopped, what was "
                 "written before is kept" % (self.out, _reason(exc)))

    def _discard_buffer(self):
        """Empty the buffer; returns how many callbacks were in it."""
        buf = self.buffer
        n = 0
        while buf:
            if buf.popleft()[0] != _ORDER:
                n += 1
        return n

    def close(self):
        """Write what is buffered, the end line, and close the file (once).
        Never raises: a failure is told on standard error and kept in ``error``."""
        if self.closed:
            return
        self.closed = True
        self.capacity = 0
        self._stop.set()
        try:
            atexit.unregister(self._atexit)
            self._thread.join()
            # Taken after the writer's last round (the SDK still calling while closing).
            self.unwritten += self._discard_buffer()
            self._write_end()
        except Exception as exc:
            if self.error is None:
                self._failed(exc)
        finally:
            try:
                self._writer.close()
            except Exception:
                pass
        if self.dropped:
            why = ("writing it failed: %s" % self.failure if self.error is not None
                   else "the buffer of %s was full" % "{:,}".format(self.buffer_size))
            _say("bridge-replay recorder: %s callbacks were not recorded in %s: %s"
                 % ("{:,}".format(self.dropped), self.out, why))

    def _write_end(self):
        """The end line, with the count of what is missing, if the file still takes it."""
        if isinstance(self.error, FileVanished):
            return
        end = {"t": self._bridge.datetime.now().isoformat(timespec="microseconds"),
               "cb": "$end"}
        if self.dropped:
            end["dropped"] = self.dropped
        w = self._writer
        w.write_line(self._encoder._json.encode(end))
        try:
            w.flush()
        except Exception as exc:
            if self.error is None:
                self._failed(exc)


def _py_take(pop, n, order, _islice=itertools.islice):
    """Up to n items popped, and how many of them are host orders."""
    items = list(_islice(iter(pop, None), n))
    return items, operator.countOf(map(_first, items), order)


try:  # the same in C, with the writer's rows
    from bridge_replay._rows import take as _take
except ImportError:
    _take = _py_take


def _reason(exc):
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return "%s: %s" % (type(exc).__name__, exc)


def _say(line):
    try:
        print(line, file=sys.stderr, flush=True)
    except Exception:
        pass  # no standard error left to tell


def _callback(name, base_method, takes_rec, nargs):
    count = (1 if takes_rec else 0) + nargs
    if not takes_rec:
        def method(self):
            self._recorder.capture(name)
            return base_method(self)
    elif not nargs:
        def method(self, rec, _real=_dt.datetime, _type=type, _len=len):
            # Recorder.capture inlined: it runs on the SDK thread for every record
            # (in C where the tool's C capture was built; this does the same).
            r = self._recorder
            m = r._bridge
            clock = m.datetime
            t = None if clock is _real else clock.now()
            book = m.orders_dict
            if _len(book) != r._book_len:
                r._scan_orders(book, t or _real.now())
            buf = r.buffer
            if _len(buf) >= r.capacity:
                r.missed += 1
            else:
                how = r._readers.get(_type(rec))
                if how is None:
                    r._take(name, t, rec, ())
                else:
                    try:
                        got = rec.__dict__.copy() if how is _DICT else (how[0], how[1](rec))
                    except Exception:
                        # A record that cannot be read must not fail the SDK's callback.
                        r.missed += 1
                    else:
                        buf.append((name, t, got, (), r._time()))
            return base_method(self, rec)
    else:
        def method(self, *args):
            if len(args) == count:
                self._recorder.capture(name, args[0], args[1:])
            # A call with the wrong arguments fails in the base, unrecorded.
            return base_method(self, *args)
    method.__name__ = name
    method.__qualname__ = "Recording." + name
    method.__doc__ = "Record the callback, then hand it to the base class unchanged."
    if takes_rec and not nargs and _capture is not None:
        return _capture.method(name, base_method, method)
    return method


def recording_class(base=None, host=None):
    """A subclass of ``base`` (default: the bridge's ``MachStrategy``) that
    records every gateway callback. ``host``: the host adapter or
    "MODULE:NAME" (default the stand-in host's); one given to the class's
    constructor (``Recording(config, out, host=...)``) is that instance's."""
    host = load_host(host) if host is None or isinstance(host, str) else host
    if base is None:
        base = host.load_bridge().MachStrategy
    key = (base, type(host))
    cls = _CLASSES.get(key)
    if cls is not None:
        return cls

    def __init__(self, config, out, meta=None, host=host, **options):
        base.__init__(self, config)
        self._recorder = Recorder(out, config, meta, host=host, **options)

    def close_recording(self):
        """Write what is left and close the session file (once)."""
        self._recorder.close()

    ns = {"__init__": __init__, "close_recording": close_recording,
          "__module__": __name__, "__doc__": "%s that records its gateway callbacks."
          % base.__name__}
    for name, (takes_rec, nargs, _) in CALLBACKS.items():
        ns[name] = _callback(name, getattr(base, name), takes_rec, nargs)
    cls = type(base)("Recording" + base.__name__, (base,), ns)
    _CLASSES[key] = cls
    return cls
