"""Persisting environment variables for the user's later shells.

``update_bash_file(names, value)`` rewrites ~/.bashrc (``Path.home()``, so
HOME decides on POSIX): every ``export NAME=...`` line of a given name is
replaced in place (all of them, since a later stale line would otherwise win),
and names without such a line get one appended. The value is quoted with
``shlex.quote``.

The new content goes to a temporary file in the same directory, is flushed and
fsynced, and then renamed over the old file with ``os.replace``: a reader sees
the old or the new file, never half of one, and a failure leaves the old file
untouched. A symlinked ~/.bashrc is followed, so the link survives and its
target is rewritten. An existing file keeps its mode; a new one is created
private (0600), since it may hold credentials.
"""

import os
import re
import shlex
import tempfile
from pathlib import Path

_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def _export_line(name, value):
    return "export %s=%s" % (name, shlex.quote(value))


def update_bash_file(names, value):
    """``names`` is one name or a list of names (shell identifiers, else
    ValueError); ``value`` is text without line breaks or NUL (ValueError),
    since a multi-line export could not be found again next time."""
    if isinstance(names, str):
        names = [names]
    names = list(names)
    for name in names:
        if not isinstance(name, str) or not _NAME.match(name):
            raise ValueError("not a shell variable name: %r" % (name,))
    if not isinstance(value, str):
        raise TypeError("value must be text, not %r" % (value,))
    if any(c in value for c in "\n\r\0"):
        raise ValueError("value must not contain line breaks or NUL characters")

    path = Path(os.path.realpath(str(Path.home() / ".bashrc")))
    try:
        # surrogateescape keeps bytes that are not UTF-8 exactly as they were.
        with open(str(path), "r", encoding="utf-8", errors="surrogateescape", newline="") as f:
            lines = f.read().splitlines(True)
        mode = path.stat().st_mode & 0o7777
    except FileNotFoundError:
        lines, mode = [], 0o600

    pending = dict.fromkeys(names)
    patterns = {name: re.compile(r"(\s*)export\s+%s=" % name) for name in pending}
    for i, line in enumerate(lines):
        for name, pattern in patterns.items():
            m = pattern.match(line)
            if m:
                body = line.rstrip("\r\n")
                lines[i] = m.group(1) + _export_line(name, value) + line[len(body):]
                pending.pop(name, None)
                break
    if pending and lines and not lines[-1].endswith(("\n", "\r")):
        lines[-1] += "\n"
    lines.extend(_export_line(name, value) + "\n" for name in pending)

    fd, tmp = tempfile.mkstemp(dir=str(path.parent), prefix=".bashrc.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape", newline="") as f:
            f.write("".join(lines))
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, mode)
        os.replace(tmp, str(path))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _sync_directory(path.parent)


def _sync_directory(directory):
    # Makes the rename itself durable; directories cannot be opened on Windows.
    if not hasattr(os, "O_DIRECTORY"):
        return
    try:
        fd = os.open(str(directory), os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
