"""The stand-ins' own logic: time converters, the shell-profile rewrite, the
virtual clock and its bindings, algo record folding and the code mappers."""
import copy
import datetime as dt
import itertools
import math
import os
import random
import shutil
import stat
import subprocess
import threading

import numpy
import pytest

from korvane.orvik.const import POSITION_DIRECTION, SIDE
from korvane.orvik.core.events import EVENT, Event
from korvane.orvik.environment import Environment
from korvane.orvik.model.algo_child_trade import AlgoChildTrade
from korvane.orvik.model.algo_parent_order import AlgoParentOrder
from korvane.orvik.portfolio.position import Position
from korvane.orvik.sdk.script_update import update_bash_file
from korvane.orvik.utils import datetime_func
from korvane.orvik.utils.datetime_func import convert_int_to_datetime, convert_int_to_whole_date
from korvane.orvik.utils import trade_func
from pymach.clock import VirtualClock
from pymach.context import Context
from pymach.enums import MarketType, TDType
from pymach.records import Record

D = dt.datetime


# --- time converters ---------------------------------------------------------

@pytest.mark.parametrize("value, expected", [
    (20240102093000, D(2024, 1, 2, 9, 30)),
    (20240229235959, D(2024, 2, 29, 23, 59, 59)),
    (20240102093000.5, D(2024, 1, 2, 9, 30, 0, 500000)),
    # A float at the ms boundary carries into the next second ...
    (20240102093001.0 - 2 ** -8, D(2024, 1, 2, 9, 30, 0, 996000)),
    # ... but 093059.999 / 1000 rounds to 093060.0, which must not become second 60.
    (20240102093059999 / 1000, D(2024, 1, 2, 9, 30, 59, 999000)),
    (20231231235959999 / 1000, D(2023, 12, 31, 23, 59, 59, 999000)),
    (numpy.float64(20240102093000.5), D(2024, 1, 2, 9, 30, 0, 500000)),
    (numpy.int64(20240102093000), D(2024, 1, 2, 9, 30)),
])
def test_convert_int_to_datetime(value, expected):
    assert convert_int_to_datetime(value) == expected


@pytest.mark.parametrize("second", [D(2024, 1, 2, 9, 30, 58), D(2024, 1, 2, 23, 59, 58)])
def test_divided_stamps_land_within_float_error_and_in_order(second):
    # Three seconds of stamps around a minute (and a day) boundary, as the
    # bridge passes them: stamp / 1000.
    previous = None
    for ms in range(3000):
        truth = second + dt.timedelta(milliseconds=ms)
        stamp = int(truth.strftime("%Y%m%d%H%M%S")) * 1000 + ms % 1000
        got = convert_int_to_datetime(stamp / 1000)
        assert abs(got - truth) <= dt.timedelta(milliseconds=2), stamp
        assert got.microsecond % 1000 == 0
        assert previous is None or got >= previous
        previous = got


def _outcome(convert, value):
    try:
        return convert(value)
    except (ValueError, OverflowError) as e:
        return type(e)


def _exact(value):
    return datetime_func._nearest_valid(float(value), value, "YYYYMMDDHHMMSS.fff")


def _day_of_stamps(day):
    """Stamps / 1000 over a day: each minute at its edge seconds and milliseconds."""
    base = int(day.strftime("%Y%m%d")) * 10 ** 9
    for hour, minute in itertools.product(range(24), range(60)):
        for second, ms in itertools.product((0, 29, 59), (0, 1, 499, 500, 998, 999)):
            yield (base + hour * 10 ** 7 + minute * 10 ** 5 + second * 1000 + ms) / 1000


def _edge_values():
    rng = random.Random(20)
    yield from (rng.uniform(1e13, 1e14) for _ in range(3000))  # mostly no valid instant at all
    for whole in (10000101000000, 20240102093000, 20240229235959, 20230228235959, 99991231235959):
        # A tie between two milliseconds (1/16 s is 62.5 ms) and the float's
        # neighbours around the second's end and its start.
        yield whole + 1 / 16
        yield math.nextafter(whole + 1.0, 0.0) if hasattr(math, "nextafter") else whole + 1.0 - 2 ** -8
        yield float(whole) - 2 ** -8
        yield whole + 0.9996
    yield from (0.0, -0.0, -20240102093000.5, 2024.5, 5e-324, 1e300, 99991231235959.9999, 10000101000000.0)


