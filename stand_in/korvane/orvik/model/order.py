"""The host order, as the host places it in the bridge's order book."""

from korvane.orvik.const import ORDER_STATUS, POSITION_EFFECT


class Order:
    """A plain, deep-copyable order. Built with keywords only, so a test
    cannot swap price and quantity by position. ``unfilled_quantity``
    defaults to the whole ``quantity``."""

    def __init__(self, *, market_code, order_id, side, price, quantity,
                 position_effect=POSITION_EFFECT.OPEN,
                 status=ORDER_STATUS.PENDING_NEW, filled_quantity=0,
                 unfilled_quantity=None, avg_price=0.0,
                 secondary_order_id=None, frozen_cash=0.0, message=""):
        self.market_code = market_code
        self.order_id = order_id
        self.side = side
        self.position_effect = position_effect
        self.price = price
        self.quantity = quantity
        self.status = status
        self.filled_quantity = filled_quantity
        self.unfilled_quantity = quantity if unfilled_quantity is None else unfilled_quantity
        self.avg_price = avg_price
        self.secondary_order_id = secondary_order_id
        self.frozen_cash = frozen_cash
        self.message = message

    def set_frozen_cash(self, value):
        self.frozen_cash = value

    def mark_rejected(self, reason):
        """Reject the order with ``reason``. Unconditional: the gateway's word
        is final, whatever state the host thought the order was in."""
        self.status = ORDER_STATUS.REJECTED
        self.message = reason

    def __repr__(self):
        return ("Order(order_id=%r, market_code=%r, side=%r, price=%r, quantity=%r, "
                "status=%r, filled_quantity=%r)" % (
                    self.order_id, self.market_code, self.side, self.price,
                    self.quantity, self.status, self.filled_quantity))
