"""Sessions as Parquet: every record equals its row, days read as one dataset,
damaged input reported as a replay reports it, no mixing of sessions."""
import datetime as dt
import gzip
import json
import os
from fractions import Fraction

import pytest

from replay_support import drain_bridge_queue, lines_of, run_tool, write_lines

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ds = pytest.importorskip("pyarrow.dataset")

from bridge_replay.export import export_session  # noqa: E402
from bridge_replay.export.kinds import DECLARED, HOST_ORDER, KIND_OF, STAMP  # noqa: E402
from bridge_replay.generate import Generator  # noqa: E402
from bridge_replay.player import default_session  # noqa: E402
from bridge_replay.session.codec import Enumerations, Other  # noqa: E402
from bridge_replay.session.entries import Entry, HostOrder  # noqa: E402
from bridge_replay.session.reader import SessionReader  # noqa: E402
from korvane.orvik.utils.datetime_func import convert_int_to_datetime  # noqa: E402


def _day(path, day, seed=1):
    Generator(instruments=3, hours=0.1, orders=12, snapshot_interval=20, l2_per_minute=2,
              seed=seed, day=day).write(str(path))
    return path


@pytest.fixture(scope="module")
def sessions(tmp_path_factory):
    """The generator's day (object lines), a recording of its replay (rows,
    receive times, host order lines), and a version 1 file: every rarer
    callback of the bundled day and a slice of its market data."""
    from bridge_replay.player import replay
    d = tmp_path_factory.mktemp("sessions")
    lines = lines_of(default_session())
    common = ("on_snapshot", "on_tick_order", "on_tick_trade", "on_bar")
    body = [line for i, line in enumerate(lines[1:]) if i % 50 == 0
            or not any('"cb":"%s"' % cb in line for cb in common)]
    # a snapshot with one attribute more than usual, which takes the general way
    i = next(i for i, line in enumerate(body) if '"on_snapshot"' in line)
    body[i] = body[i].replace('"rec":{', '"rec":{"halted":true,', 1)
    day = _day(d / "day.jsonl.gz", dt.date(2024, 3, 15))
    replay(str(day), record=str(d / "rows.jsonl.gz"))
    return {"objects": day, "rows": d / "rows.jsonl.gz",
            "v1": write_lines(d / "v1.jsonl", lines[:1] + body)}


def _read_back(out):
    """{kind: {line: row}} of everything exported into ``out``."""
    got = {}
    for kind in os.listdir(out):
        table = ds.dataset(os.path.join(out, kind), format="parquet",
                           partitioning="hive").to_table()
        rows = table.to_pylist()
        ns = table["recv"].cast(pa.int64()).to_pylist()
        for row, recv_ns in zip(rows, ns):
            row["recv_ns"] = recv_ns
        kind = kind[len("kind="):]
        # header orders all come from line 1: told apart by their id
        second = "client_order_id" if kind == HOST_ORDER else "position"
        got.setdefault(kind, {}).update(((r["line"], r.get(second)), r) for r in rows)
    return got


def _expected(path):
    """What the session reader makes of each record: (kind, key, t, recv, attrs)."""
    with SessionReader(str(path), Enumerations()) as reader:
        for o in reader.header.orders:
            yield HOST_ORDER, (1, o.client_order_id), o.t, None, dict(o.attrs,
                                                         client_order_id=o.client_order_id)
        for item in reader.entries():
            if isinstance(item, HostOrder):
                yield HOST_ORDER, (item.lineno, item.client_order_id), item.t, None, dict(
                    item.attrs, client_order_id=item.client_order_id)
            elif isinstance(item, Entry):
                kind = KIND_OF[item.cb]
                if item.cb == "on_query_position":
                    for i, p in enumerate(item.call[0]):
                        yield kind, (item.lineno, i), item.t, item.recv, vars(p)
                elif item.call:
                    yield kind, (item.lineno, None), item.t, item.recv, vars(item.call[0])
                else:
                    yield kind, (item.lineno, None), item.t, item.recv, {}


