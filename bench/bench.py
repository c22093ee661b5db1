"""The hot callbacks, native bridge beside the plain Python of baseline.py and
beside the floor (the same host and queue calls made alone, their arguments
prepared in advance), all against the light host, in one run.

    python bench/bench.py [--rounds N] [--batch N]     median ns per call, alternating
    python bench/bench.py --callgrind [--calls N]      instructions per call (valgrind)
    python bench/bench.py --timing-cost [CASE ...]     the bridge with latency recording off and on

Timings on a shared machine are noisy, so the three are timed in turn, round
after round, and the ratio of medians is what counts; instruction counts are
repeatable and judge a change. As a host would, the queue is drained (and the
log lines dropped) every few calls, outside the timed region; each callback is
first called past the interpreter's warm-up (its global-lookup cache starts
after 1,024 calls of a function). The snapshot is also fed as a record with
__slots__ and as a C type with getters, as a native SDK would hand it over.
The Filled case gives each of 2,000 orders its one fill, set up afresh after
the warm-up; more calls than that would repeat fills already booked."""
import argparse
import collections
import copy
import itertools
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
import light_host as host  # noqa: E402
from common import (ACCEPTED, BARS, CHILD, CID, CODE, FILLED, SNAPSHOT, STAMP, TICK_ORDER, TICK_TRADE,  # noqa: E402
                    UNIVERSE, UNIVERSE_CODES, drain, median, recast)
from korvane.orvik.const import SIDE  # noqa: E402
from korvane.orvik.core.events import EVENT  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402
from pymach.enums import MarketType  # noqa: E402

CASES = ["on_snapshot", "on_tick_order", "on_tick_trade", "on_bar", "on_order Filled+match",
         "on_order acceptance", "on_algo_child_order_update"]
# The same callbacks fed other record types; left out of the geometric mean.
VARIANTS = ["on_snapshot, slots record", "on_snapshot, C record", "on_tick_order, C record"]
ALL = CASES + VARIANTS
IMPLS = ["native", "interpreted", "floor"]
ARGS = dict(zip(ALL, [SNAPSHOT, TICK_ORDER, TICK_TRADE, BARS, FILLED, ACCEPTED, CHILD]))
BUDGET = dict(zip(ALL, [0.5, 0.6, 0.6, 0.6, 0.7, 0.7, 0.8, 0.5, 0.5, 0.6]))
# Calls between two drains of the queue, and calls before anything is measured.
DRAIN_EVERY = 20
WARMUP = 1100


def variant_args():
    ARGS.update(zip(VARIANTS, [recast(SNAPSHOT, "slots"), recast(SNAPSHOT, "c"), recast(TICK_ORDER, "c")]))

def fresh_order(book, reports=(ACCEPTED,)):
    book.clear()
    for r in reports:
        book[r.client_order_id] = host.Order(CODE, 7, SIDE.BUY, 10.0, 100)


def callbacks(strategy, module):
    """name -> (callback, its argument for each call of one batch, set-up)."""
    book = module.orders_dict
    methods = [strategy.on_snapshot, strategy.on_tick_order, strategy.on_tick_trade, strategy.on_bar,
               strategy.on_order, strategy.on_order, strategy.on_algo_child_order_update,
               strategy.on_snapshot, strategy.on_snapshot, strategy.on_tick_order]
    setups = [None] * 4 + [lambda: fresh_order(book, FILLED), lambda: fresh_order(book)] + [None] * 4
    return {name: (fn, ARGS[name], setup) for name, fn, setup in zip(ALL, methods, setups)}


