// korvane.orvik.utils.maviro: entry point, module exec (imports in their fixed
// order, the module-level containers, the query functions) and the assembly of
// the MachStrategy class from the method table.
#include "../common/guard.hpp"
#include "../common/imports.hpp"
#include "maviro.hpp"

#include <initializer_list>
#include <iterator>
#include <string>

namespace maviro {

namespace {

common::ModuleGuard guard{"maviro"};

[[nodiscard]] bool bind(PyObject* name, PyObject* value) {
    return PyDict_SetItem(S.globals, name, value) == 0;
}

[[nodiscard]] bool bind_new(const char* name, PyObject* value_new_ref) {
    return common::bind_new(S.globals, name, value_new_ref);
}

[[nodiscard]] bool from_import(const char* module, std::initializer_list<common::Imported> names) {
    return common::from_import(S.globals, module, names);
}

[[nodiscard]] bool import_as(const char* module, const char* alias) {
    return common::import_as(S.globals, module, alias);
}

// `from <module> import *`: __all__ when the module has one, otherwise every
// name that does not begin with "_".
[[nodiscard]] bool star_import(const char* module) {
    Ref star = Ref::steal(Py_BuildValue("(s)", "*"));
    if (!star) return false;
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, S.globals, nullptr, star.get(), 0));
    if (!mod) return false;
    Ref all = common::getattr(mod.get(), N(__all__));
    if (all) {
        Ref it = Ref::steal(PyObject_GetIter(all.get()));
        if (!it) return false;
        while (Ref name = Ref::steal(PyIter_Next(it.get()))) {
            Ref value = Ref::steal(PyObject_GetAttr(mod.get(), name.get()));
            if (!value || !bind(name.get(), value.get())) return false;
        }
        return !PyErr_Occurred();
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyObject* dict = PyModule_GetDict(mod.get());  // borrowed
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(name) || PyUnicode_READ_CHAR(name, 0) == '_') continue;
        if (!bind(name, PyTuple_GET_ITEM(pair, 1))) return false;
    }
    return true;
}

[[nodiscard]] bool import_all() {
    return from_import("korvane.orvik.environment", {"Environment"}) &&
           from_import("korvane.orvik.core.events", {"EVENT", "Event"}) &&
           from_import("korvane.orvik.model.tick", {"TickObject"}) &&
           from_import("korvane.orvik.model.trade", {"Trade"}) &&
           from_import("korvane.orvik.model.l2_order", {"L2Order"}) &&
           from_import("korvane.orvik.model.l2_transaction", {"L2Transaction"}) &&
           from_import("korvane.orvik.utils.datetime_func", {"convert_int_to_whole_date", "convert_int_to_datetime"}) &&
           from_import("korvane.orvik.utils.trade_func",
                       {"get_exchane_from_mach_mdtype", "get_mach_tdtype", "get_side_from_mach_l2_order",
                        "get_order_type_from_mach_l2_order", "get_trade_type_from_mach", "get_l2order_type_from_mach"}) &&
           from_import("korvane.orvik.utils.logger", {"system_log", "user_system_log"}) &&
           from_import("korvane.orvik.model.algo_parent_order", {"AlgoParentOrder"}) &&
           from_import("korvane.orvik.model.algo_child_order", {"AlgoChildOrder"}) &&
           from_import("korvane.orvik.model.algo_child_trade", {"AlgoChildTrade"}) &&
           from_import("korvane.orvik.const", {"ORDER_STATUS", "POSITION_DIRECTION", "SIDE"}) &&
           from_import("korvane.orvik.portfolio.account", {"Asset"}) &&
           from_import("korvane.orvik.portfolio.position", {"Position"}) &&
           from_import("numpy_ringbuffer", {{"RingBuffer", "RB"}}) &&
           import_as("numpy", "np") &&
           from_import("collections", {"deque"}) &&
           import_as("copy", "copy") &&
           from_import("datetime", {"datetime", "time", "timedelta"}) &&
           import_as("pymach.strategy", "strategy") &&
           star_import("pymach.enums");
}

