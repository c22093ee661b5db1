"""Self-contained HTML reports: the charts of one replayed day, or a row per
day for a batch. The plotting library's script is inlined once, so the page
opens without network access."""

import html
import os

from bridge_replay.optional import import_optional
from bridge_replay.paths import stem
from bridge_replay.stats import _percentile

# Plotly's own minimal bar: no logo link, no "edit in cloud" button (both go online).
_CONFIG = {"displaylogo": False, "responsive": True}

# Set before any chart is drawn: a script error shows on the page itself, where
# a browser run (or a person) sees it.
_ERROR_HOOK = """<script>
window.addEventListener("error", function (e) {
  var box = document.getElementById("js-errors");
  box.style.display = "block";
  box.textContent += "script error: " + e.message + "\\n";
});
</script>"""

_STYLE = """<style>
body { font-family: sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; text-align: right; }
th { background: #f2f2f2; } td.l, th.l { text-align: left; }
tr.bad td { background: #fde8e8; }
#js-errors { display: none; color: #b00; white-space: pre; }
.chart { max-width: 1200px; }
</style>"""


class Sampler:
    """Reads the bridge's health counters once per virtual minute (the player
    calls it on the SDK thread), plus the player's callback-to-drain latencies
    noted since the previous sample."""

    def __init__(self, maviro):
        self._stats = maviro.bridge_stats
        self.times = []
        self.events = []      # cumulative posts by type, per sample
        self.depth = []
        self.high_water = []
        self.dropped = []
        self.latency = []     # (p50, p99) in µs of the latencies since the previous sample
        self._seen = 0

    def __call__(self, player, t):
        s = self._stats()
        q = s["queue"]
        self.times.append(t.isoformat(timespec="seconds"))
        self.events.append(dict(s["events"]))
        self.depth.append(q["depth"])
        self.high_water.append(q["high_water"])
        self.dropped.append(q["dropped"])
        new = player.stats.latencies(self._seen)
        self._seen += len(new)
        new = sorted(new.tolist())
        us = lambda v: None if v is None else round(v / 1000.0, 1)  # noqa: E731
        self.latency.append((us(_percentile(new, 0.5)), us(_percentile(new, 0.99))))

    def per_minute(self):
        """{event type: [events posted in each interval]} (the first sample is
        the start, so an interval ends at each later sample)."""
        types = sorted({k for e in self.events for k, v in e.items() if v})
        out = {}
        for k in types:
            cum = [e.get(k, 0) for e in self.events]
            out[k] = [b - a for a, b in zip(cum, cum[1:])]
        return out


def _gapped(x, *series):
    """Breaks lines where no callback came for over two minutes (the lunch break),
    instead of drawing a straight line across it."""
    import datetime as dt
    out_x, out = [], [[] for _ in series]
    prev = None
    for i, t in enumerate(x):
        now = dt.datetime.fromisoformat(t)
        if prev is not None and (now - prev).total_seconds() > 120:
            out_x.append((prev + dt.timedelta(minutes=1)).isoformat(timespec="seconds"))
            for o in out:
                o.append(None)
        prev = now
        out_x.append(t)
        for o, ys in zip(out, series):
            o.append(ys[i])
    return [out_x] + out


def _page(title, body_parts):
    from plotly.offline import get_plotlyjs
    return "\n".join([
        "<!DOCTYPE html>", "<html><head><meta charset=\"utf-8\">",
        "<title>%s</title>" % html.escape(title), _STYLE, _ERROR_HOOK,
        "<script type=\"text/javascript\">%s</script>" % get_plotlyjs(),
        "</head><body>", "<h1>%s</h1>" % html.escape(title),
        "<div id=\"js-errors\"></div>"] + body_parts + ["</body></html>", ""])


def _chart(fig, height=360):
    fig.update_layout(height=height, margin=dict(l=60, r=30, t=50, b=40),
                      template="plotly_white", legend=dict(orientation="h"))
    return "<div class=\"chart\">%s</div>" % fig.to_html(full_html=False,
                                                         include_plotlyjs=False,
                                                         config=_CONFIG)


def _table(head, rows, bad=()):
    out = ["<table><tr>%s</tr>" % "".join(
        "<th class=\"l\">%s</th>" % html.escape(h) if i == 0 else "<th>%s</th>" % html.escape(h)
        for i, h in enumerate(head))]
    for i, r in enumerate(rows):
        out.append("<tr%s>%s</tr>" % (" class=\"bad\"" if i in bad else "", "".join(
            "<td class=\"l\">%s</td>" % html.escape(str(v)) if j == 0 or isinstance(v, str)
            and not v.replace(",", "").replace(".", "").isdigit()
            else "<td>%s</td>" % html.escape(str(v)) for j, v in enumerate(r))))
    out.append("</table>")
    return "\n".join(out)


def _n(v):
    return "-" if v is None else "{:,}".format(v)


