"""The host algo parent order."""

from korvane.orvik.model._algo_record import AlgoRecord


class AlgoParentOrder(AlgoRecord):
    """Reads ``status``, ``qty`` and ``filled_qty`` from a report. The gateway
    reports cumulative figures, so the newest report's values replace the old
    ones rather than being added to them."""

    def __init__(self, sys_quote_id):
        super().__init__(sys_quote_id)
        self.status = None
        self.quantity = 0
        self.filled_quantity = 0

    def _fold(self, report):
        self.status = getattr(report, "status", self.status)
        self.quantity = getattr(report, "qty", self.quantity)
        self.filled_quantity = getattr(report, "filled_qty", self.filled_quantity)

    @property
    def unfilled_quantity(self):
        return self.quantity - self.filled_quantity