@pytest.mark.parametrize("values", [_day_of_stamps(D(2024, 2, 29)), _edge_values()], ids=["day", "edges"])
def test_converter_fast_path_matches_the_exact_search(values):
    for value in values:
        assert _outcome(convert_int_to_datetime, value) == _outcome(_exact, value), repr(value)


@pytest.mark.parametrize("bad, error", [
    (20240230093000, ValueError), (20240102093060, ValueError), (2024.5, ValueError),
    (20240102093060.5, ValueError), (-1.0, ValueError), (float("nan"), ValueError),
    (float("inf"), ValueError), (True, TypeError), ("20240102093000", TypeError), (None, TypeError),
])
def test_convert_int_to_datetime_refuses(bad, error):
    with pytest.raises(error):
        convert_int_to_datetime(bad)


def test_convert_int_to_whole_date():
    assert convert_int_to_whole_date(20240102150000) == D(2024, 1, 2, 15)
    with pytest.raises(TypeError):
        convert_int_to_whole_date(20240102150000.0)
    with pytest.raises(ValueError, match="20241302150000"):
        convert_int_to_whole_date(20241302150000)


# --- shell profile -----------------------------------------------------------

@pytest.fixture
def home(tmp_path, monkeypatch):
    monkeypatch.setenv("HOME", str(tmp_path))
    return tmp_path


def sourced(path, name):
    return subprocess.run(["bash", "--norc", "-c", '. "$1"; printf %s "$' + name + '"', "_",
                           str(path)], capture_output=True, text=True, check=True).stdout


def test_bashrc_created_private_when_missing(home):
    update_bash_file(["KORVANE_LICENSE"], "ann:pw")
    rc = home / ".bashrc"
    assert rc.read_text() == "export KORVANE_LICENSE=ann:pw\n"
    assert stat.S_IMODE(rc.stat().st_mode) == 0o600


@pytest.mark.skipif(shutil.which("bash") is None, reason="needs bash")
def test_bashrc_lines_replaced_in_place_and_value_quoted(home):
    rc = home / ".bashrc"
    rc.write_text("# mine\nexport A=old\nalias ll='ls -l'\n  export A=older\nexport AB=keep")
    rc.chmod(0o644)
    value = "it's $HOME `x` \"q\" ;:"
    update_bash_file(["A", "B"], value)
    lines = rc.read_text().splitlines()
    assert lines[0] == "# mine" and lines[2] == "alias ll='ls -l'" and lines[4] == "export AB=keep"
    assert lines[1].startswith("export A=") and lines[3].startswith("  export A=")
    assert lines[5].startswith("export B=") and len(lines) == 6
    assert sourced(rc, "A") == value and sourced(rc, "B") == value
    assert sourced(rc, "AB") == "keep"
    assert stat.S_IMODE(rc.stat().st_mode) == 0o644


def test_bashrc_symlink_is_followed(home):
    target = home / "dotfiles" / "bashrc"
    target.parent.mkdir()
    target.write_text("export X=1\n")
    (home / ".bashrc").symlink_to(target)
    update_bash_file("X", "2")
    assert (home / ".bashrc").is_symlink()
    assert target.read_text() == "export X=2\n"


def test_bashrc_untouched_when_rename_fails(home, monkeypatch):
    rc = home / ".bashrc"
    rc.write_text("export A=old\n")

    def fail(*args):
        raise OSError("disk full")
    monkeypatch.setattr(os, "replace", fail)
    with pytest.raises(OSError, match="disk full"):
        update_bash_file(["A"], "new")
    assert rc.read_text() == "export A=old\n"
    assert sorted(p.name for p in home.iterdir()) == [".bashrc"]


@pytest.mark.parametrize("names, value", [
    (["1A"], "v"), (["A-B"], "v"), (["A B"], "v"), ([""], "v"), (["A"], "two\nlines"), (["A"], "nul\0"),
])
def test_bashrc_refuses_bad_input(home, names, value):
    with pytest.raises(ValueError):
        update_bash_file(names, value)
    assert not (home / ".bashrc").exists()


