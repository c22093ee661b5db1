"""The tool against a second host and SDK written here: a minimal host with
its own adapter, whose events, orders and positions keep their values
otherwise than the stand-in host's, and an SDK whose strategy base has a
read-only ``context`` (as a native type's would be) and whose enumerations
are plain classes holding only the members the bridge relies on. Nothing of
the stand-ins is importable in that process."""
import json
import shutil
import textwrap

import pytest

from bridge_replay.player import default_session
from replay_support import run_tool

KIT = '''
import datetime
import fractions


class Rec:
    """Any host record: keeps what it was built with."""

    def __init__(self, *args, **kwargs):
        self.args = args
        self.__dict__.update(kwargs)

    @classmethod
    def __from_create__(cls, *args, **kwargs):
        return cls(*args, **kwargs)

    @classmethod
    def from_mach(cls, *args, **kwargs):
        return cls(*args, **kwargs)

    def set_state(self, *args, **kwargs):
        self.state = (args, kwargs)


def members(cls, *names):
    for name in names:
        m = object.__new__(cls)
        m.name = name
        setattr(cls, name, m)
    return cls


def stamp_to_datetime(x):
    ms = round(fractions.Fraction(x) * 1000)
    # A float stamp may round to an instant that does not exist (second 60): its neighbours.
    for stamp in (ms, ms - 1, ms + 1):
        try:
            return datetime.datetime.strptime(str(stamp // 1000), "%Y%m%d%H%M%S").replace(
                microsecond=stamp % 1000 * 1000)
        except ValueError:
            pass
    raise ValueError("no time stamp %r" % (x,))
'''

HOST = {
    "korvane/__init__.py": "",
    "korvane/orvik/__init__.py": "",
    "korvane/orvik/_kit.py": KIT,
    "korvane/orvik/environment.py": '''
from korvane.orvik._kit import Rec


class Environment:
    universe = []

    @classmethod
    def get_instance(cls):
        return ENV

    def get_universe(self):
        return self.universe

    def get_account(self, market_code):
        return "account-" + market_code.rpartition(".")[2]

    class data_proxy:
        @staticmethod
        def instruments(code):
            return code


ENV = Environment()
''',
    "korvane/orvik/core/__init__.py": "",
    "korvane/orvik/core/events.py": '''
from korvane.orvik._kit import members


class EVENT:
    pass


members(EVENT, "BEFORE_TRADING", "OPEN_AUCTION", "AFTER_TRADING", "TICK", "L2_ORDER",
        "L2_TRANSACTION", "BAR", "LOGIN", "QUERY_ACCOUNT", "QUERY_POSITION",
        "ORDER_CREATION_PASS", "TRADE", "ORDER_CANCELLATION_PASS", "ORDER_PENDING_CANCEL",
        "ORDER_UNSOLICITED_UPDATE", "ORDER_CANCELLATION_REJECT", "ALGO_LOGIN",
        "PARENT_ORDER_CREATE", "PARENT_ORDER_CANCEL", "PARENT_ORDER_PAUSE",
        "PARENT_ORDER_RESUME", "PARENT_ORDER_UPDATE", "CHILD_ORDER_UPDATE", "CHILD_ORDER_TRADE")


class Event:
    """Its type and fields under names of its own."""

    __slots__ = ("kind", "data")

    def __init__(self, event_type, **kw):
        self.kind = event_type
        self.data = kw
''',
    "korvane/orvik/const.py": '''
from korvane.orvik._kit import members


class ORDER_STATUS:
    pass


class SIDE:
    pass


class POSITION_DIRECTION:
    pass


members(ORDER_STATUS, "SUBMITTED", "ACTIVE", "PARTIALLY_FILLED", "FILLED", "CANCELLED",
        "REJECTED")
members(SIDE, "BUY", "SELL")
members(POSITION_DIRECTION, "LONG", "SHORT")
''',
    "korvane/orvik/model/__init__.py": "",
    "korvane/orvik/model/order.py": '''
from korvane.orvik.const import ORDER_STATUS


class Order:
    """Slots, a constructor of its own, and its own initial status."""

    __slots__ = ("market_code", "order_id", "side", "position_effect", "price", "amount",
                 "status", "filled_quantity", "unfilled_quantity", "avg_price",
                 "secondary_order_id", "cash", "reason")

    def __init__(self, market_code, order_id, side, price, amount, position_effect=None):
        self.market_code, self.order_id, self.side = market_code, order_id, side
        self.price, self.amount, self.position_effect = price, amount, position_effect
        self.status = ORDER_STATUS.SUBMITTED
        self.filled_quantity, self.unfilled_quantity, self.avg_price = 0, amount, 0.0
        self.secondary_order_id, self.cash, self.reason = None, 0.0, ""

    def set_frozen_cash(self, value):
        self.cash = value

    def mark_rejected(self, reason):
        self.status = ORDER_STATUS.REJECTED
        self.reason = reason
''',
    "korvane/orvik/utils/__init__.py": "",
    "korvane/orvik/utils/datetime_func.py": '''
from korvane.orvik._kit import stamp_to_datetime as convert_int_to_datetime
from korvane.orvik._kit import stamp_to_datetime as convert_int_to_whole_date
''',
    "korvane/orvik/utils/trade_func.py": '''
def get_exchane_from_mach_mdtype(market):
    return "XSHE"


def get_mach_tdtype(name):
    return name


def _same(code, market=None):
    return code


get_side_from_mach_l2_order = get_order_type_from_mach_l2_order = _same
get_trade_type_from_mach = get_l2order_type_from_mach = _same
''',
    "korvane/orvik/utils/logger.py": '''
class _Log:
    def info(self, text):
        pass

    warning = info


system_log = user_system_log = _Log()
''',
    "korvane/orvik/portfolio/__init__.py": "",
    "korvane/orvik/portfolio/account.py": "from korvane.orvik._kit import Rec as Asset\n",
    "korvane/orvik/portfolio/position.py": '''
class Position:
    """Its figures in one dict."""

    def __init__(self, code, direction, init_qty):
        self.key = (code, direction)
        self.figures = {"init_qty": init_qty}

    def set_state(self, state):
        self.figures.update(state)
''',
}
for _name in ("tick:TickObject", "trade:Trade", "l2_order:L2Order",
              "l2_transaction:L2Transaction", "algo_parent_order:AlgoParentOrder",
              "algo_child_order:AlgoChildOrder", "algo_child_trade:AlgoChildTrade"):
    _module, _cls = _name.split(":")
    HOST["korvane/orvik/model/%s.py" % _module] = "from korvane.orvik._kit import Rec as %s\n" % _cls

