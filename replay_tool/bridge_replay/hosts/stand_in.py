"""Adapter for the project's stand-in host (the korvane stand-ins): the only
module of the tool that imports the host or the SDK."""

import itertools
import operator

from bridge_replay.host import HostAdapter


_NAMES = {}  # id(member) -> "EVENT.TICK"; the member is kept in _MEMBERS
_MEMBERS = []
_event_type = operator.attrgetter("event_type")


def _type_name(member):
    name = _NAMES.get(id(member))
    if name is None:
        name = "%s.%s" % (type(member).__name__, member.name)
        if len(_MEMBERS) < 1024:
            _MEMBERS.append(member)
            _NAMES[id(member)] = name
    return name


_RECORD_TYPES = {
    "on_snapshot": "Snapshot", "on_tick_order": "TickOrder", "on_tick_trade": "TickTrade",
    "on_bar": "Bar", "on_login": "LoginRes", "on_query_asset": "AssetRes",
    "on_query_position": "PositionRes", "on_order": "OrderReport", "on_trade": "TradeReport",
    "on_order_action_error": "OrderActionError", "on_algo_login": "AlgoLoginRes",
    "on_create_algo_parent_order_res": "CreateParentOrderRes",
    "on_cancel_algo_parent_order_res": "CancelParentOrderRes",
    "on_control_algo_parent_order_res": "ControlParentOrderRes",
    "on_algo_parent_order_update": "ParentOrderUpdate",
    "on_algo_child_order_update": "ChildOrderUpdate", "on_algo_child_order_trade": "ChildTrade",
}


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
        return _type_name(event.event_type), event.fields

    def event_type_names(self, events):
        # By the member's id (an enum member hashes in Python); the cache holds
        # each member it names, so no other object can take that id.
        names = list(map(_NAMES.get, map(id, map(_event_type, events))))
        if not all(names):
            names = [name or _type_name(event.event_type) for name, event in zip(names, events)]
        return names

    def sample_records(self):
        # The stand-in SDK declares a record type per callback.
        from pymach import records
        return {callback: getattr(records, name) for callback, name in _RECORD_TYPES.items()}

    def sample_order(self):
        from korvane.orvik.const import SIDE
        return self.make_order(dict(market_code="000001.XSHE", order_id=1, side=SIDE.BUY, price=10.0,
                                    quantity=100))

    def enumerations(self):
        from korvane.orvik import const
        from korvane.orvik.core.events import EVENT
        import enum
        return [v for v in vars(const).values()
                if isinstance(v, type) and issubclass(v, enum.Enum) and v is not enum.Enum] \
            + [EVENT]