# --- virtual clock -----------------------------------------------------------

START = D(2024, 1, 2, 8, 30)


def test_timers_fire_in_due_order_ties_by_registration():
    clock = VirtualClock(START)
    ctx = Context(clock=clock)
    fired = []

    def timer(name):
        return lambda: fired.append((name, clock.now()))
    for name, seconds in [("3s", 3), ("1s-a", 1), ("1s-b", 1), ("past", -60), ("zero", 0)]:
        ctx.add_timer_interval(seconds * 10 ** 9, timer(name))
    assert [c[0] for c in ctx.calls] == ["add_timer_interval"] * 5
    assert [t[0] for t in ctx.timers] == [3 * 10 ** 9, 10 ** 9, 10 ** 9, -60 * 10 ** 9, 0]
    assert clock.advance(0.5) == 2
    assert clock.advance_to(START + dt.timedelta(seconds=10)) == 3
    second = dt.timedelta(seconds=1)
    assert fired == [("past", START), ("zero", START), ("1s-a", START + second),
                     ("1s-b", START + second), ("3s", START + 3 * second)]
    assert clock.now() == START + 10 * second


def test_timers_registered_while_firing():
    clock = VirtualClock(START)
    ctx = Context(clock=clock)
    fired = []

    def rearm():
        fired.append(clock.now())
        ctx.add_timer_interval(4 * 10 ** 9, rearm)
    ctx.add_timer_interval(4 * 10 ** 9, rearm)
    clock.advance(10)
    assert fired == [START + dt.timedelta(seconds=s) for s in (4, 8)]
    assert [due for due, _ in clock.pending()] == [START + dt.timedelta(seconds=12)]
    with pytest.raises(ValueError):
        clock.advance_to(START)


@pytest.mark.parametrize("interval, callback", [(1.5e9, print), (True, print), (10, "print")])
def test_context_refuses_bad_timers(interval, callback):
    ctx = Context(clock=VirtualClock(START))
    with pytest.raises(TypeError):
        ctx.add_timer_interval(interval, callback)
    assert ctx.calls == [] and ctx.timers == []


def test_real_time_timer_fires_once():
    done = threading.Event()
    calls = []
    ctx = Context()
    ctx.add_timer_interval(1_000_000, lambda: (calls.append(1), done.set()))
    assert done.wait(5)
    ctx.cancel_timers()
    assert calls == [1]


def test_datetime_and_numpy_bindings_follow_the_clock():
    clock = VirtualClock(D(2024, 1, 2, 23, 59, 59))
    vdt, vnp = clock.datetime_class(), clock.numpy_proxy()
    assert issubclass(vdt, dt.datetime) and clock.datetime_class() is vdt
    assert vdt.now() == vdt.today() == D(2024, 1, 2, 23, 59, 59)
    assert vnp.datetime64("today", "D") == numpy.datetime64("2024-01-02")
    clock.advance(1)
    assert vnp.datetime64("today", "D") == numpy.datetime64("2024-01-03")
    tomorrow_8am = vdt.now().replace(hour=8) + dt.timedelta(days=1)
    assert tomorrow_8am - vdt.now() == dt.timedelta(days=1, hours=8)
    assert vdt.combine(vdt.now().date(), dt.time(9)).time() == dt.time(9)
    assert vnp.datetime64("2020-05-01") == numpy.datetime64("2020-05-01")
    assert vnp.array([1, 2]).sum() == 3
    assert type(copy.deepcopy(vdt.combine(vdt.now().date(), dt.time(9)))) is dt.datetime


# --- records -----------------------------------------------------------------

def test_parent_order_folds_reports_into_the_same_record():
    first = AlgoParentOrder.from_mach(Record(sys_quote_id=7, status="new", qty=100, filled_qty=0), None)
    snapshot = copy.deepcopy(first)
    again = AlgoParentOrder.from_mach(Record(sys_quote_id=7, filled_qty=40), first)
    assert again is first
    assert (again.status, again.quantity, again.filled_quantity, again.update_count) == ("new", 100, 40, 2)
    assert (snapshot.filled_quantity, snapshot.update_count) == (0, 1)
    with pytest.raises(ValueError, match="8"):
        AlgoParentOrder.from_mach(Record(sys_quote_id=8), first)
    with pytest.raises(AttributeError):
        AlgoParentOrder.from_mach(Record(status="new"), None)


