"""Python values built from fuzz bytes: plain values of every type a gateway
record or a host may hand over, and objects whose dunders raise, return odd
things or call back into the bridge while it is working."""
import gc
import math
import sys

import numpy as np

from pymach import enums

ENUM_MEMBERS = [m for e in (enums.MarketType, enums.OrderStatusType, enums.AlgoControlType, enums.MDType)
                for m in e]

# Re-entrant actions a hostile dunder or finaliser may take; a target fills
# this with callables of its own (re-enter the callback, post, drain...).
ACTIONS = []
# Re-entry stops this deep, so a finaliser that re-enters cannot recurse forever.
MAX_DEPTH = 2
_depth = [0]
# Re-entries per input: a finaliser that posts on every release would
# otherwise keep a drain going for as long as the drain lasts.
BUDGET = 32
_budget = [BUDGET]


def new_input():
    _budget[0] = BUDGET


class Boom(Exception):
    pass


def reenter(fdp_choice):
    """Runs one of ACTIONS unless already this deep in re-entry."""
    if not ACTIONS or _depth[0] >= MAX_DEPTH or _budget[0] <= 0:
        return None
    _budget[0] -= 1
    _depth[0] += 1
    try:
        return ACTIONS[fdp_choice % len(ACTIONS)]()
    finally:
        _depth[0] -= 1


ODD_RETURNS = [None, "", "x" * 300, -1, 0, 2 ** 70, -2 ** 63, math.nan, math.inf, 1.5, b"b", (), [], NotImplemented,
               True, "\udcff", np.int64(7), np.float64(-0.0)]

DUNDERS = ["__str__", "__repr__", "__format__", "__eq__", "__ne__", "__lt__", "__gt__", "__hash__", "__index__",
           "__int__", "__float__", "__bool__", "__len__", "__iter__", "__getitem__", "__contains__", "__add__",
           "__radd__", "__sub__", "__mul__", "__truediv__", "__neg__", "__round__", "__copy__", "__deepcopy__",
           "__reduce_ex__", "__del__", "__array__"]

BASES = [object, int, str, float, tuple, dict]


def behaviour(fdp, name):
    """A function for dunder `name`: raises, returns something odd, collects
    garbage, or re-enters the bridge."""
    kind = fdp.ConsumeIntInRange(0, 5)
    odd = ODD_RETURNS[fdp.ConsumeIntInRange(0, len(ODD_RETURNS) - 1)]
    choice = fdp.ConsumeIntInRange(0, 255)

    if kind == 0:
        def f(self, *a, **k):
            raise Boom(name)
    elif kind == 1:
        def f(self, *a, **k):
            return odd
    elif kind == 2:
        def f(self, *a, **k):
            return self
    elif kind == 3:
        def f(self, *a, **k):
            gc.collect(0)
            return odd
    elif kind == 4:
        def f(self, *a, **k):
            reenter(choice)
            return odd
    else:
        def f(self, *a, **k):
            reenter(choice)
            raise Boom(name)
    if name == "__getitem__":
        # past a few items, or any iteration over the object never ends (as in plain Python)
        def item(self, i=0, *a, _f=f):
            if isinstance(i, int) and i > 3:
                raise IndexError(i)
            return _f(self, i, *a)
        return item
    if name == "__del__":
        def fin(self, _f=f):
            try:
                _f(self)
            except Exception:
                pass
        return fin
    return f


def hostile(fdp):
    base = BASES[fdp.ConsumeIntInRange(0, len(BASES) - 1)]
    ns = {}
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        name = DUNDERS[fdp.ConsumeIntInRange(0, len(DUNDERS) - 1)]
        ns[name] = behaviour(fdp, name)
    cls = type("Hostile", (base,), ns)
    try:
        return cls() if base is object else cls(plain(fdp, base))
    except Exception:
        return None


def plain(fdp, base):
    if base is int:
        return fdp.ConsumeIntInRange(-3, 300)
    if base is str:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 8))
    if base is float:
        return fdp.ConsumeFloat()
    if base is tuple:
        return (1, "a")
    return {"a": 1}


def value(fdp, good=None, depth=0):
    """Anything: often `good` (the valid value), else any type, hostile or not."""
    k = fdp.ConsumeIntInRange(0, 19)
    if k == 0:
        return good
    if k == 1:
        return None
    if k == 2:
        return fdp.ConsumeBool()
    if k == 3:
        return fdp.ConsumeIntInRange(-3, 300)
    if k == 4:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 12))
    if k == 5:
        return fdp.ConsumeFloat()
    if k == 6:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if k == 7:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6))
    if k == 8:
        return ENUM_MEMBERS[fdp.ConsumeIntInRange(0, len(ENUM_MEMBERS) - 1)]
    if k in (9, 10) and depth < 2:
        items = [value(fdp, good, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        return items if k == 9 else tuple(items)
    if k == 11 and depth < 2:
        d = {}
        for _ in range(fdp.ConsumeIntInRange(0, 2)):
            key = value(fdp, "k", depth + 1) if fdp.ConsumeBool() else "k"
            try:
                d[key] = value(fdp, good, depth + 1)
            except Exception:  # unhashable, or a hostile __hash__/__eq__
                pass
        return d
    if k in (12, 13, 14):
        return hostile(fdp)
    if k == 15:
        kind = fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            return np.int64(fdp.ConsumeInt(8))
        if kind == 1:
            return np.float64(fdp.ConsumeFloat())
        if kind == 2:
            return np.bool_(fdp.ConsumeBool())
        if kind == 3:
            return np.str_(fdp.ConsumeUnicodeNoSurrogates(4))
        return np.arange(fdp.ConsumeIntInRange(0, 4))
    if k == 16:
        return sys.maxsize if fdp.ConsumeBool() else -sys.maxsize - 1
    return good
