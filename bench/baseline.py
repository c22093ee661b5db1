"""The hot callbacks written as a Python developer would write them: the same
host calls in the same order, module globals looked up at use, no tricks.
The benchmark runs these side by side with the native bridge."""
import copy
from collections import deque

from korvane.orvik.const import ORDER_STATUS, SIDE
from korvane.orvik.core.events import EVENT, Event
from korvane.orvik.environment import Environment
from korvane.orvik.model.algo_child_order import AlgoChildOrder
from korvane.orvik.model.l2_order import L2Order
from korvane.orvik.model.l2_transaction import L2Transaction
from korvane.orvik.model.tick import TickObject
from korvane.orvik.model.trade import Trade
from korvane.orvik.utils.datetime_func import convert_int_to_datetime, convert_int_to_whole_date
from korvane.orvik.utils.logger import system_log
from korvane.orvik.utils.trade_func import (
    get_exchane_from_mach_mdtype, get_l2order_type_from_mach, get_order_type_from_mach_l2_order,
    get_side_from_mach_l2_order, get_trade_type_from_mach)
from numpy_ringbuffer import RingBuffer as RB
from pymach.enums import OrderStatusType

event_queue = RB(capacity=1000000, dtype=object)
history_bar = {}
history_tick = {}
orders_dict = {}
algo_child_orders = {}


_HANDLED = tuple(OrderStatusType[n] for n in (
    "UnSend", "Sended", "PartiallyFilled", "Filled", "PartiallyFilledPartiallyCancelled", "WaitCancelled",
    "PartiallyFilledWaitCancelled", "Cancelled", "Reject"))
_SETTLED = (ORDER_STATUS.PARTIALLY_FILLED, ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED, ORDER_STATUS.REJECTED)
# Matches booked per order: client order id -> the host order, and -> its matches' cumulative quantities.
_booked_orders = {}
_booked_matches = {}


def _claim(cid, host_order, trade_qty):
    """True when the match that brings the order to trade_qty is new (and now booked)."""
    if _booked_orders.get(cid) is not host_order:
        if len(_booked_orders) >= len(orders_dict):
            for key, owner in list(_booked_orders.items()):
                if orders_dict.get(key) is not owner:
                    del _booked_orders[key]
                    _booked_matches.pop(key, None)
        _booked_orders[cid] = host_order
        _booked_matches[cid] = {trade_qty}
        return True
    seen = _booked_matches.setdefault(cid, set())
    if trade_qty in seen:
        return False
    seen.add(trade_qty)
    return True


def _match(order, status, cid, host_order, account, finished):
    if order.last_match_qty <= 0 or not _claim(cid, host_order, order.trade_qty):
        return
    trade = Trade.__from_create__(
        order_id=host_order.order_id, price=order.last_match_price, amount=order.last_match_qty,
        side=host_order.side, position_effect=host_order.position_effect,
        market_code=host_order.market_code, frozen_price=host_order.price)
    if order.trade_qty > host_order.filled_quantity:
        host_order.avg_price = order.total_trade_value / order.trade_qty
        host_order.filled_quantity = order.trade_qty
        host_order.unfilled_quantity = order.order_qty - order.trade_qty
        if not finished:
            if status == OrderStatusType.Filled:
                host_order.status = ORDER_STATUS.FILLED
            elif status == OrderStatusType.PartiallyFilled:
                host_order.status = ORDER_STATUS.PARTIALLY_FILLED
    event_queue.append(Event(EVENT.TRADE, account=account, trade=trade, order=copy.deepcopy(host_order)))


