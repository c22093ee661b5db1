"""The fuzz targets: each takes the fuzz bytes, builds gateway records (or
queue operations) from them and drives the bridge. Any Python exception is an
acceptable outcome; only a crash, a sanitizer report or Corrupt is a finding."""
import gc
import logging
import os
import sys
import warnings

import numpy as np

import values
from values import ENUM_MEMBERS, Boom, value
from korvane.orvik.environment import Environment
from korvane.orvik.const import SIDE
from korvane.orvik.model.order import Order
from korvane.orvik.utils import maviro
from korvane.orvik.utils.logger import system_log, user_system_log
from pymach.enums import MarketType, OrderStatusType
from pymach.records import Record


class Corrupt(BaseException):
    """A broken invariant: not an exception the bridge may raise, so a finding."""


# The valid sample records the tests' callback table uses; the fuzz data
# perturbs them from there.
sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))
from support.callbacks import BAR, CID, CODE, ORDER, POSITION, SNAPSHOT, TICK_ORDER  # noqa: E402
from support.callbacks import bridge as strategy  # noqa: E402

# Values a fuzzed attribute is likely to need to reach deeper branches.
SPECIAL = {
    "client_order_id": [CID, "nobody", 10001],
    "order_status": list(OrderStatusType),
    "security_id": ["000001", "600000", "", "0" * 40],
    "market_type": list(MarketType),
    "market_id": [101, 102, 103],
    "side": [49, 50, 70, 0],
    "order_type": [49, 50, 85, 0],
}

QUEUE = maviro.event_queue
CONTAINERS = [getattr(maviro, n) for n in ("history_tick", "history_bar", "orders_dict", "algo_parent_orders",
                                           "algo_child_orders", "algo_child_trades")]
MODULE_GLOBALS = [n for n in vars(maviro) if not n.startswith("__") and n not in ("MachStrategy", "EventQueue")]


def attribute(fdp, name, good):
    """Mostly the valid value; else a value that matters to the branch, or anything."""
    k = fdp.ConsumeIntInRange(0, 7)
    if k <= 3:
        return good
    if k == 4 and name in SPECIAL:
        options = SPECIAL[name]
        return options[fdp.ConsumeIntInRange(0, len(options) - 1)]
    if k == 5:
        return DROP
    return value(fdp, good)


DROP = object()


def record(fdp, sample):
    attrs = {}
    for name, good in sample.items():
        v = attribute(fdp, name, good)
        if v is not DROP:
            attrs[name] = v
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind < 6:
        return Record(**attrs)
    behave = values.behaviour(fdp, "__getattr__" if kind == 6 else "__del__")
    cls = type("OddRecord", (Record,), {"__getattr__" if kind == 6 else "__del__": behave})
    return cls(**attrs)


# ---- per-input set-up and clean-up

def drain():
    for _ in range(10000):
        if not len(QUEUE):
            return
        QUEUE.popleft()


def reset():
    drain()
    for c in CONTAINERS:
        c.clear()
    system_log.records.clear()
    user_system_log.records.clear()


def rebind(fdp, saved):
    """A host may rebind any module global: sometimes do so, with anything."""
    for _ in range(fdp.ConsumeIntInRange(0, 1) * fdp.ConsumeIntInRange(0, 2)):
        name = MODULE_GLOBALS[fdp.ConsumeIntInRange(0, len(MODULE_GLOBALS) - 1)]
        if name not in saved:
            saved[name] = vars(maviro)[name]
        if fdp.ConsumeIntInRange(0, 3) == 0:
            vars(maviro).pop(name, None)
        else:
            setattr(maviro, name, value(fdp))


def restore(saved):
    for name, v in saved.items():
        setattr(maviro, name, v)


def world(fdp, b):
    b.bar_cnt = fdp.ConsumeIntInRange(0, 3)
    b.current_trade_dt = 0
    env = Environment.get_instance()
    env.universe[:] = ["x"] * fdp.ConsumeIntInRange(0, 3)
    maviro.orders_dict[CID] = Order(market_code=CODE, order_id=7, side=SIDE.BUY, price=10.0, quantity=100)


