"""The production recorder: what it writes replays to the same events, a
killed recorder leaves a readable file, a full buffer is reported."""
import datetime
import enum
import errno
import io
import json
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
import types

import pytest
from hypothesis import given, settings, strategies as st

from bridge_replay import replay
from bridge_replay.session.codec import Enumerations
from bridge_replay.session.encoder import Encoder
from bridge_replay.session.lines import EntryDecoder
from bridge_replay.session.schema import LineError
from bridge_replay.hosts.stand_in import StandInHost
from bridge_replay.recorder import recording_class
from bridge_replay.summary import format_summary, outcome
from replay_support import lines_of, run_tool, small_day  # noqa: F401


def test_record_then_replay_gives_identical_event_logs(small_day, tmp_path):
    recorded = tmp_path / "recorded.jsonl.gz"
    first, second = io.StringIO(), io.StringIO()
    s1 = replay(str(small_day), record=str(recorded), events_out=first)
    s2 = replay(str(recorded), events_out=second)
    assert first.getvalue() == second.getvalue() and s1["events"]["drained_total"] > 0
    assert s2["callbacks"] == s1["callbacks"] and s2["cut"] is None
    assert s2["host_orders"]["submitted"] == s1["host_orders"]["submitted"]


@pytest.mark.parametrize("suffix", [".jsonl.gz", ".jsonl"])
def test_a_recorder_killed_mid_session_leaves_a_readable_file(small_day, tmp_path, suffix):
    out = tmp_path / ("killed" + suffix)
    proc = subprocess.Popen([sys.executable, "-m", "bridge_replay", "replay", str(small_day),
                             "--speed", "4000", "--record", str(out)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3.0)
    assert proc.poll() is None
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=30)
    again = run_tool("replay", out)
    text = (again.stdout + again.stderr).decode()
    assert again.returncode == 4, text
    assert "CUT SHORT" in text
    played = int(text.split("Callbacks played: ")[1].split()[0].replace(",", ""))
    assert 0 < played < sum(1 for l in lines_of(small_day) if '"cb":"on_' in l)


class UniverseHost(StandInHost):
    def universe(self):
        return ["000001.XSHE"]


@pytest.mark.parametrize("host", [UniverseHost(), "test_recorder:UniverseHost"])
def test_the_host_given_to_a_recording_is_the_one_it_uses(tmp_path, host):
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    out = tmp_path / "today.jsonl.gz"
    strategy = recording_class()(config, out=str(out), host=host)
    strategy.close_recording()
    lines = lines_of(out)
    # The adapter given wrote the header's universe.
    assert json.loads(lines[0])["universe"] == ["000001.XSHE"]
    assert json.loads(lines[-1])["cb"] == "$end"


def test_a_full_buffer_is_counted_and_reported(tmp_path, capfd):
    Recording = recording_class()
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    out = tmp_path / "full.jsonl"
    strategy = Recording(config, out=str(out), buffer_size=10, flush_interval=5)
    for _ in range(100):
        strategy.on_switch_day()
    strategy.close_recording()
    assert strategy._recorder.dropped == 90
    assert "90 callbacks were not recorded" in capfd.readouterr().err
    s = replay(str(out))
    assert s["recording_dropped"] == 90 and s["callbacks"] == {"on_switch_day": 10}


class UnreadableOrders(StandInHost):
    def order_attrs(self, order):
        raise RuntimeError("no attributes here")


def test_host_orders_the_adapter_cannot_read_do_not_fail_the_callback(tmp_path, capfd):
    from korvane.orvik.utils import maviro
    out = tmp_path / "orders.jsonl"
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    strategy = recording_class()(config, out=str(out), host=UnreadableOrders())
    maviro.orders_dict.update({1: object(), 2: object()})
    strategy.on_switch_day()  # the recorder finds the orders first; the day switch drops them
    strategy.close_recording()
    err = capfd.readouterr().err
    assert err.count("is not recorded") == 1 and "no attributes here" in err
    assert replay(str(out))["callbacks"] == {"on_switch_day": 1}


