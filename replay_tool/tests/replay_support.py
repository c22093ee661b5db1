"""Shared fixture and helpers of the tool's tests (not a conftest: the bridge's tests
import theirs by the name "conftest")."""
import gzip
import os
import signal
import subprocess
import sys

import pytest

from bridge_replay.generate import generate
from bridge_replay.hosts.stand_in import StandInHost


@pytest.fixture(scope="session")
def small_day(tmp_path_factory):
    path = tmp_path_factory.mktemp("replay") / "small.jsonl.gz"
    generate(str(path), instruments=4, hours=0.2, orders=24, snapshot_interval=15,
             l2_per_minute=3)
    return path


def lines_of(path):
    """A plain, gzip- or zstd-compressed session's lines (every member or frame)."""
    with open(str(path), "rb") as f:
        data = f.read()
    if data[:4] == b"\x28\xb5\x2f\xfd":
        zstandard = pytest.importorskip("zstandard")
        data = zstandard.ZstdDecompressor().stream_reader(data, read_across_frames=True).read()
    elif data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.decode("utf-8").splitlines()


def write_lines(path, lines, compress=False):
    data = ("\n".join(lines) + "\n").encode("utf-8")
    path.write_bytes(gzip.compress(data) if compress else data)
    return path


def run_tool(*args, input=None, timeout=120, env=None, cwd=None):
    """The command line in a fresh interpreter (the bridge initialises once per process)."""
    return subprocess.run([sys.executable, "-m", "bridge_replay", *map(str, args)],
                          input=input, capture_output=True, timeout=timeout,
                          env=dict(os.environ, **(env or {})), cwd=cwd)


class FailingHost(StandInHost):
    """A host whose event loop gives up at the 50th event: a session that fails part-way."""

    def __init__(self):
        self.seen = 0

    def describe_event(self, event):
        self.seen += 1
        if self.seen == 50:
            self.fail()
        return super().describe_event(event)

    def fail(self):
        raise RuntimeError("the host gave up")


class KilledHost(FailingHost):
    """The process is killed there instead, as the kernel's OOM killer would."""

    def fail(self):
        os.kill(os.getpid(), signal.SIGKILL)


class KilledHostWithoutTmpfile(KilledHost):
    """The same on a file system that cannot make unnamed files (NFS)."""

    def __init__(self):
        super().__init__()
        os.__dict__.pop("O_TMPFILE", None)


class StuckHostWithoutTmpfile(KilledHostWithoutTmpfile):
    """A host loop that hangs at the 50th event, its log a named partial file."""

    def fail(self):
        import time
        time.sleep(300)


def drain_bridge_queue():
    """Empties what a failed host loop left in the bridge's queue (the player
    empties it at its next start; tests that look at it must not see it)."""
    from korvane.orvik.utils import maviro
    while len(maviro.event_queue):
        maviro.event_queue.popleft()