def test_child_trades_accumulate():
    trade = AlgoChildTrade.from_mach(Record(sys_quote_id="q", trade_qty=100, trade_price=10.0), None)
    trade = AlgoChildTrade.from_mach(Record(sys_quote_id="q", trade_qty=300, trade_price=12.0), trade)
    assert (trade.quantity, trade.avg_price, trade.last_price, trade.update_count) == (400, 11.5, 12.0, 2)
    with pytest.raises(TypeError):
        AlgoChildTrade.from_mach(Record(sys_quote_id="q", trade_qty="5", trade_price=1.0), trade)
    assert trade.quantity == 400


def test_position_state_is_checked_before_it_is_stored():
    pos = Position("000001.XSHE", POSITION_DIRECTION.LONG, 100)
    good = dict(quantity=100, available_qty=50, avg_price=10.5, last_price=11.0,
                market_value=1100.0, daily_pnl=50.0)
    pos.set_state(good)
    assert pos.avg_price == 10.5
    for bad, error in [({k: v for k, v in good.items() if k != "daily_pnl"}, ValueError),
                       (dict(good, extra=1), ValueError),
                       (dict(good, quantity=0, last_price="11"), TypeError),
                       (dict(good, quantity=None), TypeError)]:
        with pytest.raises(error):
            pos.set_state(bad)
        assert pos.quantity == 100
    with pytest.raises(TypeError):
        Position("000001.XSHE", "LONG", 100)


def test_event_keeps_keyword_order_and_refuses_reserved_names():
    ev = Event(EVENT.TRADE, account="a", trade="t", order="o")
    assert ev.event_type is EVENT.TRADE and ev.trade == "t"
    assert list(ev.fields) == ["account", "trade", "order"]
    with pytest.raises(TypeError):
        Event(EVENT.TICK, fields=1)


def test_environment_singleton_and_accounts(monkeypatch):
    monkeypatch.setattr(Environment, "_instance", None)
    env = Environment.get_instance()
    assert Environment.get_instance() is env
    assert env.get_account("000001.XSHE") is env.get_account("000002.XSHE")
    assert env.get_account("600000.XSHG") is not env.get_account("000001.XSHE")
    assert env.data_proxy.instruments("X.XSHE") is env.data_proxy.instruments("X.XSHE")


# --- code mappers ------------------------------------------------------------

def test_trading_gateway_names():
    assert trade_func.get_mach_tdtype("SIM") is TDType.Sim
    for bad in ["sim", "NOPE", ""]:
        with pytest.raises(ValueError, match=repr(bad)):
            trade_func.get_mach_tdtype(bad)
    with pytest.raises(TypeError):
        trade_func.get_mach_tdtype(None)


@pytest.mark.parametrize("market, suffix", [(MarketType.SZSE, "XSHE"), (MarketType.SSE, "XSHG"),
                                            (102, "XSHE"), (101, "XSHG")])
def test_exchange_suffix(market, suffix):
    assert trade_func.get_exchane_from_mach_mdtype(market) == suffix


@pytest.mark.parametrize("market", [103, 101.0, True, "SSE", None])
def test_unknown_market(market):
    with pytest.raises(ValueError, match="market"):
        trade_func.get_exchane_from_mach_mdtype(market)


def test_level2_codes_depend_on_market():
    assert trade_func.get_side_from_mach_l2_order("B", MarketType.SSE) is SIDE.BUY
    with pytest.raises(ValueError, match="'B'.*SZSE"):
        trade_func.get_side_from_mach_l2_order("B", MarketType.SZSE)
    with pytest.raises(ValueError):
        trade_func.get_l2order_type_from_mach("2", MarketType.SSE)
    with pytest.raises(ValueError):
        trade_func.get_trade_type_from_mach("Z")