def test_no_memory_for_a_capture_is_a_missed_callback_not_the_sdks_failure(tmp_path):
    """Each of the capture's first allocations fails in turn: the callback
    still returns, and what could not be captured is counted."""
    _testcapi = pytest.importorskip("_testcapi")
    from bridge_replay import recorder
    from korvane.orvik.utils import maviro
    if recorder._capture is None:
        pytest.skip("the tool's C parts are not built")
    quiet = type("Quiet", (maviro.MachStrategy,), {"on_trade": lambda self, rec: None})
    strategy = recording_class(quiet)(None, out=str(tmp_path / "s.jsonl"),
                                      flush_interval=3600)
    rec = DictTrade(client_order_id="A", price=1.5)
    strategy.on_trade(rec)
    for k in range(12):
        _testcapi.set_nomemory(k, k + 1)
        try:
            strategy.on_trade(rec)
        finally:
            _testcapi.remove_mem_hooks()
    assert strategy._recorder.missed >= 1
    strategy.close_recording()


class Served:
    """A record whose class lists nothing: its attributes come from __getattr__."""

    __slots__ = ("_attrs",)

    def __init__(self, **attrs):
        object.__setattr__(self, "_attrs", attrs)

    def __getattr__(self, name):
        try:
            return self._attrs[name]
        except KeyError:
            raise AttributeError(name) from None


def test_a_record_with_nothing_to_list_keeps_what_the_bridge_reads(tmp_path):
    """The resume answer's test attribute is kept when the record has it; a
    pause answer without it is recorded as before."""
    from pymach.enums import AlgoControlType as C
    out = tmp_path / "served.jsonl"
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    strategy = recording_class()(config, out=str(out))
    answer = dict(sys_quote_id="Q1", error_code=0, error_msg="")
    strategy.on_control_algo_parent_order_res(Served(**answer, control_type=C.Pause))
    strategy.on_control_algo_parent_order_res(Served(**answer, control_type=C.Resume,
                                                     algo_control_type=C.Resume))
    strategy.close_recording()
    s = replay(str(out))
    assert s["callback_errors"]["count"] == 0 and s["skipped_lines"]["count"] == 0
    assert {k: v for k, v in s["events"]["drained"].items() if "PARENT" in k} == {
        "EVENT.PARENT_ORDER_PAUSE": 1, "EVENT.PARENT_ORDER_RESUME": 1}


class Color(enum.Enum):
    RED = 1


class Level(enum.IntEnum):
    HIGH = 2


FIRST = {"code": "A", "price": 1.5, "levels": [1.0, 2], "side": Color.RED}
CHANGES = [{"price": float("nan")}, {"levels": [1.0, float("inf")]}, {"price": None},
           {"code": Color.RED}, {"price": Level.HIGH}, {"price": True}, {"code": "null"},
           {"levels": (1, 2)}, {"code": "Color.RED"}, {"side": "RED"}, {"levels": [1, "a"]},
           {"side": None}, {"levels": [1.0, 10 ** 400]}, {"levels": [[1.0], 2]},
           {"levels": [1e308, 1e308]}]


def _object_lines(encoder, t, recs):
    return [encoder.entry_attrs(t, "on_trade", dict(r), (), 1.0) for r in recs]


def _row_lines(encoder, t, recs):
    objs = []
    for r in recs:
        encoder.row(objs.append, t, "on_trade", dict(r), 1.0)
    return encoder.lines(objs).splitlines()


@pytest.mark.parametrize("write", [_object_lines, _row_lines], ids=["objects", "rows"])
@pytest.mark.parametrize("change", CHANGES, ids=repr)
def test_recorded_values_read_back_exactly(change, write):
    # The writer's shortcut for records like the previous one must never
    # change a value: each line is written after a first that primes it.
    enums = Enumerations([Color, Level])
    encoder, decoder = Encoder(enums), EntryDecoder(2, enums)
    t = datetime.datetime(2024, 3, 15, 9, 30)
    second = dict(FIRST, **change)
    items = [decoder(line, n) for n, line in enumerate(write(encoder, t, [FIRST, second]), 2)]
    got = vars([i for i in items if i is not None][-1].call[0])
    assert repr(sorted(got.items())) == repr(sorted(second.items()))
    assert all(type(got[k]) is type(v) for k, v in second.items())