[[nodiscard]] bool create_containers() {
    if (!bind_new("mach_params", PyDict_New())) return false;
    // RB(capacity=1000000, dtype=object) in its native form: a virtual subclass of RB.
    if (!queue_ready(S.module)) return false;
    Ref capacity = Ref::steal(PyLong_FromLong(1000000));
    if (!capacity) return false;
    Ref queue = Ref::steal(queue_new(capacity.get(), (PyObject*)&PyBaseObject_Type));
    if (!queue || !bind(N(event_queue), queue.get())) return false;
    for (PyObject* name : {N(history_bar), N(history_tick), N(orders_dict), N(algo_parent_orders),
                           N(algo_child_orders), N(algo_child_trades)}) {
        Ref d = Ref::steal(PyDict_New());
        if (!d || !bind(name, d.get())) return false;
    }
    return true;
}

#define PARAMS(...) []() -> const char* const* { static const char* const p[] = {__VA_ARGS__, nullptr}; return p; }()

// The class body of MachStrategy, in its order.
const common::MethodDef kMethods[] = {
    {"__init__", init, PARAMS("self", "config"), "Build the bridge on the host configuration."},
    {"initialize", initialize, PARAMS("self", "config"),
     "SDK start-up hook: register the gateways, subscribe to 1-minute bars, start the daily clock."},
    {"on_initialize", on_initialize, PARAMS("self"), "SDK's second start-up hook; does nothing."},
    {"on_switch_day", on_switch_day, PARAMS("self"), "Empty the per-day containers when the SDK switches the day."},
    {"on_snapshot", on_snapshot, PARAMS("self", "snapshot"), "Level-1 snapshot: cache a tick record, post TICK."},
    {"on_tick_order", on_tick_order, PARAMS("self", "tick_order"), "Level-2 order: post L2_ORDER."},
    {"on_tick_trade", on_tick_trade, PARAMS("self", "tick_trade"), "Level-2 trade: post L2_TRANSACTION."},
    {"on_bar", on_bar, PARAMS("self", "bar"), "Bar: cache a bar record, post BAR once the universe's bars are in."},
    {"on_login", on_login, PARAMS("self", "login_res"), "Trading login result: post LOGIN, query assets and positions."},
    {"on_query_asset", on_query_asset, PARAMS("self", "asset_res", "request_id", "code", "msg"),
     "Asset query answer: post QUERY_ACCOUNT."},
    {"on_query_position", on_query_position, PARAMS("self", "query_position_res", "request_id", "code", "msg"),
     "Position query answer: post QUERY_POSITION."},
    {"on_order", on_order, PARAMS("self", "order"), "Order report: bring the host order in step and post its events."},
    {"on_trade", on_trade, PARAMS("self", "trade"), "Trade report: no effect (trades come from order reports)."},
    {"on_order_action_error", on_order_action_error, PARAMS("self", "order_action_error"),
     "Refused order action: post ORDER_CANCELLATION_REJECT."},
    {"on_algo_login", on_algo_login, PARAMS("self", "algo_login_res"), "Algo login answer: post ALGO_LOGIN."},
    {"on_create_algo_parent_order_res", on_create_algo_parent_order_res, PARAMS("self", "create_parent_order_res"),
     "Parent order creation answer: post PARENT_ORDER_CREATE."},
    {"on_cancel_algo_parent_order_res", on_cancel_algo_parent_order_res, PARAMS("self", "cancel_parent_order_res"),
     "Parent order cancellation answer: post PARENT_ORDER_CANCEL."},
    {"on_control_algo_parent_order_res", on_control_algo_parent_order_res, PARAMS("self", "control_parent_order_res"),
     "Pause/resume answer: post PARENT_ORDER_PAUSE or PARENT_ORDER_RESUME."},
    {"on_algo_parent_order_update", on_algo_parent_order_update, PARAMS("self", "parent_order"),
     "Parent order update: fold it into the registry, post PARENT_ORDER_UPDATE."},
    {"on_algo_child_order_update", on_algo_child_order_update, PARAMS("self", "child_order"),
     "Child order update: fold it into the registry, post CHILD_ORDER_UPDATE."},
    {"on_algo_child_order_trade", on_algo_child_order_trade, PARAMS("self", "child_trade"),
     "Child trade: fold it into the registry, post CHILD_ORDER_TRADE."},
    {"create_time_listener", create_time_listener, PARAMS("self"),
     "Schedule today's phase events when today is a trading day."},
    {"send_day_event", send_day_event, PARAMS("self", "event_type", "dt"), "Post Event(event_type, calendar_dt=dt, trading_dt=dt)."},
    {"send_before_trading_event", send_before_trading_event, PARAMS("self"), "Post BEFORE_TRADING now."},
    {"send_after_trading_event", send_after_trading_event, PARAMS("self"), "Post AFTER_TRADING now, then empty the order book."},
    {"send_open_auction_event", send_open_auction_event, PARAMS("self"), "Post OPEN_AUCTION now."},
    {"set_timer", set_timer, PARAMS("self"), "Run the time listener and re-arm for 08:00 tomorrow."},
};