def reentry_actions(b):
    """What a hostile dunder or finaliser does when it re-enters."""
    def snap():
        b.on_snapshot(Record(**SNAPSHOT))

    def bar():
        b.on_bar(Record(**BAR))

    def order():
        b.on_order(Record(**ORDER))

    def queries():
        maviro.history_ticks(CODE, 3)
        maviro.history_bars(CODE, 2)

    def clear():
        for c in CONTAINERS:
            c.clear()

    return [snap, bar, order, queries, clear, lambda: QUEUE.append(1), lambda: len(QUEUE) and QUEUE.popleft(),
            lambda: gc.collect(0)]


def check_queue(q):
    n = len(q)
    if not 0 <= n <= q.maxlen:
        raise Corrupt("length %d outside 0..%d" % (n, q.maxlen))


def guarded(fn):
    """Ordinary exceptions are outcomes, not findings."""
    try:
        fn()
    except Corrupt:
        raise
    except BaseException:
        pass


# ---- the callback targets

def callback_target(name, sample, extra=None):
    b = strategy()
    actions = reentry_actions(b)

    def one_input(data):
        import atheris
        fdp = atheris.FuzzedDataProvider(data)
        values.new_input()
        values.ACTIONS[:] = actions
        saved = {}
        try:
            world(fdp, b)
            rebind(fdp, saved)
            args = (record(fdp, sample),) if extra is None else extra(fdp)
            method = getattr(b, name)
            for _ in range(fdp.ConsumeIntInRange(1, 3)):
                guarded(lambda: method(*args))
            if fdp.ConsumeBool():
                guarded(lambda: maviro.history_ticks(value(fdp, CODE), value(fdp, 5)))
                guarded(lambda: maviro.history_bars(value(fdp, CODE), value(fdp, 5)))
            del args
        finally:
            restore(saved)
            guarded(reset)
            check_queue(QUEUE)
    return one_input


def position_args(fdp):
    if fdp.ConsumeIntInRange(0, 5):
        answer = [record(fdp, POSITION) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    else:
        answer = value(fdp, [])
    code = 0 if fdp.ConsumeIntInRange(0, 3) else value(fdp, 0)
    return answer, value(fdp, 5), code, value(fdp, "")


# ---- the event queue

DTYPES = [object, float, int, bool, complex, "U3", "S2", (float, 2), "i1", "u8", "f2", "M8[s]",
          [("a", int), ("b", float)]]
# numpy object storage (tuple capacity with dtype object, or an object field)
# under a re-entrant finaliser; FUZZ_QUEUE_NUMPY_OBJECTS=0 leaves it out.
NUMPY_OBJECTS = os.environ.get("FUZZ_QUEUE_NUMPY_OBJECTS", "1") == "1"


def queue_args(fdp):
    cap = fdp.ConsumeIntInRange(0, 6)
    dtype = DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)]
    form = fdp.ConsumeIntInRange(0, 5)
    if form == 1:
        capacity = np.int64(cap)
    elif form == 2 and (dtype is not object or NUMPY_OBJECTS):
        capacity = (cap,)
    elif form == 3:
        # any larger and numpy's allocation trips the fuzzer's memory limit
        capacity = values.hostile(fdp)
    else:
        capacity = cap
    if NUMPY_OBJECTS and form == 4:
        dtype = [("a", object), ("b", int)]
    return capacity, dtype, (True if fdp.ConsumeIntInRange(0, 3) else value(fdp, False))


class Finaliser:
    """Re-enters the queue (posts, pops, extends) when the queue releases it."""

    def __init__(self, choice):
        self.choice = choice

    def __del__(self):
        try:
            values.reenter(self.choice)
        except Exception:
            pass


def queue_item(fdp, q):
    k = fdp.ConsumeIntInRange(0, 5)
    if k <= 2:
        return fdp.ConsumeIntInRange(-3, 300)
    if k == 3:
        return Finaliser(fdp.ConsumeIntInRange(0, 255))
    return value(fdp, 1.5)


