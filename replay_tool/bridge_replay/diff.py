"""Compares two event logs (the replay's ``--events`` output).

Events are aligned by content, not by position, so one missing event is
reported once instead of shifting every later line into a difference. The
sequence number ``n`` is left out of the comparison for the same reason. An
event found on both sides but out of place is a move, not one missing and one
extra. A changed event is shown down to the leaves that differ, since most
fields are nested records.
"""

import collections
import difflib
import json

# Above this many unmatched lines on each side the alignment would be slow
# (quadratic); lines are then paired by position.
_ALIGN_AT_MOST = 20000
# Differing leaves listed for one changed event; the rest are counted.
_LEAVES_AT_MOST = 20
_WIDTH = 60
_MISSING = object()


class NotAnEventLog(ValueError):
    """The file is not an event log; the message names it and what is wrong."""


class _Event:
    __slots__ = ("line", "type", "fields", "key")

    def __init__(self, line, event, fields):
        self.line = line
        self.type = event
        self.fields = fields
        self.key = json.dumps([event, fields], separators=(",", ":"), ensure_ascii=False)


def _parse(line, raw):
    """An _Event, or the reason the line is not one."""
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        return "line %d is not UTF-8 text" % line
    try:
        d = json.loads(text)
    except (ValueError, RecursionError):
        return "line %d is not JSON" % line
    if type(d) is dict and type(d.get("n")) is int and type(d.get("event")) is str \
            and type(d.get("fields")) is dict:
        return _Event(line, d["event"], d["fields"])
    if line == 1 and type(d) is dict and "format" in d:
        return "line 1 is a session file's header (replay it with --events to get its log)"
    return 'line %d is not an event (an object with "n", "event" and "fields")' % line


def _read(path):
    events = []
    with open(path, "rb") as f:
        if f.read(2) == b"\x1f\x8b":
            raise NotAnEventLog("%s: not an event log: it is gzip-compressed" % path)
        f.seek(0)
        for i, raw in enumerate(f, 1):
            e = _parse(i, raw)
            if type(e) is str:
                raise NotAnEventLog("%s: not an event log: %s" % (path, e))
            events.append(e)
    return events


def _same(x, y):
    # By type as well: JSON's true, 1 and 1.0 are different values in a log.
    return type(x) is type(y) and (x == y or x != x and y != y)


def _leaves_differ(a, b):
    """(the differing leaves, at most _LEAVES_AT_MOST, as {"field", "a", "b",
    "only_in"}; how many differ in all). A path reads like ``trade.price`` or
    ``tick.asks[2]``; walked without recursion, so any depth is safe."""
    out, total = [], 0
    stack = [("", a, b)]
    while stack:
        path, va, vb = stack.pop()
        if type(va) is dict and type(vb) is dict:
            keys = list(va) + [k for k in vb if k not in va]
            stack.extend(reversed([(path + "." + k if path else k, va.get(k, _MISSING),
                                    vb.get(k, _MISSING)) for k in keys]))
        elif type(va) is list and type(vb) is list:
            stack.extend(reversed([
                ("%s[%d]" % (path, i), va[i] if i < len(va) else _MISSING,
                 vb[i] if i < len(vb) else _MISSING) for i in range(max(len(va), len(vb)))]))
        elif not _same(va, vb):
            total += 1
            if len(out) < _LEAVES_AT_MOST:
                out.append({"field": path, "a": None if va is _MISSING else va,
                            "b": None if vb is _MISSING else vb,
                            "only_in": "b" if va is _MISSING else "a" if vb is _MISSING
                            else None})
    return out, total


def _positional(n_a, n_b, a, b):
    """Opcodes pairing a[i] with b[i]; runs of equal events are left out."""
    m = min(n_a, n_b)
    ops, start = [], None
    for i in range(m + 1):
        if i < m and a[i].key != b[i].key:
            if start is None:
                start = i
        elif start is not None:
            ops.append(("replace", start, i, start, i))
            start = None
    if n_a > m:
        ops.append(("delete", m, n_a, m, m))
    elif n_b > m:
        ops.append(("insert", m, m, m, n_b))
    return ops


