"""The host level-2 transaction: a plain holder of what the bridge passes."""


class L2Transaction:
    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "volume",
                 "value", "trade_type", "bid_no", "ask_no")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, volume,
                        value, trade_type, bid_no, ask_no):
        self = cls()
        for name, value_ in zip(cls.__slots__, (biz_index, market_code, datetime, side, price,
                                                volume, value, trade_type, bid_no, ask_no)):
            setattr(self, name, value_)
        return self

    def __repr__(self):
        return "L2Transaction(%s)" % ", ".join(
            "%s=%r" % (n, getattr(self, n, None)) for n in self.__slots__)
