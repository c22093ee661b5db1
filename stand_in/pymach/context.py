"""Gateway context: what a strategy registers with the SDK.

Every call is recorded, in order, in ``calls`` as (method name, argument
tuple); timers are also kept in ``timers`` as (interval_ns, callback), as
registered. Timers run on real time (a daemon ``threading.Timer`` each) when
the context has no clock, and on the given ``VirtualClock`` otherwise, where
they fire only when the test advances it. On real time a
negative or zero interval fires at once.
"""

import numbers
import threading


class Context:
    def __init__(self, clock=None):
        self.clock = clock
        self.calls = []
        self.timers = []
        self._threads = []

    def _record(self, name, *args):
        self.calls.append((name, args))

    def add_md_broker(self, md_type):
        self._record("add_md_broker", md_type)

    def set_order_way(self, order_way):
        self._record("set_order_way", order_way)

    def add_td_broker(self, td_type):
        self._record("add_td_broker", td_type)

    def add_algo_broker(self, algo_type):
        self._record("add_algo_broker", algo_type)

    def subscribe(self, md_type, market, data_type, codes, period):
        self._record("subscribe", md_type, market, data_type, codes, period)

    def query_asset(self, fund_account_id):
        self._record("query_asset", fund_account_id)

    def query_position(self, fund_account_id):
        self._record("query_position", fund_account_id)

    def add_timer_interval(self, interval, callback):
        """Call ``callback()`` once, ``interval`` nanoseconds from now. The
        interval must be an integer (a float would mean the caller forgot to
        truncate) and the callback callable; both are checked before anything
        is recorded or scheduled."""
        if isinstance(interval, bool) or not isinstance(interval, numbers.Integral):
            raise TypeError("timer interval must be an integer number of nanoseconds, not %r"
                            % (interval,))
        if not callable(callback):
            raise TypeError("timer callback must be callable, not %r" % (callback,))
        self._record("add_timer_interval", interval, callback)
        self.timers.append((interval, callback))
        if self.clock is None:
            timer = threading.Timer(max(int(interval), 0) / 1e9, callback)
            timer.daemon = True
            self._threads.append(timer)
            timer.start()
        else:
            self.clock.schedule(int(interval), callback)

    def __repr__(self):
        return "Context(clock=%r, %d calls)" % (self.clock, len(self.calls))

    def cancel_timers(self):
        """Stop real-time timers that have not fired yet (for test clean-up)."""
        for timer in self._threads:
            timer.cancel()
