"""Records what a gateway session delivers, for replaying it offline.

``recording_class(base)`` makes a subclass of a strategy class (by default the
bridge's ``MachStrategy``) whose gateway callbacks first write their record,
arguments, virtual time and receive time to a session file and then hand
them on, unchanged, to the base class::

    Recording = recording_class()
    strategy = Recording(config, out="today.jsonl.gz")
    ...                           # the SDK drives it as it would the bridge
    strategy.close_recording()    # writes the header and closes the file

The time of a line is the bridge's own local clock (the module's ``datetime``
binding, read at each callback), so during a replay it is the virtual time and
a replay records the very session it plays, apart from the receive times.
The header takes the host configuration, the universe, and each host order the
first time a callback finds it in the order book (its attributes as they were
then, before the bridge changes them). Lines are kept in a temporary file until
``close_recording`` writes the header and copies them after it.
"""

import tempfile
import threading
import time

from pymach.replay.format import CALLBACKS, Header, HostOrder, SessionWriter, encode_entry, \
    encode_value

_CLASSES = {}


class Recorder:
    """Writes one session: ``write(cb, args)`` per callback, ``close()`` at the end."""

    def __init__(self, out, config=None, meta=None):
        from korvane.orvik.utils import maviro
        from korvane.orvik.environment import Environment
        self._maviro = maviro
        self.out = str(out)
        self.meta = dict(meta) if meta else {"source": "recorded"}
        self._config = config
        self._universe = [str(u) for u in Environment.get_instance().get_universe()]
        self._start = maviro.datetime.now()
        self._body = tempfile.TemporaryFile()
        self._lock = threading.Lock()
        self._seen = {}
        self._orders = []
        self._book_len = 0
        self.closed = False
        self.lines = 0

    def _scan_orders(self, t):
        book = self._maviro.orders_dict
        for key, order in list(book.items()):
            if self._seen.get(key) is not order:
                self._seen[key] = order
                attrs = {k: v for k, v in vars(order).items() if not k.startswith("_")}
                # Encoded now, so later changes by the bridge do not reach the header.
                encode_value(attrs, "order %r" % (key,))
                self._orders.append(HostOrder(t, key, dict(attrs)))

    def write(self, cb, args):
        takes_rec, nargs, _ = CALLBACKS[cb]
        rec = args[0] if takes_rec else None
        extra = args[1:] if takes_rec else args
        with self._lock:
            if self.closed:
                return
            t = self._maviro.datetime.now()
            recv = round(time.time(), 6)
            book = self._maviro.orders_dict
            if len(book) != self._book_len:
                self._scan_orders(t)
                self._book_len = len(book)
            line = encode_entry(t, cb, rec, extra, recv)
            self._body.write(line.encode("utf-8"))
            self._body.write(b"\n")
            self.lines += 1

    def close(self):
        with self._lock:
            if self.closed:
                return
            self.closed = True
            end = self._maviro.datetime.now()
            base = getattr(self._config, "base", None)
            header = Header(self._start, end, Header.config_from_base(base) if base else {},
                            self._universe, self._orders, self.meta)
            self._body.seek(0)
            with self._body, SessionWriter(self.out, header) as w:
                while True:
                    chunk = self._body.read(1 << 20)
                    if not chunk:
                        break
                    w.write_bytes(chunk)


def _callback(name, base_method, takes_rec, nargs):
    count = (1 if takes_rec else 0) + nargs

    def method(self, *args):
        if len(args) == count:
            self._recorder.write(name, args)
        # A call with the wrong arguments fails in the base, unrecorded.
        return base_method(self, *args)

    method.__name__ = name
    method.__qualname__ = "Recording." + name
    method.__doc__ = "Record the callback, then hand it to the base class unchanged."
    return method


def recording_class(base=None):
    """A subclass of ``base`` (default: the bridge's ``MachStrategy``) that
    records every gateway callback; built once per base class."""
    if base is None:
        from korvane.orvik.utils import maviro
        base = maviro.MachStrategy
    cls = _CLASSES.get(base)
    if cls is not None:
        return cls

    def __init__(self, config, out, meta=None):
        base.__init__(self, config)
        self._recorder = Recorder(out, config, meta)

    def close_recording(self):
        """Write the header and close the session file (once)."""
        self._recorder.close()

    ns = {"__init__": __init__, "close_recording": close_recording,
          "__module__": __name__, "__doc__": "%s that records its gateway callbacks."
          % base.__name__}
    for name, (takes_rec, nargs, _) in CALLBACKS.items():
        ns[name] = _callback(name, getattr(base, name), takes_rec, nargs)
    cls = type(base)("Recording" + base.__name__, (base,), ns)
    _CLASSES[base] = cls
    return cls


