"""Adapter for the project's stand-in host (the korvane stand-ins): the only
module of the tool that imports the host."""

import itertools

from bridge_replay.host import HostAdapter


class StandInHost(HostAdapter):
    def setup(self, universe, accounts):
        from korvane.orvik.environment import Environment
        import korvane.orvik.model.trade as trade_module

        env = Environment()
        env.universe = list(universe)
        old_env = Environment._instance
        old_ids = trade_module._trade_ids
        Environment.set_instance(env)
        # Trade ids from 1 in every run, so two runs log the same events.
        trade_module._trade_ids = itertools.count(1)

        def undo():
            Environment.set_instance(old_env)
            trade_module._trade_ids = old_ids
        return undo

    def make_order(self, attrs):
        from korvane.orvik.model.order import Order
        return Order(**attrs)

    def describe_event(self, event):
        return "%s.%s" % (type(event.event_type).__name__, event.event_type.name), event.fields

    def enumerations(self):
        from korvane.orvik import const
        from korvane.orvik.core.events import EVENT
        import enum
        return [v for v in vars(const).values()
                if isinstance(v, type) and issubclass(v, enum.Enum) and v is not enum.Enum] \
            + [EVENT]