@pytest.mark.parametrize("which, chunk", [("objects", 100_000), ("rows", 97), ("v1", 100_000)])
def test_every_record_equals_its_row(sessions, tmp_path, which, chunk):
    result = export_session(str(sessions[which]), str(tmp_path), chunk=chunk)
    assert result["exit_status"] == 0 and not result["skipped"]
    got = _read_back(tmp_path)
    seen = 0
    for kind, key, t, recv, attrs in _expected(sessions[which]):
        row = got[kind].pop(key)
        assert row["t"] == t and row["day"] == "2024-03-15"
        assert row["recv_ns"] == (None if recv is None else round(Fraction(recv) * 10 ** 9))
        for name, value in attrs.items():
            if type(value) is Other:  # a value no platform need have: its text
                value = value.text
            assert row[name] == value and type(row[name]) is type(value), (kind, key, name)
            if DECLARED[kind].get(name) == STAMP:
                assert row[name + "_dt"] == convert_int_to_datetime(value / 1000)
        seen += 1
    assert seen > 100 and not any(got.values())  # nothing more was exported
    if which == "rows":
        assert all(r["recv_ns"] for r in _read_back(tmp_path)["snapshot"].values())
    assert set(got) == set(DECLARED)  # every kind


def test_columns_are_typed_and_the_header_is_in_the_metadata(sessions, tmp_path):
    export_session(str(sessions["objects"]), str(tmp_path))
    path = tmp_path / "kind=order" / "day=2024-03-15" / "part-0.parquet"
    schema = pq.read_schema(str(path))
    types = {f.name: str(f.type) for f in schema}
    assert types["recv"] == "timestamp[ns, tz=UTC]" and types["t"] == "timestamp[us]"
    assert types["order_status"] == "dictionary<values=string, indices=int32, ordered=0>"
    assert (types["order_price"], types["order_qty"], types["security_id"]) == (
        "double", "int64", "string")
    snap = {f.name: str(f.type) for f in pq.read_schema(
        str(tmp_path / "kind=snapshot" / "day=2024-03-15" / "part-0.parquet"))}
    assert (snap["orig_time"], snap["orig_time_dt"]) == ("int64", "timestamp[ms]")
    assert snap["ask_price"].endswith(": double>") and snap["bid_volume"].endswith(": int64>")
    header = json.loads(schema.metadata[b"bridge_replay.header"])
    assert header["version"] == 2 and len(header["universe"]) == 3
    assert header["config"]["accounts"] == {"stock": "acct_sim"}
    made = json.loads(schema.metadata[b"bridge_replay.export"])
    assert (made["kind"], made["callback"], made["day"]) == ("order", "on_order", "2024-03-15")


def test_many_days_read_as_one_dataset(tmp_path):
    days = [dt.date(2024, 3, d) for d in (13, 14, 15)]
    for i, day in enumerate(days):
        _day(tmp_path / ("s%d.jsonl.gz" % i), day, seed=i)
    r = run_tool("export", str(tmp_path / "s*.jsonl.gz"), "--to", tmp_path / "out")
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode().count(" rows in ") == 3
    table = ds.dataset(str(tmp_path / "out" / "kind=snapshot"), format="parquet",
                       partitioning="hive").to_table(columns=["day", "t"])
    per_day = {}
    for d, t in zip(table["day"].to_pylist(), table["t"].to_pylist()):
        assert t.date().isoformat() == d
        per_day[d] = per_day.get(d, 0) + 1
    want = {}
    for i, day in enumerate(days):
        with SessionReader(str(tmp_path / ("s%d.jsonl.gz" % i)), Enumerations()) as reader:
            want[day.isoformat()] = sum(1 for e in reader.entries()
                                        if getattr(e, "cb", None) == "on_snapshot")
    assert per_day == want and min(want.values()) > 0


BAD = '{"t":"2024-03-15T09:40:00","cb":"on_bar","rec":{"security_id":"000001"}}'


