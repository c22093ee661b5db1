"""Rows of one kind turned into an Arrow table, a column at a time.

A declared column takes its declared type, and a value that does not fit it
(a text among prices, a fraction among quantities) takes its line out of the
table, reported; pyarrow itself would truncate 1.5 to 1 or take True for
1.0. Other columns are typed from their values; what has no flat type
(nested records, mixed types) is kept as JSON text."""

import datetime as _dt
import re
from typing import List, Optional

import msgspec
import numpy as np
import pyarrow as pa

from bridge_replay.export import stamps
from bridge_replay.export.kinds import (FLOAT, FLOATS, INT, INTS, LEADING, MEMBER, STAMP,
                                        TEXT)

MEMBER_TYPE = pa.dictionary(pa.int32(), pa.string())
T_TYPE = pa.timestamp("us")
RECV_TYPE = pa.timestamp("ns", tz="UTC")
STAMP_DT_TYPE = pa.timestamp("ms")
_TYPES = {INT: pa.int64(), STAMP: pa.int64(), FLOAT: pa.float64(), TEXT: pa.string(),
          MEMBER: MEMBER_TYPE, INTS: pa.list_(pa.int64()), FLOATS: pa.list_(pa.float64())}
_WHAT = {INT: "an integer", STAMP: "an integer time stamp", FLOAT: "a number",
         TEXT: "a text", MEMBER: "an enumeration member", INTS: "a list of integers",
         FLOATS: "a list of numbers"}
_NONE = type(None)
_INT64 = (-(1 << 63), (1 << 63) - 1)
_MEMBER_TEXT = re.compile(r"[A-Z][A-Za-z0-9_]*\.[A-Za-z_][A-Za-z0-9_]*\Z").match
_json = msgspec.json.Encoder().encode
_convert = msgspec.convert
_STRICT = {INT: List[Optional[int]], STAMP: List[Optional[int]],
           FLOAT: List[Optional[float]], TEXT: List[Optional[str]],
           MEMBER: List[Optional[str]], INTS: List[Optional[List[int]]],
           FLOATS: List[Optional[List[float]]]}


class BadValue(Exception):
    """Values of a declared column that do not fit its type: {row: message}."""

    def __init__(self, bad):
        super().__init__("%d values do not fit their column" % len(bad))
        self.bad = bad


def gather(rows):
    """(names, columns) of a Rows: the attribute names in the order met and
    a list of values per name (None where a row lacks it), rows in line order."""
    # An attribute named as a leading column ("t"...) is kept as "t_".
    groups = [(tuple(n + "_" if n in LEADING else n for n in names), group)
              for names, group in rows.groups.items() if group]
    if not groups:
        return [], {n: [] for n in LEADING}
    if len(groups) == 1:
        names, group = groups[0]
        cols = list(zip(*group))
        return list(names), dict(zip(LEADING + names, cols))
    order = []
    seen = set()
    for names, _ in groups:
        for n in names:
            if n not in seen:
                seen.add(n)
                order.append(n)
    cols = {n: [] for n in LEADING + tuple(order)}
    for names, group in groups:
        size = len(group)
        by_name = dict(zip(LEADING + names, zip(*group)))
        for n, col in cols.items():
            got = by_name.get(n)
            col.extend(got if got is not None else (None,) * size)
    # Rows of different groups interleave: back into line order.
    line = cols["line"]
    perm = sorted(range(len(line)), key=line.__getitem__)
    return order, {n: [c[i] for i in perm] for n, c in cols.items()}


