"""Gateway time stamps (YYYYMMDDHHMMSSmmm) decoded as the bridge decodes
them, for whole columns at once.

The bridge hands ``stamp / 1000`` (true division, a double) to the host's
converter, which answers the valid millisecond instant nearest to that
double within the double's own rounding error, the earlier one on a tie.
Near 2e13 doubles are 1/256 s apart, so the decoded time may differ from
the stamp's digits by up to 2 ms: the decoded column says what the bridge
saw, the stamp column what the gateway sent."""

import numpy as np

_MIN_MS = 10000101000000 * 1000
_MAX_MS = 99991231235959 * 1000 + 999
_NAT = np.datetime64("NaT", "ms")


def decode(stamps, present):
    """datetime64[ms] of int64 ``stamps`` where ``present`` (bool) is set;
    NaT where absent or where the converter would refuse the stamp."""
    out = np.full(len(stamps), _NAT)
    # A few ms of slack at the ends: the double may round into the range.
    ok = present & (stamps >= _MIN_MS - 8) & (stamps <= _MAX_MS + 8)
    if not ok.any():
        return out
    s = stamps[ok]
    # s / 1000 correctly rounded: the whole part is exact as a double and
    # r / 1000 sits far from any halfway point of doubles this large, so one
    # rounding of the sum gives what int true division gives.
    q, r = np.divmod(s, 1000)
    f = q.astype(np.float64) + r / 1000.0
    whole = np.floor(f)
    frac_ms = (f - whole) * 1000.0  # exact: a few bits times 1000
    low = np.floor(frac_ms)
    part = frac_ms - low
    nearest = whole.astype(np.int64) * 1000 + low.astype(np.int64) + (part > 0.5)
    got = _ms_to_datetime64(nearest)
    # A tie, or a nearest instant that names no time (second 60...): the
    # converter then tries every millisecond within the double's rounding
    # error, nearest first and the earlier on a tie.
    redo = np.flatnonzero((part == 0.5) | np.isnat(got))
    if len(redo):
        got[redo] = _search(whole[redo].astype(np.int64) * 1000 + low[redo].astype(np.int64),
                            part[redo], np.frexp(f[redo])[1])
    out[ok] = got
    return out


def _ms_to_datetime64(ms):
    """datetime64[ms] of YYYYMMDDHHMMSSfff integers; NaT for fields out of range."""
    year, rest = np.divmod(ms, 10 ** 13)
    month, rest = np.divmod(rest, 10 ** 11)
    day, rest = np.divmod(rest, 10 ** 9)
    hour, rest = np.divmod(rest, 10 ** 7)
    minute, rest = np.divmod(rest, 10 ** 5)
    second, milli = np.divmod(rest, 1000)
    ok = ((year >= 1) & (year <= 9999) & (month >= 1) & (month <= 12) & (day >= 1)
          & (hour < 24) & (minute < 60) & (second < 60))
    months = np.where(ok, (year - 1970) * 12 + month - 1, 0)
    first = months.astype("datetime64[M]").astype("datetime64[D]")
    days_in_month = ((months + 1).astype("datetime64[M]").astype("datetime64[D]")
                     - first).astype(np.int64)
    ok &= day <= days_in_month
    ms_of_day = ((hour * 60 + minute) * 60 + second) * 1000 + milli
    out = (first + np.where(ok, day - 1, 0)).astype("datetime64[ms]") + ms_of_day
    out[~ok] = _NAT
    return out


_OFFSETS = np.arange(-9, 11, dtype=np.int64)  # the rounding error is under 8 ms below year 10000


def _search(base, part, exponent):
    """The valid instant nearest to ``base + part`` ms within ``slack`` of it
    (half the spacing of doubles of that exponent), the earlier on a tie."""
    slack = np.ldexp(500.0, exponent - 53)
    cand = base[:, None] + _OFFSETS
    dist = np.abs(_OFFSETS - part[:, None])
    nearest = np.round(part)[:, None]  # always a candidate, as in the converter
    inside = ((_OFFSETS >= np.ceil(part - slack)[:, None])
              & (_OFFSETS <= np.floor(part + slack)[:, None])) | (_OFFSETS == nearest)
    when = _ms_to_datetime64(cand.ravel()).reshape(cand.shape)
    dist[~inside | np.isnat(when)] = np.inf
    best = np.argmin(dist, axis=1)  # the first of equal distances: the earlier
    out = when[np.arange(len(base)), best]
    out[np.isinf(dist[np.arange(len(base)), best])] = _NAT
    return out
