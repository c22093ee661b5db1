"""Construction and start-up: the attributes, and the gateways, subscription and
clock that initialize registers for each kind of configuration."""
import datetime as dt
import types

import pytest

from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log
from pymach.context import Context
from pymach.enums import AlgoType, MarketType, MDType, SubscribeDataType, TDType


class Recorder:
    """A gateway context that records every call with its keyword arguments,
    so a keyword use would show."""

    def __init__(self, log):
        self.log = log

    def __getattr__(self, name):
        return lambda *args, **kwargs: self.log.append((name, args, kwargs))


class Probe(maviro.MachStrategy):
    # The daily clock has its own tests; here it only has to be called, last.
    def set_timer(self):
        self.context.log.append(("set_timer", (), {}))


def start(**base):
    config = types.SimpleNamespace(base=types.SimpleNamespace(**base))
    bridge = object.__new__(Probe)
    bridge.config = config
    bridge.context = Recorder([])
    system_log.clear()
    assert bridge.initialize("ignored: the bridge reads self.config") is None
    assert system_log.records == [("info", "MachStrategy initialize...")]
    return bridge, bridge.context.log


def sub(md):
    return ("subscribe", (md, MarketType.SZSE, SubscribeDataType.Bar, [], "1m"), {})


def call(name, arg):
    return (name, (arg,), {})


@pytest.mark.parametrize("base, gateways, td", [
    (dict(md_type="MaMD", order_way="fast", accounts={"stock": "s_sim"}, algo_account="a_ATX"),
     [call("add_md_broker", MDType.MaMD), call("set_order_way", "fast"), call("add_td_broker", TDType.Sim),
      call("add_algo_broker", AlgoType.ATX)], TDType.Sim),
    # Exact, case-sensitive text match; anything else is AMD.
    (dict(md_type="mamd", accounts={}), [call("add_md_broker", MDType.AMD)], None),
    (dict(md_type=MDType.MaMD, accounts={}), [call("add_md_broker", MDType.AMD)], None),
    # Nothing optional present; an empty accounts leaves "mach_td" unset.
    (dict(accounts={}), [call("add_md_broker", MDType.AMD)], None),
    # A present order_way is passed on whatever it holds, None included.
    (dict(order_way=None, accounts={}), [call("add_md_broker", MDType.AMD), call("set_order_way", None)], None),
    (dict(accounts={"stock": "x_sim", "future": "y_Paper"}),
     [call("add_md_broker", MDType.AMD), call("add_td_broker", TDType.Sim), call("add_td_broker", TDType.Paper)],
     TDType.Paper),
    (dict(accounts={}, algo_account="p_aTx"), [call("add_md_broker", MDType.AMD), call("add_algo_broker", AlgoType.ATX)], None),
    (dict(accounts={}, algo_account="p_twap"), [call("add_md_broker", MDType.AMD)], None),
    (dict(accounts={}, algo_account="atx_sim"), [call("add_md_broker", MDType.AMD)], None),
    (dict(accounts={}, algo_account=None), [call("add_md_broker", MDType.AMD)], None),
])
def test_initialize_registers_what_the_configuration_asks_for(base, gateways, td):
    bridge, log = start(**base)
    md = gateways[0][1][0]
    assert log == gateways + [sub(md), ("set_timer", (), {})]
    expected = {"mach_md": md, "mach_context": bridge.context}
    if td is not None:
        expected["mach_td"] = td
    assert maviro.mach_params == expected


def test_trading_type_is_asked_twice_per_entry_and_the_second_answer_kept(monkeypatch):
    asked = []

    def get_mach_tdtype(name):
        asked.append(name)
        return (name, len(asked))

    monkeypatch.setattr(maviro, "get_mach_tdtype", get_mach_tdtype)
    _, log = start(accounts={"a": "x_sim", "b": "y_relay"})
    assert asked == ["SIM", "SIM", "RELAY", "RELAY"]
    assert [c for c in log if c[0] == "add_td_broker"] == [call("add_td_broker", ("SIM", 1)),
                                                          call("add_td_broker", ("RELAY", 3))]
    assert maviro.mach_params["mach_td"] == ("RELAY", 4)


class Base:
    def __init__(self, error):
        self.error = error
        self.accounts = {}

    @property
    def md_type(self):
        raise self.error("md_type unreadable")


@pytest.mark.parametrize("error, md", [(AttributeError, MDType.AMD), (RuntimeError, None)])
def test_only_attribute_error_counts_as_a_missing_member(error, md):
    bridge = object.__new__(Probe)
    bridge.config = types.SimpleNamespace(base=Base(error))
    bridge.context = Recorder([])
    if md is None:
        with pytest.raises(RuntimeError, match="unreadable"):
            bridge.initialize(None)
        assert bridge.context.log == []
    else:
        bridge.initialize(None)
        assert bridge.context.log[0] == call("add_md_broker", md)


@pytest.mark.parametrize("base, bad, done", [
    (dict(accounts={"a": "x_sim", "b": "nounderscore", "c": "y_paper"}), "nounderscore",
     [call("add_md_broker", MDType.AMD), call("add_td_broker", TDType.Sim)]),
    (dict(accounts={"a": "x_sim_paper"}), "x_sim_paper", [call("add_md_broker", MDType.AMD)]),
    (dict(accounts={"a": "x_sim"}, algo_account="atx"), "atx",
     [call("add_md_broker", MDType.AMD), call("add_td_broker", TDType.Sim)]),
])
def test_bad_descriptor_names_itself_and_keeps_earlier_registrations(base, bad, done):
    bridge = object.__new__(Probe)
    bridge.config = types.SimpleNamespace(base=types.SimpleNamespace(**base))
    bridge.context = Recorder([])
    with pytest.raises(ValueError, match="'%s'" % bad):
        bridge.initialize(None)
    assert bridge.context.log == done
    assert "mach_context" not in maviro.mach_params


def test_construction_sets_the_shared_attributes_in_order():
    order = []

    class Watch(maviro.MachStrategy):
        def __setattr__(self, name, value):
            order.append(name)
            super().__setattr__(name, value)

    config = object()
    bridge = Watch(config)
    assert order == ["context", "logged_in", "order_num", "bar_cnt", "current_trade_dt", "first_dt", "config"]
    assert isinstance(bridge.context, Context)
    assert (bridge.logged_in, bridge.order_num, bridge.bar_cnt, bridge.current_trade_dt) == (False, 0, 0, 0)
    assert bridge.first_dt == dt.date.today() and type(bridge.first_dt) is dt.date
    assert bridge.config is config
    assert bridge.on_initialize() is None

