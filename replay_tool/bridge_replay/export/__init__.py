"""Recorded sessions as Parquet: a table per callback kind, partitioned by
trading day and kind, so that a folder of many days reads as one dataset.

Needs pyarrow (the ``[export]`` extra) and neither the bridge nor a host:
the session is read as recorded (``read``), each kind's rows become typed
columns (``arrow``, gateway stamps decoded in ``stamps``) and the tables are
put in place a day at a time (``store``). ``events`` writes a replay's
drained events as Parquet. docs/export.md is the reference for the layout,
the columns and the metadata."""

import datetime as _dt
import gc
import hashlib
import json
import os

from bridge_replay import __version__
from bridge_replay.export import store
from bridge_replay.export.kinds import CALLBACK_OF, DECLARED, HOST_ORDER
from bridge_replay.session.codec import Enumerations, format_time
from bridge_replay.session.reader import DEFAULT_MAX_LINE, SessionReader
from bridge_replay.session.schema import FORMAT, SessionError
from bridge_replay.status import EXIT_CUT, EXIT_FAILED, EXIT_OK, EXIT_SKIPPED


class Refused(Exception):
    """The export would mix sessions in DIR; nothing was written."""


def session_day(path):
    """The trading day of a session (the date of its start), read from its header."""
    with SessionReader(path, Enumerations()) as reader:
        return reader.header.start.date().isoformat()


def plan(paths, out_dir, overwrite=False):
    """([(path, day)] to export, {path: why it cannot be read}). Raises
    Refused for two sessions of one day, or a day DIR already holds (unless
    ``overwrite``)."""
    todo, failed, by_day = [], {}, {}
    for p in paths:
        try:
            day = session_day(p)
        except SessionError as exc:
            failed[p] = str(exc)
            continue
        if day in by_day:
            raise Refused("%s and %s are both sessions of %s: export them into different "
                          "folders" % (by_day[day], p, day))
        by_day[day] = p
        todo.append((p, day))
    if not overwrite:
        held = store.days_in(out_dir)
        for p, day in todo:
            if day in held:
                was = store.exported_from(held[day])
                if was.get("sha256") and was.get("sha256") == _sha256(p):
                    why = "%s was already exported into %s (day %s)" % (p, out_dir, day)
                else:
                    why = "%s already holds %s%s" % (
                        out_dir, day, " from %s" % was["session"] if was.get("session") else "")
                raise Refused("%s; --overwrite replaces that day" % why)
    return todo, failed


def _sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def export_session(path, out_dir, day=None, report=None, max_line=DEFAULT_MAX_LINE,
                   max_jump=86400.0, chunk=100_000):
    """Writes one session's tables into ``out_dir`` (replacing its day there)
    and returns what was done: rows per kind, bytes written, the lines
    skipped, where it was cut short, and its exit status. ``report`` is
    called with the text of each line skipped. Every ``chunk`` lines the
    rows read become Arrow tables, which bounds the memory a long day takes.
    Raises SessionError when the session cannot be read at all; data that
    turns out damaged part-way ends the export of that session with what was
    read before it, and "error" says why (exit status 1, as a replay that
    stops there)."""
    from bridge_replay.export import arrow
    from bridge_replay.export.read import read_session

    # Reading makes a list per row and keeps a chunk of them: the collector's
    # passes over them would cost a quarter of the export, and there are no
    # cycles to find in them.
    collecting = gc.isenabled()
    gc.disable()
    parts = {}

    def flush(rows_by_kind):
        # A chunk's rows become Arrow tables, so that a long day is never
        # held as Python values all at once.
        for kind, rows in rows_by_kind.items():
            if rows.n:
                parts.setdefault(kind, []).append(arrow.build(rows, DECLARED[kind]))
                for group in rows.groups.values():
                    del group[:]

    try:
        got = read_session(path, max_line, _dt.timedelta(seconds=max_jump), report, flush,
                           chunk)
        flush(got.rows)
    finally:
        if collecting:
            gc.enable()
    tables = {}
    for kind in sorted(parts):
        dropped = {}
        for _, d in parts[kind]:
            dropped.update(d)
        tables[kind] = (arrow.concat([t for t, _ in parts[kind]]), dropped)
    parts.clear()
    header = got.header
    day = day or header.start.date().isoformat()
    meta = {store.META_HEADER: json.dumps({
        "format": FORMAT, "version": header.version, "start": format_time(header.start),
        "end": None if header.end is None else format_time(header.end),
        "config": header.config, "universe": header.universe, "meta": header.meta},
        ensure_ascii=False).encode()}
    source = {"session": os.path.abspath(path), "sha256": _sha256(path), "day": day,
              "exported_by": "bridge-replay %s" % __version__}
    rows, written = {}, 0
    skipped = list(got.skipped)
    staging = store.Staging(out_dir)
    try:
        for kind, (table, dropped) in tables.items():
            for line, message in sorted(dropped.items()):
                text = "line %d: %s %s: not exported" % (
                    line, CALLBACK_OF.get(kind, "host order" if kind == HOST_ORDER else kind),
                    message)
                skipped.append(text)
                if report is not None:
                    report(text)
            info = dict(source, kind=kind, callback=CALLBACK_OF.get(kind))
            table = table.replace_schema_metadata(
                {**meta, store.META_EXPORT: json.dumps(info).encode()})
            written += staging.write(kind, day, table)
            rows[kind] = table.num_rows
        staging.commit(day)
    finally:
        staging.discard()
    status = EXIT_FAILED if got.failure else EXIT_CUT if got.cut \
        else EXIT_SKIPPED if skipped else EXIT_OK
    return {"session": path, "day": day, "rows": rows, "bytes": written,
            "lines": got.lines, "skipped": skipped, "late": got.late, "cut": got.cut,
            "error": got.failure, "exit_status": status}


def exit_status(results):
    """1 when a session could not be read, else the worst of the others
    (3 lines skipped, 4 cut short), 0 when every session exported cleanly."""
    statuses = [r["exit_status"] for r in results]
    if EXIT_FAILED in statuses:
        return EXIT_FAILED
    return max(statuses, default=EXIT_OK)


def describe(result, out_dir):
    """One line about an exported session."""
    r = result
    text = "%s -> %s day=%s: {:,} rows in %d tables, {:,.1f} MB".format(
        sum(r["rows"].values()), r["bytes"] / 1e6) % (r["session"], out_dir, r["day"],
                                                       len(r["rows"]))
    if r["skipped"]:
        text += ", {:,} lines skipped".format(len(r["skipped"]))
    if r["cut"]:
        text += "; cut short: %s" % r["cut"]
    if r["error"]:
        text += "; stopped part-way (see above)"
    return text


def last_line(results, status):
    """The command's last line: OK, or what went wrong."""
    if status == EXIT_OK:
        return "OK"
    if status == EXIT_FAILED:
        failed = sum(1 for r in results if r["exit_status"] == EXIT_FAILED)
        return "FAILED: %d of %d sessions could not be read to the end (see above)" % (
            failed, len(results))
    if status == EXIT_CUT:
        return "CUT SHORT: exported up to the last complete line (see above)"
    return "SKIPPED: {:,} lines were not exported (see above)".format(
        sum(len(r["skipped"]) for r in results))
