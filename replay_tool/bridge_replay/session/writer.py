"""Writing a session file: the header, then whole lines; gzip as one member
per flush (zstd as one frame), so that what was flushed reads back whatever
happens later."""

import errno
import os
import sys
import zlib

from bridge_replay.optional import import_optional


class FileVanished(OSError):
    """The file being written no longer has a name: it, or its folder, was removed."""


class SessionWriter:
    """Writes a session: the header first, then lines in the order given.
    A path ending in ".gz" is compressed reproducibly (no time or name in the
    gzip header), one ending in ".zst" with zstd (the ``[zstd]`` extra; with
    checksums). ``flush()`` ends a gzip member or a zstd frame, so whatever
    was flushed reads back even if the process dies later.

    A flush that fails (disk full, file size limit) cuts the file back to
    what earlier flushes wrote, so it still ends in a whole line; the lines
    of that flush are gone and the error is raised. A later flush may try
    again. A flush also raises ``FileVanished`` once the file has been
    removed, which would otherwise go unnoticed to the end."""

    def __init__(self, path, header, encoder, compresslevel=6):
        self.path = str(path)
        self._zstd = None
        if self.path.endswith(".zst"):
            zstandard = import_optional("zstandard", "zstd", "writing a .zst session")
            # A frame per flush holds its size and checksum: a damaged one is told.
            self._zstd = zstandard.ZstdCompressor(level=compresslevel, write_checksum=True)
        # Unbuffered: a failed write must not leave bytes behind that a later
        # flush or close tries to write again.
        self._raw = sys.stdout.buffer if self.path == "-" else open(self.path, "wb", buffering=0)
        self._fd = None if self.path == "-" else self._raw.fileno()
        self._good = 0  # bytes of the file that whole flushes wrote
        self._gz = self.path.endswith(".gz")
        self._level = compresslevel
        # Whole lines since the last flush; the recorder's writer appends to it
        # directly, and it goes to the compressor without another copy.
        self.pending = bytearray()
        self.encoder = encoder
        self.write_line(header.to_json(encoder).encode("utf-8"))
        try:
            self.flush()
        except BaseException:
            self._close_raw()
            raise

    def write_line(self, data):
        self.pending += data
        self.pending.append(10)

    def write_block(self, data):
        """Whole lines, each ending with a line break."""
        self.pending += data

    def flush(self):
        if self._raw is None:
            return
        # Looked at before writing: what a flush wrote while the file still had
        # its name was written, and only what comes after it is lost.
        if self._fd is not None and os.fstat(self._fd).st_nlink == 0:
            raise FileVanished(errno.ENOENT, "the file (or its folder) was removed while "
                               "being written", self.path)
        if self.pending:
            data, self.pending = self.pending, bytearray()
            if self._gz:
                c = zlib.compressobj(self._level, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
                data = c.compress(data) + c.flush()
            elif self._zstd is not None:
                data = self._zstd.compress(data)
            if self._fd is None:
                self._raw.write(data)
                self._raw.flush()
                return
            try:
                view = memoryview(data)
                while view:
                    n = self._raw.write(view)
                    if not n:
                        raise OSError(errno.EIO, "the file took no more bytes", self.path)
                    view = view[n:]
            except BaseException:
                try:
                    os.ftruncate(self._fd, self._good)
                    os.lseek(self._fd, self._good, os.SEEK_SET)
                except OSError:
                    pass
                raise
            self._good += len(data)

    def close(self):
        """Flush what is left and close the file; the file is closed even if
        that flush fails (the error is then raised)."""
        if self._raw is None:
            return
        try:
            self.flush()
        finally:
            self._close_raw()

    def _close_raw(self):
        raw, self._raw, self._fd = self._raw, None, None
        if raw is not None and raw is not sys.stdout.buffer:
            raw.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