def declared_array(values, kind):
    """(array, {row: message}) of a declared column: values that do not fit
    its type are null in the array and named in the dict."""
    t = _TYPES[kind]
    try:
        # msgspec checks the types in C (no bool for a number, no float for an
        # integer), several times faster than telling each value's type here.
        return pa.array(_convert(values, _STRICT[kind]), type=t), {}
    except (msgspec.ValidationError, OverflowError, pa.ArrowInvalid):
        pass
    if kind in (INTS, FLOATS):
        whole = kind == INTS
        bad = {i: v for i, v in enumerate(values)
               if v is not None and (type(v) is not list or not _numbers(v, whole))}
        fixed = [None if i in bad or v is None else [int(e) for e in v] if whole else v
                 for i, v in enumerate(values)]
    elif kind in (INT, STAMP):
        bad = {i: v for i, v in enumerate(values) if v is not None and not _whole(v)}
        fixed = [None if i in bad or v is None else int(v) for i, v in enumerate(values)]
    else:
        fits = {float, int} if kind == FLOAT else {str}
        bad = {i: v for i, v in enumerate(values) if v is not None and type(v) not in fits}
        fixed = [None if i in bad else v for i, v in enumerate(values)]
    return pa.array(fixed, type=t), {
        i: "%s is not %s" % (_short(v), _WHAT[kind]) for i, v in bad.items()}


def _whole(v):
    t = type(v)
    if t is float:
        return v.is_integer() and _INT64[0] <= v <= _INT64[1]
    return t is int and _INT64[0] <= v <= _INT64[1]


def _numbers(v, whole):
    for e in v:
        t = type(e)
        if whole or t is int:
            if not _whole(e):
                return False
        elif t is not float:
            return False
    return True


def _short(v):
    text = repr(v)
    return text if len(text) <= 40 else text[:37] + "..."


# The usual column of an attribute nobody declared: all integers, all numbers.
# Texts are not guessed: they may be members, which are dictionary texts.
_GUESS = {int: (List[Optional[int]], pa.int64()), float: (List[Optional[float]], pa.float64())}


def inferred_array(values):
    """An Arrow array typed from the values: booleans, integers, numbers,
    texts (members as dictionary texts), lists of those, date-times; JSON
    text for anything else."""
    first = next((v for v in values if v is not None), None)
    guess = _GUESS.get(type(first))
    if guess is not None:
        try:
            return pa.array(_convert(values, guess[0]), type=guess[1])
        except (msgspec.ValidationError, OverflowError, pa.ArrowInvalid):
            pass
    types = set(map(type, values))
    types.discard(_NONE)
    if not types:
        return pa.nulls(len(values))
    if types == {bool}:
        return pa.array(values, type=pa.bool_())
    if types == {int}:
        try:
            return pa.array(values, type=pa.int64())
        except (OverflowError, pa.ArrowInvalid):
            pass
    elif types <= {int, float}:
        return pa.array(values, type=pa.float64())
    elif types == {str}:
        if all(v is None or _MEMBER_TEXT(v) for v in values):
            return pa.array(values, type=MEMBER_TYPE)
        return pa.array(values, type=pa.string())
    elif types == {_dt.datetime} and all(v is None or v.tzinfo is None for v in values):
        return pa.array(values, type=T_TYPE)
    elif types == {list}:
        inner = set()
        for v in values:
            if v:
                inner.update(map(type, v))
        if inner == {int} and all(_numbers(v, True) for v in values if v):
            return pa.array(values, type=pa.list_(pa.int64()))
        if inner <= {int, float} and all(_numbers(v, False) for v in values if v):
            return pa.array(values, type=pa.list_(pa.float64()))
        if inner == {str}:
            return pa.array(values, type=pa.list_(pa.string()))
    return pa.array([None if v is None else _json(v).decode() for v in values],
                    type=pa.string())


def _from_numpy(data, valid, type_):
    """An Arrow array on an int64 numpy array's memory, null where not ``valid``."""
    data = np.ascontiguousarray(data, dtype=np.int64)
    nulls = len(data) - int(np.count_nonzero(valid))
    bitmap = pa.py_buffer(np.packbits(valid, bitorder="little")) if nulls else None
    return pa.Array.from_buffers(type_, len(data), [bitmap, pa.py_buffer(data)],
                                 null_count=nulls)


