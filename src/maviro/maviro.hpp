// Internal header of the bridge module: the module state (interned names,
// keyword tuples, fixed texts), the helpers every subsystem uses, and the
// C implementations of the MachStrategy methods, one .cpp per subsystem.
#pragma once
#include "../common/call.hpp"
#include "../common/method.hpp"
#include "../common/module.hpp"
#include "../common/names.hpp"

namespace maviro {

using common::Ref;

#define BRIDGE_NAMES "maviro/names.def"
#define BRIDGE_TEXTS "maviro/texts.def"
#include "../common/name_enums.inc"

namespace kw {
enum : int {
#define KWNAMES(id, ...) id,
#include "kwnames.def"
#undef KWNAMES
    COUNT
};
}  // namespace kw

// The module initialises once per process (common/guard.hpp), so its state is
// one set of globals. Every pointer is a strong reference kept for the life of
// the process, except `module` and `globals`, which the guard keeps alive.
struct State {
    PyObject* module;
    PyObject* globals;  // the module's __dict__
    PyObject* cls;      // MachStrategy as created at exec: what super() means in its methods
    PyObject* names[nm::COUNT];
    PyObject* kwnames[kw::COUNT];
    PyObject* texts[tx::COUNT];
    PyObject* zero;      // int 0
    PyObject* thousand;  // int 1000
    PyObject* enum_meta; // enum.EnumMeta
    PyObject* deque_type;    // collections.deque itself (the `deque` global may be rebound)
    PyObject* deque_append;  // its append method descriptor
    // Matches booked per order (orders.cpp), private so that the host's book
    // and orders stay as they are, and pruned against the book. Both dicts are
    // keyed by client order id: `booked_orders` holds the host order the
    // entry was made for, `booked_matches` the cumulative quantity its match
    // brought the order to, or a set of them once there are several. Plain
    // values, not a container per order, so that an order with one match adds
    // nothing for the cyclic collector to walk.
    PyObject* booked_orders;
    PyObject* booked_matches;
    PyObject* deque_reversed;  // and its __reversed__
    // Enum members already read (see member()): an open-addressed table on
    // the class and the name, filled once and never evicted, so members used
    // together never push each other out. Each entry holds strong references.
    struct Member {
        PyObject* owner;
        PyObject* name;  // an interned name of `names`
        PyObject* value;
    };
    Member members[256];
    // Health counters (stats.cpp), written under the GIL. Events are counted
    // per nm:: id of the EVENT member posted; slot nm::COUNT holds the posts
    // whose type is not one of the bridge's event names.
    uint64_t events[nm::COUNT + 1];
    uint64_t order_outcomes[3];
    PyObject* methods[32];  // MachStrategy's method descriptors, in class order
    int method_count;
    bool timing;
#if PY_VERSION_HEX < 0x030C0000
    // Globals already looked up, one slot per name, as the interpreter's own
    // LOAD_GLOBAL cache keeps them: valid while the module dict (and, for a
    // builtin, the builtins dict) has the version it had then. Versions change
    // with every change of a dict, so a rebinding is seen at the next use.
    // Borrowed values: an unchanged dict still holds them.
    struct Global {
        uint64_t globals_version;
        PyObject* builtins;  // null when the name was found in the module
        uint64_t builtins_version;
        PyObject* value;     // null until the first lookup
    };
    Global globals_seen[nm::COUNT];
#else
    // The same cache kept valid by a dict watcher instead: the module dict
    // and every builtins dict a value came from are watched, and any change
    // to one of them (before it happens) moves `globals_generation` on, which
    // drops every slot. Slot values are borrowed, as above.
    struct Global {
        uint64_t generation;  // 0: never filled
        PyObject* builtins;   // null when the name was found in the module
        PyObject* value;
    };
    Global globals_seen[nm::COUNT];
    uint64_t globals_generation;  // from 1 on
    int watcher;                  // -1 when the interpreter had no watcher left
#endif
};
extern State S;

#define N(x) (::maviro::S.names[::maviro::nm::x])
#define KW(x) (::maviro::S.kwnames[::maviro::kw::x])
#define TX(x) (::maviro::S.texts[::maviro::tx::x])

// global() without its inline fast path.
[[nodiscard]] Ref global_lookup(int name);
#if PY_VERSION_HEX < 0x030C0000
// The dicts' version tags are deprecated from 3.12 on (and changed meaning);
// there every use is a plain lookup.
inline uint64_t version_of(PyObject* dict) { return ((PyDictObject*)dict)->ma_version_tag; }

// The value bound to the module global S.names[name] (an nm:: id), looked up
// at use as LOAD_GLOBAL does (module namespace, then builtins), so a host can
// rebind any of them. NameError when neither has it. A global seen before in
// an unchanged module dict is taken from its slot here, inline.
[[nodiscard]] inline Ref global(int name) {
    const State::Global& slot = S.globals_seen[name];
    if (slot.value && !slot.builtins && slot.globals_version == version_of(S.globals))
        return Ref::borrow(slot.value);
    return global_lookup(name);
}
#else
// Registers the watcher and watches the module dict (module.cpp, at exec).
[[nodiscard]] bool watch_globals();

[[nodiscard]] inline Ref global(int name) {
    const State::Global& slot = S.globals_seen[name];
    if (slot.generation == S.globals_generation && !slot.builtins) return Ref::borrow(slot.value);
    return global_lookup(name);
}
#endif

// owner.name. An enum class's members can be neither rebound nor deleted
// (its metaclass refuses), so a member read once from the same class object
// is remembered instead of going through the metaclass's attribute hooks on
// every read. Anything else is read afresh every time.
[[nodiscard]] Ref member(PyObject* owner, PyObject* name);

// member(global(name), attr), e.g. EVENT.TICK: the global is looked up at use.
[[nodiscard]] Ref global_attr(int name, PyObject* attr);

// event_queue.append(event): every post of the bridge goes through here.
// `type` is the nm:: id of the EVENT member the event was built with (counted
// once the append succeeded), or nm::COUNT when it is not one of ours.
[[nodiscard]] bool post(PyObject* event, int type);

// stats.cpp. The outcomes of order reports the order book cannot simply apply.
enum class OrderOutcome : int { UnknownOrder, DuplicateMatch, SetAside };
inline void count_order_outcome(OrderOutcome o) { ++S.order_outcomes[int(o)]; }
// The nm:: id of an EVENT member given as an argument, or nm::COUNT. Reads
// the member's name from its instance dict only: no host code runs.
int event_kind(PyObject* event_type);
// Keeps a MachStrategy method descriptor for the counters' report.
[[nodiscard]] bool stats_register_method(PyObject* method);

// obj.attr = value
[[nodiscard]] inline bool set_attr(PyObject* obj, PyObject* attr, PyObject* value) {
    return PyObject_SetAttr(obj, attr, value) == 0;
}

// Empties a module-level container with its own clear(), keeping the object.
[[nodiscard]] bool clear_global(int name);

// queue.cpp: the native event queue type (a drop-in for RB).
// Readies the type, registers it as a virtual subclass of RB and binds it as
// EventQueue in the module.
[[nodiscard]] bool queue_ready(PyObject* module);
// EventQueue(capacity, dtype): a new reference, NULL on error.
[[nodiscard]] PyObject* queue_new(PyObject* capacity, PyObject* dtype);
// True when obj is exactly the native type (not a subclass).
bool queue_is_native(PyObject* obj);
// queue.append(item) for a native queue, without a method call.
[[nodiscard]] bool queue_append(PyObject* queue, PyObject* item);
// A native queue's counters since its last reset: items appended, items lost
// because it was full, the largest depth seen; and its depth and capacity now.
struct QueueCounts {
    uint64_t appended, dropped;
    Py_ssize_t high_water, depth, capacity;
};
QueueCounts queue_counts(PyObject* queue);
void queue_reset_counts(PyObject* queue);

// fastpaths.cpp. Notes the stdlib objects the fast paths stand in for (at exec).
[[nodiscard]] bool fastpaths_ready();
// copy_module.deepcopy(x)
[[nodiscard]] Ref deep_copy_with(PyObject* copy_module, PyObject* x);
// str(value): a new reference, NULL on error.
PyObject* str_of(PyObject* value);

// Methods of MachStrategy: argv[0] is self, then the parameters in order.
#define METHOD(name, impl, returns, params, doc) PyObject* impl(PyObject* const* argv);
#include "methods.def"
#undef METHOD
// The module-level functions (market_data.cpp, stats.cpp).
#define FUNCTION BRIDGE_FUNCTION_DECL
#include "functions.def"
#undef FUNCTION
// The parameter names of the query functions, set at exec once the names are interned.
void market_data_ready();
// Forgets every booked match; for when the order book is emptied (orders.cpp).
void forget_matches();

}  // namespace maviro
