"""Host position record, filled from a position query answer."""

import numbers

from korvane.orvik.const import POSITION_DIRECTION

STATE_KEYS = ("quantity", "available_qty", "avg_price", "last_price", "market_value",
              "daily_pnl")


def _check_number(name, value):
    # bool is an int subclass, but a flag is never a quantity or a price.
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError("position %s must be a number, not %r" % (name, value))


class Position:
    """``Position(market_code, direction, init_qty)``. Refuses what a host
    position could not hold, so that the bridge's skip-and-warn path for bad
    gateway records has something real to skip."""

    def __init__(self, market_code, direction, init_qty):
        if not isinstance(market_code, str):
            raise TypeError("position market code must be text, not %r" % (market_code,))
        if not isinstance(direction, POSITION_DIRECTION):
            raise TypeError("position direction must be a POSITION_DIRECTION, not %r"
                            % (direction,))
        _check_number("init_qty", init_qty)
        self.market_code = market_code
        self.direction = direction
        self.init_qty = init_qty
        for key in STATE_KEYS:
            setattr(self, key, 0)

    def set_state(self, state):
        """Take exactly the six keys of ``STATE_KEYS``, all numbers. A missing
        or unexpected key is a ValueError, a non-numeric value a TypeError.
        Everything is checked before anything is stored, so a refused state
        leaves the position as it was."""
        try:
            keys = set(state.keys())
        except AttributeError:
            raise TypeError("position state must be a mapping, not %r" % (state,)) from None
        missing = [k for k in STATE_KEYS if k not in keys]
        extra = sorted(str(k) for k in keys.difference(STATE_KEYS))
        if missing or extra:
            raise ValueError("position state for %s: missing %s, unexpected %s"
                             % (self.market_code, missing or "nothing", extra or "nothing"))
        for key in STATE_KEYS:
            _check_number(key, state[key])
        for key in STATE_KEYS:
            setattr(self, key, state[key])

    def __repr__(self):
        return "Position(%r, %r, quantity=%r)" % (self.market_code, self.direction, self.quantity)
