// korvane.orvik.utils.maviro: entry point, module exec (the imports, the
// module-level containers and the module functions, each from its .def table)
// and the assembly of the MachStrategy class from the method table.
#include "../common/imports.hpp"
#include "../common/module.hpp"
#include "maviro.hpp"

#include <iterator>

namespace maviro {

namespace {

[[nodiscard]] bool bind(PyObject* name, PyObject* value) {
    return PyDict_SetItem(S.consts.globals, name, value) == 0;
}

// `from <module> import *`: __all__ when the module has one, otherwise every
// name that does not begin with "_".
[[nodiscard]] bool star_import(const char* module) {
    Ref star = Ref::steal(Py_BuildValue("(s)", "*"));
    if (!star) return false;
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, S.consts.globals, nullptr, star.get(), 0));
    if (!mod) return false;
    Ref all = getattr(mod.get(), N(__all__));
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


[[nodiscard]] bool bind_dict(PyObject* name) {
    Ref d = Ref::steal(PyDict_New());
    return d && bind(name, d.get());
}

constexpr long kEventQueueCapacity = 1000000;

// RB(capacity=1000000, dtype=object) in its native form: a virtual subclass of RB.
[[nodiscard]] bool bind_queue(PyObject* name) {
    if (!queue_ready(S.consts.module)) return false;
    Ref capacity = Ref::steal(PyLong_FromLong(kEventQueueCapacity));
    if (!capacity) return false;
    Ref queue = Ref::steal(queue_new(capacity.get(), (PyObject*)&PyBaseObject_Type));
    return queue && bind(name, queue.get());
}

[[nodiscard]] bool create_containers() {
#define CONTAINER(name, kind, type) &&(kind == Kind::Dict ? bind_dict(N(name)) : bind_queue(N(name)))
    enum class Kind { Dict, Queue };
    constexpr Kind DICT = Kind::Dict, QUEUE = Kind::Queue;
    return true
#include "containers.def"
        ;
#undef CONTAINER
}

// The class body of MachStrategy, in its order.
const common::MethodDef kMethods[] = {
#define P(name, type) #name,
#define METHOD(name, impl, returns, params, doc) \
    {#name, impl, []() -> const char* const* { static const char* const p[] = {params nullptr}; return p; }(), doc},
#include "methods.def"
#undef METHOD
#undef P
};
static_assert(std::size(kMethods) <= kMaxMethods, "the counters keep every method of MachStrategy");

#define BRIDGE_FUNCTIONS "maviro/functions.def"
#define BRIDGE_IMPORTS "maviro/imports.def"
#include "../common/tables.inc"

[[nodiscard]] bool create_class() {
    Ref strategy = global(nm::strategy);
    if (!strategy) return false;
    constexpr int name = use::checked_second<use::module_exec, use::Member, nm::strategy, nm::MachStrategy>();
    Ref base = getattr(strategy.get(), S.consts.names[name].get());
    if (!base) return false;
    PyObject* meta = (PyObject*)Py_TYPE(base.get());
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    if (!bases) return false;
    // As a class statement does: the metaclass prepares the namespace, the
    // methods are in it before the class is created.
    Ref ns;
    Ref prepare = getattr(meta, N(__prepare__));
    if (prepare) {
        ns = common::call(prepare.get(), N(MachStrategy), bases.get());
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        ns = Ref::steal(PyDict_New());
    }
    if (!ns) return false;
    Ref modname = Ref::steal(PyModule_GetNameObject(S.consts.module));
    if (!modname) return false;
    const char* modname_c = PyUnicode_AsUTF8(modname.get());
    if (!modname_c) return false;
    if (PyObject_SetItem(ns.get(), N(__module__), modname.get()) < 0) return false;
    if (PyObject_SetItem(ns.get(), N(__qualname__), N(MachStrategy)) < 0) return false;
    for (const auto& def : kMethods) {
        Ref m = Ref::steal(common::new_method(S.types.method, def, "MachStrategy", modname_c));
        Ref key = Ref::steal(PyUnicode_InternFromString(def.name));
        if (!m || !key || PyObject_SetItem(ns.get(), key.get(), m.get()) < 0) return false;
        if (!stats_register_method(m.get())) return false;
    }
    Ref cls = common::call(meta, N(MachStrategy), bases.get(), ns.get());
    if (!cls || !bind(N(MachStrategy), cls.get())) return false;
    return S.consts.cls.set(cls.release());
}

struct Definition {
    static constexpr const char* name = "maviro";
    static constexpr const char* doc =
        "Bridge between the host framework and the gateway SDK: MachStrategy, the\n"
        "module-level containers and the tick and bar history queries.";
    static constexpr common::Requirement needs[] = {{"korvane.orvik", "the host framework"}};
    static bool exec(PyObject* module) {
        return init_state(module) && import_all(S.consts.globals) && create_containers() &&
               PyModule_AddFunctions(module, kFunctions) == 0 && create_class();
    }
};

}  // namespace

namespace {
#if PY_VERSION_HEX < 0x030C0000 && defined(BRIDGE_GENERIC)
// Nothing remembered: see global().
uint64_t stamp() { return 0; }
PyObject* still_good(const State::Caches::Global&, uint64_t) { return nullptr; }
void remember(State::Caches::Global&, uint64_t, PyObject*, PyObject*) {}
#elif PY_VERSION_HEX < 0x030C0000
// The module dict's version: a slot filled under another is stale.
uint64_t stamp() { return dict_version(S.consts.globals); }

// A builtin's slot is still good while neither dict has changed (global() has
// already taken a name found in the module).
PyObject* still_good(const State::Caches::Global& slot, uint64_t now) {
    if (!slot.value || !slot.builtins || slot.globals_version != now) return nullptr;
    PyObject* b = PyEval_GetBuiltins();
    return b == slot.builtins && dict_version(b) == slot.builtins_version ? slot.value : nullptr;
}

void remember(State::Caches::Global& slot, uint64_t now, PyObject* builtins, PyObject* value) {
    slot = {now, builtins, builtins ? dict_version(builtins) : 0, value};
}
#else
int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++S.caches.globals_generation;
    return 0;
}

uint64_t stamp() { return S.caches.globals_generation; }

PyObject* still_good(const State::Caches::Global& slot, uint64_t now) {
    return slot.generation == now && slot.builtins && slot.builtins == PyEval_GetBuiltins() ? slot.value : nullptr;
}

// Only what a watcher will report changes of is remembered.
void remember(State::Caches::Global& slot, uint64_t now, PyObject* builtins, PyObject* value) {
    if (S.caches.watcher < 0) return;
    if (builtins && PyDict_Watch(S.caches.watcher, builtins) < 0) {
        PyErr_Clear();
        return;
    }
    slot = {now, builtins, value};
}
#endif
}  // namespace