def session_page(summary, sampler):
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    x = sampler.times[1:]
    parts = []
    e, tp, lat = summary["events"], summary["throughput"], summary["latency_us"]
    parts.append(_table(["figure", "value"], [
        ("virtual time", "%s -> %s" % (summary["virtual_time"]["start"][:19],
                                       summary["virtual_time"]["end"][:19])),
        ("callbacks", _n(summary["callbacks_total"])),
        ("callback errors", _n(summary["callback_errors"]["count"])),
        ("lines skipped", _n(summary["skipped_lines"]["count"])),
        ("events posted / drained", "%s / %s" % (_n(e["posted_total"]), _n(e["drained_total"]))),
        ("queue drops", _n(sampler.dropped[-1] if sampler.dropped else None)),
        ("throughput (callbacks/s)", _n(tp["callbacks_per_second"])),
        ("latency p50 / p99 / max (µs)", "%s / %s / %s" % (lat["p50"], lat["p99"], lat["max"])),
    ]))

    fig = go.Figure()
    for k, ys in sampler.per_minute().items():
        fig.add_trace(go.Bar(x=x, y=ys, name=k))
    fig.update_layout(barmode="stack", title="Events per minute by type",
                      yaxis_title="events")
    parts.append(_chart(fig))

    gx, depth, high = _gapped(x, sampler.depth[1:], sampler.high_water[1:])
    fig = make_subplots(specs=[[{"secondary_y": True}]])
    fig.add_trace(go.Scatter(x=gx, y=depth, name="queue depth", mode="lines"))
    fig.add_trace(go.Scatter(x=gx, y=high, name="high-water mark",
                             mode="lines", line=dict(dash="dot")))
    drops = [b - a for a, b in zip(sampler.dropped, sampler.dropped[1:])] \
        if None not in sampler.dropped else []
    fig.add_trace(go.Bar(x=x, y=drops, name="drops per minute", opacity=0.6),
                  secondary_y=True)
    fig.update_layout(title="Event queue: depth and drops")
    fig.update_yaxes(title_text="events in the queue", secondary_y=False)
    fig.update_yaxes(title_text="dropped", secondary_y=True, range=[0, max(drops + [1])],
                     tickmode="auto", showgrid=False)
    parts.append(_chart(fig))

    gx, p50, p99 = _gapped(x, *zip(*sampler.latency[1:])) if x else ([], [], [])
    fig = go.Figure()
    for ys, name in ((p50, "p50"), (p99, "p99")):
        fig.add_trace(go.Scatter(x=gx, y=ys, name=name, mode="lines", connectgaps=False))
    fig.update_layout(title="Callback start to host drain, per minute", yaxis_title="µs",
                      yaxis_type="log")
    parts.append(_chart(fig))

    st = summary["host_orders"]["by_final_status"]
    fig = go.Figure(go.Bar(x=[k.rpartition(".")[2] for k in st], y=list(st.values()),
                           text=list(st.values()), textposition="auto"))
    fig.update_layout(title="Host orders by final status", yaxis_title="orders")
    parts.append(_chart(fig, 300))
    return parts


def write_session_report(path, summary, sampler):
    import_optional("plotly", "report", "an HTML report")
    title = "Replay of %s (%s)" % (summary["session"].rpartition("/")[2],
                                   summary["virtual_time"]["start"][:10])
    _write(path, _page(title, session_page(summary, sampler)))


def write_batch_report(path, rows):
    import_optional("plotly", "report", "an HTML report")
    import plotly.graph_objects as go
    from plotly.subplots import make_subplots

    names = ["%s %s" % (r.get("trading_day") or "-", stem(r["session"])) for r in rows]
    table = [(names[i], r["status"], _n(r.get("callbacks")), _n(r.get("events")),
              _n(r.get("dropped")), _n(r.get("callback_errors")), _n(r.get("throughput")),
              "-" if r.get("p99_us") is None else "%.1f" % r["p99_us"],
              ", ".join("%s %d" % (k.rpartition(".")[2], v)
                        for k, v in (r.get("orders") or {}).items()) or "-",
              r.get("error") or (r.get("baseline") if r.get("baseline") != "same" else "") or "")
             for i, r in enumerate(rows)]
    bad = {i for i, r in enumerate(rows) if r.get("exit_status") != 0}
    fig = make_subplots(specs=[[{"secondary_y": True}]])
    fig.add_trace(go.Bar(x=names, y=[r.get("throughput") for r in rows],
                         name="throughput (callbacks/s)"))
    fig.add_trace(go.Scatter(x=names, y=[r.get("dropped") for r in rows], name="dropped events",
                             mode="lines+markers"), secondary_y=True)
    fig.update_layout(title="Throughput and drops across days")
    fig.update_yaxes(title_text="callbacks/s", secondary_y=False)
    fig.update_yaxes(title_text="dropped", secondary_y=True,
                     range=[0, max([r.get("dropped") or 0 for r in rows] + [1])])
    parts = [_table(["day / session", "status", "callbacks", "events", "dropped", "errors",
                     "callbacks/s", "p99 µs", "orders by final status", "note"], table, bad),
             _chart(fig, 420)]
    _write(path, _page("Batch replay: %d sessions" % len(rows), parts))


def _write(path, text):
    # Written whole then renamed: an interrupted run never leaves half a page.
    tmp = path + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)
