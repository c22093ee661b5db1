"""The host algo child trade."""

import numbers

from korvane.orvik.model._algo_record import AlgoRecord


class AlgoChildTrade(AlgoRecord):
    """The trades reported under one ``sys_quote_id``. Each trade report is
    one new match (``trade_qty`` at ``trade_price``), so folding adds it up:
    ``quantity`` and ``value`` accumulate, ``avg_price`` is the
    volume-weighted price, and ``last_quantity``/``last_price`` keep the
    newest match. The gateway record carries no trade id of its own, so a
    report delivered twice counts twice."""

    def __init__(self, sys_quote_id):
        super().__init__(sys_quote_id)
        self.quantity = 0
        self.value = 0.0
        self.avg_price = 0.0
        self.last_quantity = 0
        self.last_price = 0.0

    def _fold(self, report):
        qty = getattr(report, "trade_qty", 0)
        price = getattr(report, "trade_price", 0.0)
        for name, v in (("trade_qty", qty), ("trade_price", price)):
            if isinstance(v, bool) or not isinstance(v, numbers.Real):
                raise TypeError("child trade %s must be a number, not %r" % (name, v))
        self.quantity += qty
        self.value += qty * price
        # A zero-quantity report leaves the average as it was rather than dividing by 0.
        if self.quantity:
            self.avg_price = self.value / self.quantity
        self.last_quantity = qty
        self.last_price = price
