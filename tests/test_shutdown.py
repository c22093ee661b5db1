"""An SDK thread still calling callbacks while the interpreter exits must not
bring the process down: exit code 0 and no fatal error, at whatever moment the
exit meets the thread."""
import pytest

from support.bridge import run_python

PROGRAM = r"""
import sys, threading, time
sys.path.insert(0, sys.argv[1])
from support import callbacks as cb
from korvane.orvik.utils import maviro

cb.Environment.get_instance().universe[:] = ["x"]
mode, delay = sys.argv[2], float(sys.argv[3])
bridge = cb.bridge()
calls = [(getattr(bridge, c.method), c.args()) for c in cb.CASES]
started = threading.Event()

if mode == "inside_host_code":
    # The thread is in host code, called from the bridge, when the exit comes.
    maviro.TickObject = lambda *a: time.sleep(0.05)

def sdk():
    started.set()
    while True:
        for fn, args in calls:
            cb.prepare(cb.BY_ID["order_filled"])
            try:
                fn(*args)
            except Exception:
                pass
        if mode == "switching":
            bridge.on_switch_day()

for _ in range(2):
    threading.Thread(target=sdk, daemon=True).start()
started.wait()
sys.setswitchinterval(1e-6)
time.sleep(delay)
while len(maviro.event_queue) and mode == "draining":
    maviro.event_queue.popleft()
print("exiting", len(maviro.event_queue) >= 0)
"""


@pytest.mark.parametrize("mode", ["calling", "switching", "draining", "inside_host_code"])
@pytest.mark.parametrize("delay", [0.0, 0.01, 0.1])
def test_exit_with_an_sdk_thread_still_calling(mode, delay, request):
    """Three runs each: the moment the exit meets the threads varies."""
    tests_dir = str(request.config.rootpath / "tests")
    for _ in range(3):
        proc = run_python(PROGRAM, tests_dir, mode, str(delay), check=False)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        assert "Fatal Python error" not in proc.stderr and "exiting True" in proc.stdout