#undef PARAMS

[[nodiscard]] bool create_class() {
    Ref strategy = global(nm::strategy);
    if (!strategy) return false;
    Ref base = common::getattr(strategy.get(), N(MachStrategy));
    if (!base) return false;
    PyObject* meta = (PyObject*)Py_TYPE(base.get());
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return false;
    // As a class statement does: the metaclass prepares the namespace, the
    // methods are in it before the class is created.
    Ref ns;
    Ref prepare = common::getattr(meta, N(__prepare__));
    if (prepare) {
        ns = common::call(prepare.get(), N(MachStrategy), bases.get());
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return false;
    Ref modname = Ref::steal(PyModule_GetNameObject(S.module));
    if (!modname) return false;
    const char* modname_c = PyUnicode_AsUTF8(modname.get());
    if (!modname_c) return false;
    if (PyObject_SetItem(ns.get(), N(__module__), modname.get()) < 0) return false;
    if (PyObject_SetItem(ns.get(), N(__qualname__), N(MachStrategy)) < 0) return false;
    for (const auto& def : kMethods) {
        Ref m = Ref::steal(common::new_method(def, "MachStrategy", modname_c));
        Ref key = Ref::steal(PyUnicode_InternFromString(def.name));
        if (!m || !key || PyObject_SetItem(ns.get(), key.get(), m.get()) < 0) return false;
        if (!stats_register_method(m.get())) return false;
    }
    Ref cls = common::call(meta, N(MachStrategy), bases.get(), ns.get());
    if (!cls || !bind(N(MachStrategy), cls.get())) return false;
    Py_XSETREF(S.cls, cls.release());
    return true;
}

int exec_module(PyObject* module) {
    int go = common::guard_exec_begin(guard, module);
    if (go <= 0) return go;
    bool ok = init_state(module) && import_all() && create_containers() &&
              PyModule_AddFunctions(module, query_functions) == 0 &&
              PyModule_AddFunctions(module, stats_functions) == 0 && create_class();
    return common::guard_exec_end(guard, ok ? 0 : -1);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) { return common::guard_create(guard, spec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, (void*)create_module},
    {Py_mod_exec, (void*)exec_module},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "maviro",
    "Bridge between the host framework and the gateway SDK: MachStrategy, the\n"
    "module-level containers and the tick and bar history queries.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

#if PY_VERSION_HEX < 0x030C0000
Ref global_lookup(int id) {
    // global() has already taken a name found in the module; a builtin is
    // still good while neither dict has changed.
    State::Global& slot = S.globals_seen[id];
    uint64_t gv = version_of(S.globals);
    if (slot.value && slot.builtins && slot.globals_version == gv) {
        PyObject* b = PyEval_GetBuiltins();
        if (b == slot.builtins && version_of(b) == slot.builtins_version) return Ref::borrow(slot.value);
    }
    PyObject* name = S.names[id];
    PyObject* v = PyDict_GetItemWithError(S.globals, name);
    if (v) {
        slot = {gv, nullptr, 0, v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && PyDict_CheckExact(builtins)) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) {
            slot = {gv, builtins, version_of(builtins), v};
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) return {};
    }
    return common::module_global(S.globals, name);  // the error, or a builtins mapping of another type
}
#else
namespace {
int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++S.globals_generation;
    return 0;
}
}  // namespace

