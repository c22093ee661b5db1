"""on_algo_child_order_update, native bridge beside the plain Python version in
baseline.py: a report folded into an order already registered (the common
case while an algo runs) and the first report of each of a batch of new keys.

    python bench/bench_algo.py [--rounds N] [--batch N]

Prints the median nanoseconds per call over the rounds. The queue is drained
and the registry emptied between batches, outside the timed region."""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from pymach.records import Record  # noqa: E402


def child(key):
    return Record(sys_quote_id=key, parent_id="P1", status="working", order_qty=100, trade_qty=10)


def drain(queue):
    while len(queue):
        queue.popleft()


def measure(method, registry, queue, reports, rounds):
    per_call = []
    clock = time.perf_counter_ns
    for _ in range(rounds):
        start = clock()
        for rec in reports:
            method(rec)
        per_call.append((clock() - start) / len(reports))
        drain(queue)
        registry.clear()
    return statistics.median(per_call)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=31)
    parser.add_argument("--batch", type=int, default=2000)
    args = parser.parse_args()
    cases = {
        "update, key registered": [child("Q1")] * args.batch,
        "first report, new key": [child("Q%d" % i) for i in range(args.batch)],
    }
    native = object.__new__(maviro.MachStrategy)
    python = baseline.Strategy()
    print("%-28s %12s %12s" % ("on_algo_child_order_update", "native ns", "python ns"))
    for name, reports in cases.items():
        n = measure(native.on_algo_child_order_update, maviro.algo_child_orders, maviro.event_queue, reports,
                    args.rounds)
        p = measure(python.on_algo_child_order_update, baseline.algo_child_orders, baseline.event_queue,
                    reports, args.rounds)
        print("%-28s %12.0f %12.0f" % (name, n, p))


if __name__ == "__main__":
    main()
