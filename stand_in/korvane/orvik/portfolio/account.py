"""Host account and asset records."""


class Asset:
    """Account asset figures, in the gateway's units, in the order the asset
    answer delivers them."""

    __slots__ = ("fund_account_id", "available_t1", "frozen_all", "market_value",
                 "total_asset", "leaves_value", "init_leaves_value")

    def __init__(self, fund_account_id, available_t1, frozen_all, market_value,
                 total_asset, leaves_value, init_leaves_value):
        self.fund_account_id = fund_account_id
        self.available_t1 = available_t1
        self.frozen_all = frozen_all
        self.market_value = market_value
        self.total_asset = total_asset
        self.leaves_value = leaves_value
        self.init_leaves_value = init_leaves_value

    def __repr__(self):
        return "Asset(%s)" % ", ".join("%s=%r" % (n, getattr(self, n)) for n in self.__slots__)


class Account:
    """The account for one exchange suffix ("XSHE", "XSHG"). Plain attributes
    only, so it deep-copies; ``asset`` and ``positions`` are for host code
    that wants to keep query answers on it."""

    def __init__(self, name):
        self.name = name
        self.asset = None
        self.positions = {}

    def __repr__(self):
        return "Account(%r)" % (self.name,)
