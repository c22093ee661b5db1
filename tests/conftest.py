"""A clean slate before every test: empty containers and an empty queue."""
import pytest

from korvane.orvik.utils import maviro
# Re-exported: test modules written before tests/support import them from here.
from support.bridge import CONTAINERS, drain, run_python  # noqa: F401


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
