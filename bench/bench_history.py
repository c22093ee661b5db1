"""How the history queries scale with the length of a history: the time of
history_bars at 100,000 and at 400,000 records, as a ratio measured side by
side, for the whole history and for its newest 1,000 records. Taking the
newest `count` records costs time in proportion to `count`, so the ratios
should be near 4 and 1 (an indexed walk gives about 16 for the whole history);
copying the deque (list(d)) is shown as the floor.

    python bench/bench_history.py [--rounds N]"""
import argparse
import os
import sys
from collections import deque

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import CODE, median, ns_per_call  # noqa: E402
from korvane.orvik.utils import maviro  # noqa: E402

SMALL, LARGE = 100_000, 400_000


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--rounds", type=int, default=7)
    args = ap.parse_args()
    # One record object throughout: what is measured is the walk over the
    # deque, not cache misses on 400,000 distinct records.
    record = {"close_price": 1.0}
    histories = {n: deque([record] * n) for n in (SMALL, LARGE)}
    cases = [
        ("history_bars(code, 0)", lambda n: maviro.history_bars(CODE, 0)),
        ("history_bars(code, 1000)", lambda n: maviro.history_bars(CODE, 1000)),
        ("list(deque)", lambda n: list(histories[n])),
    ]
    print("%-26s %14s %14s %7s" % ("query", "100k ms", "400k ms", "ratio"))
    for name, fn in cases:
        samples = {SMALL: [], LARGE: []}
        for _ in range(args.rounds):  # the two lengths in turn, round after round
            for n in (SMALL, LARGE):
                maviro.history_bar[CODE] = histories[n]
                samples[n].append(ns_per_call(lambda: fn(n), 1) / 1e6)
        small, large = median(samples[SMALL]), median(samples[LARGE])
        print("%-26s %14.3f %14.3f %7.2f" % (name, small, large, large / small))
    maviro.history_bar.clear()


if __name__ == "__main__":
    main()
