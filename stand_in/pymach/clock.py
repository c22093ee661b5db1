"""Virtual time for the bridge's tests.

``VirtualClock(start)`` holds a naive local date and time that moves only when
``advance_to(dt)`` or ``advance(seconds)`` is called. Timers scheduled on it
(through ``Context(clock=...)``) fire during an advance, in due-time order,
ties in registration order; a timer that a firing callback registers fires in
the same advance when it falls due by the target. While a callback runs,
``now()`` is its due time (or the current time, for one that was due in the
past: the clock never goes back). A negative or zero interval is due at once
and fires at the next advance, ``advance(0)`` included.

The bridge reads the clock through its module bindings ``datetime`` and
``np``; rebind them to this clock's stand-ins::

    monkeypatch.setattr(maviro, "datetime", clock.datetime_class())
    monkeypatch.setattr(maviro, "np", clock.numpy_proxy())

``datetime_class()`` is a subclass of ``datetime.datetime`` whose ``now()``
and ``today()`` answer the virtual time (as plain ``datetime.datetime``
objects); ``combine``, arithmetic, ``replace``, ``date()`` and ``time()`` work
as usual. ``numpy_proxy()`` answers ``datetime64("today", ...)`` and
``datetime64("now", ...)`` from the virtual clock and forwards everything else
to numpy. Note that its ``datetime64`` is a function, not numpy's type.
"""

import datetime as _dt
import heapq
import itertools
import numbers
import threading

import numpy

_NS_PER_SECOND = 10 ** 9


class VirtualClock:
    def __init__(self, start):
        if not isinstance(start, _dt.datetime):
            raise TypeError("start must be a datetime, not %r" % (start,))
        if start.tzinfo is not None:
            raise ValueError("the virtual clock keeps naive local time; got %r" % (start,))
        self._start = _plain(start)
        self._ns = 0
        self._heap = []
        self._order = itertools.count()
        # Guards the heap and the time; never held while a callback runs.
        self._lock = threading.Lock()
        self._datetime_class = None
        self._numpy_proxy = None

    def now(self):
        return self._start + _dt.timedelta(microseconds=self._ns // 1000)

    def schedule(self, interval_ns, callback):
        with self._lock:
            heapq.heappush(self._heap, (self._ns + interval_ns, next(self._order), callback))

    def pending(self):
        """(due datetime, callback) of every timer not fired yet, in firing order."""
        with self._lock:
            entries = sorted(self._heap)
        return [(self._at(due), callback) for due, _, callback in entries]

    def advance_to(self, dt):
        """Move to ``dt``, firing every timer due by then; returns how many
        fired. A callback's exception ends the advance there and propagates,
        its timer consumed and later ones still pending."""
        if not isinstance(dt, _dt.datetime) or dt.tzinfo is not None:
            raise TypeError("advance_to needs a naive datetime, not %r" % (dt,))
        delta = dt - self._start
        return self._advance_to_ns(
            (delta.days * 86400 + delta.seconds) * _NS_PER_SECOND + delta.microseconds * 1000)

    def advance(self, seconds):
        """Move forward by ``seconds`` (a number or a timedelta), firing due timers."""
        if isinstance(seconds, _dt.timedelta):
            step = (seconds.days * 86400 + seconds.seconds) * _NS_PER_SECOND \
                + seconds.microseconds * 1000
        elif isinstance(seconds, numbers.Real) and not isinstance(seconds, bool):
            step = int(round(seconds * _NS_PER_SECOND))
        else:
            raise TypeError("advance takes seconds or a timedelta, not %r" % (seconds,))
        return self._advance_to_ns(self._ns + step)

    def _advance_to_ns(self, target):
        if target < self._ns:
            raise ValueError("the virtual clock cannot go back from %s to %s"
                             % (self.now(), self._at(target)))
        fired = 0
        while True:
            with self._lock:
                if not self._heap or self._heap[0][0] > target:
                    self._ns = target
                    return fired
                due, _, callback = heapq.heappop(self._heap)
                self._ns = max(self._ns, due)
            fired += 1
            callback()

    def _at(self, ns):
        return self._start + _dt.timedelta(microseconds=ns // 1000)

    def datetime_class(self):
        """A ``datetime.datetime`` subclass reading this clock (the same class on every call)."""
        with self._lock:
            if self._datetime_class is None:
                self._datetime_class = type("VirtualDatetime", (_VirtualDatetime,),
                                            {"_clock": self, "__module__": __name__})
            return self._datetime_class

    def numpy_proxy(self):
        """A stand-in for the numpy module reading this clock (the same object on every call)."""
        with self._lock:
            if self._numpy_proxy is None:
                self._numpy_proxy = NumpyProxy(self)
            return self._numpy_proxy

    def __repr__(self):
        return "VirtualClock(now=%s, pending=%d)" % (self.now(), len(self._heap))


def _plain(d):
    return _dt.datetime(d.year, d.month, d.day, d.hour, d.minute, d.second, d.microsecond,
                        fold=d.fold)


class _VirtualDatetime(_dt.datetime):
    _clock = None

    @classmethod
    def now(cls, tz=None):
        if tz is not None:
            raise ValueError("the virtual clock keeps naive local time; now() takes no time zone")
        return cls._clock.now()

    @classmethod
    def today(cls):
        return cls._clock.now()

    @classmethod
    def utcnow(cls):
        # Answering real UTC time inside a virtual day would go unnoticed.
        raise NotImplementedError("the virtual clock has no UTC time")

    def __reduce_ex__(self, protocol):
        # Instances made by combine() or arithmetic pickle as plain datetimes,
        # because the per-clock class cannot be found by name.
        return (_dt.datetime, super().__reduce_ex__(protocol)[1])


class NumpyProxy:
    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, *args, **kwargs):
        if args and isinstance(args[0], str) and args[0] in ("today", "now"):
            now = self._clock.now()
            if args[0] == "today":
                text, unit = now.date().isoformat(), "D"
            else:
                text, unit = now.isoformat(), "s"
            rest = args[1:] if len(args) > 1 or kwargs else (unit,)
            return numpy.datetime64(text, *rest, **kwargs)
        return numpy.datetime64(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(numpy, name)

    def __repr__(self):
        return "NumpyProxy(%r)" % (self._clock,)
