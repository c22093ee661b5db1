"""Writing a session file: the header, then whole lines; gzip as one member
per flush, so that what was flushed reads back whatever happens later."""

import sys
import zlib


class SessionWriter:
    """Writes a session: the header first, then lines in the order given.
    A path ending in ".gz" is compressed reproducibly (no time or name in the
    gzip header). ``flush()`` ends a gzip member, so whatever was flushed
    reads back even if the process dies later."""

    def __init__(self, path, header, encoder, compresslevel=6):
        self.path = str(path)
        self._raw = sys.stdout.buffer if self.path == "-" else open(self.path, "wb")
        self._gz = self.path.endswith(".gz")
        self._level = compresslevel
        self._pending = []
        self.encoder = encoder
        self.write_line(header.to_json(encoder).encode("utf-8"))
        self.flush()

    def write_line(self, data):
        self._pending.append(data + b"\n")

    def write_block(self, data):
        """Whole lines, each ending with a line break."""
        self._pending.append(data)

    def flush(self):
        if not self._pending:
            return
        data = b"".join(self._pending)
        self._pending = []
        if self._gz:
            c = zlib.compressobj(self._level, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
            data = c.compress(data) + c.flush()
        self._raw.write(data)
        self._raw.flush()

    def close(self):
        if self._raw is None:
            return
        self.flush()
        if self._raw is not sys.stdout.buffer:
            self._raw.close()
        self._raw = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
