"""Gateway SDK strategy base class."""

from pymach.context import Context


class MachStrategy:
    """Base of the bridge's strategy. Gives each instance its gateway context.

    ``default_clock`` (None: real time) is the clock every new context gets;
    a test sets it to a ``VirtualClock`` before constructing the
    bridge, e.g. with ``monkeypatch.setattr(MachStrategy, "default_clock", c)``.
    The hooks and callbacks are the subclass's own: there are no defaults here.
    """

    default_clock = None
    context: Context

    def __init__(self):
        self.context = Context(clock=type(self).default_clock)