def _opcodes(a, b):
    lo = 0
    n = min(len(a), len(b))
    while lo < n and a[lo].key == b[lo].key:
        lo += 1
    hi_a, hi_b = len(a), len(b)
    while hi_a > lo and hi_b > lo and a[hi_a - 1].key == b[hi_b - 1].key:
        hi_a -= 1
        hi_b -= 1
    if lo == hi_a and lo == hi_b:
        return []
    mid_a, mid_b = a[lo:hi_a], b[lo:hi_b]
    if min(len(mid_a), len(mid_b)) > _ALIGN_AT_MOST:
        ops = _positional(len(mid_a), len(mid_b), mid_a, mid_b)
    else:
        ops = difflib.SequenceMatcher(None, [e.key for e in mid_a], [e.key for e in mid_b],
                                      autojunk=False).get_opcodes()
    return [(tag, a1 + lo, a2 + lo, b1 + lo, b2 + lo) for tag, a1, a2, b1, b2 in ops
            if tag != "equal"]


def _moves(a, b, ops):
    """{index in A: index in B} of the unmatched events that have an unmatched
    twin on the other side, paired in order."""
    waiting = collections.defaultdict(collections.deque)
    for _, a1, a2, _, _ in ops:
        for i in range(a1, a2):
            waiting[a[i].key].append(i)
    moved = {}
    for _, _, _, b1, b2 in ops:
        for j in range(b1, b2):
            q = waiting.get(b[j].key)
            if q:
                moved[q.popleft()] = j
    return moved


def _first(a, b, a1, a2, b1, b2, ra, rb, moved_a, moved_b):
    """The earliest difference of one block of unmatched events, measured from
    the block's start on each side (A's first on a tie)."""
    pairs = min(len(ra), len(rb))
    out = []
    if pairs:
        out.append((min(ra[0] - a1, rb[0] - b1), "changed", ra[0], rb[0]))
    if len(ra) > pairs:
        out.append((ra[pairs] - a1, "missing", ra[pairs], rb[pairs - 1] + 1 if pairs else b1))
    if len(rb) > pairs:
        out.append((rb[pairs] - b1, "extra", ra[pairs - 1] + 1 if pairs else a1, rb[pairs]))
    i = next((i for i in range(a1, a2) if i in moved_a), None)
    if i is not None:
        out.append((i - a1, "moved", i, moved_a[i]))
    j = next((j for j in range(b1, b2) if j in moved_b), None)
    if j is not None:
        out.append((j - b1, "moved", moved_b[j], j))
    _, kind, i, j = min(out, key=lambda c: c[0])
    first = {"kind": kind, "line_a": i + 1, "line_b": j + 1,
             "event_a": a[i].type if kind != "extra" else None,
             "event_b": b[j].type if kind != "missing" else None,
             "fields": [], "more_fields": 0}
    if kind == "changed" and a[i].type == b[j].type:
        first["fields"], total = _leaves_differ(a[i].fields, b[j].fields)
        first["more_fields"] = total - len(first["fields"])
    return first


def compare(path_a, path_b):
    """A dict: ``identical``; ``events_a``/``events_b``; ``first`` (the first
    divergence: its kind, changed, missing, extra or moved; its lines in both;
    its event types; the differing leaves and ``more_fields``, how many more
    differ; or None); ``by_type`` ``{event type: {"changed", "missing",
    "extra", "moved"}}`` where missing means in A and not in B. Raises
    NotAnEventLog for a file that is not an event log."""
    a, b = _read(path_a), _read(path_b)
    ops = _opcodes(a, b)
    moved_a = _moves(a, b, ops)
    moved_b = {j: i for i, j in moved_a.items()}
    counts = collections.defaultdict(
        lambda: {"changed": 0, "missing": 0, "extra": 0, "moved": 0})
    for i in moved_a:
        counts[a[i].type]["moved"] += 1
    first = None

    for tag, a1, a2, b1, b2 in ops:
        ra = [i for i in range(a1, a2) if i not in moved_a]
        rb = [j for j in range(b1, b2) if j not in moved_b]
        pairs = min(len(ra), len(rb))
        for i, j in zip(ra, rb):
            counts[a[i].type]["changed"] += 1
        for i in ra[pairs:]:
            counts[a[i].type]["missing"] += 1
        for j in rb[pairs:]:
            counts[b[j].type]["extra"] += 1
        if first is None:
            first = _first(a, b, a1, a2, b1, b2, ra, rb, moved_a, moved_b)
    return {"identical": first is None, "events_a": len(a), "events_b": len(b),
            "first": first, "by_type": dict(sorted(counts.items()))}


