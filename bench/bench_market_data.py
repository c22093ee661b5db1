"""Median ns per call of the market-data callbacks and the history queries.

    python bench/bench_market_data.py [--rounds N] [--batch N]

Each round times one batch of calls with perf_counter_ns; the event queue is
drained between batches, outside the timed region. The stand-in time converters
are exact but slow and would swamp the bridge's own cost, so they are replaced
by a constant result unless --real-converters is given."""
import argparse
import statistics
import time

from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro
from pymach.enums import MarketType
from pymach.records import Record

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
UNIVERSE = 50
BARS = [Record(security_id="%06d" % i, market_type=MarketType.SZSE, end_time=20260302093100000, open=1.0,
               close=1.1, high=1.2, low=0.9, amount=1.0e5, volume=1.0e4, prev_close=1.0)
        for i in range(UNIVERSE)]


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--batch", type=int, default=5000)
    ap.add_argument("--real-converters", action="store_true")
    args = ap.parse_args()
    if not args.real_converters:
        dt = maviro.convert_int_to_datetime(STAMP / 1000)
        day = maviro.convert_int_to_whole_date(STAMP // 1000)
        maviro.convert_int_to_datetime = lambda stamp: dt
        maviro.convert_int_to_whole_date = lambda stamp: day
    Environment.get_instance().universe[:] = ["%06d.XSHE" % i for i in range(UNIVERSE)]
    s = object.__new__(maviro.MachStrategy)
    s.bar_cnt, s.current_trade_dt = 0, 0
    # Batches are whole multiples of the universe, so every batch posts its BAR events.
    bar_batch = max(1, args.batch // UNIVERSE) * UNIVERSE

    def bars():
        for _ in range(bar_batch // UNIVERSE):
            for b in BARS:
                s.on_bar(b)

    def repeat(fn, arg):
        def run():
            for _ in range(args.batch):
                fn(arg)
        return run

    code = "000001.XSHE"
    cases = [
        ("on_snapshot", repeat(s.on_snapshot, SNAPSHOT), args.batch),
        ("on_tick_order", repeat(s.on_tick_order, TICK_ORDER), args.batch),
        ("on_tick_trade", repeat(s.on_tick_trade, TICK_TRADE), args.batch),
        ("on_bar (universe %d)" % UNIVERSE, bars, bar_batch),
        ("get_current_tick", repeat(maviro.get_current_tick, code), args.batch),
        ("history_ticks(code, 10)", repeat(lambda c: maviro.history_ticks(c, 10), code), args.batch),
    ]
    queue = maviro.event_queue
    print("%-26s %10s" % ("call", "median ns"))
    for name, run, calls in cases:
        samples = []
        for _ in range(args.rounds):
            start = time.perf_counter_ns()
            run()
            samples.append((time.perf_counter_ns() - start) / calls)
            while len(queue):
                queue.popleft()
            maviro.history_bar.clear()  # keeps the unbounded bar histories from growing across rounds
        print("%-26s %10.0f" % (name, statistics.median(samples)))


if __name__ == "__main__":
    main()
