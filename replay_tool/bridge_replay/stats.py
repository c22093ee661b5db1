"""What the player counts about events: posted per type (the bridge's own
counters), drained per type, and the latency from the start of the callback
that posted an event to its drain.

Nothing of the bridge is rebound for this. Only the SDK thread appends to the
queue, so at a callback's start the number of events appended so far is
depth + drained + dropped; a callback that posted owns the appended positions
from its start to the next callback's. The queue is FIFO and drops its oldest,
so the n-th event to leave it (drained or dropped) is the n-th appended."""

import array
import collections
import math
import threading
import time


class EventStats:
    def __init__(self):
        self.posted = collections.Counter()
        self.drained = collections.Counter()
        self.bridge = None
        # Depth and the drained count must be read as one: the drain pops under it.
        self._lock = threading.Lock()
        self._popped_box = [0]
        # (appended at its start, start ns) of finished callbacks that posted.
        self._owners = collections.deque()
        self._current = (0, 0)
        self._latency = array.array("q")

    def start(self, maviro, timing=False):
        """Zero the bridge's counters for a run; returns the timing setting to restore."""
        self._queue = q = maviro.event_queue
        self._maviro = maviro
        self.callback_started = self._tracer(q)
        previous = maviro.set_bridge_timing(bool(timing))
        maviro.reset_bridge_stats()
        return previous

    def finish(self, type_key):
        """Read the bridge's counters at the end; ``type_key`` maps an EVENT member name."""
        self.bridge = stats = self._maviro.bridge_stats()
        self.posted = collections.Counter({type_key(name): n
                                           for name, n in stats["events"].items() if n})
        return stats

    def callback_started(self):
        """Replaced by ``start`` for the run."""

    def _tracer(self, q, _now=time.perf_counter_ns):
        # A closure: it runs once per callback on the SDK thread.
        lock, push, popped = self._lock, self._owners.append, self._popped_box
        counts_drops = hasattr(q, "dropped")

        def callback_started():
            with lock:
                appended = len(q) + popped[0] + ((q.dropped or 0) if counts_drops else 0)
            current = self._current
            if appended > current[0]:
                push(current)
            # After the push: a drain that sees the new start finds the old one queued.
            self._current = (appended, _now())
        return callback_started

    def drain_one(self, q, _now=time.perf_counter_ns):
        """Pop the oldest event, note its latency and return it. The caller
        counts it in ``drained`` under the name the host adapter gives it."""
        popped = self._popped_box
        with self._lock:
            event = q.popleft()
            index = popped[0] + (getattr(q, "dropped", 0) or 0)
            popped[0] += 1
        now = _now()
        current = self._current
        if current[0] <= index:
            started = current[1]
        else:
            owners = self._owners
            while len(owners) > 1 and owners[1][0] <= index:
                owners.popleft()
            started = owners[0][1] if owners and owners[0][0] <= index else None
        if started:
            self._latency.append(now - started)
        return event

    def latency_ns(self):
        """(count, p50, p99, max) in nanoseconds; None values when no event."""
        lat = sorted(self._latency)
        return (len(lat), _percentile(lat, 0.50), _percentile(lat, 0.99),
                lat[-1] if lat else None)


def _percentile(sorted_values, q):
    if not sorted_values:
        return None
    k = max(0, min(len(sorted_values) - 1, int(math.ceil(q * len(sorted_values))) - 1))
    return sorted_values[k]