ROW_CHANGES = CHANGES + [
    {"qty": True}, {"qty": Level.HIGH}, {"qty": 10 ** 400}, {"price": 1e308},
    {"levels": [True, 1.0]}, {"levels": [Level.HIGH]}, {"levels": [2 ** 63, 1.0]},
    {"levels": []}, {"levels": [float("-inf")]}, {"extra": 1}, {"price": -0.0},
    # the text written in C: negative, digit-count and word-size edges, escapes
    {"price": -24.11}, {"price": 99999999.5}, {"price": 1e-4}, {"price": 999999999999999.9},
    {"qty": -2 ** 63}, {"qty": 2 ** 30}, {"qty": -(2 ** 60) - 1}, {"qty": 10 ** 8},
    {"levels": [-0.05, 1125899906842.624, 2 ** 32, -99999999]}, {"code": "\u00e9"},
    {"code": 'a"b'}]


@pytest.mark.parametrize("as_tuple", [False, True], ids=["dicts", "tuples"])
@pytest.mark.parametrize("change", ROW_CHANGES, ids=repr)
def test_row_check_in_c_writes_the_same_bytes(change, as_tuple, monkeypatch):
    # The C row check may only take a record the pure-Python loop would write
    # as the same row; anything else it leaves to that loop.
    from bridge_replay.session import encoder as fmt
    rows = pytest.importorskip("bridge_replay._rows")
    t = datetime.datetime(2024, 3, 15, 9, 30, 0, 250)
    base = dict(FIRST, qty=3)
    recs = [base, base, dict(base, **change), base, dict(base, **change)]
    items = [("on_snapshot", t, (tuple(r), tuple(r.values())) if as_tuple else dict(r), (), 1.0)
             for r in recs]

    def write(c_row):
        monkeypatch.setattr(fmt, "_rows", c_row)
        encoder, objs = Encoder(Enumerations([Color, Level])), []
        encoder.callbacks(objs.append, items)
        return encoder.lines(objs)

    made = []
    c = write(types.SimpleNamespace(row=lambda *a: made.append(rows.row(*a)) or made[-1]))
    assert made[0] is not None and c == write(None)  # the base row again is C's


def _c_rows_text(values, t=datetime.datetime(2024, 3, 15, 9, 30, 0, 250), recv=1.5):
    """What the C writer hands the encoder for one row of ``values``, and
    what msgspec writes for the same row; None where C leaves the row."""
    rows = pytest.importorskip("bridge_replay._rows")
    import msgspec
    values = ["A", *values]  # two names at least: a slots type's are read in C then
    names = tuple("k%d" % i for i in range(len(values)))
    last = {"on_snapshot": (names, tuple(map(type, values)), (0, None, None, ()))}
    got = []
    if not rows.rows([("on_snapshot", t, dict(zip(names, values)), (), recv)], 0, last, {},
                     got.append, dict, msgspec.Raw):
        return None
    enc = msgspec.json.Encoder()
    return got, enc.encode_lines(got), enc.encode_lines([[0, t, recv, *values]])


def test_rows_text_in_c_is_msgspecs():
    # the usual values of a snapshot: written as text, not left to msgspec
    got, c, msgspec_text = _c_rows_text(
        [10.23, 0.5, 3.0, -0.0, 1e-4, 999999999999999.9, 7, -2 ** 63, "000001.XSHE", None,
         True, [1.5, 2]], recv=1710466203.0078125)
    assert c == msgspec_text and type(got[0]).__name__ == "Raw"


@settings(max_examples=400, deadline=None)
@given(st.lists(st.floats(allow_nan=False, allow_infinity=False, max_value=1e300,
                          min_value=-1e300) | st.integers(-2 ** 64, 2 ** 64)
                | st.text(max_size=4) | st.none(), min_size=1, max_size=6),
       st.floats(0, 4e9))
def test_rows_text_in_c_is_msgspecs_for_any_value(values, recv):
    # Floats at every scale, powers of two, ties: the shortest text that
    # reads back, as msgspec writes it, or left to msgspec.
    out = _c_rows_text(values, recv=recv)
    assert out is None or out[1] == out[2]