SDK = {
    "pymach/__init__.py": "",
    "pymach/strategy.py": '''
class MachStrategy:
    """Like a native base: takes no argument, and its context cannot be set."""

    @property
    def context(self):
        raise RuntimeError("no gateway connection in this test")
''',
    "pymach/enums.py": '''
from korvane.orvik._kit import members

__all__ = ["MDType", "MarketType", "SubscribeDataType", "AlgoType", "OrderStatusType",
           "AlgoControlType"]


class MDType: pass
class MarketType: pass
class SubscribeDataType: pass
class AlgoType: pass
class OrderStatusType: pass
class AlgoControlType: pass


members(MDType, "MaMD", "AMD")
members(MarketType, "SZSE")
members(SubscribeDataType, "Bar")
members(AlgoType, "ATX")
members(OrderStatusType, "UnSend", "Sended", "PartiallyFilled", "Filled",
        "PartiallyFilledPartiallyCancelled", "WaitCancelled", "PartiallyFilledWaitCancelled",
        "Cancelled", "Reject")
members(AlgoControlType, "Pause", "Resume")
''',
    "minhost.py": '''
from bridge_replay.host import HostAdapter


_KEPT = ("status", "filled_quantity", "unfilled_quantity", "avg_price", "secondary_order_id")


class Host(HostAdapter):
    def setup(self, universe, accounts):
        from korvane.orvik.environment import ENV
        ENV.universe = list(universe)

    def make_order(self, attrs):
        from korvane.orvik.model.order import Order
        order = Order(attrs["market_code"], attrs["order_id"], attrs["side"], attrs["price"],
                      attrs["quantity"], attrs.get("position_effect"))
        for name in _KEPT:
            if name in attrs:
                setattr(order, name, attrs[name])
        return order

    def order_attrs(self, order):
        attrs = {name: getattr(order, name) for name in
                 ("market_code", "order_id", "side", "price", "position_effect") + _KEPT}
        attrs["quantity"] = order.amount
        return attrs

    def describe_event(self, event):
        return "EVENT." + event.kind.name, event.data

    def describe_position(self, position):
        code, direction = position.key
        f = position.figures
        return {"market_code": code, "direction": direction, "quantity": f["quantity"],
                "avg_price": f["avg_price"], "market_value": f["market_value"]}

    def describe_asset(self, asset):
        return {"fund_account_id": asset.args[0], "total_asset": asset.args[4]}

    def enumerations(self):
        from korvane.orvik import const
        return [const.ORDER_STATUS, const.SIDE]
''',
}

ZEROS = {"on_snapshot": {"orig_time": 20240315093000500, "security_id": "000001",
                         "ask_price": [10.1], "bid_price": [10.0], "ask_volume": [100],
                         "bid_volume": [200], "last_price": 10.05, "trading_phase_code": "T"},
         "on_bar": {"security_id": "000001", "end_time": 20240315093100, "close": 10.05}}


def _line(t, cb, rec=None, x=None):
    from bridge_replay.session.schema import CALLBACKS
    line = {"t": "2024-03-15T%s" % t, "cb": cb}
    if rec is not None:
        full = dict.fromkeys(CALLBACKS[cb][2], 0)
        full.update(rec)
        for k in x or {}:
            full.pop(k, None)
        line["rec"] = full
        if x:
            line["x"] = x
    return json.dumps(line)


