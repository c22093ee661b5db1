"""The replay's virtual clock.

``VirtualClock(start)`` holds a naive local date and time that moves only when
``advance_to(dt)`` is called (``next_due``, the first time a timer falls due,
tells a caller that moving before it fires nothing). Timers scheduled on it fire during an advance,
in due-time order, ties in registration order; a timer that a firing callback
registers fires in the same advance when it falls due by the target. While a
timer runs, ``now()`` is its due time (or the current time for one due in the
past: the clock never goes back).

The bridge reads the local clock through its module bindings ``datetime`` and
``np``; the player rebinds them to ``datetime_class()`` and ``numpy_proxy()``.
"""

import datetime as _dt
import heapq
import itertools
import threading

import numpy

_NS = 10 ** 9
_NEVER = _dt.datetime.max


def _delta_ns(delta):
    return (delta.days * 86400 + delta.seconds) * _NS + delta.microseconds * 1000


class VirtualClock:
    def __init__(self, start):
        if not isinstance(start, _dt.datetime) or start.tzinfo is not None:
            raise TypeError("the virtual clock starts at a naive datetime, not %r" % (start,))
        self._start = _dt.datetime(start.year, start.month, start.day, start.hour,
                                   start.minute, start.second, start.microsecond)
        self._ns = 0  # None when it is to be worked out from _now
        self._now = self._start
        self.next_due = _NEVER
        self._heap = []
        self._order = itertools.count()
        # Guards the heap and the time; never held while a timer runs.
        self._lock = threading.Lock()
        self._datetime_class = type("VirtualDatetime", (_VirtualDatetime,),
                                    {"_clock": self, "__module__": __name__})
        self._numpy_proxy = NumpyProxy(self)

    def now(self):
        return self._now

    def schedule(self, interval_ns, callback):
        with self._lock:
            heapq.heappush(self._heap, (self._ns_now() + int(interval_ns), next(self._order),
                                        callback))
            self._set_next_due()

    def _ns_now(self):
        ns = self._ns
        if ns is None:
            ns = self._ns = _delta_ns(self._now - self._start)
        return ns

    def _set_next_due(self):
        # The first whole microsecond at or after the first timer's due time:
        # an advance to it fires that timer, one to any earlier time does not.
        heap = self._heap
        if heap:
            self.next_due = self._at(-(-heap[0][0] // 1000) * 1000)
        else:
            self.next_due = _NEVER

    def pending(self):
        """(due datetime, callback) of every timer not fired yet, in firing order."""
        with self._lock:
            entries = sorted(self._heap)
        return [(self._at(due), cb) for due, _, cb in entries]

    def advance_to(self, dt):
        """Move to ``dt``, firing every timer due by then."""
        if type(dt) is _dt.datetime and self._now <= dt < self.next_due:
            self._now = dt
            self._ns = None
            return
        target = _delta_ns(dt - self._start)
        if target < self._ns_now():
            raise ValueError("the virtual clock cannot go back from %s to %s" % (self._now, dt))
        heap = self._heap
        while True:
            with self._lock:
                if not heap or heap[0][0] > target:
                    self._ns = target
                    self._now = dt if type(dt) is _dt.datetime else self._at(target)
                    return
                due, _, callback = heapq.heappop(heap)
                self._set_next_due()
                if due > self._ns:
                    self._ns = due
                    self._now = self._at(due)
            callback()

    def _at(self, ns):
        return self._start + _dt.timedelta(microseconds=ns // 1000)

    def datetime_class(self):
        """A ``datetime.datetime`` subclass whose ``now()`` and ``today()`` read this clock."""
        return self._datetime_class

    def numpy_proxy(self):
        """Stands for numpy: ``datetime64("today"|"now", ...)`` read this clock."""
        return self._numpy_proxy


class _VirtualDatetime(_dt.datetime):
    _clock = None

    @classmethod
    def now(cls, tz=None):
        if tz is not None:
            raise ValueError("the virtual clock keeps naive local time; now() takes no time zone")
        return cls._clock._now

    @classmethod
    def today(cls):
        return cls._clock._now

    @classmethod
    def utcnow(cls):
        # Real UTC time inside a virtual day would go unnoticed.
        raise NotImplementedError("the virtual clock has no UTC time")

    def __reduce_ex__(self, protocol):
        return (_dt.datetime, super().__reduce_ex__(protocol)[1])


class NumpyProxy:
    def __init__(self, clock):
        self._clock = clock

    def datetime64(self, *args, **kwargs):
        if args and isinstance(args[0], str) and args[0] in ("today", "now"):
            now = self._clock._now
            if args[0] == "today":
                text, unit = now.date().isoformat(), "D"
            else:
                text, unit = now.isoformat(), "s"
            rest = args[1:] if len(args) > 1 or kwargs else (unit,)
            return numpy.datetime64(text, *rest, **kwargs)
        return numpy.datetime64(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(numpy, name)