@pytest.fixture(scope="module")
def captures(tmp_path_factory):
    """Makes the C capture's buffered callbacks of records, as the writer gets them."""
    pytest.importorskip("bridge_replay._rows")
    from bridge_replay import recorder
    if recorder._capture is None:
        pytest.skip("the tool's C capture is not built")
    from korvane.orvik.utils import maviro
    from bridge_replay.session.schema import CALLBACKS
    base = type("Base", (), dict({cb: lambda self, *a: None for cb in CALLBACKS},
                                 __init__=lambda self, config: None))
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    with pytest.MonkeyPatch.context() as bridge:
        bridge.setattr(maviro, "orders_dict", {})
        strategy = recording_class(base)(config, out=str(tmp_path_factory.mktemp("c") / "c.jsonl"))
        r = strategy._recorder
        r._stop.set()  # its writer thread gone: the buffer keeps what is captured
        r._thread.join()

        def capture(recs):
            for rec in recs:
                strategy.on_snapshot(rec)
            items = list(r.buffer)
            r.buffer.clear()
            # the first of a record type is read by the Python path, the rest in C
            assert type(items[-1]).__name__ == "Captured"
            return items
        yield capture
        strategy.close_recording()


_SLOTS = {}
_EDGES = [1e-4, 9.999999999999999e-05, 999999999999999.9, 1e15, 2 ** 50 / 1e7, 2 ** 50 / 1e7 + 1e-9,
          99999999.5, 0.1 + 0.2, 5e-324, -2 ** 52 - 0.5, 1710466203.0078125]
_NUMBERS = (st.floats() | st.sampled_from(_EDGES + [-x for x in _EDGES])
            | st.integers(-2 ** 64, 2 ** 64) | st.sampled_from([2 ** 30, 2 ** 60, -2 ** 63]))


@settings(max_examples=300, deadline=None)
@given(st.lists(_NUMBERS | st.text(max_size=4) | st.none() | st.booleans()
                | st.lists(_NUMBERS, max_size=4) | st.sampled_from(list(Color)),
                min_size=1, max_size=6),
       st.booleans())
def test_the_c_writer_writes_captures_as_python_does(captures, values, slots):
    # The first capture declares the shape, the second is a usual row: both
    # are written by the C writer into the flush's buffer as Python writes them.
    from bridge_replay.session import encoder as fmt
    values = ["A", *values]  # two names at least: a slots type's are read in C then
    names = tuple("k%d" % i for i in range(len(values)))
    if slots:
        cls = _SLOTS.get(names) or _SLOTS.setdefault(names, type(
            "Slots", (), {"__slots__": names, "__init__": SlotTrade.__init__}))
        rec = cls(**dict(zip(names, values)))
    else:
        rec = DictTrade(**dict(zip(names, values)))
    items = captures([rec, rec])

    def write(rows):
        with pytest.MonkeyPatch.context() as m:
            m.setattr(fmt, "_rows", rows)
            out = bytearray(b"before\n")
            Encoder(Enumerations([Color])).write_into(out, items)
            return bytes(out)
    assert write(fmt._rows) == write(None)


@pytest.mark.parametrize("line, message", [
    ('[0,"2024-03-15T09:30:00",1.0,1]', "shape 0, which no line before it declared"),
    ('[]', "must be a JSON object, or a row"),
    ('[7,"2024-03-15T09:30:00",1.0,"A"]', "a row of shape 7 needs 2 values, not 1"),
    ('[7,"soon",1.0,"A",1]', "is not an ISO date and time"),
    ('[7,"2024-03-15T09:30:00","x","A",1]', "receive time must be a number"),
    ('{"t":"2024-03-15T09:30:00","cb":"$shape","shape":8,"of":"on_order","names":["a"],'
     '"tagged":[]}', "on_order shape lacks client_order_id"),
    ('{"t":"2024-03-15T09:30:00","cb":"$shape","shape":8,"of":"on_trade","names":["a","a"],'
     '"tagged":[]}', "must be distinct texts"),
    ('{"t":"2024-03-15T09:30:00","cb":"$shape","shape":8,"of":"on_trade","names":["a"],'
     '"tagged":[1]}', "must be positions"),
])
def test_malformed_rows_and_shapes_are_line_errors(line, message):
    decoder = EntryDecoder(2, Enumerations([Color]))
    assert decoder('{"t":"2024-03-15T09:30:00","cb":"$shape","shape":7,"of":"on_trade",'
                   '"names":["code","side"],"tagged":[1]}', 2) is None
    for row in ('[7,"2024-03-15T09:30:00",null,"Color.RED","Color.RED"]',
                ' [7,"2024-03-15T09:30:00",null,"Color.RED","Color.RED"]'):
        ok = decoder(row.encode(), 3).call[0]
        assert (ok.code, ok.side) == ("Color.RED", Color.RED)
    with pytest.raises(LineError, match=message):
        decoder(line, 4)