def _text(v):
    try:
        text = json.dumps(v, ensure_ascii=False)
    except RecursionError:
        return "(nested too deep to show)"
    # A lone surrogate (from a \ud800 escape) cannot be printed as UTF-8.
    return text.encode("utf-8", "backslashreplace").decode("utf-8")


def _cut(text, at=0):
    """At most _WIDTH characters of ``text``, from a little before ``at``."""
    if len(text) <= _WIDTH:
        return text
    start = max(0, min(at - 20, len(text) - _WIDTH + 3))
    head = "..." if start else ""
    body = text[start:start + _WIDTH - len(head)]
    if start + len(body) < len(text):
        body = body[:-3] + "..."
    return head + body


def _pair(va, vb):
    """Both values, cut around where their texts first differ, so that a
    change past the cut still shows."""
    ta, tb = _text(va), _text(vb)
    at = next((i for i, (x, y) in enumerate(zip(ta, tb)) if x != y), min(len(ta), len(tb)))
    return _cut(ta, at), _cut(tb, at)


def format_result(r, name_a="A", name_b="B"):
    if r["identical"]:
        return "identical: %s events" % format(r["events_a"], ",")
    f = r["first"]
    out = ["differ: %s events in %s, %s in %s" % (format(r["events_a"], ","), name_a,
                                                  format(r["events_b"], ","), name_b)]
    if f["kind"] == "changed":
        out.append("first difference: line %d of %s, line %d of %s: %s" % (
            f["line_a"], name_a, f["line_b"], name_b,
            f["event_a"] if f["event_a"] == f["event_b"]
            else "%s in %s, %s in %s" % (f["event_a"], name_a, f["event_b"], name_b)))
        for d in f["fields"]:
            path = d["field"] if len(d["field"]) <= 2 * _WIDTH else \
                d["field"][:_WIDTH - 2] + "..." + d["field"][-_WIDTH + 1:]
            if d["only_in"]:
                out.append("  %s: only in %s: %s" % (
                    path, name_a if d["only_in"] == "a" else name_b,
                    _cut(_text(d["a"] if d["only_in"] == "a" else d["b"]))))
            else:
                out.append("  %s: %s != %s" % ((path,) + _pair(d["a"], d["b"])))
        if f.get("more_fields"):
            out.append("  ... and %d more differing fields" % f["more_fields"])
        if f["event_a"] == f["event_b"] and not f["fields"]:
            out.append("  the same fields in another order")
    elif f["kind"] == "moved":
        out.append("first difference: line %d of %s: %s, moved to line %d of %s"
                   % (f["line_a"], name_a, f["event_a"], f["line_b"], name_b))
    elif f["kind"] == "missing":
        out.append("first difference: line %d of %s: %s, missing from %s (before its line %d)"
                   % (f["line_a"], name_a, f["event_a"], name_b, f["line_b"]))
    else:
        out.append("first difference: line %d of %s: %s, not in %s (before its line %d)"
                   % (f["line_b"], name_b, f["event_b"], name_a, f["line_a"]))
    out.append("differing events by type (changed, missing from %s, extra in %s, moved):"
               % (name_b, name_b))
    for t, c in r["by_type"].items():
        out.append("  %-36s %8d %8d %8d %8d" % (t, c["changed"], c["missing"], c["extra"],
                                                c["moved"]))
    return "\n".join(out)
