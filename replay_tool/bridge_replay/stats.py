"""What the player counts about events: posted and drained per type, and the
latency from the start of the callback that posted an event to its drain.
Kept in one place so that another source of counts can replace it."""

import array
import collections
import math
import time


class EventStats:
    def __init__(self):
        self.posted = collections.Counter()
        self.drained = collections.Counter()
        self._stamps = collections.deque()
        self._latency = array.array("q")
        self.callback_started_ns = 0

    def callback_started(self, _now=time.perf_counter_ns):
        self.callback_started_ns = _now()

    def wrap_event(self, host_event):
        """A stand-in for the host's ``Event``: builds the host's own event
        and notes which callback posted it."""
        stamps, posted = self._stamps, self.posted

        def event(event_type, **fields):
            made = host_event(event_type, **fields)
            stamps.append(self.callback_started_ns)
            posted[event_type] += 1
            return made
        return event

    def drained_one(self, event_type, _now=time.perf_counter_ns):
        now = _now()
        if self._stamps:
            self._latency.append(now - self._stamps.popleft())
        self.drained[event_type] += 1

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