class SlotTrade:
    """A record without a __dict__, as a native SDK's: read by an attrgetter."""
    __slots__ = ("client_order_id", "price", "levels", "side")

    def __init__(self, **attrs):
        for k, v in attrs.items():
            setattr(self, k, v)


class DictTrade:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class ViewTrade:
    """A record whose class serves __dict__ itself: that is what is copied,
    not the instance's own dict."""

    def __init__(self, **attrs):
        self._fields = attrs

    @property
    def __dict__(self):
        return dict(self._fields)


@pytest.mark.parametrize("cls", [SlotTrade, DictTrade])
def test_captured_records_read_back_as_they_were(cls, tmp_path):
    from bridge_replay.session.entries import End
    from bridge_replay.session.reader import SessionReader
    Recording = recording_class()
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    out = tmp_path / "s.jsonl.gz"
    strategy = Recording(config, out=str(out))
    from korvane.orvik.utils import maviro
    side = maviro.MarketType.SZSE
    # the second differs in shape only by its values (a nan, a text in a number list)
    recs = [dict(client_order_id="A", price=1.5, levels=[1.0, 2], side=side),
            dict(client_order_id="B", price=float("nan"), levels=[1.0, 2], side=side),
            dict(client_order_id="C", price=2.5, levels=[1.0, "x"], side=side),
            dict(client_order_id="D", price=3.5, levels=[3.0], side=side)]
    for attrs in recs:
        strategy._recorder.capture("on_trade", cls(**attrs))
        strategy._recorder.capture("on_order_action_error", cls(**attrs))
    strategy.close_recording()
    with SessionReader(str(out), Enumerations.from_namespace(vars(maviro))) as reader:
        got = [vars(e.call[0]) for e in reader.entries() if not isinstance(e, End)]
    want = [a for a in recs for _ in (0, 1)]
    assert repr([sorted(g.items()) for g in got]) == repr([sorted(w.items()) for w in want])


class GetterPosition:
    """A native SDK's record: attributes served by getters, no __dict__."""
    __slots__ = ("_v",)

    def __init__(self, **attrs):
        self._v = attrs

    security_id = property(lambda self: self._v["security_id"])
    volume = property(lambda self: self._v["volume"])


@pytest.mark.parametrize("cb, arg, extra, want", [
    ("on_query_position", [GetterPosition(security_id="000001", volume=300)], (7, 0, ""),
     [{"security_id": "000001", "volume": 300}]),
    ("on_trade", Served(), (), {}),
], ids=["positions by getters", "a trade listing nothing"])
def test_records_without_a_dict_are_captured(cb, arg, extra, want, tmp_path):
    from bridge_replay.session.entries import End
    from bridge_replay.session.reader import SessionReader
    from korvane.orvik.utils import maviro
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    out = tmp_path / "s.jsonl"
    strategy = recording_class()(config, out=str(out))
    strategy._recorder.capture(cb, arg, extra)
    strategy.close_recording()
    assert strategy._recorder.dropped == 0
    with SessionReader(str(out), Enumerations.from_namespace(vars(maviro))) as reader:
        (entry,) = [e for e in reader.entries() if not isinstance(e, End)]
    got = entry.call[0]
    assert ([vars(g) for g in got] if isinstance(got, list) else vars(got)) == want


class _FullDisk:
    """The recording's file on a disk with ``room`` bytes left: a write takes
    what fits, then fails."""

    def __init__(self, raw, room):
        self.raw, self.room = raw, room

    def write(self, data):
        if self.room <= 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        n = self.raw.write(data[:self.room])
        self.room -= n
        return n

    def close(self):
        self.raw.close()