def floors(queue):
    """The host and queue calls of each callback, made directly: what is left
    of a callback once the bridge's own work costs nothing. Every name is bound
    in advance, as the bridge's interned names and prebuilt tuples are."""
    env = host.Environment
    conv, whole, exch = host.convert_int_to_datetime, host.convert_int_to_whole_date, host.get_exchane_from_mach_mdtype
    Event, append = host.Event, queue.append
    szse, stamp = MarketType.SZSE, STAMP / 1000
    dt = conv(stamp)
    tick = {}
    tick_object = host.TickObject(None, tick)
    side, otype, l2type, ttype = (host.get_side_from_mach_l2_order, host.get_order_type_from_mach_l2_order,
                                  host.get_l2order_type_from_mach, host.get_trade_type_from_mach)
    L2Order, L2Transaction, Trade, Child = host.L2Order, host.L2Transaction, host.Trade, host.AlgoChildOrder
    deepcopy, info = copy.deepcopy, host.system_log.info
    line = "on_order:" + CID
    e_tick, e_l2o, e_l2t, e_bar = EVENT.TICK, EVENT.L2_ORDER, EVENT.L2_TRANSACTION, EVENT.BAR
    e_trade, e_child = EVENT.TRADE, EVENT.CHILD_ORDER_UPDATE
    order = host.Order(CODE, 7, SIDE.BUY, 10.0, 100)
    child = Child.from_mach(CHILD, None)
    account = env.get_instance().get_account(CODE)
    count = itertools.count()

    def on_snapshot(_):
        conv(stamp)
        exch(szse)
        host.TickObject(env.get_instance().data_proxy.instruments(CODE), tick)
        append(Event(e_tick, calendar_dt=dt, trading_dt=dt, tick=tick_object))

    def on_tick_order(_):
        conv(stamp)
        exch(szse)
        s = side("1", szse)
        L2Order.__from_create__(1, CODE, dt, s, 10.1, 300, otype("2", szse), 7, l2type("2", szse))
        append(Event(e_l2o, calendar_dt=dt, trading_dt=dt, l2_order=order))

    def on_tick_trade(_):
        conv(stamp)
        exch(szse)
        L2Transaction.__from_create__(2, CODE, dt, SIDE.BUY, 10.1, 100, 1010.0, ttype("F"), 1001, 1000)
        append(Event(e_l2t, calendar_dt=dt, trading_dt=dt, l2_transaction=tick))

    def on_bar(_):
        exch(szse)
        conv(stamp)
        env.get_instance().get_universe()
        if next(count) % UNIVERSE == UNIVERSE - 1:
            day = whole(20260302093100)
            append(Event(e_bar, calendar_dt=day, trading_dt=day))

    def on_order_filled(_):
        info(line)
        env.get_instance().get_account(CODE)
        t = Trade.__from_create__(order_id=7, price=10.0, amount=100, side=SIDE.BUY,
                                  position_effect=order.position_effect, market_code=CODE, frozen_price=10.0)
        append(Event(e_trade, account=account, trade=t, order=deepcopy(order)))

    def on_order_accepted(_):
        info(line)
        env.get_instance().get_account(CODE)
        order.set_frozen_cash(0.0)

    def on_child(_):
        current = Child.from_mach(CHILD, child)
        append(Event(e_child, algo_child_order=deepcopy(current)))

    fns = [on_snapshot, on_tick_order, on_tick_trade, on_bar, on_order_filled, on_order_accepted, on_child,
           on_snapshot, on_snapshot, on_tick_order]
    return {name: (fn, ARGS[name], None) for name, fn in zip(ALL, fns)}


def prepare():
    """Light host in both implementations, one shared queue type; returns
    impl -> case table."""
    variant_args()
    host.install(maviro)
    host.install(baseline)
    host.Environment.get_instance().universe[:] = UNIVERSE_CODES
    # The interpreted version posts onto a queue of the same type, so the ratio
    # compares the callbacks themselves, not two queues.
    baseline.event_queue = type(maviro.event_queue)(capacity=1000000, dtype=object)
    native = object.__new__(maviro.MachStrategy)
    native.bar_cnt, native.current_trade_dt = 0, 0
    queues = {"native": maviro.event_queue, "interpreted": baseline.event_queue,
              "floor": baseline.event_queue}
    tables = {"native": callbacks(native, maviro), "interpreted": callbacks(baseline.Strategy(), baseline),
              "floor": floors(baseline.event_queue)}
    return tables, queues


