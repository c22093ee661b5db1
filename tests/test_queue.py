"""The native event queue: the library's RingBuffer behaviour on the same
operation sequences, indivisible operations under threads, and drained or
overwritten events released at once."""
import gc
import sys
import threading
import weakref

import numpy as np
import numpy_ringbuffer
import pytest
from hypothesis import given, settings, strategies as st

from korvane.orvik.utils import maviro
from support.bridge import drain, run_python

EventQueue = maviro.EventQueue
RB = numpy_ringbuffer.RingBuffer


def outcome(f):
    try:
        return "ok", f()
    except Exception as e:  # compared between the two implementations
        return type(e), str(e)


def as_list(v):
    return v.tolist() if isinstance(v, np.ndarray) else v


values = st.integers(-1000, 1000)
ops = st.lists(st.one_of(
    st.tuples(st.sampled_from(["append", "appendleft"]), values),
    st.tuples(st.sampled_from(["extend", "extendleft"]), st.lists(values, max_size=7)),
    st.tuples(st.sampled_from(["pop", "popleft"]), st.none()),
), max_size=40)


@settings(max_examples=300, deadline=None)
@given(capacity=st.integers(0, 5), dtype=st.sampled_from([object, float, int]),
       overwrite=st.booleans(), ops=ops)
def test_same_results_as_the_library_for_any_operation_sequence(capacity, dtype, overwrite, ops):
    lib, nat = RB(capacity, dtype, overwrite), EventQueue(capacity, dtype, overwrite)
    for name, arg in ops:
        args = () if arg is None else (arg,)
        got, want = (outcome(lambda q=q: getattr(q, name)(*args)) for q in (nat, lib))
        assert got == want, (name, arg)
        assert (len(nat), nat.is_full, nat.shape) == (len(lib), lib.is_full, lib.shape)
        assert as_list(np.asarray(nat)) == as_list(np.asarray(lib))
        assert [nat[i] for i in range(len(nat))] == [lib[i] for i in range(len(lib))]
        assert as_list(nat[1:-1]) == as_list(lib[1:-1])
        assert list(nat) == list(lib)
        if lib.is_full:  # the library counts negative indices from the end only when full
            assert [nat[-i] for i in range(1, len(nat) + 1)] == [lib[-i] for i in range(1, len(lib) + 1)]
    assert (nat.maxlen, nat.dtype, repr(nat)) == (lib.maxlen, lib.dtype, repr(lib))


@pytest.mark.parametrize("dtype, value, shape", [
    ((float, 2), [1.5, 2.5], (3, 2)),
    ("U3", "abc", (3,)),
    (object, (1, 2), (3,)),  # a sequence stays one value
])
def test_other_element_types_store_like_the_library(dtype, value, shape):
    lib, nat = RB(3, dtype), EventQueue(3, dtype)
    for q in (lib, nat):
        for op in (q.append, q.append, q.appendleft):
            op(value)
    assert nat.shape == lib.shape == shape and nat.dtype == lib.dtype
    assert as_list(nat.pop()) == as_list(lib.pop())
    assert repr(nat) == repr(lib)


def test_indices_count_within_the_waiting_values():
    q = EventQueue(5, object)
    q.extend(["a", "b", "c"])
    assert (q[0], q[-1], q[-3]) == ("a", "c", "a")
    assert list(reversed(q)) == ["c", "b", "a"] and "b" in q
    for bad in (3, -4, 10):
        with pytest.raises(IndexError, match="RingBuffer index out of range"):
            q[bad]
    assert list(q[np.array([0, -1])]) == ["a", "c"]


def test_a_value_that_does_not_convert_changes_nothing():
    q = EventQueue(2)
    q.extend([1.0, 2.0])
    for op in (q.append, q.appendleft, lambda v: q.extend([v])):
        with pytest.raises(ValueError):
            op("not a number")
        assert list(q) == [1.0, 2.0] and q.is_full


def test_popped_and_overwritten_values_are_released_at_once():
    class Ev:
        pass

    q = EventQueue(2, object)
    first, second, third = Ev(), Ev(), Ev()
    refs = [weakref.ref(e) for e in (first, second, third)]
    q.extend([first, second])
    q.append(third)  # overwrites `first`
    assert q.popleft() is second
    del first, second, third
    assert [r() is None for r in refs] == [True, True, False]
    q.pop()
    assert refs[2]() is None and len(q) == 0


def test_a_release_that_reenters_the_queue_finds_it_consistent():
    q = EventQueue(2, object)
    seen = []

    class Reenter:
        def __del__(self):
            seen.append(list(q))
            q.append("from __del__")

    q.append(Reenter())
    q.append("b")
    q.append("c")  # drops the Reenter, whose __del__ appends again
    assert seen == [["b", "c"]]
    assert list(q) == ["c", "from __del__"]


