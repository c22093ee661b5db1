"""The host algo child order."""

from korvane.orvik.model._algo_record import AlgoRecord


class AlgoChildOrder(AlgoRecord):
    """Reads ``parent_id``, ``status``, ``order_qty`` and ``trade_qty``; the
    figures are cumulative, so the newest report's values win."""

    def __init__(self, sys_quote_id):
        super().__init__(sys_quote_id)
        self.parent_id = None
        self.status = None
        self.quantity = 0
        self.filled_quantity = 0

    def _fold(self, report):
        self.parent_id = getattr(report, "parent_id", self.parent_id)
        self.status = getattr(report, "status", self.status)
        self.quantity = getattr(report, "order_qty", self.quantity)
        self.filled_quantity = getattr(report, "trade_qty", self.filled_quantity)
