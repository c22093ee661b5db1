"""The host tick: an instrument and the bridge's tick record, kept as given."""


def _key(name):
    return property(lambda self: self._tick_dict.get(name),
                    doc="The tick record's %r entry, or None when absent." % (name,))


class TickObject:
    """Keeps the very record it is given (no copy), so the host sees the same
    object that the bridge holds in its tick history."""

    def __init__(self, instrument, tick_dict):
        self.instrument = instrument
        self._tick_dict = tick_dict

    market_code = _key("market_code")
    datetime = _key("datetime")
    last_price = _key("last_price")
    open = _key("open_price")
    high = _key("high_price")
    low = _key("low_price")
    prev_close = _key("prev_close")
    volume = _key("volume")

    def __repr__(self):
        return "TickObject(%r, %r @ %r)" % (self.market_code, self.last_price, self.datetime)
