"""Small helpers around the bridge module: its containers, draining the event
queue, a fresh interpreter, a cheap timestamp converter."""
import datetime
import subprocess
import sys
import textwrap

from korvane.orvik.utils import maviro

CONTAINERS = ("mach_params", "history_bar", "history_tick", "orders_dict",
              "algo_parent_orders", "algo_child_orders", "algo_child_trades")


def drain(queue=None):
    """Take every waiting event off the queue, oldest first."""
    queue = maviro.event_queue if queue is None else queue
    out = []
    while len(queue):
        out.append(queue.popleft())
    return out


def run_python(code, *args, check=True):
    """Run code in a fresh interpreter (the module initialises once per process)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args],
                          capture_output=True, text=True, timeout=120)
    if check:
        assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


def fast_converter(stamp):
    """Stands in for the host's converter where its exact arithmetic would
    dominate a long run: the bridge only passes the result on, and this still
    makes a new object per call."""
    return datetime.datetime(2026, 3, 2, 9, 30, int(stamp) % 60)
