"""Per-event cost of a post: the library's RingBuffer against the native queue.

    python bench/bench_queue.py [--n 200000] [--repeat 5]

Prints the best of --repeat runs, in ns per event, for a bare append, an
append + popleft pair, and a whole bridge post (send_day_event: build the
Event, append it to event_queue) with event_queue bound to each class.
"""
import argparse
import sys
import timeit

from numpy_ringbuffer import RingBuffer

from korvane.orvik.utils import maviro


def best(stmt, n, repeat, setup=None):
    timer = timeit.Timer(stmt, setup=setup or "pass", globals=globals())
    return min(timer.repeat(repeat=repeat, number=1)) / n * 1e9


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    n, repeat = args.n, args.repeat
    bridge = object.__new__(maviro.MachStrategy)
    saved = maviro.event_queue
    print(f"Python {sys.version.split()[0]}, {n} events, best of {repeat}, ns/event")
    print(f"{'':24}{'library':>10}{'native':>10}")
    rows = {}
    for label, cls in (("library", RingBuffer), ("native", maviro.EventQueue)):
        q = cls(1_000_000, dtype=object)
        item = object()
        r = rows.setdefault
        append = q.append
        r("append", {})[label] = best(lambda: [append(item) for _ in range(n)], n, repeat)
        popleft = q.popleft

        def pair():
            for _ in range(n):
                append(item)
                popleft()
        r("append + popleft", {})[label] = best(pair, n, repeat)
        maviro.event_queue = q
        try:
            send = bridge.send_day_event
            r("send_day_event", {})[label] = best(lambda: [send("T", 1) for _ in range(n)], n, repeat)
        finally:
            maviro.event_queue = saved
    for name, row in rows.items():
        print(f"{name:24}{row['library']:>10.0f}{row['native']:>10.0f}")


if __name__ == "__main__":
    main()
