"""The bridge module itself: what import binds and creates, the class and its
method table, the argument parser, and the once-per-process guard."""
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

from support.bridge import drain, run_python
from korvane.orvik.utils import maviro

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import gen_stubs  # noqa: E402  (reads the .def tables)

SRC = os.path.join(ROOT, "src")
MODULES = gen_stubs.modules(SRC)


def rows(folder, name):
    return [args for _, args in gen_stubs.table(SRC, folder, name)]


# The class body and the module functions as the tables declare them.
METHODS = {r[0]: [p[0] for p in gen_stubs.params(r[3])] for r in rows("maviro", "methods.def")}
FUNCTIONS = [(module, r[0], [p[0] for p in gen_stubs.params(r[3])])
             for module, folder, _ in MODULES for r in rows(folder, "functions.def")]


def test_fresh_import_binds_names_in_order_and_creates_empty_containers():
    out = run_python("""
        import numpy, numpy_ringbuffer, collections, copy, datetime
        from pymach import enums, strategy
        from korvane.orvik.utils import maviro as m
        names = list(vars(m))
        order = ["Environment", "EVENT", "Event", "TickObject", "Trade", "L2Order",
                 "L2Transaction", "convert_int_to_whole_date", "convert_int_to_datetime",
                 "get_exchane_from_mach_mdtype", "get_mach_tdtype", "system_log",
                 "user_system_log", "AlgoParentOrder", "ORDER_STATUS", "SIDE", "Asset",
                 "Position", "RB", "np", "deque", "copy", "datetime", "time", "timedelta",
                 "strategy", "MDType", "mach_params", "event_queue", "history_bar",
                 "history_tick", "orders_dict", "algo_parent_orders", "algo_child_orders",
                 "algo_child_trades", "get_current_tick", "bridge_stats", "reset_bridge_stats",
                 "set_bridge_timing", "MachStrategy"]
        idx = [names.index(n) for n in order]
        assert idx == sorted(idx), [n for n in names if n in order]
        assert "RingBuffer" not in names
        assert m.RB is numpy_ringbuffer.RingBuffer and m.np is numpy
        assert m.deque is collections.deque and m.copy is copy
        assert m.datetime is datetime.datetime and m.time is datetime.time
        assert m.timedelta is datetime.timedelta and m.strategy is strategy
        for name in enums.__all__:
            assert getattr(m, name) is getattr(enums, name)
        for name in ("mach_params", "history_bar", "history_tick", "orders_dict",
                     "algo_parent_orders", "algo_child_orders", "algo_child_trades"):
            assert getattr(m, name) == {}
        assert isinstance(m.event_queue, m.RB)
        assert m.event_queue.maxlen == 1000000 and len(m.event_queue) == 0
        assert m.event_queue.dtype == object
        print("ok")
    """)
    assert out.stdout.strip() == "ok"


def test_queue_drops_the_oldest_event_when_full():
    q = maviro.event_queue
    for i in range(1_000_001):
        q.append(i)
    assert len(q) == 1_000_000
    assert q[0] == 1 and q[-1] == 1_000_000


def test_class_has_the_sdk_base_and_exactly_the_method_table():
    from pymach import strategy
    cls = maviro.MachStrategy
    assert cls.__bases__ == (strategy.MachStrategy,)
    assert cls.__name__ == "MachStrategy" and cls.__module__ == "korvane.orvik.utils.maviro"
    own = [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__",
                                              "__dict__", "__weakref__")]
    assert own == list(METHODS)
    for name, params in METHODS.items():
        assert list(inspect.signature(vars(cls)[name]).parameters) == params, name


