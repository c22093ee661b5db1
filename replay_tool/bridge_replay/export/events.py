"""A replay's drained host events as one Parquet file: a row per event with
its number, its type, its time, and its fields flattened one level (an
order's attributes as "order.price", "order.status"...).

The player hands each event to ``add_event`` instead of writing a JSON line.
Rows are kept as value lists and turned into an Arrow table every
``chunk`` events; the file is written at ``close`` (or ``publish`` under
another name), to a temporary name renamed into place, so a failed run never
leaves half a file."""

import datetime as _dt
import os
import tempfile

import pyarrow as pa
import pyarrow.parquet as pq

from bridge_replay.export.arrow import MEMBER_TYPE, T_TYPE, concat, inferred_array
from bridge_replay.player import Renderer

_LEAD = ("n", "event", "time")


class _Values(Renderer):
    """The JSON log's rendering, with date-times kept as date-times."""

    def __call__(self, value, _depth=0):
        if type(value) is _dt.datetime:
            return value
        return super().__call__(value, _depth)


class ParquetEventLog:
    """``add_event(n, name, fields, render)`` per drained event, then ``close()``."""

    def __init__(self, path, chunk=50_000):
        self.path = path
        self.chunk = chunk
        self._groups = {}
        self._pending = 0
        self._tables = []
        self._values = None
        self.closed = False

    def add_event(self, n, name, fields, render):
        values = self._values
        if values is None:
            values = self._values = _Values(render.enums)
        when = fields.get("calendar_dt")
        if type(when) is not _dt.datetime:
            when = fields.get("trading_dt")
            if type(when) is not _dt.datetime:
                when = None
        names = []
        row = [n, name, when]
        for k, v in fields.items():
            r = values(v)
            if type(r) is dict:
                for kk, vv in r.items():
                    names.append("%s.%s" % (k, kk))
                    row.append(vv)
            else:
                names.append(k)
                row.append(r)
        key = tuple(names)
        group = self._groups.get(key)
        if group is None:
            self._groups[key] = [row]
        else:
            group.append(row)
        self._pending += 1
        if self._pending >= self.chunk:
            self._flush()

    def _flush(self):
        if not self._pending:
            return
        order, seen = list(_LEAD), set(_LEAD)
        for names in self._groups:
            for name in names:
                if name not in seen:
                    seen.add(name)
                    order.append(name)
        cols = {name: [] for name in order}
        for names, group in self._groups.items():
            by_name = dict(zip(_LEAD + names, zip(*group)))
            for name, col in cols.items():
                got = by_name.get(name)
                col.extend(got if got is not None else (None,) * len(group))
        arrays = [pa.array(cols["n"], type=pa.int64()), pa.array(cols["event"], type=MEMBER_TYPE),
                  pa.array(cols["time"], type=T_TYPE)]
        arrays += [inferred_array(cols[name]) for name in order[3:]]
        table = pa.Table.from_arrays(arrays, names=order)
        if len(self._groups) > 1:  # events of several shapes interleave: back in order
            table = table.sort_by("n")
        self._tables.append(table)
        self._groups = {}
        self._pending = 0

    @property
    def file(self):
        """What the player writes to: this log itself (as a batch's pending
        JSON Lines log hands over its file)."""
        return self

    def close(self):
        self.publish(self.path)

    def publish(self, path):
        """Writes the table to ``path`` (a temporary name, renamed into place)."""
        if self.closed:
            return
        self.closed = True
        self._flush()
        table = concat(self._tables) if self._tables else pa.table(
            [pa.array([], pa.int64()), pa.array([], MEMBER_TYPE), pa.array([], T_TYPE)],
            names=list(_LEAD))
        self._tables = []
        folder = os.path.dirname(os.path.abspath(path))
        fd, tmp = tempfile.mkstemp(prefix=".%s." % os.path.basename(path), suffix=".tmp",
                                   dir=folder)
        os.close(fd)
        try:
            pq.write_table(table, tmp, compression="zstd", compression_level=3)
            os.replace(tmp, path)
        except BaseException:
            os.unlink(tmp)
            raise

    def discard(self):
        """Drops what was kept; nothing is written."""
        self.closed = True
        self._groups, self._tables, self._pending = {}, [], 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