def batch_args(arg, batch):
    """One batch of arguments; bars go round the universe, so every 50th posts."""
    if isinstance(arg, list):
        return arg * max(1, batch // len(arg))
    return [arg] * batch


def drain_host(queue):
    drain(queue)
    host.system_log.clear()


def warm_up(fn, arg, queue):
    for i, a in enumerate(batch_args(arg, WARMUP)):
        fn(a)
        if i % DRAIN_EVERY == DRAIN_EVERY - 1:
            drain_host(queue)
    drain_host(queue)


def time_batch(fn, args, setup, queue):
    if setup:
        setup()
    clock = time.perf_counter_ns
    elapsed = 0
    for i in range(0, len(args), DRAIN_EVERY):
        chunk = args[i:i + DRAIN_EVERY]
        start = clock()
        for a in chunk:
            fn(a)
        elapsed += clock() - start
        drain_host(queue)
    maviro.history_bar.clear()
    baseline.history_bar.clear()
    return elapsed / len(args)


def geomean(values):
    return math.exp(sum(map(math.log, values)) / len(values))


def table(values, unit, note, own=None, cases=ALL):
    """values: (case, impl) -> cost per call; own: case -> the native's cost
    in the bridge's own code per call, when known. Prints the comparison."""
    print("CPython %s" % sys.version.split()[0])
    head = "%-28s %11s %11s %6s %6s %9s %9s" % ("callback", "native " + unit, "interpreted", "ratio", "budget",
                                               "floor", "own ratio")
    print(head + (" %9s %6s" % ("own code", "bound") if own else ""))
    ratios = []
    for name in cases:
        n, i, f = (values[(name, impl)] for impl in IMPLS)
        if name in CASES:
            ratios.append(n / i)
        row = "%-28s %11.0f %11.0f %6.2f %6.2f %9.0f %9.2f" % (name, n, i, n / i, BUDGET[name], f,
                                                               max(n - f, 1.0) / max(i - f, 1.0))
        print(row + (" %9.0f %6.2f" % (own[name], (n - own[name]) / i) if own else ""))
    if len(ratios) == len(CASES):
        print("%-28s %11s %11s %6.2f" % ("geometric mean (first 7)", "", "", geomean(ratios)))
    print(note)
    print("own ratio: (native - floor) / (interpreted - floor), each implementation's own work alone")
    if own:
        print("own code: the native's instructions in the bridge's own machine code (the extension's functions,\n"
              "with what the compiler inlined into them); the rest is spent in the interpreter (attribute reads,\n"
              "dict stores, calls, the collector) and in the host.\n"
              "bound: (native - own code) / interpreted, the ratio if the bridge's own code cost nothing")


def own_cost(out_file, calls):
    """Instructions per call executed in the bridge's extension itself (self
    cost): its functions, and what the compiler inlined into them (with debug
    information callgrind files inlined lines under their header, not the .so)."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no", "--threshold=100", out_file],
                          check=True, stdout=subprocess.PIPE, text=True).stdout
    so = os.path.basename(maviro.__file__)
    total = 0
    for line in text.splitlines():
        m = re.match(r"\s*([\d,]+) \([ \d.]+%\)\s+[^:]*:(.*)$", line)
        if m and (m.group(2).rstrip().endswith(so + "]") or m.group(2).startswith(("maviro::", "common::"))):
            total += int(m.group(1).replace(",", ""))
    return total / calls


def timings(rounds, batch):
    tables, queues = prepare()
    values = {}
    for name in ALL:
        samples = {impl: [] for impl in IMPLS}
        args = {impl: batch_args(tables[impl][name][1], batch) for impl in IMPLS}
        for impl in IMPLS:
            fn, arg, setup = tables[impl][name]
            if setup:
                setup()
            warm_up(fn, arg, queues[impl])
        for _ in range(rounds):
            for impl in IMPLS:
                fn, _, setup = tables[impl][name]
                samples[impl].append(time_batch(fn, args[impl], setup, queues[impl]))
        for impl in IMPLS:
            values[(name, impl)] = median(samples[impl])
    table(values, "ns", "median ns per call, %d rounds of %d calls, the three alternating" % (rounds, batch))


def timing_cost(cases, rounds, batch):
    """The native callbacks with the bridge's latency recording off and on,
    batch by batch in turn, so both see the same machine."""
    tables, queues = prepare()
    print("%-28s %9s %9s %6s" % ("callback", "off ns", "on ns", "on/off"))
    try:
        for name in cases:
            fn, arg, setup = tables["native"][name]
            args = batch_args(arg, batch)
            samples = {False: [], True: []}
            for _ in range(rounds):
                for on in (False, True):
                    maviro.set_bridge_timing(on)
                    samples[on].append(time_batch(fn, args, setup, queues["native"]))
            off, on = median(samples[False]), median(samples[True])
            print("%-28s %9.0f %9.0f %6.3f" % (name, off, on, on / off))
    finally:
        maviro.set_bridge_timing(False)
    print("median ns per call, %d rounds of %d calls, off and on alternating" % (rounds, batch))


def loop(name, impl, calls):
    """The body of one callgrind run: `calls` calls driven by itertools.starmap,
    whose C iterator step is the only code that callgrind counts; the warm-up
    and the drains run outside it."""
    tables, queues = prepare()
    fn, arg, setup = tables[impl][name]
    warm_up(fn, arg, queues[impl])
    if setup:
        setup()
    args = [(a,) for a in batch_args(arg, calls)]
    consume = collections.deque(maxlen=0).extend
    for i in range(0, len(args), DRAIN_EVERY):
        consume(itertools.starmap(fn, args[i:i + DRAIN_EVERY]))
        drain_host(queues[impl])


# Address-space randomisation off as well, where setarch can do it.
NO_ASLR = ["setarch", os.uname().machine, "-R"] if shutil.which("setarch") else []


def callgrind(calls, jobs, cases=None, keep=None):
    me = os.path.abspath(__file__)
    runs = [(name, impl) for name in cases or ALL for impl in IMPLS]
    # A fixed, small environment: the heap layout, and with it the hash slots
    # of pointer-keyed tables, then does not depend on the caller's variables,
    # so the counts repeat from one run to the next.
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "PYTHONHASHSEED": "0", "LC_ALL": "C"}
    with tempfile.TemporaryDirectory() as tmp:
        tmp = keep or tmp
        procs, counts, own = {}, {}, {}
        pending = list(runs)
        while pending or procs:
            while pending and len(procs) < jobs:
                run = pending.pop(0)
                out = os.path.join(tmp, "cg.%s.%s" % (re.sub(r"\W+", "_", run[0]), run[1]))
                cmd = NO_ASLR + ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--toggle-collect=starmap_next",
                       "--callgrind-out-file=" + out, sys.executable, me, "--loop", run[0], "--impl", run[1],
                       "--calls", str(calls)]
                procs[run] = (subprocess.Popen(cmd, env=env, stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL), out)
            for run, (proc, out) in list(procs.items()):
                if proc.poll() is not None:
                    del procs[run]
                    if proc.returncode:
                        sys.exit("callgrind run %s/%s failed (exit %d)" % (run + (proc.returncode,)))
                    with open(out) as f:
                        total = re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)
                    n = len(batch_args(ARGS.get(run[0], SNAPSHOT), calls))
                    counts[run] = int(total.group(1)) / n
                    if run[1] == "native":
                        own[run[0]] = own_cost(out, n)
            time.sleep(0.2)
    table(counts, "Ir", "instructions per call under valgrind --tool=callgrind, %d calls each" % calls, own,
          cases or ALL)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=31)
    ap.add_argument("--batch", type=int, default=2000)
    ap.add_argument("--callgrind", action="store_true", help="count instructions instead of timing")
    ap.add_argument("--calls", type=int, default=2000, help="calls per callgrind run")
    ap.add_argument("--jobs", type=int, default=2, help="callgrind runs at once")
    ap.add_argument("--keep", metavar="DIR", help="callgrind: leave the output files in DIR")
    ap.add_argument("--cases", nargs="+", choices=ALL, metavar="CASE", help="callgrind: only these callbacks")
    ap.add_argument("--timing-cost", nargs="*", choices=CASES, metavar="CASE",
                    help="latency recording off against on (default: on_snapshot)")
    ap.add_argument("--loop", choices=ALL, help=argparse.SUPPRESS)
    ap.add_argument("--impl", choices=IMPLS, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.loop:
        loop(args.loop, args.impl, args.calls)
    elif args.timing_cost is not None:
        timing_cost(args.timing_cost or ["on_snapshot"], args.rounds, args.batch)
    elif args.callgrind:
        callgrind(args.calls, args.jobs, args.cases, args.keep)
    else:
        timings(args.rounds, args.batch)


if __name__ == "__main__":
    main()
