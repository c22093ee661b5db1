"""Event queue under threads, and what drained events keep alive.

    python bench/queue_race.py --impl library
    python bench/queue_race.py --impl native

Race: two threads append unique events while a third drains with popleft, with
the thread switch interval at 1 us. Every posted event must end up drained
exactly once, still waiting, or dropped (released while undrained, which only
an overwrite of a full queue may do). The capacity is large enough that nothing
needs to be dropped, so any drop is a loss.

Memory: 2 million events of 1 KiB each go through a queue of 1,000,000 slots,
drained as they come; afterwards the queue is empty, and the events it still
keeps alive (and the RSS they hold) are counted.
"""
import argparse
import gc
import sys
import threading

from numpy_ringbuffer import RingBuffer


def queue_class(impl):
    if impl == "library":
        return RingBuffer
    from korvane.orvik.utils import maviro
    return maviro.EventQueue


def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


class Ev:
    """An event that records being released without having been drained."""
    __slots__ = ("id", "taken", "payload")
    released = []  # list.append is one C call: safe from any thread

    def __init__(self, id, payload=None):
        self.id = id
        self.taken = False
        self.payload = payload

    def __del__(self):
        if not self.taken:
            Ev.released.append(self.id)


def race(cls, per_producer, capacity):
    Ev.released = []
    q = cls(capacity, dtype=object)
    drained, nones = [], 0
    done = threading.Event()

    def produce(base):
        for i in range(per_producer):
            q.append(Ev(base + i))

    def drain():
        nonlocal nones
        while True:
            finished = done.is_set()
            while len(q):
                try:
                    ev = q.popleft()
                except IndexError:  # emptied between the check and the pop
                    break
                if ev is None:
                    nones += 1
                    continue
                ev.taken = True
                drained.append(ev.id)
            if finished:
                return

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        producers = [threading.Thread(target=produce, args=(k * per_producer,)) for k in range(2)]
        consumer = threading.Thread(target=drain)
        consumer.start()
        for t in producers:
            t.start()
        for t in producers:
            t.join()
        done.set()
        consumer.join()
    finally:
        sys.setswitchinterval(old)
    gc.collect()
    posted = 2 * per_producer
    waiting = [q.popleft() for _ in range(len(q))]
    for ev in waiting:
        if ev is not None:
            ev.taken = True
    waiting_ids = [ev.id for ev in waiting if ev is not None]
    nones += len(waiting) - len(waiting_ids)
    seen = drained + waiting_ids
    distinct = set(seen)
    return {
        "posted": posted,
        "drained": len(drained),
        "waiting": len(waiting_ids),
        "dropped": len(Ev.released),
        "drained as None": nones,
        "duplicated": len(seen) - len(distinct),
        "never seen": posted - len(distinct),
        "unaccounted": posted - len(distinct | set(Ev.released)),
    }


def memory(cls, events, payload):
    Ev.released = []
    alive = [0]

    class Held(Ev):
        __slots__ = ()

        def __init__(self, id):
            super().__init__(id, bytes(payload))
            alive[0] += 1

        def __del__(self):
            alive[0] -= 1

    q = cls(1_000_000, dtype=object)
    gc.collect()
    before = rss_mib()
    batch = 1000
    for start in range(0, events, batch):
        for i in range(start, start + batch):
            q.append(Held(i))
        for _ in range(batch):
            q.popleft()
    gc.collect()
    after = rss_mib()
    return {"events": events, "queue length": len(q), "events kept alive": alive[0],
            "RSS before (MiB)": round(before, 1), "RSS after drain (MiB)": round(after, 1),
            "held (MiB)": round(after - before, 1)}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--impl", choices=("library", "native"), default="library")
    ap.add_argument("--per-producer", type=int, default=200_000)
    ap.add_argument("--memory-events", type=int, default=2_000_000)
    ap.add_argument("--payload", type=int, default=1024, help="bytes held by each event")
    ap.add_argument("--skip-memory", action="store_true")
    args = ap.parse_args()
    cls = queue_class(args.impl)
    print(f"{args.impl} ({cls.__module__}.{cls.__qualname__}), Python {sys.version.split()[0]}")
    res = race(cls, args.per_producer, 2 * args.per_producer + 1)
    print("race:", ", ".join(f"{k} {v}" for k, v in res.items()))
    if not args.skip_memory:
        res = memory(cls, args.memory_events, args.payload)
        print("memory:", ", ".join(f"{k} {v}" for k, v in res.items()))


if __name__ == "__main__":
    main()
