"""The Prometheus exposition, read back through a real scrape."""
import datetime
import urllib.request

import pytest

from korvane.orvik.utils import maviro

prometheus_client = pytest.importorskip("prometheus_client")
from prometheus_client.parser import text_string_to_metric_families  # noqa: E402

from bridge_replay.metrics import serve_metrics  # noqa: E402


def _scrape(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as r:
        text = r.read().decode("utf-8")
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}, text


@pytest.fixture
def served():
    server, thread = serve_metrics(maviro, 0)
    try:
        yield server.server_port
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("timing", [False, True])
def test_scrape_reads_back_the_counters(served, timing):
    was = maviro.set_bridge_timing(timing)
    try:
        maviro.reset_bridge_stats()
        strategy = object.__new__(maviro.MachStrategy)
        for _ in range(2):
            strategy.send_day_event(maviro.EVENT.BEFORE_TRADING, datetime.datetime(2024, 3, 15))
        maviro.event_queue.popleft()
        values, text = _scrape(served)
    finally:
        maviro.set_bridge_timing(was)
        while len(maviro.event_queue):
            maviro.event_queue.popleft()
    assert values[("bridge_callback_calls_total", (("method", "send_day_event"),))] == 2
    assert values[("bridge_callback_errors_total", (("method", "send_day_event"),))] == 0
    assert values[("bridge_events_posted_total", (("type", "BEFORE_TRADING"),))] == 2
    assert values[("bridge_queue_appended_total", ())] == 2
    assert values[("bridge_queue_dropped_total", ())] == 0
    assert values[("bridge_queue_depth", ())] == 1
    assert values[("bridge_queue_high_water", ())] == 2
    assert values[("bridge_queue_capacity", ())] == 1_000_000
    assert "# TYPE bridge_queue_depth gauge" in text
    latency = {k: v for k, v in values.items() if k[0].startswith("bridge_callback_latency")}
    if not timing:
        assert not latency
        return
    assert latency[("bridge_callback_latency_seconds_count", (("method", "send_day_event"),))] == 2
    p50 = latency[("bridge_callback_latency_seconds",
                   (("method", "send_day_event"), ("quantile", "0.5")))]
    peak = latency[("bridge_callback_latency_max_seconds", (("method", "send_day_event"),))]
    assert 0 < p50 <= peak < 1
    assert "# TYPE bridge_callback_latency_seconds summary" in text
