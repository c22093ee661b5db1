"""What the benchmarks share: the gateway records they feed in, and the timing
and draining helpers."""
import os
import statistics
import subprocess
import sys
import sysconfig
import time

from pymach.enums import MarketType, OrderStatusType
from pymach.records import Record

STAMP = 20260302093000123
BAR_END = 20260302093100000
UNIVERSE = 50
CODE = "000001.XSHE"
CID = "bench-1"

SNAPSHOT = Record(orig_time=STAMP, security_id="000001", market_type=MarketType.SZSE, open_price=10.0,
                  close_price=10.1, high_price=10.3, low_price=9.9, total_value_trade=1.0e7,
                  total_volume_trade=1.0e6, pre_close_price=10.0, ask_volume=[100] * 10,
                  ask_price=[10.2] * 10, bid_volume=[100] * 10, bid_price=[10.1] * 10, high_limited=11.0,
                  last_price=10.1, low_limited=9.0, open_interest=0, prev_settlement=0.0, iopv=0.0,
                  trading_phase_code="T0")
TICK_ORDER = Record(order_time=STAMP, security_id="000001", market_type=MarketType.SZSE, side=49,
                    biz_index=1, order_price=10.1, order_volume=300, order_type=50, orig_order_no=7)
TICK_TRADE = Record(trade_time=STAMP, security_id="000001", market_type=MarketType.SZSE,
                    bid_appl_seq_num=1001, offer_appl_seq_num=1000, biz_index=2, trade_price=10.1,
                    trade_volume=100, value_trade=1010.0, trade_type=70)
BARS = [Record(security_id="%06d" % i, market_type=MarketType.SZSE, end_time=BAR_END, open=1.0, close=1.1,
               high=1.2, low=0.9, amount=1.0e5, volume=1.0e4, prev_close=1.0) for i in range(UNIVERSE)]
UNIVERSE_CODES = ["%06d.XSHE" % i for i in range(UNIVERSE)]


def order_report(status, match, cid=CID):
    return Record(client_order_id=cid, security_id="000001", order_price=10.0, order_status=status,
                  order_qty=100, trade_qty=100, total_trade_value=1000.0, error_msg="", error_code=0,
                  last_match_qty=match, last_match_price=10.0, counter_order_id=8001, frozen_trade_value=0.0)


# One fill per order, each order its own: a report repeated for the same order
# would be a match already booked, which posts nothing.
FILLED_ORDERS = 2000
FILLED = [order_report(OrderStatusType.Filled, 100, "bench-f%d" % i) for i in range(FILLED_ORDERS)]
ACCEPTED = order_report(OrderStatusType.Sended, 0)
CHILD = Record(sys_quote_id="Q1", parent_id="P1", status="working", order_qty=100, trade_qty=10)


_HERE = os.path.dirname(os.path.abspath(__file__))


def _crecord():
    """bench/crecord.c built for this interpreter (once, into build/), imported."""
    out = os.path.join(_HERE, "..", "build", "bench-" + sys.implementation.cache_tag)
    so = os.path.join(out, "crecord" + sysconfig.get_config_var("EXT_SUFFIX"))
    src = os.path.join(_HERE, "crecord.c")
    if not os.path.exists(so) or os.path.getmtime(so) < os.path.getmtime(src):
        os.makedirs(out, exist_ok=True)
        subprocess.run([sysconfig.get_config_var("CC").split()[0], "-O2", "-shared", "-fPIC",
                        "-I" + sysconfig.get_paths()["include"], src, "-o", so], check=True)
    sys.path.insert(0, out)
    import crecord
    return crecord


_TYPES = {}


def recast(record, kind):
    """The same gateway record as another record type: "slots" (a Python class
    with __slots__) or "c" (a C type with getset getters)."""
    fields = tuple(vars(record))
    key = (kind, fields)
    if key not in _TYPES:
        if kind == "slots":
            _TYPES[key] = type("SlotsRecord", (), {"__slots__": fields})
        else:
            _TYPES[key] = _crecord().record_type("CRecord", fields)
    cls = _TYPES[key]
    if kind == "c":
        return cls(*vars(record).values())
    out = cls()
    for name, value in vars(record).items():
        setattr(out, name, value)
    return out


def drain(queue):
    while len(queue):
        queue.popleft()


def ns_per_call(fn, calls):
    """Wall time of `calls` calls of fn(), per call."""
    clock = time.perf_counter_ns
    start = clock()
    for _ in range(calls):
        fn()
    return (clock() - start) / calls


def median(samples):
    return statistics.median(samples)