def _session(path):
    header = {"format": "pymach-session", "version": 2, "start": "2024-03-15T08:30:00",
              "end": "2024-03-15T16:00:00", "universe": ["000001.XSHE"],
              "config": {"md_type": "MDType.MaMD", "order_way": 0, "accounts": {"stock": "acct_sim"},
                         "trading_calendar": ["2024-03-14", "2024-03-15", "2024-03-18"]}}
    lines = [
        json.dumps(header),
        _line("09:30:00.500000", "on_snapshot", ZEROS["on_snapshot"],
              {"market_type": "MarketType.SZSE"}),
        json.dumps({"t": "2024-03-15T09:30:01", "cb": "$order", "client_order_id": 7,
                    "order": {"market_code": "000001.XSHE", "order_id": 7, "side": "SIDE.BUY",
                              "position_effect": None, "price": 10.0, "quantity": 100}}),
        _line("09:30:02", "on_order", {"client_order_id": 7, "order_qty": 100,
                                       "trade_qty": 100, "total_trade_value": 1000.0,
                                       "last_match_qty": 100, "last_match_price": 10.0,
                                       "counter_order_id": 55},
              {"order_status": "OrderStatusType.Filled"}),
        _line("09:31:00.100000", "on_bar", ZEROS["on_bar"], {"market_type": "MarketType.SZSE"}),
        _line("15:40:00", "on_switch_day"),
    ]
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("site")
    for name, text in {**HOST, **SDK}.items():
        f = root / name
        f.parent.mkdir(parents=True, exist_ok=True)
        f.write_text(textwrap.dedent(text))
    # The bridge is copied into this host's tree, as into a real host's.
    import korvane.orvik.utils.maviro as installed
    shutil.copy(installed.__file__, str(root / "korvane/orvik/utils"))
    return {"PYTHONPATH": str(root)}


def test_the_tool_runs_against_another_host_and_sdk(site, tmp_path):
    session = _session(tmp_path / "day.jsonl")
    events = tmp_path / "events.jsonl"
    proc = run_tool("replay", session, "--host", "minhost:Host", "--events", events,
                    "--json", tmp_path / "s.json", "--strict", "--record", tmp_path / "rec.jsonl",
                    env=site, cwd=str(tmp_path))
    assert proc.returncode == 0, (proc.stdout + proc.stderr).decode()
    s = json.loads((tmp_path / "s.json").read_text())
    assert s["callbacks"] == {"on_bar": 1, "on_order": 1, "on_snapshot": 1, "on_switch_day": 1}
    assert [p["event"] for p in s["phase_events"]] == [
        "EVENT.BEFORE_TRADING", "EVENT.OPEN_AUCTION", "EVENT.AFTER_TRADING"]
    names = [json.loads(l)["event"] for l in events.read_text().splitlines()]
    assert names == ["EVENT.BEFORE_TRADING", "EVENT.OPEN_AUCTION", "EVENT.TICK", "EVENT.TRADE",
                     "EVENT.BAR", "EVENT.AFTER_TRADING"]
    # Drained events are counted by the adapter's names: this host's events have no event_type.
    assert s["events"]["drained"] == dict.fromkeys(sorted(names), 1)
    assert s["events"]["lost"] == 0
    trade = json.loads(events.read_text().splitlines()[3])["fields"]
    assert trade["order"]["status"] == "ORDER_STATUS.FILLED"
    # The SDK's own context raises: the timers ran on the tool's context and clock.
    assert s["timers_pending"] and s["host_orders"]["by_final_status"] == {
        "ORDER_STATUS.FILLED": 1}
    # The recording took the order through the adapter (slots, its own names) and
    # replays to the same events.
    again = tmp_path / "again.jsonl"
    proc = run_tool("replay", tmp_path / "rec.jsonl", "--host", "minhost:Host", "--events", again,
                    env=site, cwd=str(tmp_path))
    assert proc.returncode == 0, (proc.stdout + proc.stderr).decode()
    assert again.read_text() == events.read_text()


def test_the_bundled_day_plays_cleanly_on_this_platform(site, tmp_path):
    """What make demo plays names nothing this SDK and host lack."""
    proc = run_tool("replay", default_session(), "--host", "minhost:Host",
                    "--json", tmp_path / "s.json", env=site, cwd=str(tmp_path))
    text = proc.stdout.decode()
    assert proc.returncode == 0 and text.rstrip().endswith("OK"), text + proc.stderr.decode()
    s = json.loads((tmp_path / "s.json").read_text())
    assert s["events"]["lost"] == 0 and s["events"]["drained"]["EVENT.BAR"] == 240
    assert s["host_orders"]["submitted"] == 200 and "ORDER_STATUS.SUBMITTED" not in \
        s["host_orders"]["by_final_status"]
    # Positions and the account as the adapter describes them.
    first = s["positions"][0]
    assert set(first) == {"market_code", "direction", "quantity", "avg_price", "market_value"}
    assert "  %-12s POSITION_DIRECTION.LONG" % first["market_code"] in text
    assert "qty %10s" % "{:,}".format(first["quantity"]) in text
    assert s["account"] == {"fund_account_id": "100200300", "total_asset": 6622963.0}
