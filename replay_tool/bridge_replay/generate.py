"""A deterministic sample trading day on the Shenzhen exchange.

The day (2024-03-15 by default): login at 08:45 with the asset and position
answers, the algo login, the opening call auction from 09:15 (level-2 orders,
the auction trades at 09:25), continuous trading 09:30-11:30 and 13:00-15:00
with the closing auction from 14:57, snapshots of every instrument each
``snapshot_interval`` seconds, level-2 orders and trades, one-minute bars for
the whole universe, the host orders through every path of the gateway's order
statuses, two algo parent orders (one paused and resumed, one cancelled) with
their child orders and trades, a late report after the close and the day
switch at 15:40. ``hours`` shortens continuous trading (counted from 09:30,
the lunch break skipped); the market-data load grows with ``instruments`` and
a shorter ``snapshot_interval``.

Everything is drawn from ``random.Random(seed)``, so a seed always gives the
same file, on every Python version.
"""

import bisect
import datetime as _dt
import heapq
import math
import random

from bridge_replay.session.codec import Enumerations, Record, member, other
from bridge_replay.session.encoder import Encoder
from bridge_replay.session.entries import HostOrder
from bridge_replay.session.header import Header
from bridge_replay.session.schema import ROWS
from bridge_replay.session.writer import SessionWriter


class _Names:
    """Members of an SDK or host enumeration, by name only."""

    def __init__(self, cls_name):
        self._cls = cls_name

    def __getattr__(self, name):
        return member("%s.%s" % (self._cls, name))


SIDE = _Names("SIDE")
# Values the bridge does not tell apart, which an SDK or a host need not have
# as members: written so that the day replays alike on any (a gateway status
# beyond the nine; the position effect, which the bridge only copies).
_UNKNOWN_STATUS = other("OrderStatusType.Unknown")
_OPEN, _CLOSE = other("POSITION_EFFECT.OPEN"), other("POSITION_EFFECT.CLOSE")

DAY = _dt.date(2024, 3, 15)
_AUCTION_OPEN = _dt.time(9, 15)
_AUCTION_MATCH = _dt.time(9, 25)
_MORNING = (_dt.time(9, 30), _dt.time(11, 30))
_AFTERNOON = (_dt.time(13, 0), _dt.time(15, 0))
_CLOSING_AUCTION = _dt.time(14, 57)
_DEPTH = 5


def _stamp(t):
    """Gateway time stamp YYYYMMDDHHMMSSmmm."""
    return int(t.strftime("%Y%m%d%H%M%S")) * 1000 + t.microsecond // 1000


def _r2(x):
    return round(x + 1e-9, 2)


class _Instrument:
    def __init__(self, rng, code):
        self.code = code
        self.market_code = code + ".XSHE"
        self.prev_close = _r2(rng.uniform(3.0, 80.0))
        limit = 0.2 if code.startswith("30") else 0.1
        self.high_limited = _r2(self.prev_close * (1 + limit))
        self.low_limited = _r2(self.prev_close * (1 - limit))
        self.sigma = rng.uniform(0.0004, 0.0012)
        self.price = self.prev_close
        self.open = 0.0
        self.high = 0.0
        self.low = 0.0
        self.volume = 0
        self.value = 0.0
        self.seq = 0          # appl_seq_num of level-2 orders
        self.biz = 0          # biz_index of level-2 records
        self.resting = {"1": [], "2": []}   # side code -> resting order seq numbers
        self.bar = None
        self.depth = None

    def step(self, rng):
        p = self.price * math.exp(rng.gauss(0.0, self.sigma))
        self.price = min(max(_r2(p), self.low_limited), self.high_limited)
        return self.price

    def trade(self, price, qty):
        if not self.open:
            self.open = self.high = self.low = price
        self.high = max(self.high, price)
        self.low = min(self.low, price)
        self.volume += qty
        self.value = _r2(self.value + price * qty)
        if self.bar is None:
            self.bar = [price, price, price, price, 0, 0.0]
        b = self.bar
        b[1] = price
        b[2] = max(b[2], price)
        b[3] = min(b[3], price)
        b[4] += qty
        b[5] = _r2(b[5] + price * qty)


