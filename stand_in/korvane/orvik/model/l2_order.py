"""The host level-2 order: a plain holder of what the bridge passes."""


class L2Order:
    __slots__ = ("biz_index", "market_code", "datetime", "side", "price", "volume",
                 "order_type", "orig_order_no", "l2_order_type")

    @classmethod
    def __from_create__(cls, biz_index, market_code, datetime, side, price, volume,
                        order_type, orig_order_no, l2_order_type):
        self = cls()
        for name, value in zip(cls.__slots__, (biz_index, market_code, datetime, side, price,
                                               volume, order_type, orig_order_no, l2_order_type)):
            setattr(self, name, value)
        return self

    def __repr__(self):
        return "L2Order(%s)" % ", ".join(
            "%s=%r" % (n, getattr(self, n, None)) for n in self.__slots__)
