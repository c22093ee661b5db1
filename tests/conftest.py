"""A clean slate before every test (empty containers and an empty queue) and
the strategy most tests call."""
import pytest

from korvane.orvik.utils import maviro
from support import callbacks as cb
from support.bridge import CONTAINERS, drain


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


@pytest.fixture
def bridge():
    """A strategy in its post-construction state, without the SDK start-up,
    and no log lines kept from earlier tests."""
    cb.reset_logs()
    return cb.bridge()