@pytest.mark.parametrize("module, name, params", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
def test_module_functions_have_the_signature_of_their_table_row(module, name, params):
    import importlib
    fn = getattr(importlib.import_module(module), name)
    assert fn.__module__ == module and fn.__doc__
    assert list(inspect.signature(fn).parameters) == params


def test_installed_stubs_are_the_ones_the_tables_generate():
    import importlib
    for module, folder, _ in MODULES:
        so = importlib.import_module(module).__file__
        with open(os.path.join(os.path.dirname(so), module.rpartition(".")[2] + ".pyi"), encoding="utf-8") as f:
            assert f.read() == gen_stubs.stub(SRC, module, folder), module


def test_methods_look_like_functions_to_introspection():
    cls = maviro.MachStrategy
    m = cls.__dict__["on_query_asset"]
    assert m.__name__ == "on_query_asset"
    assert m.__qualname__ == "MachStrategy.on_query_asset"
    assert m.__doc__
    assert list(inspect.signature(m).parameters) == ["self", "asset_res", "request_id", "code", "msg"]
    bound = object.__new__(cls).on_query_asset
    assert list(inspect.signature(bound).parameters) == ["asset_res", "request_id", "code", "msg"]
    assert cls.on_query_asset is m


@pytest.mark.parametrize("call, message", [
    (lambda s: s.send_day_event(1), "missing 1 required positional argument: 'dt'"),
    (lambda s: s.send_day_event(), "missing 2 required positional arguments: 'event_type' and 'dt'"),
    (lambda s: s.send_day_event(1, 2, 3), "takes 3 positional arguments but 4 were given"),
    (lambda s: s.send_day_event(1, dt=2, when=3), "got an unexpected keyword argument 'when'"),
    (lambda s: s.send_day_event(1, event_type=2), "got multiple values for argument 'event_type'"),
    (lambda s: s.on_switch_day(1), "takes 1 positional argument but 2 were given"),
])
def test_bad_arguments_raise_type_error_and_run_nothing(call, message):
    s = object.__new__(maviro.MachStrategy)
    maviro.orders_dict["x"] = object()
    with pytest.raises(TypeError, match=message):
        call(s)
    assert drain() == [] and "x" in maviro.orders_dict


def test_every_parameter_may_be_passed_by_name():
    s = object.__new__(maviro.MachStrategy)
    maviro.MachStrategy.send_day_event(self=s, dt=2, event_type=1)
    s.send_day_event(event_type=3, **{"d" + "t": 4})  # a key built at run time
    assert [(e.event_type, e.calendar_dt) for e in drain()] == [(1, 2), (3, 4)]


@pytest.mark.parametrize("route", ["callback", "query"])
def test_deep_reentry_ends_in_recursion_error_on_any_thread_stack(route):
    """Host code re-entering the bridge without end (an Event factory calling
    the callback again, a history mapping querying again) ends in
    RecursionError on threads of 256 KiB, 512 KiB and 1 MiB, whichever of the
    stack check and the interpreter's count comes first. In a child process:
    a crash fails the test, naming the stack size it died on."""
    run_python("""
        import sys, threading
        from korvane.orvik.utils import maviro
        from pymach.records import Record
        sys.path.insert(0, sys.argv[2])
        from support.callbacks import SNAPSHOT

        s, snap = object.__new__(maviro.MachStrategy), Record(**SNAPSHOT)

        class Histories(dict):
            def __contains__(self, key):
                return maviro.history_bars(key, 1) is not None

        if sys.argv[1] == "callback":
            maviro.Event = lambda *a, **k: s.on_snapshot(snap)
            enter = lambda: s.on_snapshot(snap)
        else:
            maviro.history_bar = Histories()
            enter = lambda: maviro.history_bars("000001.XSHE", 1)

        for kib in (256, 512, 1024):
            print("stack", kib, "KiB", flush=True)
            caught = []

            def run():
                try:
                    enter()
                except RecursionError as e:
                    caught.append(str(e))

            threading.stack_size(kib * 1024)
            t = threading.Thread(target=run)
            t.start()
            t.join()
            assert caught and "maximum recursion depth exceeded" in caught[0], caught
    """, route, os.path.dirname(__file__))


def test_reimport_after_removal_gives_back_the_same_module_with_its_state():
    run_python("""
        import sys, importlib
        from korvane.orvik.utils import maviro as first
        first.orders_dict["k"] = "v"
        del sys.modules["korvane.orvik.utils.maviro"]
        again = importlib.import_module("korvane.orvik.utils.maviro")
        assert again is first and again.orders_dict == {"k": "v"}
        assert importlib.reload(again) is first and first.orders_dict == {"k": "v"}
    """)


def test_loading_into_a_second_interpreter_fails():
    out = run_python("""
        import _testcapi
        from korvane.orvik.utils import maviro
        inner = "\\n".join([
            "try:",
            "    from korvane.orvik.utils import maviro",
            "except ImportError as e:",
            "    print('ImportError:', e)",
        ])
        _testcapi.run_in_subinterp(inner)
    """)
    assert out.stdout.strip() == ("ImportError: Interpreter change detected - this module can "
                                  "only be loaded into one interpreter per process.")


def test_each_new_interpreter_is_refused_even_at_a_reused_address(tmp_path):
    """Sub-interpreters made and destroyed in turn tend to get the same address
    (run from a file, as here, they do on 3.8); only the first one has the
    bridge, and the main interpreter is refused too."""
    pytest.importorskip("_testcapi")
    script = tmp_path / "subinterpreters.py"
    script.write_text(textwrap.dedent("""
        import sys
        import _testcapi
        if sys.version_info >= (3, 12):
            import numpy  # there it must be set up in the main interpreter first
        inner = "\\n".join([
            "import sys",
            "try:",
            "    from korvane.orvik.utils import maviro",
            "    print('loaded', maviro.MachStrategy is not None)",
            "except ImportError as e:",  # refused before the module's own imports
            "    print('refused' if 'numpy' not in sys.modules and 'Interpreter change' in str(e) else e)",
        ])
        for _ in range(3):
            _testcapi.run_in_subinterp(inner)
        try:
            from korvane.orvik.utils import maviro
        except ImportError as e:
            print("main", e)
    """))
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert out.stdout.split("\n")[:-1] == ["loaded True", "refused", "refused", "main Interpreter change detected - "
                                            "this module can only be loaded into one interpreter per process."]


def test_an_import_failed_in_a_sub_interpreter_leaves_the_main_one_free():
    pytest.importorskip("_testcapi")
    out = run_python("""
        import _testcapi
        _testcapi.run_in_subinterp("\\n".join([
            "import sys",
            "sys.modules['pymach.enums'] = None",
            "try:",
            "    import korvane.orvik.utils.maviro",
            "except ImportError as e:",
            "    print(e)",
        ]))
        from korvane.orvik.utils import maviro
        maviro.MachStrategy.send_day_event(object.__new__(maviro.MachStrategy), "T", 1)
        print(maviro.event_queue.popleft().event_type)
    """)
    assert out.stdout.split("\n")[:-1] == ["import of pymach.enums halted; None in sys.modules", "T"]


def test_a_failed_import_can_be_retried():
    run_python("""
        import sys, importlib
        import korvane.orvik.const as const
        saved = const.SIDE
        del const.SIDE
        try:
            import korvane.orvik.utils.maviro
        except ImportError as e:
            assert "cannot import name 'SIDE'" in str(e), e
        else:
            raise AssertionError("import should fail")
        const.SIDE = saved
        from korvane.orvik.utils import maviro
        assert maviro.SIDE is saved
    """)


def test_enum_members_follow_a_rebound_enum_and_other_namespaces_are_read_afresh(monkeypatch):
    """Members of an enum class are remembered per class object; rebinding the
    global, or using a plain namespace whose attributes change, is seen at once."""
    import enum
    import types
    from pymach.records import Record
    s = object.__new__(maviro.MachStrategy)
    rec = Record(sys_quote_id="Q", parent_id="P", status="s", order_qty=1, trade_qty=0)

    def posted_type():
        s.on_algo_child_order_update(rec)
        return maviro.event_queue.popleft().event_type

    assert posted_type() is maviro.EVENT.CHILD_ORDER_UPDATE
    Other = enum.Enum("Other", ["CHILD_ORDER_UPDATE"])
    monkeypatch.setattr(maviro, "EVENT", Other)
    assert posted_type() is Other.CHILD_ORDER_UPDATE
    ns = types.SimpleNamespace(CHILD_ORDER_UPDATE="first")
    monkeypatch.setattr(maviro, "EVENT", ns)
    assert posted_type() == "first"
    ns.CHILD_ORDER_UPDATE = "second"
    assert posted_type() == "second"


def test_a_builtin_the_bridge_uses_can_be_shadowed_and_unshadowed(monkeypatch):
    """Each use sees the current binding: module first, then builtins, even
    right after the same name was answered from the other one."""
    import builtins
    from pymach.enums import MarketType
    from pymach.records import Record
    s = object.__new__(maviro.MachStrategy)
    rec = Record(order_time=20260302093000123, security_id="000001", market_type=MarketType.SZSE,
                 side=True, biz_index=1, order_price=1.0, order_volume=1, order_type=50, orig_order_no=0)
    seen = []

    def side_of(code, market):
        seen.append(code)
        return code

    monkeypatch.setattr(maviro, "get_side_from_mach_l2_order", side_of)
    s.on_tick_order(rec)  # a bool is not an exact int: chr() is looked up
    monkeypatch.setattr(maviro, "chr", lambda c: "shadowed", raising=False)
    s.on_tick_order(rec)
    monkeypatch.delattr(maviro, "chr")
    monkeypatch.setattr(builtins, "chr", lambda c: "rebuilt")
    s.on_tick_order(rec)
    monkeypatch.undo()
    # Code running under builtins of its own gets those, and the next call
    # from ordinary code gets the real ones again.
    monkeypatch.setattr(maviro, "get_side_from_mach_l2_order", side_of)
    s.on_tick_order(rec)
    exec("s.on_tick_order(rec)", {"__builtins__": {"chr": lambda c: "own"}, "s": s, "rec": rec})
    s.on_tick_order(rec)
    assert seen == ["\x01", "shadowed", "rebuilt", "\x01", "own", "\x01"]
