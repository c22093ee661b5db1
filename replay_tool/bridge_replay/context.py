"""The gateway context the replay gives a strategy, and how it is attached.

``VirtualContext`` answers what a strategy registers with the SDK: every call
is noted in ``calls`` as (name, arguments); ``add_timer_interval`` schedules
on the replay's virtual clock. Any other method the strategy calls is noted
too and answers None, so a strategy using more of the SDK still runs.

``with_context(cls, context)`` makes a subclass whose ``context`` is this one.
It is a property of the subclass, so it works whatever the SDK's base does
with ``context`` (a plain attribute set in its constructor, or a read-only
slot of a native type): the subclass's property is found first, and an
assignment by the base's constructor goes to ``sdk_context`` instead.
"""

import numbers
import threading


class VirtualContext:
    def __init__(self, clock):
        self.clock = clock
        self.calls = []
        self._lock = threading.Lock()

    def _note(self, name, args):
        with self._lock:
            self.calls.append((name, args))

    def add_timer_interval(self, interval, callback):
        if isinstance(interval, bool) or not isinstance(interval, numbers.Integral):
            raise TypeError("timer interval must be an integer number of nanoseconds, not %r"
                            % (interval,))
        if not callable(callback):
            raise TypeError("timer callback must be callable, not %r" % (callback,))
        self._note("add_timer_interval", (interval, callback))
        self.clock.schedule(int(interval), callback)

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)

        def call(*args):
            self._note(name, args)

        call.__name__ = name
        return call

    def __repr__(self):
        return "VirtualContext(%d calls)" % len(self.calls)


def with_context(cls, context):
    """A subclass of ``cls`` whose instances use ``context`` as their gateway context."""
    box = {}

    def get(self):
        return context

    def set_(self, value):
        box["sdk"] = value

    ns = {"context": property(get, set_, doc="The replay's virtual gateway context."),
          "sdk_context": property(lambda self: box.get("sdk")),
          "__module__": cls.__module__, "__qualname__": cls.__qualname__,
          "__doc__": cls.__doc__}
    return type(cls)(cls.__name__, (cls,), ns)
