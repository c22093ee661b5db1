"""Shared fixtures: the bridge module, a clean slate before every test, and
helpers to drain the event queue and to build gateway records."""
import subprocess
import sys
import textwrap

import pytest

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


@pytest.fixture(autouse=True)
def clean_bridge():
    """Every test starts with empty containers and an empty queue; module
    bindings a test rebinds are restored by monkeypatch."""
    drain()
    for name in CONTAINERS:
        getattr(maviro, name).clear()
    yield
    drain()
    for name in CONTAINERS:
        getattr(maviro, name).clear()
