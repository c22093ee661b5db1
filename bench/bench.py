"""Median ns per call of the hot callbacks, native bridge beside the plain Python
of baseline.py, alternating in one run (timings on shared machines are noisy;
the ratio is what counts).

    python bench/bench.py [--rounds N] [--batch N]

The queue is drained and the log records emptied outside the timed region."""
import argparse
import math
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
from korvane.orvik.const import ORDER_STATUS, SIDE  # noqa: E402
from korvane.orvik.environment import Environment  # noqa: E402
from korvane.orvik.model.order import Order  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from korvane.orvik.utils.logger import system_log  # noqa: E402
from pymach.enums import MarketType, OrderStatusType  # noqa: E402
from pymach.records import Record  # noqa: E402

STAMP = 20260302093000123
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
BARS = [Record(security_id="%06d" % i, market_type=MarketType.SZSE, end_time=20260302093100000, open=1.0,
               close=1.1, high=1.2, low=0.9, amount=1.0e5, volume=1.0e4, prev_close=1.0) for i in range(50)]
CID = "bench-1"


def report(status, match):
    return Record(client_order_id=CID, security_id="000001", order_price=10.0, order_status=status,
                  order_qty=100, trade_qty=100, total_trade_value=1000.0, error_msg="", error_code=0,
                  last_match_qty=match, last_match_price=10.0, counter_order_id=8001, frozen_trade_value=0.0)


FILLED, ACCEPTED = report(OrderStatusType.Filled, 100), report(OrderStatusType.Sended, 0)
CHILD = Record(sys_quote_id="Q1", parent_id="P1", status="working", order_qty=100, trade_qty=10)


def cases(impl, queue, book):
    bars = iter(())

    def on_bar():
        nonlocal bars
        b = next(bars, None)
        if b is None:
            bars = iter(BARS)
            b = next(bars)
        impl.on_bar(b)

    def fresh_order():
        book[CID] = Order(market_code="000001.XSHE", order_id=7, side=SIDE.BUY, price=10.0, quantity=100,
                          status=ORDER_STATUS.ACTIVE)

    return {
        "on_snapshot": (lambda: impl.on_snapshot(SNAPSHOT), None),
        "on_tick_order": (lambda: impl.on_tick_order(TICK_ORDER), None),
        "on_tick_trade": (lambda: impl.on_tick_trade(TICK_TRADE), None),
        "on_bar (universe 50)": (on_bar, None),
        "on_order Filled+match": (lambda: impl.on_order(FILLED), fresh_order),
        "on_order acceptance": (lambda: impl.on_order(ACCEPTED), fresh_order),
        "on_algo_child_order_update": (lambda: impl.on_algo_child_order_update(CHILD), None),
    }


def run_batch(fn, setup, queue, batch):
    if setup:
        setup()
    start = time.perf_counter_ns()
    for _ in range(batch):
        fn()
    elapsed = time.perf_counter_ns() - start
    while len(queue):
        queue.popleft()
    system_log.clear()
    return elapsed / batch


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--batch", type=int, default=2000)
    args = ap.parse_args()
    Environment.get_instance().universe[:] = ["%06d.XSHE" % i for i in range(50)]
    native = object.__new__(maviro.MachStrategy)
    native.bar_cnt, native.current_trade_dt = 0, 0
    plain = baseline.Strategy()
    nat = cases(native, maviro.event_queue, maviro.orders_dict)
    base = cases(plain, baseline.event_queue, baseline.orders_dict)
    print("%-28s %10s %12s %7s" % ("callback", "native ns", "interpreted", "ratio"))
    ratios = []
    for name in nat:
        n, b = [], []
        for _ in range(args.rounds):
            n.append(run_batch(*nat[name], maviro.event_queue, args.batch))
            b.append(run_batch(*base[name], baseline.event_queue, args.batch))
        mn, mb = statistics.median(n), statistics.median(b)
        ratios.append(mn / mb)
        print("%-28s %10.0f %12.0f %7.2f" % (name, mn, mb, mn / mb))
    print("%-28s %10s %12s %7.2f" % ("geometric mean", "", "", math.exp(sum(map(math.log, ratios)) / len(ratios))))


if __name__ == "__main__":
    main()