def recv_array(values):
    """Receive times (seconds since the epoch, a double) to the nanosecond
    nearest to the double."""
    f = np.array([np.nan if v is None else v for v in values], dtype=np.float64)
    ok = np.isfinite(f) & (np.abs(f) < 9.2e9)
    f = np.where(ok, f, 0.0)
    whole = np.floor(f)
    ns = whole.astype(np.int64) * 1_000_000_000 + np.round((f - whole) * 1e9).astype(np.int64)
    return _from_numpy(ns, ok, RECV_TYPE)


def stamp_dt_array(array):
    """The decoded times of an int64 stamp column, as the bridge decodes them."""
    present = np.asarray(array.is_valid().to_numpy(zero_copy_only=False), dtype=bool)
    raw = np.asarray(array.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.int64)
    got = stamps.decode(raw, present)
    return _from_numpy(got.view(np.int64), ~np.isnat(got), STAMP_DT_TYPE)


def build(rows, declared):
    """(table, {line: message}) of a kind's rows: the rows whose values do
    not fit their declared columns are left out and named."""
    names, cols = gather(rows)
    ordered = list(declared) + [n for n in names if n not in declared]
    # An attribute named as a stamp's decoded column keeps its values as "<name>_".
    taken = {n + "_dt" for n, k in declared.items() if k == STAMP}
    for i, name in enumerate(ordered):
        if name in taken and name not in declared:
            new = name
            while new in taken or new in cols:
                new += "_"
            cols[new] = cols.pop(name)
            ordered[i] = new
    n = len(cols["line"])
    fields = ["line", "t", "recv"]
    arrays = [pa.array(cols["line"], type=pa.int64()), pa.array(cols["t"], type=T_TYPE),
              recv_array(cols["recv"])]
    bad = {}
    for name in ordered:
        kind = declared.get(name)
        values = cols.get(name)
        if kind is None:
            array = inferred_array(values)
        elif values is None:
            array = pa.nulls(n, type=_TYPES[kind])
        else:
            array, wrong = declared_array(values, kind)
            for i, message in wrong.items():
                bad.setdefault(i, "%s %s" % (name, message))
        fields.append(name)
        arrays.append(array)
        if kind == STAMP:
            fields.append(name + "_dt")
            arrays.append(stamp_dt_array(array))
    table = pa.Table.from_arrays(arrays, names=fields)
    if not bad:
        return table, {}
    lines = cols["line"]
    keep = np.ones(n, dtype=bool)
    keep[list(bad)] = False
    return table.filter(pa.array(keep)), {lines[i]: m for i, m in bad.items()}


def concat(tables):
    """One table of chunks built apart, in order. A column typed differently
    in two chunks takes the wider type (integers and numbers: numbers; member
    texts and texts: texts), else becomes JSON text in all, as a column of
    mixed values within one chunk does."""
    if len(tables) == 1:
        return tables[0]
    types = {}
    for t in tables:
        for field in t.schema:
            if field.type != pa.null():
                types.setdefault(field.name, set()).add(field.type)
    texts, mixed = set(), set()
    for name, ts in types.items():
        if len(ts) < 2 or ts == {pa.int64(), pa.float64()}:
            continue
        if ts == {pa.string(), MEMBER_TYPE}:
            texts.add(name)
        else:
            mixed.add(name)
    if texts or mixed:
        tables = [_retyped(t, texts, mixed) for t in tables]
    return pa.concat_tables(tables, promote_options="permissive")


def _retyped(table, texts, mixed):
    for i, name in enumerate(table.column_names):
        col = table.column(i)
        if name in texts:
            table = table.set_column(i, name, col.cast(pa.string()))
        elif name in mixed:
            text = [None if v is None else _json(v).decode() for v in col.to_pylist()]
            table = table.set_column(i, name, pa.array(text, type=pa.string()))
    return table