class Strategy:
    def __init__(self):
        self.bar_cnt = 0
        self.current_trade_dt = 0

    def on_snapshot(self, snapshot):
        dt = convert_int_to_datetime(snapshot.orig_time / 1000)
        market_code = snapshot.security_id + "." + get_exchane_from_mach_mdtype(snapshot.market_type)
        tick = {
            "market_code": market_code,
            "datetime": dt,
            "open_price": snapshot.open_price,
            "close_price": snapshot.close_price,
            "high_price": snapshot.high_price,
            "low_price": snapshot.low_price,
            "total_turnover": snapshot.total_value_trade,
            "volume": snapshot.total_volume_trade,
            "prev_close": snapshot.pre_close_price,
            "ask_vols": snapshot.ask_volume,
            "asks": snapshot.ask_price,
            "bid_vols": snapshot.bid_volume,
            "bids": snapshot.bid_price,
            "high_limited": snapshot.high_limited,
            "last_price": snapshot.last_price,
            "low_limited": snapshot.low_limited,
            "open_interest": snapshot.open_interest,
            "prev_settlement": snapshot.prev_settlement,
            "iopv": snapshot.iopv,
            "trading_phase_code": snapshot.trading_phase_code,
        }
        if market_code not in history_tick:
            history_tick[market_code] = deque(maxlen=60)
        history_tick[market_code].append(tick)
        event = Event(EVENT.TICK, calendar_dt=dt, trading_dt=dt,
                      tick=TickObject(Environment.get_instance().data_proxy.instruments(market_code), tick))
        event_queue.append(event)

    def on_tick_order(self, tick_order):
        dt = convert_int_to_datetime(tick_order.order_time / 1000)
        market_code = tick_order.security_id + "." + get_exchane_from_mach_mdtype(tick_order.market_type)
        side = get_side_from_mach_l2_order(chr(tick_order.side), tick_order.market_type)
        l2_order = L2Order.__from_create__(
            tick_order.biz_index, market_code, dt, side, tick_order.order_price, tick_order.order_volume,
            get_order_type_from_mach_l2_order(chr(tick_order.order_type), tick_order.market_type),
            tick_order.orig_order_no,
            get_l2order_type_from_mach(chr(tick_order.order_type), tick_order.market_type))
        event_queue.append(Event(EVENT.L2_ORDER, calendar_dt=dt, trading_dt=dt, l2_order=l2_order))

    def on_tick_trade(self, tick_trade):
        dt = convert_int_to_datetime(tick_trade.trade_time / 1000)
        market_code = tick_trade.security_id + "." + get_exchane_from_mach_mdtype(tick_trade.market_type)
        side = SIDE.BUY if tick_trade.bid_appl_seq_num > tick_trade.offer_appl_seq_num else SIDE.SELL
        l2_transaction = L2Transaction.__from_create__(
            tick_trade.biz_index, market_code, dt, side, tick_trade.trade_price, tick_trade.trade_volume,
            tick_trade.value_trade, get_trade_type_from_mach(chr(tick_trade.trade_type)),
            tick_trade.bid_appl_seq_num, tick_trade.offer_appl_seq_num)
        event_queue.append(Event(EVENT.L2_TRANSACTION, calendar_dt=dt, trading_dt=dt,
                                 l2_transaction=l2_transaction))

    def on_bar(self, bar):
        market_code = bar.security_id + "." + get_exchane_from_mach_mdtype(bar.market_type)
        record = {
            "market_code": market_code,
            "orig_time": convert_int_to_datetime(bar.end_time / 1000),
            "open_price": bar.open,
            "close_price": bar.close,
            "high_price": bar.high,
            "low_price": bar.low,
            "total_turnover": bar.amount,
            "volume": bar.volume,
            "prev_close": bar.prev_close,
        }
        if market_code not in history_bar:
            history_bar[market_code] = deque()
        history_bar[market_code].append(record)
        if self.current_trade_dt == 0 or self.current_trade_dt == bar.end_time / 1000:
            self.bar_cnt += 1
        else:
            self.bar_cnt = 1
        self.current_trade_dt = bar.end_time / 1000
        if self.bar_cnt == len(Environment.get_instance().get_universe()):
            calendar_dt = convert_int_to_whole_date(int(self.current_trade_dt))
            event_queue.append(Event(EVENT.BAR, calendar_dt=calendar_dt, trading_dt=calendar_dt))
            self.bar_cnt = 0

    def on_order(self, order):
        system_log.info("on_order:" + str(order.client_order_id) + ", symbol: " + str(order.security_id)
                        + ", price:" + str(order.order_price) + ", status:" + str(order.order_status)
                        + ", order_qty:" + str(order.order_qty) + ", trade_qty:" + str(order.trade_qty)
                        + ", total_trade_value: " + str(order.total_trade_value) + ", error_msg:"
                        + str(order.error_msg) + ", last_match_qty: " + str(order.last_match_qty))
        if order.client_order_id not in orders_dict:
            return
        cid = order.client_order_id
        host_order = orders_dict[cid]
        account = Environment.get_instance().get_account(host_order.market_code)
        status = order.order_status
        if status not in _HANDLED:
            return
        now = host_order.status
        finished = now != ORDER_STATUS.ACTIVE and now in (ORDER_STATUS.FILLED, ORDER_STATUS.CANCELLED,
                                                          ORDER_STATUS.REJECTED)
        fill_or_cancel = status not in (OrderStatusType.UnSend, OrderStatusType.Sended, OrderStatusType.Reject)
        if finished:
            if fill_or_cancel:
                _match(order, status, cid, host_order, account, True)
        elif status in (OrderStatusType.UnSend, OrderStatusType.Sended):
            may_open = now != ORDER_STATUS.ACTIVE and now != ORDER_STATUS.PARTIALLY_FILLED
            counter = order.counter_order_id
            if counter or not (host_order.secondary_order_id and host_order.secondary_order_id > 0):
                host_order.secondary_order_id = counter
            host_order.set_frozen_cash(order.frozen_trade_value)
            if may_open and counter and counter > 0 and host_order.status != ORDER_STATUS.ACTIVE \
                    and host_order.status not in _SETTLED:
                host_order.status = ORDER_STATUS.ACTIVE
                event_queue.append(Event(EVENT.ORDER_CREATION_PASS, account=account,
                                         order=copy.deepcopy(host_order)))
        elif status == OrderStatusType.Reject:
            host_order.mark_rejected(str(order.error_code) + "_" + order.error_msg)
            host_order.set_frozen_cash(order.frozen_trade_value)
            event_queue.append(Event(EVENT.ORDER_UNSOLICITED_UPDATE, account=account,
                                     order=copy.deepcopy(host_order)))
        else:
            _match(order, status, cid, host_order, account, False)
            if status in (OrderStatusType.PartiallyFilledPartiallyCancelled, OrderStatusType.Cancelled):
                host_order.status = ORDER_STATUS.CANCELLED
                event_queue.append(Event(EVENT.ORDER_CANCELLATION_PASS, account=account,
                                         order=copy.deepcopy(host_order)))
            elif status in (OrderStatusType.PartiallyFilledWaitCancelled, OrderStatusType.WaitCancelled):
                if host_order.filled_quantity > 0:
                    host_order.status = ORDER_STATUS.PARTIALLY_FILLED
                event_queue.append(Event(EVENT.ORDER_PENDING_CANCEL, account=account,
                                         order=copy.deepcopy(host_order)))

    def on_algo_child_order_update(self, child_order):
        existing = algo_child_orders[child_order.sys_quote_id] \
            if child_order.sys_quote_id in algo_child_orders else None
        current = AlgoChildOrder.from_mach(child_order, existing)
        algo_child_orders[child_order.sys_quote_id] = current
        event_queue.append(Event(EVENT.CHILD_ORDER_UPDATE, algo_child_order=copy.deepcopy(current)))
