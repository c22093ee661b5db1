"""What the player counts about events: posted per type (the bridge's own
counters), drained per type, and the latency from the start of the callback
that posted an event to its drain.

Nothing of the bridge is rebound for this. The host's drain runs on the SDK
thread between callbacks, and only callbacks append to the queue, so what a
callback posted is what the queue gained during it: the player notes its
start once for each event it posted (``starts``). The queue is FIFO and,
when full, drops its oldest, so the events a drain takes are the newest
noted since the last one. The latencies are worked out when asked for:
a drain only keeps the starts of its events and its own time.
"""

import array
import collections
import itertools
import math

import numpy

_FOLD = 1 << 16  # drained starts kept as Python floats at most


class EventStats:
    def __init__(self):
        self.posted = collections.Counter()
        self.drained = collections.Counter()
        self.bridge = None
        # The start (perf_counter) of the callback that posted each event appended since
        # the last drain, oldest first; one a callback mostly, so the player's
        # loop appends it itself.
        self.starts = []
        # Events appended since the last drain, as of the last callback's end.
        self.appended = 0
        # The starts of the drained events, in drain order: the newest in a
        # list (extended cheaply), folded into arrays of 8 bytes a start now and
        # then; each drain's time and how many starts there were once it was done.
        self._start_chunks = []
        self._new_starts = []
        self._n_drained = 0
        self._drain_at = array.array("d")
        self._drain_ends = array.array("q")
        self._queue = None
        self._dropped = 0  # the queue's drop count at the last drain
        self.capacity = float("inf")

    def start(self, maviro, timing=False):
        """Zero the bridge's counters for a run; returns the timing setting to restore."""
        self._queue = q = maviro.event_queue
        self._maviro = maviro
        previous = maviro.set_bridge_timing(bool(timing))
        maviro.reset_bridge_stats()
        cap = getattr(q, "maxlen", None)
        self.capacity = cap if type(cap) is int else float("inf")
        self._dropped = self._drops()
        self.appended = len(q)  # posted before any callback: no start to trace them to
        return previous

    def finish(self, type_key):
        """Read the bridge's counters at the end; ``type_key`` maps an EVENT member name."""
        self.bridge = stats = self._maviro.bridge_stats()
        self.posted = collections.Counter({type_key(name): n
                                           for name, n in stats["events"].items() if n})
        return stats

    def _drops(self):
        return getattr(self._queue, "dropped", 0) or 0

    def appended_since_drain(self, depth):
        """Events appended since the last drain, the queue holding ``depth``: a
        full queue has dropped the difference."""
        if depth >= self.capacity:
            return depth + self._drops() - self._dropped
        return depth

    def ended(self, started):
        """A callback (or timer) that started at ``started`` (``time.perf_counter()``) has returned.
        The player's loop does the same inline for the session's callbacks."""
        n = self.appended_since_drain(len(self._queue))
        if n > self.appended:
            self.starts.extend(itertools.repeat(started, n - self.appended))
        self.appended = n

    def drained_at(self, now, depth):
        """The ``depth`` events the queue held were drained at ``now``: the
        newest of the starts are theirs (a full queue dropped the oldest, and
        events posted before the first callback have none)."""
        starts = self.starts
        if depth < len(starts):
            del starts[:len(starts) - depth]
        if starts:
            new = self._new_starts
            new.extend(starts)
            self._n_drained += len(starts)
            self._drain_at.append(now)
            self._drain_ends.append(self._n_drained)
            del starts[:]  # in place: the player's loop holds its append
            if len(new) >= _FOLD:
                self._start_chunks.append(numpy.array(new, dtype=numpy.float64))
                del new[:]
        self.appended = 0
        self._dropped = self._drops()

    def latency_count(self):
        """How many drained events have a latency so far."""
        return self._n_drained

    def latencies(self, first=0):
        """The latencies (ns) of the drained events from the ``first``-th on,
        in drain order: a numpy array of int64."""
        ends = numpy.array(self._drain_ends, dtype=numpy.int64)
        at = numpy.repeat(numpy.array(self._drain_at, dtype=numpy.float64),
                          numpy.diff(ends, prepend=0))
        starts = numpy.concatenate(self._start_chunks
                                   + [numpy.array(self._new_starts, dtype=numpy.float64)])
        seconds = at[first:] - starts[first:]
        return numpy.rint(seconds * 1e9).astype(numpy.int64)

    def latency_ns(self):
        """(count, p50, p99, max) in nanoseconds; None values when no event."""
        lat = numpy.sort(self.latencies()).tolist()
        return (len(lat), _percentile(lat, 0.50), _percentile(lat, 0.99),
                lat[-1] if lat else None)


def _percentile(sorted_values, q):
    if not sorted_values:
        return None
    k = max(0, min(len(sorted_values) - 1, int(math.ceil(q * len(sorted_values))) - 1))
    return sorted_values[k]
