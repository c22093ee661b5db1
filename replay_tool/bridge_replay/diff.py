"""Compares two event logs (the replay's ``--events`` output).

Events are aligned by content, not by position, so one missing event is
reported once instead of shifting every later line into a difference. The
sequence number ``n`` is left out of the comparison for the same reason.
"""

import collections
import difflib
import json

# Above this many unmatched lines on each side the alignment would be slow
# (quadratic); lines are then paired by position.
_ALIGN_AT_MOST = 20000


class _Event:
    __slots__ = ("line", "type", "fields", "key")

    def __init__(self, line, text):
        self.line = line
        try:
            d = json.loads(text)
            self.type = str(d.get("event"))
            self.fields = d.get("fields")
            if not isinstance(self.fields, dict):
                self.fields = {}
            self.key = json.dumps([d.get("event"), d.get("fields")], sort_keys=False,
                                  separators=(",", ":"), ensure_ascii=False)
        except (ValueError, AttributeError):
            # Not an event line: compared as text.
            self.type, self.fields, self.key = "(not an event)", {}, text


def _read(path):
    with open(path, "r", encoding="utf-8", errors="surrogateescape") as f:
        return [_Event(i, text.rstrip("\n")) for i, text in enumerate(f, 1)]


def _fields_differ(a, b):
    missing = object()
    out = []
    for k in list(a) + [k for k in b if k not in a]:
        va, vb = a.get(k, missing), b.get(k, missing)
        if va != vb:
            out.append({"field": k, "a": None if va is missing else va,
                        "b": None if vb is missing else vb,
                        "only_in": "b" if va is missing else "a" if vb is missing else None})
    return out


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
        m = min(len(mid_a), len(mid_b))
        ops = [("replace", 0, m, 0, m)]
        if len(mid_a) > m:
            ops.append(("delete", m, len(mid_a), m, m))
        elif len(mid_b) > m:
            ops.append(("insert", m, m, m, len(mid_b)))
    else:
        ops = difflib.SequenceMatcher(None, [e.key for e in mid_a], [e.key for e in mid_b],
                                      autojunk=False).get_opcodes()
    return [(tag, a1 + lo, a2 + lo, b1 + lo, b2 + lo) for tag, a1, a2, b1, b2 in ops
            if tag != "equal"]


def compare(path_a, path_b):
    """A dict: ``identical``; ``events_a``/``events_b``; ``first`` (the first
    divergence: lines in both, event types, differing fields, or None);
    ``by_type`` ``{event type: {"changed", "missing", "extra"}}`` where missing
    means in A and not in B."""
    a, b = _read(path_a), _read(path_b)
    counts = collections.defaultdict(lambda: {"changed": 0, "missing": 0, "extra": 0})
    first = None
    for tag, a1, a2, b1, b2 in _opcodes(a, b):
        pairs = min(a2 - a1, b2 - b1) if tag == "replace" else 0
        for i in range(pairs):
            ea, eb = a[a1 + i], b[b1 + i]
            counts[ea.type]["changed"] += 1
            if first is None:
                first = {"kind": "changed", "line_a": ea.line, "line_b": eb.line,
                         "event_a": ea.type, "event_b": eb.type,
                         "fields": _fields_differ(ea.fields, eb.fields)
                         if ea.type == eb.type else []}
        for ea in a[a1 + pairs:a2]:
            counts[ea.type]["missing"] += 1
            if first is None:
                first = {"kind": "missing", "line_a": ea.line,
                         "line_b": b[b1 + pairs].line if b1 + pairs < len(b) else len(b) + 1,
                         "event_a": ea.type, "event_b": None, "fields": []}
        for eb in b[b1 + pairs:b2]:
            counts[eb.type]["extra"] += 1
            if first is None:
                first = {"kind": "extra", "line_a": a[a1 + pairs].line
                         if a1 + pairs < len(a) else len(a) + 1,
                         "line_b": eb.line, "event_a": None, "event_b": eb.type, "fields": []}
    return {"identical": first is None, "events_a": len(a), "events_b": len(b),
            "first": first, "by_type": dict(sorted(counts.items()))}


def _value(v):
    text = json.dumps(v, ensure_ascii=False)
    return text if len(text) <= 60 else text[:57] + "..."


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
            if d["only_in"]:
                out.append("  %s: only in %s: %s" % (
                    d["field"], name_a if d["only_in"] == "a" else name_b,
                    _value(d["a"] if d["only_in"] == "a" else d["b"])))
            else:
                out.append("  %s: %s != %s" % (d["field"], _value(d["a"]), _value(d["b"])))
    elif f["kind"] == "missing":
        out.append("first difference: line %d of %s: %s, missing from %s (before its line %d)"
                   % (f["line_a"], name_a, f["event_a"], name_b, f["line_b"]))
    else:
        out.append("first difference: line %d of %s: %s, not in %s (before its line %d)"
                   % (f["line_b"], name_b, f["event_b"], name_a, f["line_a"]))
    out.append("differing events by type (changed, missing from %s, extra in %s):"
               % (name_b, name_b))
    for t, c in r["by_type"].items():
        out.append("  %-36s %8d %8d %8d" % (t, c["changed"], c["missing"], c["extra"]))
    return "\n".join(out)
