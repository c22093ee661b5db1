"""Two SDK-like threads call the callbacks while a host-like thread drains the
event queue, asks the four queries and switches the day, with the interpreter
switching threads as often as it can. No crash, every event accounted for,
tick histories within their bound, and any thread's failure fails the test.

BRIDGE_THREAD_CALLBACKS sets the number of callbacks (default 20,000; the full
run is 1,000,000)."""
import itertools
import os
import sys
import threading
import time

import pytest

from korvane.orvik.const import ORDER_STATUS
from korvane.orvik.core.events import Event
from korvane.orvik.environment import Environment
from korvane.orvik.utils import maviro
from pymach.records import Record
from support import callbacks as cb
from support.bridge import drain, fast_converter
from support.callbacks import BY_ID

CALLBACKS = int(os.environ.get("BRIDGE_THREAD_CALLBACKS", "20000"))
CODES = ["%06d" % i for i in range(1, 6)]


class CountingEvent(Event):
    """The host event with a serial number: every event built is posted at
    once, so the serials count what was posted."""
    serial = itertools.count()

    def __init__(self, event_type, **fields):
        super().__init__(event_type, **fields)
        self.__dict__["_serial"] = next(CountingEvent.serial)


@pytest.fixture
def busy(monkeypatch):
    """Fast thread switches, a counting Event, a universe of one."""
    CountingEvent.serial = itertools.count()
    monkeypatch.setattr(maviro, "Event", CountingEvent)
    monkeypatch.setattr(maviro, "convert_int_to_datetime", fast_converter)
    env = Environment.get_instance()
    saved_universe, interval = list(env.universe), sys.getswitchinterval()
    env.universe[:] = ["x"]
    sys.setswitchinterval(1e-6)
    maviro.reset_bridge_stats()
    yield
    sys.setswitchinterval(interval)
    env.universe[:] = saved_universe
    cb.reset_logs()


def market_worker(n, bridge):
    """Snapshots of five instruments, bars, level-2 orders and trades."""
    calls = []
    for code in CODES:
        calls.append((bridge.on_snapshot, BY_ID["snapshot"].args(security_id=code)))
        calls.append((bridge.on_bar, BY_ID["bar"].args(security_id=code)))
    calls += [(bridge.on_tick_order, BY_ID["tick_order"].args()), (bridge.on_tick_trade, BY_ID["tick_trade"].args())]
    for i, (fn, args) in zip(range(n), itertools.cycle(calls)):
        fn(*args)


def order_worker(n, bridge):
    """Order reports and order-action errors for an order the host keeps
    putting back into the book, algo responses and algo updates."""
    book = cb.REAL["orders_dict"]
    order = cb.host_order()
    reports = [BY_ID[c].args()[0] for c in ("order_accepted", "order_filled", "order_cancelled", "order_rejected")]
    algo = [(bridge.on_algo_parent_order_update, Record(**{**cb.ALGO_UPDATE, "sys_quote_id": "Q%d" % i}))
            for i in range(3)]
    algo += [(bridge.on_algo_child_order_update, Record(**cb.ALGO_UPDATE)),
             (bridge.on_algo_child_order_trade, Record(**cb.ALGO_UPDATE)),
             (bridge.on_algo_login, BY_ID["algo_login"].args()[0]),
             (bridge.on_control_algo_parent_order_res, BY_ID["parent_pause"].args()[0])]
    steps = [(bridge.on_order, r) for r in reports] + [(bridge.on_order_action_error, BY_ID["order_action_error"].args()[0])]
    steps += algo
    for i, (fn, record) in zip(range(n), itertools.cycle(steps)):
        if fn is bridge.on_order and record is reports[0]:
            order.status = ORDER_STATUS.PENDING_NEW
            book[cb.CID] = order
        fn(record)