def items(fdp, q):
    k = fdp.ConsumeIntInRange(0, 4)
    if k == 4:
        return value(fdp, [])
    xs = [queue_item(fdp, q) for _ in range(fdp.ConsumeIntInRange(0, 7))]
    if k == 1:
        return tuple(xs)
    if k == 2:
        def gen(choice=fdp.ConsumeIntInRange(0, 255)):
            for x in xs:
                yield x
                values.reenter(choice)
        return gen()
    if k == 3:
        try:
            return np.array(xs)
        except Exception:
            return xs
    return xs


def index(fdp, q):
    k = fdp.ConsumeIntInRange(0, 5)
    if k <= 2:
        return fdp.ConsumeIntInRange(-9, 9)
    if k == 3:
        return slice(value(fdp, None), value(fdp, None), value(fdp, None))
    if k == 4:
        return np.int64(fdp.ConsumeIntInRange(-9, 9))
    return value(fdp, 0)


def queue_ops(q):
    def op(fdp):
        k = fdp.ConsumeIntInRange(0, 14)
        if k == 0:
            q.append(queue_item(fdp, q))
        elif k == 1:
            q.appendleft(queue_item(fdp, q))
        elif k == 2:
            q.pop()
        elif k == 3:
            q.popleft()
        elif k == 4:
            q.extend(items(fdp, q))
        elif k == 5:
            q.extendleft(items(fdp, q))
        elif k == 6:
            q[index(fdp, q)]
        elif k == 7:
            list(q)
        elif k == 8:
            np.asarray(q)
        elif k == 9:
            (q.is_full, q.maxlen, q.dtype, q.shape, repr(q), len(q))
        elif k == 10:
            q.__init__(*queue_args(fdp))
        elif k == 11:
            q.__array__(value(fdp, None))
        elif k == 12:
            # bounded: a re-entry that appends keeps an iteration going, as with a list
            choice = fdp.ConsumeIntInRange(0, 255)
            for _, x in zip(range(16), q):
                values.reenter(choice)
        elif k == 13:
            q.pop() if fdp.ConsumeBool() else q.popleft()
        else:
            gc.collect(0)
    return op


def queue_target():
    def one_input(data):
        import atheris
        fdp = atheris.FuzzedDataProvider(data)
        values.new_input()
        try:
            q = maviro.EventQueue(*queue_args(fdp))
        except Exception:
            return
        op = queue_ops(q)
        values.ACTIONS[:] = [lambda: q.append(1), lambda: q.appendleft(2), lambda: q.pop(), lambda: q.popleft(),
                             lambda: q.extend([3, 4]), lambda: len(q) and q[0], lambda: gc.collect(0)]
        try:
            while fdp.remaining_bytes():
                guarded(lambda: op(fdp))
                check_queue(q)
        finally:
            values.ACTIONS[:] = []
            del q, op
    return one_input


TARGETS = {
    "on_snapshot": lambda: callback_target("on_snapshot", SNAPSHOT),
    "on_tick_order": lambda: callback_target("on_tick_order", TICK_ORDER),
    "on_bar": lambda: callback_target("on_bar", BAR),
    "on_order": lambda: callback_target("on_order", ORDER),
    "on_query_position": lambda: callback_target("on_query_position", POSITION, position_args),
    "event_queue": queue_target,
}


def sane_converter(convert):
    """The stand-in converter searches every millisecond within a float's
    rounding error, for 2**80 a range of 10**8: refuse such magnitudes first
    (the bridge passes whatever the converter does on either way)."""
    def guarded(stamp):
        if isinstance(stamp, float) and not abs(stamp) <= 1e15:
            raise ValueError("stamp out of range")
        return convert(stamp)
    return guarded


def setup():
    maviro.convert_int_to_datetime = sane_converter(maviro.convert_int_to_datetime)
    logging.disable(logging.CRITICAL)
    warnings.simplefilter("ignore")
    sys.unraisablehook = lambda unraisable: None  # finalisers raise on purpose