class _Day:
    """The trading timeline: continuous-trading minutes mapped to clock times."""

    def __init__(self, day, hours):
        if not 0 < hours <= 4:
            raise ValueError("hours of continuous trading must be in (0, 4], not %r" % (hours,))
        self.day = day
        self.hours = hours
        total = int(round(hours * 3600))
        self.windows = []
        for start, end in (_MORNING, _AFTERNOON):
            if total <= 0:
                break
            s = _dt.datetime.combine(day, start)
            length = min(total, int((_dt.datetime.combine(day, end) - s).total_seconds()))
            self.windows.append((s, s + _dt.timedelta(seconds=length)))
            total -= length
        self.full = hours == 4
        self.close = self.windows[-1][1]

    def at(self, fraction):
        """Clock time at ``fraction`` of the continuous-trading time."""
        seconds = fraction * self.hours * 3600
        for s, e in self.windows:
            span = (e - s).total_seconds()
            if seconds <= span:
                return s + _dt.timedelta(seconds=seconds)
            seconds -= span
        return self.windows[-1][1]

    def trading(self, t):
        return any(s <= t < e for s, e in self.windows)

    def phase(self, t):
        if t < _dt.datetime.combine(self.day, _AUCTION_MATCH):
            return "O"
        if t >= self.close:
            return "E"
        if self.full and t >= _dt.datetime.combine(self.day, _CLOSING_AUCTION):
            return "C"
        return "T" if self.trading(t) else "B"


# Order paths: (name, weight); the first len(_PATHS) orders take one of each.
_PATHS = [
    ("fill", 60), ("partial_fill", 40), ("cancel", 30), ("partial_cancel", 24),
    ("reject", 15), ("pending_cancel_match", 5), ("duplicate", 10), ("unknown_status", 4),
    ("open_at_close", 10), ("cancel_reject", 0), ("late_report", 0),
]


