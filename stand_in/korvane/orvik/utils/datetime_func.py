"""Host time-stamp converters.

The gateway stamps times as integers YYYYMMDDHHMMSSmmm; the bridge divides a
stamp by 1000 before converting it, so ``convert_int_to_datetime`` receives
YYYYMMDDHHMMSS.fff as an int or a float. Results are naive local datetimes.

A float of that size cannot carry every millisecond: near 2e13 doubles are
1/256 s apart, so ``s / 1000`` lands up to about 2 ms from the stamp, and a
stamp like ...HHMM59.999 may even become ...HHMM60.0. The converter therefore
answers the valid millisecond instant nearest to the value within the float's
own rounding error, preferring the earlier instant on a tie. Integers are exact
and get no such tolerance.
"""

import datetime as _dt
import math
import numbers
from fractions import Fraction

_MIN_WHOLE = 10000101000000
_MAX_WHOLE = 99991231235959


def _whole_to_datetime(n):
    """YYYYMMDDHHMMSS -> datetime, or None when a field is out of range."""
    if not _MIN_WHOLE <= n <= _MAX_WHOLE:
        return None
    year, rest = divmod(n, 10 ** 10)
    month, rest = divmod(rest, 10 ** 8)
    day, rest = divmod(rest, 10 ** 6)
    hour, rest = divmod(rest, 10 ** 4)
    minute, second = divmod(rest, 100)
    try:
        return _dt.datetime(year, month, day, hour, minute, second)
    except ValueError:
        return None


def _bad(stamp, form):
    return ValueError("%r is not a time stamp of the form %s" % (stamp, form))


def _check_real(stamp, name):
    if isinstance(stamp, bool) or not isinstance(stamp, numbers.Real):
        raise TypeError("%s expects a number, not %s" % (name, type(stamp).__name__))


def convert_int_to_whole_date(n):
    """YYYYMMDDHHMMSS (an integer) -> naive datetime. ValueError for digits
    that name no time, TypeError for anything but an integer."""
    if isinstance(n, bool) or not isinstance(n, numbers.Integral):
        raise TypeError("convert_int_to_whole_date expects an integer, not %s"
                        % type(n).__name__)
    result = _whole_to_datetime(int(n))
    if result is None:
        raise _bad(n, "YYYYMMDDHHMMSS")
    return result


def _ms_to_datetime(n):
    """YYYYMMDDHHMMSSfff -> datetime, or None when a field is out of range."""
    if not _MIN_WHOLE * 1000 <= n <= _MAX_WHOLE * 1000 + 999:
        return None
    year, rest = divmod(n, 10 ** 13)
    month, rest = divmod(rest, 10 ** 11)
    day, rest = divmod(rest, 10 ** 9)
    hour, rest = divmod(rest, 10 ** 7)
    minute, rest = divmod(rest, 10 ** 5)
    second, ms = divmod(rest, 1000)
    try:
        return _dt.datetime(year, month, day, hour, minute, second, ms * 1000)
    except ValueError:
        return None


def convert_int_to_datetime(stamp):
    """YYYYMMDDHHMMSS.fff (int or float) -> naive datetime with milliseconds."""
    form = "YYYYMMDDHHMMSS.fff"
    if type(stamp) is float:
        # What the bridge passes (stamp / 1000): no need for the ABC checks.
        value = stamp
    else:
        _check_real(stamp, "convert_int_to_datetime")
        if isinstance(stamp, numbers.Integral):
            result = _whole_to_datetime(int(stamp))
            if result is None:
                raise _bad(stamp, form)
            return result
        value = float(stamp)
    if not math.isfinite(value):
        raise _bad(stamp, form)
    # Integer fast path: the float as an exact ratio n/d (d a power of two),
    # so n * 1000 / d is the exact millisecond value. The nearest millisecond
    # is always the first candidate of the search below, so it is the answer
    # whenever it names a valid instant; a tie, or an invalid nearest instant,
    # goes to the exact search.
    n, d = value.as_integer_ratio()
    q, r = divmod(n * 1000, d)
    if 2 * r != d:
        result = _ms_to_datetime(q + 1 if 2 * r > d else q)
        if result is not None:
            return result
    return _nearest_valid(value, stamp, form)


def _nearest_valid(value, stamp, form):
    """The exact search over every millisecond within the float's rounding
    error of `value` (finite), nearest first, the earlier one on a tie."""
    exact_ms = Fraction(value) * 1000
    # Half the spacing of doubles at this magnitude, in ms: how far the
    # stamp that produced this float can lie from it.
    slack = Fraction(2.0 ** (math.frexp(value)[1] - 53)) * 500
    nearest = round(exact_ms)
    low = min(nearest, math.ceil(exact_ms - slack))
    high = max(nearest, math.floor(exact_ms + slack))
    for candidate in sorted(range(low, high + 1), key=lambda c: (abs(c - exact_ms), c)):
        whole, ms = divmod(candidate, 1000)
        result = _whole_to_datetime(whole)
        if result is not None:
            return result.replace(microsecond=ms * 1000)
    raise _bad(stamp, form)