def _damaged(d, lines):
    """Sessions with one defect each, from a small day's lines."""
    head, body = lines[0], lines[1:]
    n = len(body) // 2
    snap = next(i for i, line in enumerate(body) if '"on_snapshot"' in line and i > n)
    price = json.loads(body[snap])
    price["rec"]["last_price"] = "10.5"
    frac = json.loads(body[snap])
    frac["rec"]["total_volume_trade"] = 1.5
    data = gzip.compress(("\n".join(lines) + "\n").encode())
    files = {
        "malformed": write_lines(d / "bad.jsonl", [head] + body[:n] + [BAD] + body[n:]),
        "text price": write_lines(d / "price.jsonl", [head] + body[:snap] + [
            json.dumps(price)] + body[snap + 1:]),
        "fraction of a volume": write_lines(d / "frac.jsonl", [head] + body[:snap] + [
            json.dumps(frac)] + body[snap + 1:]),
        "time jump": write_lines(d / "jump.jsonl", [head] + body[:n] + [
            '{"t":"2025-01-01T10:00:00.000000","cb":"on_switch_day"}'] + body[n:]),
        "not a session": write_lines(d / "other.jsonl", ['{"format": "something else"}']),
    }
    files["cut gzip"] = d / "cut.jsonl.gz"
    files["cut gzip"].write_bytes(data[:len(data) * 2 // 3])
    # two gzip members, as the recorder's flushes make, the second one damaged
    second = bytearray(gzip.compress(("\n".join(body[n:]) + "\n").encode()))
    second[len(second) // 2:len(second) // 2 + 64] = bytes(64)
    files["damaged gzip"] = d / "broken.jsonl.gz"
    files["damaged gzip"].write_bytes(gzip.compress(("\n".join(lines[:n + 1]) + "\n").encode())
                                      + bytes(second))
    return files, n + 2, snap + 2


@pytest.mark.parametrize("case, status, text, line", [
    ("malformed", 3, "skipped line {bad}: on_bar record lacks", "bad"),
    ("text price", 3, "skipped line {snap}: on_snapshot last_price '10.5' is not a number: "
     "not exported", "snap"),
    ("fraction of a volume", 3, "skipped line {snap}: on_snapshot total_volume_trade 1.5 is "
     "not an integer", "snap"),
    ("time jump", 3, "skipped line {bad}: time 2025-01-01T10:00:00.000000 jumps", "bad"),
    ("cut gzip", 4, "CUT SHORT", None),
    ("damaged gzip", 3, "the compressed data is damaged", None),
    ("not a session", 1, "not a session file", None),
])
def test_damaged_input_exports_what_can_be_read(tmp_path, case, status, text, line):
    src = _day(tmp_path / "src.jsonl.gz", dt.date(2024, 3, 15))
    files, bad, snap = _damaged(tmp_path, lines_of(src))
    out = tmp_path / "out"
    r = run_tool("export", files[case], "--to", out)
    err = r.stderr.decode()
    assert r.returncode == status, err
    assert text.format(bad=bad, snap=snap) in err and err.count("\n") <= 3
    if case == "not a session":
        assert not any(out.iterdir())
        return
    exported = _read_back(out)
    assert exported["snapshot"] and exported["bar"]
    if line is not None:  # the line reported is the one left out
        number = {"bad": bad, "snap": snap}[line]
        assert all((number, None) not in rows for rows in exported.values())
    assert not [p for p in out.iterdir() if p.name.startswith(".")]


def test_mixing_sessions_is_refused_unless_overwrite(tmp_path):
    a = _day(tmp_path / "a.jsonl.gz", dt.date(2024, 3, 15), seed=1)
    b = _day(tmp_path / "b.jsonl.gz", dt.date(2024, 3, 15), seed=2)
    c = _day(tmp_path / "c.jsonl.gz", dt.date(2024, 3, 18), seed=3)
    out = tmp_path / "out"
    assert run_tool("export", a, "--to", out).returncode == 0
    orders = out / "kind=order" / "day=2024-03-15" / "part-0.parquet"
    before = orders.read_bytes()
    for args, text in [([a], "a.jsonl.gz was already exported into"),
                       ([b], "already holds 2024-03-15 from %s" % a),
                       ([c, b], "already holds 2024-03-15"),
                       ([b, tmp_path / "b2.jsonl.gz", "--overwrite"], "are both sessions of")]:
        if len(args) > 1 and "b2" in str(args[1]):
            args[1].write_bytes(b.read_bytes())
        r = run_tool("export", *args, "--to", out)
        assert r.returncode == 2 and text in r.stderr.decode(), r.stderr.decode()
        assert orders.read_bytes() == before
        assert not (out / "kind=order" / "day=2024-03-18").exists()
    # --overwrite replaces the whole day, a kind only the old session had included
    stray = out / "kind=older" / "day=2024-03-15"
    stray.mkdir(parents=True)
    (stray / "part-0.parquet").write_bytes((out / "kind=bar" / "day=2024-03-15" /
                                            "part-0.parquet").read_bytes())
    r = run_tool("export", b, c, "--to", out, "--overwrite")
    assert r.returncode == 0, r.stderr.decode()
    assert orders.read_bytes() != before and not stray.exists()
    meta = json.loads(pq.read_schema(str(orders)).metadata[b"bridge_replay.export"])
    assert meta["session"] == str(b)
    assert (out / "kind=order" / "day=2024-03-18" / "part-0.parquet").exists()


def test_event_log_as_parquet_equals_the_json_lines(tmp_path):
    from bridge_replay.export.events import ParquetEventLog
    from bridge_replay.player import replay
    src = _day(tmp_path / "day.jsonl.gz", dt.date(2024, 3, 15))
    with open(tmp_path / "ev.jsonl", "w") as f:
        replay(str(src), events_out=f)
    log = ParquetEventLog(str(tmp_path / "ev.parquet"), chunk=100)  # several chunks
    replay(str(src), events_out=log)
    log.close()
    table = pq.read_table(str(tmp_path / "ev.parquet"))
    types = {f.name: f.type for f in table.schema}
    rows = table.to_pylist()
    lines = [json.loads(line) for line in (tmp_path / "ev.jsonl").read_text().splitlines()]
    assert len(rows) == len(lines) > 300
    for row, ev in zip(rows, lines):
        assert (row["n"], row["event"]) == (ev["n"], ev["event"])
        for k, v in ev["fields"].items():
            flat = {"%s.%s" % (k, kk): vv for kk, vv in v.items()} if type(v) is dict \
                else {k: v}
            for name, want in flat.items():
                have = row[name]
                if isinstance(have, dt.datetime):
                    have = have.isoformat()
                elif types[name] == pa.string() and type(want) not in (str, type(None)):
                    have = json.loads(have)
                assert have == want, (ev["n"], name)
        if "calendar_dt" in ev["fields"]:
            assert row["time"].isoformat() == ev["fields"]["calendar_dt"]


def test_batch_writes_a_parquet_event_log(tmp_path):
    from bridge_replay.batch import replay_one
    src = _day(tmp_path / "day.jsonl.gz", dt.date(2024, 3, 15))
    row = replay_one(str(src), events_path=str(tmp_path / "day.events.parquet"))
    assert row["status"] == "OK", row
    assert pq.read_metadata(str(tmp_path / "day.events.parquet")).num_rows == row["events"] > 0
    # a session that fails part-way keeps its log under a name no baseline looks up
    row = replay_one(str(src), host="replay_support:FailingHost",
                     events_path=str(tmp_path / "b.events.parquet"))
    drain_bridge_queue()
    assert row["status"] == "FAILED"
    assert pq.read_metadata(str(tmp_path / "b.events.failed.parquet")).num_rows > 0
    assert not (tmp_path / "b.events.parquet").exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".")]
