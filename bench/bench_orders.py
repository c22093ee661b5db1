"""on_order on its two commonest reports, native bridge beside the plain Python
version in baseline.py: a fill with a last match (a trade, an event and a deep
copy) and an acceptance report for an order that is already open.

    python bench/bench_orders.py [--rounds N] [--batch N]

Prints the median nanoseconds per call over the rounds. The queues and the log
records are emptied between batches, outside the timed region."""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
from korvane.orvik.const import ORDER_STATUS, SIDE  # noqa: E402
from korvane.orvik.model.order import Order  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from korvane.orvik.utils.logger import system_log  # noqa: E402
from pymach.enums import OrderStatusType  # noqa: E402
from pymach.records import Record  # noqa: E402

CID = "bench-1"


def report(status, match):
    return Record(client_order_id=CID, security_id="000001", order_price=10.0, order_status=status,
                  order_qty=100, trade_qty=100, total_trade_value=1000.0, error_msg="",
                  error_code=0, last_match_qty=match, last_match_price=10.0,
                  counter_order_id=8001, frozen_trade_value=0.0)


CASES = {
    "filled with last match": report(OrderStatusType.Filled, 100),
    "acceptance, order open": report(OrderStatusType.Sended, 0),
}


def drain(queue):
    while len(queue):
        queue.popleft()


def measure(on_order, book, queue, rec, rounds, batch):
    book[CID] = Order(market_code="000001.XSHE", order_id=7, side=SIDE.BUY, price=10.0,
                      quantity=100, status=ORDER_STATUS.ACTIVE)
    per_call = []
    clock = time.perf_counter_ns
    for _ in range(rounds):
        start = clock()
        for _ in range(batch):
            on_order(rec)
        per_call.append((clock() - start) / batch)
        drain(queue)
        system_log.clear()
    book.clear()
    return statistics.median(per_call)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--batch", type=int, default=2000)
    args = parser.parse_args()
    native = object.__new__(maviro.MachStrategy)
    python = baseline.Strategy()
    print("%-26s %12s %12s" % ("on_order", "native ns", "python ns"))
    for name, rec in CASES.items():
        n = measure(native.on_order, maviro.orders_dict, maviro.event_queue, rec, args.rounds, args.batch)
        p = measure(python.on_order, baseline.orders_dict, baseline.event_queue, rec, args.rounds, args.batch)
        print("%-26s %12.0f %12.0f" % (name, n, p))


if __name__ == "__main__":
    main()