def _wait_until(check, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, "the writer thread did not get there"
        time.sleep(0.005)


def _fill_disk(recorder, folder):
    recorder._writer._raw = _FullDisk(recorder._writer._raw, room=100)


def _remove_folder(recorder, folder):
    shutil.rmtree(str(folder))


@pytest.mark.parametrize("close", ["close_recording", "exit hook"])
@pytest.mark.parametrize("fail, message, replays", [
    (_fill_disk, "failed: No space left on device; recording stopped", 4),
    (_remove_folder, "was removed while recording; recording stopped", None),
], ids=["disk full", "folder removed"])
def test_a_recording_that_cannot_be_written_keeps_what_was_flushed_and_counts_the_rest(
        tmp_path, capfd, fail, message, replays, close):
    folder = tmp_path / "day"
    folder.mkdir()
    out = folder / "rec.jsonl"
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    strategy = recording_class()(config, out=str(out), flush_interval=0.01)
    r = strategy._recorder

    def calls(n):
        for _ in range(n):
            strategy.on_switch_day()

    calls(100)
    _wait_until(lambda: out.read_bytes().count(b"on_switch_day") == 100)
    fail(r, folder)
    calls(100)
    _wait_until(lambda: r.error is not None)
    calls(100)  # after the failure: counted, never raised
    if close == "exit hook":
        r._atexit()
    else:
        strategy.close_recording()
    err = capfd.readouterr().err
    assert err.count(message) == 1, err
    assert r.dropped == 200 and "200 callbacks were not recorded in %s" % out in err
    if replays is None:
        assert not out.exists()
        return
    s = replay(str(out))  # whole lines only: the failed flush was cut back
    assert s["callbacks"] == {"on_switch_day": 100} and s["skipped_lines"]["count"] == 0
    assert s["cut"] and outcome(s)[0] == replays


def test_a_replay_whose_recording_folder_vanishes_fails_with_its_summary(small_day, tmp_path):
    folder = tmp_path / "rec"
    folder.mkdir()

    def remove_mid_session(player, t):
        if t >= datetime.datetime(2024, 3, 15, 9, 35) and folder.exists():
            shutil.rmtree(str(folder))

    s = replay(str(small_day), record=str(folder / "r.jsonl.gz"), sample=remove_mid_session)
    rec = s["recording"]
    assert rec["error"] and rec["not_recorded"] > 0
    status, last = outcome(s)
    assert status == 1 and last.startswith("FAILED: the recording") and rec["error"] in last
    assert "the recording missed {:,} callbacks: writing it failed".format(
        rec["not_recorded"]) in format_summary(s)


def test_replay_record_under_a_file_size_limit(small_day, tmp_path):
    """The limit the shell's "ulimit -f" sets: the summary is still printed, the
    recording keeps whole lines, and each callback is either in it or counted."""
    out, summary = tmp_path / "rec.jsonl", tmp_path / "summary.json"

    def limit():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))

    proc = subprocess.run([sys.executable, "-m", "bridge_replay", "replay", str(small_day),
                           "--record", str(out), "--json", str(summary)],
                          capture_output=True, timeout=120, preexec_fn=limit)
    text = proc.stdout.decode() + proc.stderr.decode()
    assert proc.returncode == 1 and "Traceback" not in text, text
    assert "Callbacks played:" in text and "FAILED: the recording" in text
    assert "writing %s failed: File too large" % out in text
    first = json.loads(summary.read_text())
    again = replay(str(out))
    assert again["skipped_lines"]["count"] == 0
    assert again["callbacks_total"] + first["recording"]["not_recorded"] \
        == first["callbacks_total"]


class Clock:
    """The bridge's clock as a replay binds it: virtual times, some on whole seconds."""
    times = [datetime.datetime(2024, 3, 15, 9, 30, 0, 250), datetime.datetime(2024, 3, 15, 9, 31)]

    @classmethod
    def now(cls):
        cls.times.append(cls.times.pop(0))
        return cls.times[-1]


# Receive times: ties of the microsecond rounding (to even), a carry into the
# next second, a whole second.
RECV = [1710466203.0078125, 1710466203.0234375, 1710466203.9999996, 1710466204.0,
        1710466204.25]