class Generator:
    def __init__(self, instruments=50, hours=4.0, seed=20240315, snapshot_interval=3.0,
                 orders=200, l2_per_minute=6.0, day=DAY):
        if instruments < 2:
            raise ValueError("a sample day needs at least 2 instruments")
        if snapshot_interval <= 0:
            raise ValueError("snapshot interval must be positive")
        self.rng = random.Random(seed)
        self.seed = seed
        self.n_instruments = instruments
        self.snapshot_interval = snapshot_interval
        self.n_orders = orders
        self.l2_per_minute = l2_per_minute
        self.day = _Day(day, hours)
        self.date = day
        codes = set()
        while len(codes) < instruments:
            board = self.rng.random()
            if board < 0.55:
                codes.add("%06d" % self.rng.randint(1, 2999))
            elif board < 0.8:
                codes.add("%06d" % self.rng.randint(2001, 2999))
            else:
                codes.add("%06d" % self.rng.randint(300001, 301399))
        self.instruments = [_Instrument(self.rng, c) for c in sorted(codes)]
        self.heap = []
        self._n = 0
        self.host_orders = []

    def dt(self, time_or_dt, ms=0):
        base = time_or_dt if isinstance(time_or_dt, _dt.datetime) \
            else _dt.datetime.combine(self.date, time_or_dt)
        return base + _dt.timedelta(milliseconds=ms)

    def push(self, t, cb, rec=None, args=()):
        # Millisecond resolution, as the gateway stamps.
        t = t.replace(microsecond=t.microsecond // 1000 * 1000)
        self._n += 1
        heapq.heappush(self.heap, (t, self._n, cb, rec, args))

    # ------------------------------------------------------------ session side

    def account_side(self):
        fund = "100200300"
        self.push(self.dt(_dt.time(8, 45)), "on_login", Record(
            fund_account_id=fund, error_code=0, error_msg="", client_seq_id=1))
        held = self.rng.sample(self.instruments, min(8, len(self.instruments)))
        positions = []
        market_value = 0.0
        for inst in held:
            qty = self.rng.randint(5, 80) * 100
            cost = _r2(inst.prev_close * self.rng.uniform(0.85, 1.1))
            mv = _r2(qty * inst.prev_close)
            market_value += mv
            positions.append(Record(
                security_id=inst.code, market_id=102, init_qty=qty, leaves_qty=qty,
                available_qty=qty, cost_price=cost, last_price=inst.prev_close,
                market_value=mv, profit_loss=_r2(mv - qty * cost)))
        cash = 5000000.0
        self.push(self.dt(_dt.time(8, 45), 40), "on_query_asset", Record(
            fund_account_id=fund, available_t1=cash, frozen_all=0.0,
            market_value=_r2(market_value), total_asset=_r2(cash + market_value),
            leaves_value=cash, init_leaves_value=cash), (2, 0, ""))
        self.push(self.dt(_dt.time(8, 45), 75), "on_query_position", positions, (3, 0, ""))
        self.push(self.dt(_dt.time(8, 50)), "on_algo_login", Record(
            client_seq_id=4, trader_id="algo_atx", error_code=0, error_msg=""))
        self.push(self.dt(_dt.time(15, 40)), "on_switch_day")

    # ------------------------------------------------------------ host orders

    def _report(self, t, cid, inst, price, status, qty, traded, value, last_qty=0,
                last_price=0.0, counter=0, frozen=0.0, error_code=0, error_msg=""):
        self.push(t, "on_order", Record(
            client_order_id=cid, security_id=inst.code, order_price=price,
            order_status=status, order_qty=qty, trade_qty=traded,
            total_trade_value=_r2(value), error_msg=error_msg, error_code=error_code,
            last_match_qty=last_qty, last_match_price=last_price, counter_order_id=counter,
            frozen_trade_value=_r2(frozen)))

    def _gateway_trade(self, t, cid, inst, price, qty, exec_no):
        self.push(t, "on_trade", Record(
            client_order_id=cid, exec_id="E%08d" % exec_no, security_id=inst.code,
            trade_price=price, trade_qty=qty, trade_time=_stamp(t)))

    def host_order_flow(self):
        S = _Names("OrderStatusType")
        rng = self.rng
        names = [p for p, _ in _PATHS]
        weights = [w for _, w in _PATHS]
        paths = [p for p in names[:9]] + ["cancel_reject", "late_report"]
        while len(paths) < self.n_orders:
            paths.append(rng.choices(names, weights)[0])
        paths = paths[:max(self.n_orders, len(names))]
        rng.shuffle(paths)
        exec_no = 0
        for i, path in enumerate(paths):
            cid = 10001 + i
            inst = rng.choice(self.instruments)
            frac = (i + rng.random()) / len(paths) * 0.96 + 0.01
            submit = self.day.at(frac)
            if path == "late_report":
                submit = self.day.at(0.985)
            buy = rng.random() < 0.6
            price = _r2(inst.prev_close * rng.uniform(0.97, 1.03))
            price = min(max(price, inst.low_limited), inst.high_limited)
            qty = rng.randint(1, 30) * 100
            order_attrs = self._host_order(cid, inst, buy, price, qty)
            counter = 500000 + i
            frozen = price * qty if buy else 0.0
            t = submit + _dt.timedelta(milliseconds=rng.randint(15, 60))
            self.host_orders.append((submit, cid, order_attrs))
            rep = self._report

            def fills(t, n, upto, start_traded=0, start_value=0.0):
                """n matches taking the filled quantity from start to ``upto``."""
                traded, value = start_traded, start_value
                steps = sorted(rng.sample(range(1, max(upto // 100, n) + 1), n)) if n else []
                out = []
                for k, s in enumerate(steps):
                    target = upto if k == n - 1 else max(s * 100, traded + 100)
                    target = min(target, upto)
                    last = target - traded
                    if last <= 0:
                        continue
                    t = t + _dt.timedelta(milliseconds=rng.randint(300, 90000))
                    lp = _r2(price * rng.uniform(0.995, 1.0) if buy else price * rng.uniform(1.0, 1.005))
                    traded, value = target, value + last * lp
                    out.append((t, last, lp, traded, value))
                return out

            if path == "reject":
                rep(t, cid, inst, price, S.UnSend, qty, 0, 0.0, frozen=frozen)
                rep(t + _dt.timedelta(milliseconds=8), cid, inst, price, S.Reject, qty, 0, 0.0,
                    error_code=rng.choice([20001, 20007, 30012]),
                    error_msg=rng.choice(["price out of limit", "insufficient funds",
                                          "security suspended"]))
                continue
            # Accepted: first an UnSend without a counter number, then Sended.
            rep(t, cid, inst, price, S.UnSend, qty, 0, 0.0, frozen=frozen)
            t = t + _dt.timedelta(milliseconds=rng.randint(5, 30))
            rep(t, cid, inst, price, S.Sended, qty, 0, 0.0, counter=counter, frozen=frozen)
            if path == "duplicate":
                rep(t + _dt.timedelta(milliseconds=2), cid, inst, price, S.Sended, qty, 0, 0.0,
                    counter=counter, frozen=frozen)
            if path in ("fill", "duplicate", "unknown_status", "cancel_reject"):
                if path == "unknown_status":
                    rep(t + _dt.timedelta(milliseconds=40), cid, inst, price, _UNKNOWN_STATUS, qty, 0,
                        0.0, counter=counter, frozen=frozen)
                if path == "cancel_reject":
                    # The cancel request is refused because the order is filling.
                    self.push(t + _dt.timedelta(milliseconds=900), "on_order_action_error", Record(
                        client_order_id=cid, error_code=30005,
                        error_msg="order already fully matched"))
                n = 1 if path != "cancel_reject" else 2
                for (t, last, lp, traded, value) in fills(t, n, qty):
                    st = S.Filled if traded == qty else S.PartiallyFilled
                    left = (qty - traded) * price if buy else 0.0
                    rep(t, cid, inst, price, st, qty, traded, value, last, lp, counter, left)
                    exec_no += 1
                    self._gateway_trade(t + _dt.timedelta(milliseconds=1), cid, inst, lp, last,
                                        exec_no)
                    if path == "duplicate" and st == S.Filled:
                        rep(t + _dt.timedelta(milliseconds=3), cid, inst, price, st, qty, traded,
                            value, 0, 0.0, counter, left)
            elif path in ("partial_fill", "open_at_close", "late_report"):
                n = rng.randint(2, 4)
                upto = qty if path == "partial_fill" else max(100, qty // 200 * 100)
                seq = fills(t, n if path == "partial_fill" else 1, upto)
                for (tt, last, lp, traded, value) in seq:
                    st = S.Filled if traded == qty else S.PartiallyFilled
                    left = (qty - traded) * price if buy else 0.0
                    if path == "late_report":
                        tt = self.dt(_dt.time(15, 35), rng.randint(0, 999))
                    rep(tt, cid, inst, price, st, qty, traded, value, last, lp, counter, left)
                    exec_no += 1
                    self._gateway_trade(tt + _dt.timedelta(milliseconds=1), cid, inst, lp, last,
                                        exec_no)
            elif path in ("cancel", "partial_cancel", "pending_cancel_match"):
                traded, value = 0, 0.0
                if path == "partial_cancel":
                    for (t, last, lp, traded, value) in fills(t, rng.randint(1, 2),
                                                              max(100, qty // 300 * 100)):
                        if traded >= qty:
                            break
                        rep(t, cid, inst, price, S.PartiallyFilled, qty, traded, value, last, lp,
                            counter, (qty - traded) * price if buy else 0.0)
                        exec_no += 1
                        self._gateway_trade(t + _dt.timedelta(milliseconds=1), cid, inst, lp,
                                            last, exec_no)
                t = t + _dt.timedelta(milliseconds=rng.randint(2000, 60000))
                wait = S.PartiallyFilledWaitCancelled if traded else S.WaitCancelled
                last, lp = 0, 0.0
                if path == "pending_cancel_match" and qty > 100:
                    # A match crosses the cancel request.
                    last = 100
                    lp = price
                    traded, value = traded + last, value + last * lp
                    wait = S.PartiallyFilledWaitCancelled
                rep(t, cid, inst, price, wait, qty, traded, value, last, lp, counter,
                    (qty - traded) * price if buy else 0.0)
                if last:
                    exec_no += 1
                    self._gateway_trade(t + _dt.timedelta(milliseconds=1), cid, inst, lp, last,
                                        exec_no)
                t = t + _dt.timedelta(milliseconds=rng.randint(20, 400))
                done = S.PartiallyFilledPartiallyCancelled if traded else S.Cancelled
                rep(t, cid, inst, price, done, qty, traded, value, 0, 0.0, counter, 0.0)
        # Reports for orders this host never submitted (another client on the account).
        for k in range(5):
            inst = rng.choice(self.instruments)
            t = self.day.at(rng.random())
            cid = 90001 + k
            price = _r2(inst.prev_close)
            self._report(t, cid, inst, price, S.Sended, 200, 0, 0.0, counter=900000 + k,
                         frozen=price * 200)
            self._report(t + _dt.timedelta(seconds=5), cid, inst, price, S.Filled, 200, 200,
                         price * 200, 200, price, 900000 + k)

    def _host_order(self, cid, inst, buy, price, qty):
        # The new host order's attributes, as a recorder would find them, but
        # its status: hosts name a new order's state each their own way, so the
        # adapter's make_order gives it.
        return dict(
            market_code=inst.market_code, order_id=cid, side=SIDE.BUY if buy else SIDE.SELL,
            position_effect=_OPEN if buy else _CLOSE,
            price=price, quantity=qty, filled_quantity=0, unfilled_quantity=qty, avg_price=0.0,
            secondary_order_id=None, frozen_cash=0.0, message="")

    # ------------------------------------------------------------ algo orders

    def algo_flow(self):
        C = _Names("AlgoControlType")
        rng = self.rng
        specs = [("P20240315001", self.instruments[0], "BUY", 50000, 0.125, 0.375, False),
                 ("P20240315002", self.instruments[1], "SELL", 30000, 0.625, 0.875, True)]
        seq = 10
        for pid, inst, side, total, f0, f1, cancel in specs:
            start, end = self.day.at(f0), self.day.at(f1)
            seq += 1
            self.push(start, "on_create_algo_parent_order_res", Record(
                client_seq_id=seq, sys_quote_id=pid, error_code=0, error_msg=""))
            parent = dict(sys_quote_id=pid, security_id=inst.code, side=side, algo="TWAP",
                          qty=total, filled_qty=0, status="Running")
            self.push(start + _dt.timedelta(milliseconds=5), "on_algo_parent_order_update",
                      Record(**parent))
            pause = resume = None
            if not cancel:
                pause, resume = self.day.at(f0 + (f1 - f0) * 0.4), self.day.at(f0 + (f1 - f0) * 0.55)
                self.push(pause, "on_control_algo_parent_order_res", Record(
                    sys_quote_id=pid, error_code=0, error_msg="", control_type=C.Pause,
                    algo_control_type=C.Pause))
                self.push(pause + _dt.timedelta(milliseconds=4), "on_algo_parent_order_update",
                          Record(**dict(parent, status="Paused")))
                self.push(resume, "on_control_algo_parent_order_res", Record(
                    sys_quote_id=pid, error_code=0, error_msg="", control_type=C.Resume,
                    algo_control_type=C.Resume))
            stop = self.day.at(f0 + (f1 - f0) * 0.8) if cancel else end
            slices = 12
            child_qty = total // slices // 100 * 100
            filled = 0
            for k in range(slices):
                t = start + (end - start) * (k + 0.5) / slices
                if pause and pause <= t < resume:
                    continue
                if t >= stop:
                    break
                cid = "%sC%03d" % (pid, k + 1)
                price = _r2(inst.prev_close * rng.uniform(0.99, 1.01))
                child = dict(sys_quote_id=cid, parent_id=pid, security_id=inst.code,
                             price=price, order_qty=child_qty, trade_qty=0, status="New")
                self.push(t, "on_algo_child_order_update", Record(**child))
                traded = 0
                for m in range(rng.randint(1, 3)):
                    t = t + _dt.timedelta(seconds=rng.randint(5, 90))
                    q = child_qty - traded if m == 2 else rng.randint(1, child_qty // 100) * 100
                    q = min(q, child_qty - traded)
                    if q <= 0:
                        break
                    traded += q
                    self.push(t, "on_algo_child_order_trade", Record(
                        sys_quote_id=cid, parent_id=pid, security_id=inst.code, trade_qty=q,
                        trade_price=price))
                    self.push(t + _dt.timedelta(milliseconds=2), "on_algo_child_order_update",
                              Record(**dict(child, trade_qty=traded, status="Filled"
                                            if traded == child_qty else "PartiallyFilled")))
                filled += traded
                self.push(t + _dt.timedelta(milliseconds=6), "on_algo_parent_order_update",
                          Record(**dict(parent, filled_qty=filled)))
            if cancel:
                self.push(stop, "on_cancel_algo_parent_order_res", Record(
                    sys_quote_id=pid, error_code=0, error_msg=""))
                final = "Cancelled"
                t = stop
            else:
                final = "Finished"
                t = max(t, end)
            self.push(t + _dt.timedelta(milliseconds=10), "on_algo_parent_order_update",
                      Record(**dict(parent, filled_qty=filled, status=final)))

    # ------------------------------------------------------------ market data

    def _snapshot(self, t, inst, phase):
        auction = phase == "O"
        last = 0.0 if auction and not inst.open else inst.price
        tick = 0.01
        ref = inst.price
        asks = [_r2(ref + tick * (k + 1)) for k in range(_DEPTH)]
        bids = [_r2(ref - tick * k) for k in range(_DEPTH)]
        rng = self.rng
        # Queues change a level or two between snapshots, not all at once.
        if inst.depth is None:
            inst.depth = [rng.randint(1, 300) * 100 for _ in range(2 * _DEPTH)]
        for _ in range(2):
            inst.depth[rng.randrange(2 * _DEPTH)] = rng.randint(1, 300) * 100
        ask_v, bid_v = inst.depth[:_DEPTH], inst.depth[_DEPTH:]
        return Record(
            orig_time=_stamp(t), security_id=inst.code, market_type=_SZSE,
            open_price=inst.open, close_price=inst.price if phase == "E" else 0.0,
            high_price=inst.high, low_price=inst.low, total_value_trade=inst.value,
            total_volume_trade=inst.volume, pre_close_price=inst.prev_close,
            ask_volume=ask_v, ask_price=asks, bid_volume=bid_v, bid_price=bids,
            high_limited=inst.high_limited, last_price=last, low_limited=inst.low_limited,
            open_interest=0, prev_settlement=0.0, iopv=0.0, trading_phase_code=phase)

    def _l2(self, t, inst, matching):
        """One level-2 order, and a trade when it crosses a resting order."""
        rng = self.rng
        side = rng.choice("12")
        inst.seq += 1
        inst.biz += 1
        aggressive = matching and rng.random() < 0.45 and inst.resting["21"[int(side) - 1]]
        offset = 0.0 if aggressive else rng.randint(1, 8) * 0.01 * (-1 if side == "1" else 1)
        price = min(max(_r2(inst.price + offset), inst.low_limited), inst.high_limited)
        qty = rng.randint(1, 50) * 100
        kind = rng.choices(["2", "1", "U"], [90, 6, 4])[0] if matching else "2"
        self.push(t, "on_tick_order", Record(
            order_time=_stamp(t), security_id=inst.code, market_type=_SZSE, side=ord(side),
            biz_index=inst.biz, order_price=price if kind == "2" else 0.0, order_volume=qty,
            order_type=ord(kind), orig_order_no=inst.seq))
        if aggressive:
            other = inst.resting["21"[int(side) - 1]]
            passive = other.pop(rng.randrange(len(other)))
            bid, offer = (inst.seq, passive) if side == "1" else (passive, inst.seq)
            inst.biz += 1
            inst.trade(inst.price, qty)
            self.push(t + _dt.timedelta(milliseconds=1), "on_tick_trade", Record(
                trade_time=_stamp(t), security_id=inst.code, market_type=_SZSE,
                bid_appl_seq_num=bid, offer_appl_seq_num=offer, biz_index=inst.biz,
                trade_price=inst.price, trade_volume=qty, value_trade=_r2(inst.price * qty),
                trade_type=ord("F")))
        else:
            book = inst.resting[side]
            book.append(inst.seq)
            if len(book) > 40 or (matching and rng.random() < 0.08):
                # Shenzhen reports withdrawn orders in the trade stream.
                gone = book.pop(0)
                inst.biz += 1
                bid, offer = (gone, 0) if side == "1" else (0, gone)
                self.push(t + _dt.timedelta(milliseconds=2), "on_tick_trade", Record(
                    trade_time=_stamp(t), security_id=inst.code, market_type=_SZSE,
                    bid_appl_seq_num=bid, offer_appl_seq_num=offer, biz_index=inst.biz,
                    trade_price=0.0, trade_volume=rng.randint(1, 50) * 100, value_trade=0.0,
                    trade_type=ord("4")))

    def _auction_match(self, t):
        for inst in self.instruments:
            inst.price = _r2(inst.prev_close * math.exp(self.rng.gauss(0, 0.006)))
            for k in range(self.rng.randint(3, 8)):
                bids, offers = inst.resting["1"], inst.resting["2"]
                if not bids or not offers:
                    break
                qty = self.rng.randint(1, 50) * 100
                inst.biz += 1
                inst.trade(inst.price, qty)
                self.push(t + _dt.timedelta(milliseconds=k), "on_tick_trade", Record(
                    trade_time=_stamp(t), security_id=inst.code, market_type=_SZSE,
                    bid_appl_seq_num=bids.pop(0), offer_appl_seq_num=offers.pop(0),
                    biz_index=inst.biz, trade_price=inst.price, trade_volume=qty,
                    value_trade=_r2(inst.price * qty), trade_type=ord("F")))
            if not inst.open:
                inst.trade(inst.price, 0)

    def market_data(self, writer_flush):
        """Walks the day in 3-second steps; ``writer_flush(until)`` writes every
        pushed line before ``until``, so memory stays bounded by the lookahead."""
        rng = self.rng
        step = _dt.timedelta(seconds=3)
        t = self.dt(_AUCTION_OPEN)
        end = self.day.close + step
        auction_match = self.dt(_AUCTION_MATCH)
        matched = False
        snap_every = self.snapshot_interval
        next_snap = {inst.code: 0.0 for inst in self.instruments}
        offsets = {inst.code: rng.randint(0, 2999) for inst in self.instruments}
        l2_p = self.l2_per_minute / 20.0
        elapsed = 0.0
        minute = None
        while t < end:
            if not matched and t >= auction_match:
                self._auction_match(auction_match)
                matched = True
            phase = self.day.phase(t)
            active = phase in ("O", "T", "C") or t == self.day.close
            if phase == "E" and t > self.day.close:
                active = False
            if active:
                for inst in self.instruments:
                    if phase in ("T", "C"):
                        inst.step(rng)
                    if phase in ("O", "T", "C"):
                        k = 0
                        p = l2_p
                        while rng.random() < p and k < 4:
                            self._l2(t + _dt.timedelta(milliseconds=rng.randint(0, 2999)),
                                     inst, phase != "O")
                            k += 1
                            p *= 0.5
                    if elapsed >= next_snap[inst.code]:
                        next_snap[inst.code] = elapsed + snap_every - 1e-9
                        self.push(t + _dt.timedelta(milliseconds=offsets[inst.code]),
                                  "on_snapshot", self._snapshot(
                                      t + _dt.timedelta(milliseconds=offsets[inst.code]), inst,
                                      phase))
            # Bars for the minute that just closed, delivered a moment after it.
            this_minute = t.replace(second=0, microsecond=0)
            if minute is not None and this_minute != minute:
                self._bars(this_minute)
            minute = this_minute
            t += step
            elapsed += 3.0
            writer_flush(t - _dt.timedelta(seconds=1))
        self._bars(t.replace(second=0, microsecond=0) + _dt.timedelta(minutes=1), final=True)

    def _bars(self, end, final=False):
        """Bars ending at ``end`` when that minute was a continuous-trading minute."""
        if final:
            end = self.day.close
        start = end - _dt.timedelta(minutes=1)
        if not self.day.trading(start) or end > self.day.close:
            return
        if getattr(self, "_last_bar", None) == end:
            return
        self._last_bar = end
        deliver = end + _dt.timedelta(milliseconds=200)
        for k, inst in enumerate(self.instruments):
            b = inst.bar or [inst.price, inst.price, inst.price, inst.price, 0, 0.0]
            inst.bar = None
            self.push(deliver + _dt.timedelta(microseconds=300 * k), "on_bar", Record(
                security_id=inst.code, market_type=_SZSE, end_time=_stamp(end), open=b[0],
                close=b[1], high=b[2], low=b[3], amount=b[5], volume=b[4],
                prev_close=inst.prev_close))

    # ------------------------------------------------------------ output

    def header(self, meta):
        day = self.date
        calendar = []
        d = day - _dt.timedelta(days=14)
        while d <= day + _dt.timedelta(days=14):
            if d.weekday() < 5:
                calendar.append(d.isoformat())
            d += _dt.timedelta(days=1)
        return Header(
            start=self.dt(_dt.time(8, 30)), end=self.dt(_dt.time(16, 0)),
            config={"accounts": {"stock": "acct_sim"}, "algo_account": "algo_atx",
                    "trading_calendar": calendar},
            universe=[i.market_code for i in self.instruments],
            orders=self._snapped_orders(), meta=meta)

    def _snapped_orders(self):
        # Each order enters the book at the time of the first callback at or
        # after its submission, which is also when a recorder first sees it.
        return [HostOrder(t, cid, attrs) for t, cid, attrs in self._order_times]

    def write(self, path, rows=False):
        meta = {"generator": "bridge_replay.generate", "seed": self.seed,
                "instruments": self.n_instruments, "hours": self.day.hours,
                "snapshot_interval": self.snapshot_interval, "orders": self.n_orders,
                "l2_per_minute": self.l2_per_minute, "day": self.date.isoformat()}
        self.account_side()
        self.host_order_flow()
        self.algo_flow()
        # The day goes through a temporary file so that the header, which
        # needs the snapped order times, can be written first.
        import tempfile
        encoder = Encoder(Enumerations())
        encode_entry = encoder.entry
        body = tempfile.TemporaryFile()
        count = [0]
        times = []
        pending = sorted(self.host_orders, key=lambda o: (o[0], o[1]))
        order_times = []
        objs = []

        def flush(until):
            while self.heap and self.heap[0][0] < until:
                t, _, cb, rec, args = heapq.heappop(self.heap)
                if rows and cb in ROWS:
                    # As a recorder writes them: rows of values after a shape line.
                    encoder.callbacks(objs.append, ((cb, t, dict(vars(rec)), (), None),))
                    body.write(encoder.lines(objs))
                    del objs[:]
                else:
                    body.write(encode_entry(t, cb, rec, args) + b"\n")
                count[0] += 1
                if not times or times[-1] != t:
                    times.append(t)

        self.market_data(flush)
        flush(_dt.datetime.max)
        for submit, cid, attrs in pending:
            k = bisect.bisect_left(times, submit)
            order_times.append((times[min(k, len(times) - 1)], cid, attrs))
        self._order_times = order_times
        body.seek(0)
        with body, SessionWriter(path, self.header(meta), encoder, compresslevel=9) as w:
            lines = []
            for line in body:
                lines.append(line)
                if len(lines) == 20000:
                    w.write_block(b"".join(lines))
                    w.flush()
                    lines = []
            w.write_block(b"".join(lines))
        return count[0]


_SZSE = member("MarketType.SZSE")


def generate(path, instruments=50, hours=4.0, seed=20240315, snapshot_interval=3.0,
             orders=200, l2_per_minute=6.0, day=DAY, rows=False):
    """Write a sample day to ``path`` (".gz" compresses); returns the number of callbacks.
    ``rows``: the callbacks that take just a record as rows after a shape line,
    as a recorder writes them, instead of object lines."""
    return Generator(instruments, hours, seed, snapshot_interval, orders,
                     l2_per_minute, day).write(path, rows)
