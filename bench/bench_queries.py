"""Median ns per call of the tick and bar history queries, on full histories
(60 ticks, a day of bars).

    python bench/bench_queries.py [--rounds N] [--batch N]

The callbacks themselves are measured by bench.py."""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import BARS, CODE, SNAPSHOT, UNIVERSE_CODES, median, ns_per_call  # noqa: E402
from korvane.orvik.environment import Environment  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--batch", type=int, default=5000)
    args = ap.parse_args()
    Environment.get_instance().universe[:] = UNIVERSE_CODES
    s = object.__new__(maviro.MachStrategy)
    s.bar_cnt, s.current_trade_dt = 0, 0
    for _ in range(60):
        s.on_snapshot(SNAPSHOT)
    for _ in range(240):
        for b in BARS:
            s.on_bar(b)
    bar_code = BARS[0].security_id + ".XSHE"
    cases = [
        ("get_current_tick", lambda: maviro.get_current_tick(CODE)),
        ("history_ticks(code, 10)", lambda: maviro.history_ticks(CODE, 10)),
        ("get_current_bar", lambda: maviro.get_current_bar(bar_code)),
        ("history_bars(code, 10)", lambda: maviro.history_bars(bar_code, 10)),
        ("unknown code", lambda: maviro.get_current_tick("none")),
    ]
    print("%-26s %10s" % ("query", "median ns"))
    for name, fn in cases:
        print("%-26s %10.0f" % (name, median([ns_per_call(fn, args.batch) for _ in range(args.rounds)])))


if __name__ == "__main__":
    main()