def _record_all(out):
    from korvane.orvik.utils import maviro
    from bridge_replay.session.schema import CALLBACKS
    base = type("Base", (), dict({cb: lambda self, *a, **k: None for cb in CALLBACKS},
                                 __init__=lambda self, config: None))
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    # the test's enumerations are not the session's: the bridge's member instead
    side = maviro.MarketType.SZSE
    # each change twice after the base twice: the second of each the callback's last shape
    recs = [{k: side if isinstance(v, enum.Enum) else v
             for k, v in dict(FIRST, qty=3, **c).items()}
            for change in ROW_CHANGES if "qty" not in change for c in ({}, {}, change, change)]
    with pytest.MonkeyPatch.context() as bridge:
        bridge.setattr(maviro, "orders_dict", {})
        strategy = recording_class(base)(config, out=str(out))
        recv = []
        strategy._recorder._time = lambda: recv[-1]
        for n, attrs in enumerate(recs * 2):
            recv.append(RECV[n % len(RECV)])
            if n == len(recs):
                bridge.setattr(maviro, "datetime", Clock)
                maviro.orders_dict[7] = types.SimpleNamespace(client_order_id=7, price=1.5)
            strategy.on_snapshot(DictTrade(**attrs))
            # the same names in another order, then built at run time (equal, not the same strs)
            strategy.on_snapshot(DictTrade(**dict(reversed(list(attrs.items())))))
            strategy.on_snapshot(DictTrade(**{"".join(k): v for k, v in attrs.items()}))
            strategy.on_snapshot(SlotTrade(client_order_id=n, price=attrs["price"],
                                           levels=attrs["levels"], side=attrs["side"]))
            strategy.on_snapshot(ViewTrade(**attrs))
            strategy.on_bar(rec=DictTrade(**attrs))  # by keyword: the Python path
    strategy.close_recording()
    assert strategy._recorder.dropped == 0
    return out.read_bytes().splitlines()[1:-1]  # not the header's and end's wall times


# As an install without a compiler has it (neither C module importable), or
# with the C capture's buffered callbacks read by the Python writer.
_WITHOUT_C = r"""
import pathlib, sys
for name in sys.argv[3:]:
    sys.modules["bridge_replay." + name] = None
sys.path.insert(0, sys.argv[1])
import test_recorder
from bridge_replay import recorder
from bridge_replay.optional import EXTRAS
assert (recorder.Recorder.__bases__ == (recorder._PyCapture,)) == ("_capture" in sys.argv[3:])
test_recorder._record_all(pathlib.Path(sys.argv[2]))
# a live process's recorder pulls in no extra's package
print(sorted({n for n in sys.modules if n.partition(".")[0] in
              {m.partition(".")[0] for ms in EXTRAS.values() for m in ms}}))
"""


@pytest.mark.parametrize("blocked", [("_capture", "_rows"), ("_rows",)])
def test_the_c_capture_and_writer_write_what_python_writes(blocked, tmp_path):
    from bridge_replay import recorder
    from bridge_replay.session import encoder as fmt
    if recorder._capture is None or fmt._rows is None:
        pytest.skip("the tool's C parts are not built")
    made = _record_all(tmp_path / "c.jsonl")
    out = subprocess.run([sys.executable, "-c", _WITHOUT_C, os.path.dirname(__file__),
                          str(tmp_path / "py.jsonl"), *blocked],
                         capture_output=True, timeout=120)
    assert out.returncode == 0 and out.stdout == b"[]\n", out.stderr.decode()
    assert made == (tmp_path / "py.jsonl").read_bytes().splitlines()[1:-1]
    assert sum(line.startswith(b"[") for line in made) > len(ROW_CHANGES)


def test_a_zstd_recording_replays_and_needs_its_extra(small_day, tmp_path, monkeypatch):
    pytest.importorskip("zstandard")
    from bridge_replay.errors import MissingExtra
    recorded = tmp_path / "recorded.jsonl.zst"
    first, second = io.StringIO(), io.StringIO()
    replay(str(small_day), record=str(recorded), events_out=first)
    s = replay(str(recorded), events_out=second)
    assert first.getvalue() == second.getvalue() and s["cut"] is None
    monkeypatch.setitem(sys.modules, "zstandard", None)
    config = types.SimpleNamespace(base=types.SimpleNamespace(
        accounts={"stock": "acct_sim"}, trading_calendar=[]))
    with pytest.raises(MissingExtra, match=r"pip install 'bridge-replay\[zstd\]'"):
        recording_class()(config, out=str(tmp_path / "none.jsonl.zst"))
    assert not (tmp_path / "none.jsonl.zst").exists()
    with pytest.raises(MissingExtra, match="reading zstd-compressed session"):
        replay(str(recorded))
