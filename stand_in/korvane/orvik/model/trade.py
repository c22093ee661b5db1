"""The host trade, made from an order report's last match."""

import itertools

_trade_ids = itertools.count(1)


class Trade:
    def __init__(self, trade_id, order_id, price, amount, side, position_effect,
                 market_code, frozen_price):
        self.trade_id = trade_id
        self.order_id = order_id
        self.price = price
        self.amount = amount
        self.side = side
        self.position_effect = position_effect
        self.market_code = market_code
        self.frozen_price = frozen_price

    @classmethod
    def __from_create__(cls, order_id, price, amount, side, position_effect,
                        market_code, frozen_price):
        """New trade with a fresh ``trade_id``: a process-wide counter from 1,
        whose ``next`` is indivisible under the interpreter lock."""
        return cls(next(_trade_ids), order_id, price, amount, side,
                   position_effect, market_code, frozen_price)

    def __repr__(self):
        return "Trade(trade_id=%r, order_id=%r, %r x %r @ %r)" % (
            self.trade_id, self.order_id, self.side, self.amount, self.price)
