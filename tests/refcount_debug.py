"""Each hot callback 100,000 times on valid and on failing input, with the
interpreter's total reference count and allocated blocks before and after.

Meant for a debug interpreter (sys.gettotalrefcount), e.g. `make refcount-debug`
with Debian's python3.11-dbg; on a release interpreter only the block count is
shown. A call that leaks one reference shows as a delta of 100,000; the script
fails when any delta exceeds --tolerance.

    python tests/refcount_debug.py [--calls N] [--tolerance T]
"""
import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from korvane.orvik.const import ORDER_STATUS  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from support import callbacks as cb  # noqa: E402
from support.bridge import fast_converter  # noqa: E402
from support.callbacks import BY_ID, DROP  # noqa: E402

HOT = ["snapshot", "tick_order", "tick_trade", "bar", "order_filled", "order_cancelled", "order_accepted",
       "parent_update", "child_update", "child_trade"]


class Boom(Exception):
    pass


def _boom(*a, **k):
    raise Boom()


def calls_for(case_id):
    """(label, function) pairs: a valid call, a missing attribute read last,
    and a host factory that fails after the record was built."""
    case = BY_ID[case_id]
    bridge = cb.bridge()
    order = cb.REAL["orders_dict"].get(cb.CID)
    method = getattr(bridge, case.method)
    queue, bars = cb.QUEUE, cb.REAL["history_bar"]

    def after():
        while len(queue):
            queue.popleft()
        bars.clear()
        bridge.bar_cnt = 0
        cb.reset_logs()
        if order is not None:
            order.status = ORDER_STATUS.PENDING_NEW

    def make(args, expected=None):
        def run():
            try:
                method(*args)
            except Exception as e:
                if expected is None or not isinstance(e, expected):
                    raise
            after()
        return run

    yield "valid", make(case.args())
    yield "missing " + case.reads[-1], make(case.args(**{case.reads[-1]: DROP}), AttributeError)
    real_event = maviro.Event

    def failing_event():
        maviro.Event = type("Failing", (), {"__call__": _boom})()
    yield "Event raises", (make(case.args(), Boom), failing_event, lambda: setattr(maviro, "Event", real_event))


def queries():
    bridge = cb.bridge()
    for _ in range(70):
        bridge.on_snapshot(*BY_ID["snapshot"].args())
    bridge.on_bar(*BY_ID["bar"].args())
    while len(cb.QUEUE):
        cb.QUEUE.popleft()
    code = cb.CODE

    def run():
        maviro.get_current_tick(code)
        maviro.history_ticks(code, 30)
        maviro.get_current_bar(code)
        maviro.history_bars(code, 30)
        maviro.get_current_tick("unknown")
    return run


def measure(fn, calls):
    for _ in range(min(calls, 2000)):  # warm-up: histories full, caches settled
        fn()
    gc.collect()
    total0 = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    blocks0 = sys.getallocatedblocks()
    t0 = time.perf_counter()
    for _ in range(calls):
        fn()
    elapsed = time.perf_counter() - t0
    gc.collect()
    total = (sys.gettotalrefcount() - total0) if hasattr(sys, "gettotalrefcount") else None
    return total, sys.getallocatedblocks() - blocks0, elapsed


def main():
    maviro.convert_int_to_datetime = fast_converter
    ap = argparse.ArgumentParser()
    ap.add_argument("--calls", type=int, default=100_000)
    ap.add_argument("--tolerance", type=int, default=50)
    opts = ap.parse_args()
    debug = hasattr(sys, "gettotalrefcount")
    print("interpreter %s%s, %d calls each" % (sys.version.split()[0], " (debug)" if debug else
                                              " (release: no total refcount)", opts.calls))
    print("%-18s %-32s %12s %10s %8s" % ("callback", "input", "refs delta", "blocks", "s"))
    worst = 0
    runs = 0
    for cid, label, item in plan():
        setup = teardown = None
        if isinstance(item, tuple):
            item, setup, teardown = item
        if setup:
            setup()
        try:
            refs, blocks, elapsed = measure(item, opts.calls)
        finally:
            if teardown:
                teardown()
        runs += opts.calls
        worst = max(worst, abs(refs or 0), abs(blocks))
        print("%-18s %-32s %12s %10d %8.2f" % (cid, label, "n/a" if refs is None else refs, blocks, elapsed))
    print("%d callback runs; largest delta %d (tolerance %d)" % (runs, worst, opts.tolerance))
    return 1 if worst > opts.tolerance else 0


def plan():
    """(callback, input, function) in turn, each case on a freshly prepared world."""
    for case_id in HOT:
        for name in ("orders_dict", "history_tick", "history_bar", "algo_parent_orders", "algo_child_orders",
                     "algo_child_trades"):
            cb.REAL[name].clear()
        cb.prepare(BY_ID[case_id])
        for label, item in calls_for(case_id):
            yield case_id, label, item
    yield "queries", "valid and unknown", queries()


if __name__ == "__main__":
    sys.exit(main())
