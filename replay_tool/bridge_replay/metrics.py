"""The bridge's health counters for a Prometheus scraper (needs prometheus_client).

    from bridge_replay.metrics import serve_metrics
    server, thread = serve_metrics(maviro, 9464)      # http://127.0.0.1:9464/metrics

Each scrape reads one ``bridge_stats()`` snapshot, so the figures of a scrape
agree with each other.
"""

from prometheus_client import CollectorRegistry, start_http_server
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric

PREFIX = "bridge"


class BridgeCollector:
    """A prometheus_client collector over ``maviro.bridge_stats()``."""

    def __init__(self, maviro, prefix=PREFIX):
        self._maviro = maviro
        self._p = prefix

    def describe(self):
        # Which families appear depends on the bridge's state (latency, a host's
        # own queue), so none is announced in advance.
        return []

    def collect(self):
        p = self._p
        s = self._maviro.bridge_stats()

        calls = CounterMetricFamily(p + "_callback_calls", "MachStrategy method calls.",
                                    labels=["method"])
        errors = CounterMetricFamily(p + "_callback_errors", "MachStrategy method calls that "
                                     "raised.", labels=["method"])
        for name, c in sorted(s["callbacks"].items()):
            calls.add_metric([name], c["calls"])
            errors.add_metric([name], c["errors"])
        yield calls
        yield errors

        events = CounterMetricFamily(p + "_events_posted", "Events the bridge posted, by EVENT "
                                     "member.", labels=["type"])
        for name, n in sorted(s["events"].items()):
            events.add_metric([name], n)
        yield events

        orders = CounterMetricFamily(p + "_order_reports", "Order reports by outcome.",
                                     labels=["outcome"])
        for name, n in sorted(s["orders"].items()):
            orders.add_metric([name], n)
        yield orders

        q = s["queue"]
        # None: a host bound its own queue object, whose figures the bridge does not read.
        for key, kind, text in (
                ("appended", CounterMetricFamily, "Events appended to the event queue."),
                ("dropped", CounterMetricFamily, "Events the full event queue dropped (the "
                 "oldest)."),
                ("depth", GaugeMetricFamily, "Events waiting in the event queue."),
                ("high_water", GaugeMetricFamily, "Highest event queue depth since the last "
                 "reset."),
                ("capacity", GaugeMetricFamily, "Capacity of the event queue.")):
            if q.get(key) is not None:
                yield kind("%s_queue_%s" % (p, key), text, value=q[key])

        lat = s.get("latency_ns")
        if lat:
            yield from self._latency(lat)

    def _latency(self, lat):
        # A summary, not a histogram: the bridge hands out percentiles read from
        # its own log-linear histogram, not per-bucket counts, and a Prometheus
        # histogram built from them would invent its bucket counts. The quantiles
        # cover every call since the last reset (not a sliding window); the bridge
        # keeps no sum of times, so there is no _sum sample rather than a made-up one.
        p = self._p
        summary = Metric(p + "_callback_latency_seconds", "Wall time of MachStrategy method "
                         "calls since the last reset (needs set_bridge_timing(True)).", "summary")
        peak = GaugeMetricFamily(p + "_callback_latency_max_seconds", "Longest MachStrategy "
                                 "method call since the last reset.", labels=["method"])
        name = p + "_callback_latency_seconds"
        for method, m in sorted(lat.items()):
            if not m["count"]:
                continue
            for q, key in (("0.5", "p50"), ("0.9", "p90"), ("0.99", "p99"), ("0.999", "p999")):
                summary.add_sample(name, {"method": method, "quantile": q}, m[key] / 1e9)
            summary.add_sample(name + "_count", {"method": method}, m["count"])
            peak.add_metric([method], m["max"] / 1e9)
        yield summary
        yield peak


def serve_metrics(maviro, port, addr="127.0.0.1", registry=None):
    """Serve the bridge's counters at http://ADDR:PORT/metrics from a daemon thread.

    Port 0 picks a free port (``server.server_port``). Returns (server, thread);
    ``server.shutdown()`` stops it."""
    if registry is None:
        registry = CollectorRegistry()
    registry.register(BridgeCollector(maviro))
    return start_http_server(port, addr=addr, registry=registry)