@pytest.mark.parametrize("make, wrap, unwrap", [
    ("EventQueue(3, object)", "v", "v"),
    ("EventQueue((3,), object)", "v", "v"),
    ("EventQueue(3, np.dtype([('o', object), ('i', int)]))", "(v, 1)", "v[0]"),
], ids=["objects", "tuple-capacity", "object-field"])
def test_finalisers_that_use_the_queue_while_it_overwrites_find_it_consistent(make, wrap, unwrap):
    """Every storage moves its indices before an overwritten value is released."""
    run_python("""
        import sys
        import numpy as np
        from korvane.orvik.utils.maviro import EventQueue
        q = eval(sys.argv[1])
        wrap = eval("lambda v: " + sys.argv[2])
        unwrap = eval("lambda v: " + sys.argv[3])
        popped = []
        names = iter(range(1000))

        def name(v):
            return v if isinstance(v, str) else v.name

        class Reenter:
            def __init__(self, act):
                self.act, self.name = act, "r%d" % next(names)

            def __del__(self):
                if self.act == "append":
                    q.append(wrap("a%d" % next(names)))
                elif self.act == "pop":
                    popped.append(name(unwrap(q.popleft())))
                else:
                    q.extend([wrap("e%d" % next(names))])

        acts = ["append", "pop", "extend"]
        for step in range(14):
            if step >= 12:
                q.extend([wrap(Reenter(a)) for a in acts[: step - 10]])
            else:
                q.append(wrap(Reenter(acts[step % 3])))
            waiting = [name(unwrap(x)) for x in q]
            assert len(waiting) == len(q) <= 3, (step, len(q))
            assert len(set(waiting)) == len(waiting) and not set(waiting) & set(popped), (step, waiting, popped)
    """, make, wrap, unwrap)


class Ev:
    __slots__ = ("id", "taken")
    released = []

    def __init__(self, id):
        self.id, self.taken = id, False

    def __del__(self):
        if not self.taken:
            Ev.released.append(self.id)


@pytest.mark.parametrize("capacity", [64, 1_000_000])
def test_threads_account_for_every_event(capacity):
    """Two appenders and a drainer with a thread switch every microsecond: each
    event is drained once, still waiting, or dropped by an overwrite."""
    Ev.released = []
    q, per, drained = EventQueue(capacity, object), 30_000, []
    done = threading.Event()

    def produce(base):
        for i in range(per):
            q.append(Ev(base + i))

    def consume():
        while not done.is_set() or len(q):
            try:
                ev = q.popleft()
            except IndexError:
                continue
            ev.taken = True
            drained.append(ev.id)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=produce, args=(k * per,)) for k in range(2)]
        consumer = threading.Thread(target=consume)
        for t in [consumer, *threads]:
            t.start()
        for t in threads:
            t.join()
        done.set()
        consumer.join()
    finally:
        sys.setswitchinterval(old)
    waiting = drain(q)
    for ev in waiting:
        ev.taken = True
    gc.collect()
    ids = drained + [ev.id for ev in waiting] + Ev.released
    assert sorted(ids) == list(range(2 * per))
    if capacity > 2 * per:
        assert Ev.released == []
    for k in range(2):  # each producer's events come out in its order
        mine = [i for i in drained if k * per <= i < (k + 1) * per]
        assert mine == sorted(mine)


def test_event_queue_is_native_and_a_virtual_ring_buffer():
    q = maviro.event_queue
    assert type(q) is EventQueue and isinstance(q, maviro.RB)
    assert maviro.RB is RB and not issubclass(RB, EventQueue)
    assert q.maxlen == 1_000_000 and q.dtype == object


@pytest.mark.parametrize("make", [
    lambda: RB(10, dtype=object),
    lambda: type("Sub", (EventQueue,), {"append": lambda self, v: EventQueue.append(self, ("sub", v))})(10, object),
])
def test_posts_call_append_of_any_other_queue(monkeypatch, make):
    q = make()
    monkeypatch.setattr(maviro, "event_queue", q)
    object.__new__(maviro.MachStrategy).send_day_event("T", 1)
    [ev] = list(q)
    ev = ev[1] if isinstance(ev, tuple) else ev
    assert ev.event_type == "T"


@pytest.mark.parametrize("take", ["popleft", "pop"])
def test_a_drained_queue_behaves_as_the_library_when_reused(take):
    """An emptied object queue restarts at its first slot; nothing shows it."""
    ours, theirs = EventQueue(4, dtype=object), RB(4, dtype=object)
    for q in (ours, theirs):
        for step in range(3):
            q.extend(["a", "b", "c"][: step + 1])
            while len(q):
                getattr(q, take)()
        q.appendleft("x")
        q.extend(["y", "z", "w", "v"])
    assert list(ours) == list(theirs) and ours[0] == theirs[0] and ours[-1] == theirs[-1]
    assert outcome(lambda: ours[3]) == outcome(lambda: theirs[3])
