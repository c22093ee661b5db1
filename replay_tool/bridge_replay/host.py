"""The host adapter: what the replay needs to know about a host framework.

Chosen with ``--host MODULE:NAME`` (an instance, a class or a factory that
takes no argument). Subclass ``HostAdapter`` and override what differs:

``bridge``
    import name of the bridge module (default ``korvane.orvik.utils.maviro``).
``setup(universe, accounts)``
    prepare the host's environment for a run: the universe (market codes) and
    the accounts (``{account type: account id}`` from the session's
    configuration). Returns a callable that undoes it, or None.
``make_order(attrs)``
    rebuild a host order from its recorded attributes (a dict).
``order_attrs(order)``
    the reverse, for the recorder: a host order's attributes as a dict.
``order_status(order)``
    a host order's status, for the summary's count by final status.
``describe_event(event)``
    ``(type name, fields)`` of a drained host event: the name as
    "EVENT.TICK", the fields as a dict in the order they were posted.
``event_type_names(events)``
    the type names of a list of drained events, for events that are only
    counted (default: each from ``describe_event``; an adapter may answer it
    for less).
``describe_position(position)``, ``describe_asset(asset)``
    a host position or asset record from the query answers as a dict, for
    the summary; a position's ``market_code``, ``direction``, ``quantity``,
    ``avg_price`` and ``market_value`` fill its columns.
``universe()``
    the host's universe (market codes), for a recording's header.
``enumerations()``
    host enumeration classes that sessions may name (order sides, statuses...)
    beyond those the bridge module binds.
``sample_records()``
    for ``bridge-replay check``: ``{callback name: record}``, a gateway record
    the SDK would hand that callback, or the SDK's type of it (for
    ``on_query_position``, of one holding of the answer). Default none: the
    check then reads record types off the SDK strategy's callback annotations,
    or reports the attributes as unknown.
``sample_order()``
    for ``bridge-replay check``: a host order as the host puts it in the
    bridge's order book, or None (the default: its attributes are unknown).

The defaults suit hosts whose records keep their values in public
attributes, as the stand-in host's do. Only the adapter reads host objects:
the rest of the tool goes through it.
"""

import importlib

from bridge_replay.session.codec import record_attrs

DEFAULT_HOST = "bridge_replay.hosts.stand_in:StandInHost"


class HostAdapter:
    bridge = "korvane.orvik.utils.maviro"

    def load_bridge(self):
        return importlib.import_module(self.bridge)

    def setup(self, universe, accounts):
        return None

    def make_order(self, attrs):
        raise NotImplementedError("this host adapter cannot rebuild host orders")

    def order_attrs(self, order):
        attrs = record_attrs(order)
        if attrs is None:
            raise TypeError("a %s keeps no attributes to record: the host adapter needs "
                            "an order_attrs()" % type(order).__name__)
        return attrs

    def order_status(self, order):
        return getattr(order, "status", None)

    def describe_event(self, event):
        etype = event.event_type
        fields = {k: v for k, v in vars(event).items()
                  if k != "event_type" and not k.startswith("_")}
        return type_name(etype), fields

    def event_type_names(self, events):
        describe = self.describe_event
        return [describe(event)[0] for event in events]

    def describe_position(self, position):
        return _public(position)

    def describe_asset(self, asset):
        return _public(asset)

    def universe(self):
        return self.load_bridge().Environment.get_instance().get_universe()

    def enumerations(self):
        return ()

    def sample_records(self):
        return {}

    def sample_order(self):
        return None


def _public(obj):
    """An object's public attributes (its __dict__ or its slots), or the
    object itself under "value" when it keeps none where they can be seen."""
    attrs = record_attrs(obj)
    return {"value": obj} if attrs is None else attrs


def adapter_method(host, name):
    """The adapter's method ``name``, or HostAdapter's default for an adapter
    that does not subclass it and lacks the method (one written before it)."""
    method = getattr(host, name, None)
    if callable(method):
        return method
    return getattr(HostAdapter, name).__get__(host)


def type_name(member):
    name = getattr(member, "name", None)
    if isinstance(name, str):
        return "%s.%s" % (type(member).__name__, name)
    return str(member)


class HostLoadError(Exception):
    pass


def load_object(target, what="object"):
    """The object named by "MODULE:NAME" (NAME may be dotted)."""
    module, _, name = target.partition(":")
    if not module or not name:
        raise HostLoadError("expected MODULE:NAME, got %r" % (target,))
    try:
        obj = importlib.import_module(module)
        for part in name.split("."):
            obj = getattr(obj, part)
    except ImportError as exc:
        raise HostLoadError("cannot import %s for the %s: %s" % (module, what, exc)) from None
    except AttributeError:
        raise HostLoadError("%s has no %s (for the %s)" % (module, name, what)) from None
    return obj


def load_host(target=None):
    obj = load_object(target or DEFAULT_HOST, "host adapter")
    if isinstance(obj, type) or (callable(obj) and not hasattr(obj, "make_order")):
        obj = obj()
    for name in ("setup", "make_order", "describe_event"):
        if not callable(getattr(obj, name, None)):
            raise HostLoadError("host adapter %s has no %s()" % (target, name))
    return obj
