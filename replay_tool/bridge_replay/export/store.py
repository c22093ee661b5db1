"""The export folder: ``DIR/kind=KIND/day=YYYY-MM-DD/part-0.parquet``, a
day's tables put in place only once all of them are written.

A session's tables are written into a hidden staging folder inside DIR (so
the rename stays on one file system), then each is renamed over its place;
the kinds an overwritten day had and the new session lacks are removed last.
Readers skip names beginning with "." or "_", so a staging folder left by a
killed process is never read as data."""

import json
import os
import shutil
import tempfile

import pyarrow as pa
import pyarrow.parquet as pq

PART = "part-0.parquet"
META_HEADER = b"bridge_replay.header"
META_EXPORT = b"bridge_replay.export"


def day_path(out_dir, kind, day):
    return os.path.join(out_dir, "kind=%s" % kind, "day=%s" % day)


def days_in(out_dir):
    """{day: [kind folder...]} of what DIR already holds."""
    found = {}
    try:
        kinds = os.listdir(out_dir)
    except FileNotFoundError:
        return found
    for k in sorted(kinds):
        if not k.startswith("kind="):
            continue
        kdir = os.path.join(out_dir, k)
        if not os.path.isdir(kdir):
            continue
        for d in sorted(os.listdir(kdir)):
            path = os.path.join(kdir, d)
            if d.startswith("day=") and os.path.isdir(path) and any(
                    f.endswith(".parquet") and not f.startswith((".", "_"))
                    for f in os.listdir(path)):
                found.setdefault(d[4:], []).append(path)
    return found


def exported_from(day_dirs):
    """What the export metadata of a day already in DIR says of its session
    ({"session", "sha256", ...}), or {} when no file says."""
    for d in day_dirs:
        for f in sorted(os.listdir(d)):
            if f.endswith(".parquet") and not f.startswith((".", "_")):
                try:
                    meta = pq.read_schema(os.path.join(d, f)).metadata or {}
                    return json.loads(meta.get(META_EXPORT, b"{}"))
                except Exception:  # a foreign or damaged file: nothing to say
                    return {}
    return {}


class Staging:
    """A hidden folder in DIR for one session's tables until they are all written."""

    def __init__(self, out_dir):
        os.makedirs(out_dir, exist_ok=True)
        self.out_dir = out_dir
        self.path = tempfile.mkdtemp(prefix=".staging-", dir=out_dir)
        self.files = {}

    def write(self, kind, day, table):
        path = os.path.join(self.path, "%s.parquet" % kind)
        # Dictionary pages only for texts: for numbers they cost time and,
        # under zstd, bytes (a tenth of the bundled day's).
        texts = [f.name for f in table.schema
                 if pa.types.is_string(f.type) or pa.types.is_dictionary(f.type)]
        pq.write_table(table, path, compression="zstd", compression_level=3,
                       use_dictionary=texts)
        self.files[kind] = path
        return os.path.getsize(path)

    def commit(self, day):
        """Puts the tables in place, replacing the day's earlier ones."""
        for kind, path in self.files.items():
            final = day_path(self.out_dir, kind, day)
            os.makedirs(final, exist_ok=True)
            os.replace(path, os.path.join(final, PART))
            for f in os.listdir(final):  # any other part of an earlier export of the day
                if f != PART and f.endswith(".parquet"):
                    os.unlink(os.path.join(final, f))
        for folder in days_in(self.out_dir).get(day, ()):
            kind = os.path.basename(os.path.dirname(folder))[len("kind="):]
            if kind not in self.files:
                shutil.rmtree(folder)

    def discard(self):
        shutil.rmtree(self.path, ignore_errors=True)