class Host:
    """Drains the queue, checks each event, asks the queries, switches the day."""

    def __init__(self):
        self.drained = 0
        self.serials = set()
        self.longest_wait = 0
        self.queries = 0
        self.switches = 0

    def take(self):
        queue = cb.QUEUE
        self.longest_wait = max(self.longest_wait, len(queue))
        while True:
            try:
                ev = queue.popleft()
            except IndexError:
                return
            assert type(ev) is CountingEvent, ev
            assert ev._serial not in self.serials
            self.serials.add(ev._serial)
            self.drained += 1

    def ask(self, bridge):
        for code in CODES:
            key = code + ".XSHE"
            tick = maviro.get_current_tick(key)
            assert tick is None or (type(tick) is dict and len(tick) == 20)
            ticks = maviro.history_ticks(key, 100)
            assert ticks is None or 1 <= len(ticks) <= 60
            bar = maviro.get_current_bar(key)
            assert bar is None or len(bar) == 9
            bars = maviro.history_bars(key, 5)
            assert bars is None or 1 <= len(bars) <= 5
            self.queries += 4
        for history in list(cb.REAL["history_tick"].values()):
            assert history.maxlen == 60 and len(history) <= 60

    def run(self, done, bridge):
        while not done.is_set():
            self.take()
            self.ask(bridge)
            if self.queries % 40 == 0:
                bridge.on_switch_day()
                self.switches += 1
        self.take()


def run_threads(n, host_bridge=None):
    errors = []
    done = threading.Event()
    host = Host()

    def guard(fn, *args):
        def body():
            try:
                fn(*args)
            except BaseException as e:  # any failure of a thread fails the test
                errors.append((fn.__name__, e))
                done.set()
        return threading.Thread(target=body, name=fn.__name__, daemon=True)

    workers = [guard(market_worker, n // 2, cb.bridge()), guard(order_worker, n - n // 2, cb.bridge())]
    host_thread = guard(host.run, done, host_bridge or cb.bridge())
    host_thread.start()
    for w in workers:
        w.start()
    deadline = time.monotonic() + max(120, n / 1000)
    for w in workers:
        w.join(max(0.0, deadline - time.monotonic()))
    done.set()
    host_thread.join(60)
    assert not errors, errors
    assert not any(t.is_alive() for t in workers + [host_thread]), "a thread hung"
    return host


def test_callbacks_from_two_threads_with_a_host_draining(busy):
    host = run_threads(CALLBACKS)
    posted = next(CountingEvent.serial)
    waiting = len(cb.QUEUE)
    stats = maviro.bridge_stats()
    dropped = stats["queue"]["dropped"]
    assert posted == host.drained + waiting + dropped
    assert posted == sum(stats["events"].values()) == stats["queue"]["appended"]
    calls = {name: c["calls"] for name, c in stats["callbacks"].items()}
    assert calls.pop("on_switch_day") == host.switches and sum(calls.values()) == CALLBACKS
    print("\n%d callbacks: %d events posted, %d drained, %d waiting, %d dropped; %d queries, %d day switches"
          % (CALLBACKS, posted, host.drained, waiting, dropped, host.queries, host.switches))
    assert posted > CALLBACKS // 2  # most callbacks post; order reports after a day switch do not
    assert host.serials == set(range(posted))
    assert dropped == 0 and host.longest_wait < cb.QUEUE.maxlen
    assert host.switches > 0


def test_a_full_queue_drops_only_the_oldest_and_accounts_for_each_event(busy, monkeypatch):
    capacity = 200
    queue = maviro.EventQueue(capacity, object)
    monkeypatch.setattr(maviro, "event_queue", queue)
    bridges = [cb.bridge(), cb.bridge()]
    errors = []

    def worker(b):
        try:
            market_worker(3000, b)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(b,)) for b in bridges]
    for t in threads:
        t.start()
    drained = []
    while any(t.is_alive() for t in threads):
        time.sleep(0.001)
        # A host that falls behind and then stops draining, so the queue
        # overflows however fast or slow the workers run (6,000 posts).
        if len(drained) < 1000:
            for _ in range(min(len(queue), capacity // 4)):
                drained.append(queue.popleft())
    for t in threads:
        t.join()
    assert not errors, errors
    posted = next(CountingEvent.serial)
    waiting = drain(queue)
    assert len(waiting) <= capacity
    seen = [e._serial for e in drained + waiting]
    assert len(seen) == len(set(seen)) and set(seen) <= set(range(posted))
    assert queue.dropped > 0  # the overwrite did drop events
    assert posted == len(seen) + queue.dropped == maviro.bridge_stats()["queue"]["appended"]


def test_a_failing_worker_fails_the_run(busy, monkeypatch):
    monkeypatch.setattr(maviro, "TickObject", lambda *a: 1 / 0)
    with pytest.raises(AssertionError, match="ZeroDivisionError"):
        run_threads(200)
