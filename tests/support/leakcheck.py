"""Reference-leak check in the manner of CPython's refleak runner.

``assert_no_leak(fn, objects=...)`` runs ``fn`` for a few warm-up rounds (caches,
interned names and free lists settle), then for several tracked rounds. After
each round it takes ``sys.getallocatedblocks()``, ``sys.getrefcount()`` of every
object given (an extra incref of an argument or a global shows there even when
no block is lost) and, on a debug interpreter, ``sys.gettotalrefcount()``.
A leak is a growth on every tracked round: a one-off growth is the interpreter
settling, a growth each round is something kept per call.
"""
import array
import gc
import sys

__all__ = ["measure", "assert_no_leak", "Leak"]


class Leak(AssertionError):
    pass


def measure(fn, objects=(), warmup=3, rounds=4, repeat=100):
    """Per tracked round, the growth of (allocated blocks, total references,
    [refcount of each object]) over ``repeat`` calls of ``fn``.

    The figures go into arrays allocated before the first round, so the
    measurement itself keeps no new object alive between rounds."""
    objects = tuple(objects)
    n = len(objects)
    blocks = array.array("q", bytes(8 * (rounds + 1)))
    totals = array.array("q", bytes(8 * (rounds + 1)))
    counts = array.array("q", bytes(8 * (rounds + 1) * n))
    has_total = hasattr(sys, "gettotalrefcount")

    def snapshot(r):
        gc.collect()
        for i in range(n):
            counts[r * n + i] = sys.getrefcount(objects[i])
        if has_total:
            totals[r] = sys.gettotalrefcount()
        blocks[r] = sys.getallocatedblocks()

    for _ in range(warmup):
        for _ in range(repeat):
            fn()
    snapshot(0)
    for r in range(1, rounds + 1):
        for _ in range(repeat):
            fn()
        snapshot(r)
    return [(blocks[r] - blocks[r - 1], totals[r] - totals[r - 1],
             [counts[r * n + i] - counts[(r - 1) * n + i] for i in range(n)]) for r in range(1, rounds + 1)]


def _leaks(series):
    return all(d >= 1 for d in series)


def assert_no_leak(fn, objects=(), warmup=3, rounds=4, repeat=100, what=None):
    """Fail when ``fn`` keeps memory or references on every tracked round.

    ``fn`` takes no arguments and must undo its own visible effects (drain the
    queue, empty a growing history), or those show up as a leak. ``objects`` are
    the things whose reference counts must not creep: the record passed in, the
    strategy, host objects and module globals the call touches."""
    # Small ints are shared with every computation, the figures included.
    objects = tuple(o for o in objects if not (type(o) is int and -5 <= o <= 256))
    deltas = measure(fn, objects, warmup, rounds, repeat)
    problems = []
    # Under PYTHONMALLOC=malloc (the sanitizer runs) the interpreter counts no blocks.
    if sys.getallocatedblocks() and _leaks([d[0] for d in deltas]):
        problems.append("allocated blocks grew every round: %s" % [d[0] for d in deltas])
    if hasattr(sys, "gettotalrefcount") and _leaks([d[1] for d in deltas]):
        problems.append("total refcount grew every round: %s" % [d[1] for d in deltas])
    for i, obj in enumerate(objects):
        series = [d[2][i] for d in deltas]
        if _leaks(series):
            problems.append("refcount of %s grew every round: %s" % (_describe(obj), series))
    if problems:
        raise Leak("%s leaks over %d calls a round: %s" % (
            what or getattr(fn, "__name__", fn), repeat, "; ".join(problems)))
    return deltas


def _describe(obj):
    try:
        text = repr(obj)
    except Exception:  # an object whose repr raises is still worth naming
        text = object.__repr__(obj)
    return text if len(text) <= 80 else text[:77] + "..."
