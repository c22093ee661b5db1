"""Resident memory over many callbacks with the queue drained: after a warm-up
it must stay flat (growth under 1%), or something is kept that should not be.

    python bench/bench_memory.py [--callbacks N] [--warmup N] [--timing]

The mix cycles through the hot callbacks against the light host: snapshots and
level-2 records of 50 instruments, a bar for each of them every 50 calls,
order reports (acceptance and fills) and algo child updates over bounded key
sets, and a day switch every trading day's worth of bars (the bar histories
are the day's and are released then). Every 10,000 callbacks the host drains
the queue and drops its log lines. --timing switches the bridge's per-callback
latency histograms on for the run."""
import argparse
import gc
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench  # noqa: E402
import light_host as host  # noqa: E402
from common import ACCEPTED, BARS, CHILD, FILLED, SNAPSHOT, TICK_ORDER, TICK_TRADE, drain  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from pymach.records import Record  # noqa: E402

DRAIN_EVERY = 10000
BARS_PER_DAY = 240  # one-minute bars of a trading day


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def workload():
    """One round of 100 callbacks, as (method, record) pairs, over 50 instruments."""
    def vary(rec, **over):
        return Record(**{**vars(rec), **over})

    sids = ["%06d" % i for i in range(50)]
    calls = []
    for i, sid in enumerate(sids):
        calls.append(("on_snapshot", vary(SNAPSHOT, security_id=sid, orig_time=SNAPSHOT.orig_time + i)))
        calls.append(("on_tick_order" if i % 2 else "on_tick_trade",
                      vary(TICK_ORDER if i % 2 else TICK_TRADE, security_id=sid)))
    calls[::10] = [("on_order", FILLED if i % 2 else ACCEPTED) for i in range(len(calls[::10]))]
    calls[5::10] = [("on_algo_child_order_update", vary(CHILD, sys_quote_id="Q%d" % (i % 8)))
                    for i in range(len(calls[5::10]))]
    return calls


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--callbacks", type=int, default=10_000_000)
    ap.add_argument("--warmup", type=int, default=1_000_000)
    ap.add_argument("--timing", action="store_true", help="with the bridge's latency recording on")
    args = ap.parse_args()
    bench.prepare()
    maviro.set_bridge_timing(args.timing)
    s = object.__new__(maviro.MachStrategy)
    s.bar_cnt, s.current_trade_dt = 0, 0
    rounds = [(getattr(s, name), rec) for name, rec in workload()]
    bars = BARS
    queue = maviro.event_queue
    done, bar_rounds, switches = 0, 0, 0
    start_rss = warm_rss = None
    samples = []
    started = time.perf_counter()
    while done < args.callbacks:
        bench.fresh_order(maviro.orders_dict)
        for fn, rec in rounds:
            fn(rec)
        # A bar for every instrument: one minute of the day.
        for b in bars:
            s.on_bar(b)
        bar_rounds += 1
        if bar_rounds == BARS_PER_DAY:
            s.on_switch_day()
            bar_rounds, switches = 0, switches + 1
        done += len(rounds) + len(bars)
        if done % DRAIN_EVERY < len(rounds) + len(bars):
            drain(queue)
            host.system_log.clear()
            if start_rss is None:
                start_rss = rss_kib()
            if warm_rss is None and done >= args.warmup:
                gc.collect()
                warm_rss = rss_kib()
            if done >= args.warmup and len(samples) < 1 + (done - args.warmup) * 10 // args.callbacks:
                samples.append((done, rss_kib()))
    drain(queue)
    host.system_log.clear()
    gc.collect()
    end_rss = rss_kib()
    wall = time.perf_counter() - started
    growth = (end_rss - warm_rss) / warm_rss * 100
    print("callbacks %d in %.1f s (%d days switched), queue drained every %d, latency recording %s"
          % (done, wall, switches, DRAIN_EVERY, "on" if args.timing else "off"))
    print("RSS KiB: first drain %d, after warm-up (%d callbacks) %d, end %d: growth after warm-up %+.2f%%"
          % (start_rss, args.warmup, warm_rss, end_rss, growth))
    print("samples (callbacks, RSS KiB): " + ", ".join("%d:%d" % p for p in samples))
    sys.exit(0 if growth < 1.0 else 1)


if __name__ == "__main__":
    main()