bool watch_globals() {
    S.globals_generation = 1;
    S.watcher = PyDict_AddWatcher(on_watched_dict_change);
    if (S.watcher < 0) {
        PyErr_Clear();  // all taken: every use is a plain lookup
        return true;
    }
    return PyDict_Watch(S.watcher, S.globals) == 0;
}

Ref global_lookup(int id) {
    State::Global& slot = S.globals_seen[id];
    if (slot.generation == S.globals_generation && slot.builtins && slot.builtins == PyEval_GetBuiltins())
        return Ref::borrow(slot.value);
    PyObject* name = S.names[id];
    PyObject* v = PyDict_GetItemWithError(S.globals, name);
    if (v) {
        if (S.watcher >= 0) slot = {S.globals_generation, nullptr, v};
        return Ref::borrow(v);
    }
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    if (builtins && PyDict_CheckExact(builtins)) {
        v = PyDict_GetItemWithError(builtins, name);
        if (v) {
            if (S.watcher >= 0) {
                if (PyDict_Watch(S.watcher, builtins) == 0)
                    slot = {S.globals_generation, builtins, v};
                else
                    PyErr_Clear();  // not watched: not remembered
            }
            return Ref::borrow(v);
        }
        if (PyErr_Occurred()) return {};
    }
    return common::module_global(S.globals, name);
}
#endif

Ref member(PyObject* owner, PyObject* name) {
    // Exactly EnumMeta: a metaclass of the host's own may hook attribute reads.
    if ((PyObject*)Py_TYPE(owner) != S.enum_meta) return common::getattr(owner, name);
    constexpr size_t n = std::size(S.members);
    size_t start = (((uintptr_t)owner >> 4) ^ ((uintptr_t)name >> 3)) * 0x9E3779B97F4A7C15ull >> 56;
    State::Member* free_slot = nullptr;
    for (size_t i = 0; i < n; ++i) {
        State::Member& slot = S.members[(start + i) % n];
        if (slot.owner == owner && slot.name == name) return Ref::borrow(slot.value);
        if (!slot.owner) {
            free_slot = &slot;
            break;
        }
    }
    Ref value = common::getattr(owner, name);
    // Only members are instances of their class; other attributes are not
    // kept, and once the table is full nothing more is.
    if (value && free_slot && PyObject_TypeCheck(value.get(), (PyTypeObject*)owner)) {
        Py_INCREF(owner);
        *free_slot = {owner, name, Ref::borrow(value.get()).release()};
    }
    return value;
}

Ref global_attr(int name, PyObject* attr) {
    Ref obj = global(name);
    if (!obj) return {};
    return member(obj.get(), attr);
}

bool post(PyObject* event, int type) {
    Ref queue = global(nm::event_queue);
    if (!queue) return false;
    bool ok = queue_is_native(queue.get()) ? queue_append(queue.get(), event)
                                            : bool(common::call_method(queue.get(), N(append), event));
    if (ok) ++S.events[type];
    return ok;
}

bool clear_global(int name) {
    Ref obj = global(name);
    if (!obj) return false;
    if (PyDict_CheckExact(obj.get())) {
        PyDict_Clear(obj.get());
        return true;
    }
    return bool(common::call_method(obj.get(), N(clear)));
}

}  // namespace maviro

BRIDGE_MODINIT PyInit_maviro(void) { return PyModuleDef_Init(&maviro::module_def); }