#if PY_VERSION_HEX >= 0x030C0000
bool watch_globals() {
    S.caches.globals_generation = 1;
    S.caches.watcher = PyDict_AddWatcher(on_watched_dict_change);
    if (S.caches.watcher < 0) {
        PyErr_Clear();  // all taken: every use is a plain lookup
        return true;
    }
    return PyDict_Watch(S.caches.watcher, S.consts.globals) == 0;
}
#endif

Ref global_lookup(int id) {
    State::Caches::Global& slot = S.caches.globals_seen[id];
    uint64_t now = stamp();
    if (PyObject* v = still_good(slot, now)) return Ref::borrow(v);
    PyObject* name = S.consts.names[id];
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject *value, *where;
    int found = common::lookup_global(S.consts.globals, builtins && PyDict_CheckExact(builtins) ? builtins : nullptr,
                                      name,
                                      value, where);
    if (found < 0) return {};
    // The error, or a builtins mapping of another type.
    if (!found) return common::module_global(S.consts.globals, name);
    remember(slot, now, where == S.consts.globals ? nullptr : where, value);
    return Ref::borrow(value);
}

Ref member(PyObject* owner, PyObject* name) {
    // Exactly EnumMeta: a metaclass of the host's own may hook attribute reads.
    if ((PyObject*)Py_TYPE(owner) != S.consts.enum_meta) return getattr(owner, name);
    constexpr size_t n = std::size(S.caches.members);
    static_assert(n == kMemberSlots && (n & (n - 1)) == 0);
    // Fibonacci hashing of the two addresses, without their always-zero low bits.
    constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ull;
    size_t start = (((uintptr_t)owner >> 4) ^ ((uintptr_t)name >> 3)) * kGoldenRatio64 >> (64 - kMemberBits);
    assert(start < n);
    State::Caches::Member* free_slot = nullptr;
    for (size_t i = 0; i < n; ++i) {
        State::Caches::Member& slot = S.caches.members[(start + i) % n];
        if (slot.owner == owner && slot.name == name) return Ref::borrow(slot.value);
        if (!slot.owner) {
            free_slot = &slot;
            break;
        }
    }
    Ref value = getattr(owner, name);
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
    if (ok) ++S.counters.events[type];
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

BRIDGE_MODINIT PyInit_maviro(void) { return common::Module<maviro::Definition>::init(); }
