"""Session files by path: finding them in folders and globs, and the names
derived from a session's file name (its event log's)."""

import glob
import os

SESSION_SUFFIXES = (".jsonl", ".jsonl.gz", ".jsonl.zst")


def expand(patterns):
    """Session files of paths, folders (their *.jsonl, *.jsonl.gz and
    *.jsonl.zst) and globs, in the order given, each once. Raises ValueError
    for a name that matches nothing."""
    out, seen = [], set()
    for p in patterns:
        if os.path.isdir(p):
            found = sorted(f for f in glob.glob(os.path.join(p, "*"))
                           if f.endswith(SESSION_SUFFIXES) and os.path.isfile(f))
        elif os.path.exists(p):
            found = [p]
        else:
            found = sorted(f for f in glob.glob(p) if os.path.isfile(f))
        if not found:
            raise ValueError("%s: no such session file" % p)
        for f in found:
            key = os.path.realpath(f)
            if key not in seen:
                seen.add(key)
                out.append(os.path.abspath(f))
    return out


def stem(path):
    """The name of a session's event log: its file name without the session suffix."""
    name = os.path.basename(path)
    for suffix in (".jsonl.gz", ".jsonl.zst", ".jsonl", ".gz", ".zst"):
        if name.endswith(suffix):
            return name[:-len(suffix)]
    return name


def events_name(path):
    return stem(path) + ".events.jsonl"
