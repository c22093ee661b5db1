// Internal header of the bridge module: the module state, the helpers every
// subsystem uses, and the C implementations of the MachStrategy methods and
// module functions, one .cpp per subsystem.
//
// Short names used throughout:
//   S          the module's one State (below), built at exec, alive to process exit
//   nm::x      id of the interned name "x" (names.def); N(x) is the str itself
//   kw::x      id of a prebuilt keyword-names tuple (kwnames.def); KW(x) the tuple
//   tx::x      id of a fixed text (texts.def); TX(x) the str
//   lg::x      id of a log line (logs.def), cut into fixed parts at its {} holes
//   fn::x      id of a module function (functions.def)
//   call::x    id of a host or SDK callable the bridge calls (calls.def)
//   use::x     id of a method (or scope) of uses.def, what it relies on from
//              the host and the SDK; REC(use, attr), ORD(use, attr),
//              MEMBER(use, owner, name), POSTED(use, member, kw) and
//              host_call<use, call>() refuse at build time what it does not list
//   O          in fastpaths.cpp: S.consts.stdlib, what the fast paths compare against
//   Ref        an owning reference, released when it goes (common/ref.hpp);
//   Immortal   a strong reference the state keeps and never releases;
//   Borrowed   a pointer the state holds without a reference (ref.hpp, both)
//   global(id) the module global nm::id, looked up at use as LOAD_GLOBAL does
//   member()   an enum member, remembered once read
#pragma once
#include "../common/call.hpp"
#include "../common/method.hpp"
#include "../common/module.hpp"
#include "../common/names.hpp"

#include <cassert>
#include <initializer_list>
#include <type_traits>

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
// A call of calls.def without keywords.
inline constexpr int NOKW = -1;
// How many names each tuple has.
inline constexpr int kSizes[] = {
#define KWNAMES(id, ...) int(std::initializer_list<const char*>{__VA_ARGS__}.size()),
#include "kwnames.def"
#undef KWNAMES
};
}  // namespace kw

// The host and SDK callables of calls.def: their positional arguments and
// keyword tuple (kw::, or -1 for none).
namespace call {
enum : int {
#define CALL(id, path, positional, kwnames) id,
#include "calls.def"
#undef CALL
    COUNT
};
inline constexpr int kPositional[] = {
#define CALL(id, path, positional, kwnames) positional,
#include "calls.def"
#undef CALL
};
inline constexpr int kKeywords[] = {
#define CALL(id, path, positional, kwnames) kw::kwnames,
#include "calls.def"
#undef CALL
};
}  // namespace call

// The scopes of uses.def (the methods, the module's exec, the per-record
// conversions) and whether a fact is listed for one.
namespace use {
enum : int {
#define USES(scope, facts) scope,
#define EACH(scope, method, facts) scope,
#include "uses.def"
#undef EACH
#undef USES
    COUNT
};
enum Kind : int { Read, OrderRead, OrderSet, Member, Call, Post, Import };

// Whether uses.def lists the fact (kind, a, b) for `scope`. E(member, kw)
// implies the read of EVENT.member.
constexpr bool listed(int scope, int kind, int a, int b = -1) {
#define R(x) if (kind == Read && a == nm::x) return true;
#define O(x) if (kind == OrderRead && a == nm::x) return true;
#define W(x) if (kind == OrderSet && a == nm::x) return true;
#define M(owner, x) if (kind == Member && a == nm::owner && b == nm::x) return true;
#define C(id) if (kind == Call && a == call::id) return true;
#define E(member, k)                                                  \
    if (kind == Post && a == nm::member && b == kw::k) return true;  \
    if (kind == Member && a == nm::EVENT && b == nm::member) return true;
#define I(module, x) if (kind == Import && a == nm::x) return true;
#define USES(s, facts)    \
    if (scope == s) {     \
        facts return false; \
    }
#define EACH(s, method, facts) USES(s, facts)
#include "uses.def"
#undef EACH
#undef USES
#undef I
#undef E
#undef C
#undef M
#undef W
#undef O
#undef R
    return false;
}

// `a`, once the build has made sure uses.def lists the fact for `Scope`.
template <int Scope, int Kind, int A, int B = -1>
constexpr int checked() {
    static_assert(listed(Scope, Kind, A, B), "a use uses.def does not list for this method");
    return A;
}

// The same, giving `b`.
template <int Scope, int Kind, int A, int B>
constexpr int checked_second() {
    (void)checked<Scope, Kind, A, B>();
    return B;
}
}  // namespace use

// The log lines of logs.def, each cut at its placeholders into fixed parts:
// line `id` has holes(id) placeholders and holes(id) + 1 parts, the parts of
// all lines lying one after the other from first_part(id) on.
namespace lg {
enum : int {
#define LOG(id, text) id,
#include "logs.def"
#undef LOG
    COUNT
};
inline constexpr const char* kLines[] = {
#define LOG(id, text) text,
#include "logs.def"
#undef LOG
};
constexpr int holes(int id) {
    int n = 0;
    for (const char* c = kLines[id]; *c; ++c) n += *c == '{';
    return n;
}
constexpr int first_part(int id) {
    int n = 0;
    for (int i = 0; i < id; ++i) n += holes(i) + 1;
    return n;
}
constexpr int kParts = first_part(COUNT);
constexpr int most_holes() {
    int n = 0;
    for (int i = 0; i < COUNT; ++i) n = holes(i) > n ? holes(i) : n;
    return n;
}
}  // namespace lg

namespace fn {
enum : int {
#define FUNCTION(name, kind, returns, params, doc) name,
#include "functions.def"
#undef FUNCTION
    COUNT
};
// The most parameters a module function has.
#define P(name, type) +1
#define D(name, type, default_) +1
inline constexpr int kParamCounts[] = {
#define FUNCTION(name, kind, returns, params, doc) 0 params,
#include "functions.def"
#undef FUNCTION
};
#undef D
#undef P
constexpr int most_params() {
    int n = 0;
    for (int c : kParamCounts) n = c > n ? c : n;
    return n;
}
}  // namespace fn

// Enum members member() remembers: 2**kMemberBits slots, indexed by the top
// kMemberBits bits of a 64-bit multiplicative hash.
inline constexpr int kMemberBits = 8;
inline constexpr size_t kMemberSlots = size_t(1) << kMemberBits;
// MachStrategy methods the counters can keep (methods.def must fit).
inline constexpr int kMaxMethods = 32;

using common::Borrowed;
using common::Immortal;

// Everything the module keeps for the life of the process, grouped by what it
// serves. S is never torn down: the guard (common/guard.hpp) lets the module
// execute once per process and keeps it alive to the end, so no second module
// object or interpreter can see these references released; they go with the
// process. Hence Immortal (a strong reference never released) and Borrowed
// (kept alive by what its comment names), never Ref.
struct State {
    // Constants and names: built at exec by init_state() (numpy by
    // queue_ready(), stdlib by fastpaths_ready()), then only read.
    struct Consts {
        Borrowed module;   // kept by the guard
        Borrowed globals;  // the module's __dict__, kept by the module
        Immortal cls;      // MachStrategy as created at exec: what super() means in its methods
        Immortal names[nm::COUNT];
        Immortal kwnames[kw::COUNT];
        Immortal texts[tx::COUNT];
        // The fixed parts of the log lines (lg::), null where a part is empty.
        Immortal log_parts[lg::kParts];
        // Each module function's parameter names (functions.def), borrowed from `names`.
        Borrowed params[fn::COUNT][fn::most_params()];
        Immortal zero;            // int 0
        Immortal thousand;        // int 1000
        Immortal enum_meta;       // enum.EnumMeta
        Immortal deque_type;      // collections.deque itself (the `deque` global may be rebound)
        Immortal deque_append;    // its append method descriptor
        Immortal deque_reversed;  // and its __reversed__
        // numpy as the event queue uses it (queue.cpp); loaded once the imports
        // have run, so that numpy is first imported where the host expects it.
        struct Numpy {
            Immortal empty;
            Immortal concatenate;
            Immortal dtype;
            Immortal integer;       // np.integer: scalars indexed like ints
            Immortal object_dtype;  // np.dtype(object)
        };
        Numpy numpy;
        // What the stdlib functions the fast paths stand in for (fastpaths.cpp)
        // read, as they were at exec. `deepcopy` is set last: set means all of
        // the copy module's entries are; null means no deepcopy fast path.
        struct Stdlib {
            Immortal copy_module;
            Immortal copy_dict;
            Immortal deepcopy;  // copy.deepcopy, its code and defaults
            Immortal deepcopy_code;
            Immortal deepcopy_defaults;
            Immortal dispatch;  // copy._deepcopy_dispatch
            Immortal keep_alive;  // copy._keep_alive and its code
            Immortal keep_alive_code;
            Immortal builtins;  // copy's __builtins__ and the builtins dict behind it
            Immortal builtins_dict;
            Immortal builtin_fns[3];  // getattr, issubclass, id
            Immortal enum_str;        // enum.Enum.__str__ and its code
            Immortal enum_str_code;
            Immortal object_class;  // object.__dict__["__class__"]
        };
        Stdlib stdlib;
    };
    Consts consts;

    // The bridge's own types: static types readied at exec (create_class(),
    // queue_ready()); their objects may live as long as the process.
    struct Types {
        PyTypeObject method;  // MachStrategy's method descriptors (common/method.hpp)
        PyTypeObject queue;   // the native event queue (queue.cpp)
    };
    Types types;

    // Templates and caches: filled on first use by the code named, never
    // emptied; what they remember stays right (see each).
    struct Caches {
        // Record dicts with every key in place, copied for each new tick or bar
        // record (market_data.cpp); never handed out.
        Immortal tick_template;
        Immortal bar_template;
        // chr() of each ASCII code (market_data.cpp): the interpreter's own
        // one-character singletons.
        static constexpr int kAsciiCodes = 128;
        Immortal ascii_chars[kAsciiCodes];
        // Enum members already read (member(), module.cpp): an open-addressed
        // table on the class and the name, filled once and never evicted, so
        // members used together never push each other out. Each entry holds
        // strong references.
        struct Member {
            PyObject* owner;
            PyObject* name;  // an interned name of `names`
            PyObject* value;
        };
        Member members[kMemberSlots];
        // Attribute reads of records (common/attr.hpp): an entry is replaced
        // when another (type, name) takes its slot.
        common::AttrCache attrs;
#if PY_VERSION_HEX < 0x030C0000
        // Globals already looked up (global(), module.cpp), one slot per name,
        // as the interpreter's own LOAD_GLOBAL cache keeps them: valid while the
        // module dict (and, for a builtin, the builtins dict) has the version it
        // had then. Versions change with every change of a dict, so a rebinding
        // is seen at the next use. Borrowed values: an unchanged dict still holds
        // them. Never filled in the generic build, which cannot see versions.
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
    Caches caches;

    // The day's books (orders.cpp): made at exec, emptied with the host's order
    // book. Matches booked per order, private so that the host's book and
    // orders stay as they are, and pruned against the book. Both dicts are
    // keyed by client order id: `orders` holds the host order the entry was
    // made for, `matches` the cumulative quantity its match brought the order
    // to, or a set of them once there are several. Plain values, not a
    // container per order, so that an order with one match adds nothing for
    // the cyclic collector to walk.
    struct Books {
        Immortal orders;
        Immortal matches;
    };
    Books books;

    // Health counters (stats.cpp): written under the GIL, zeroed by
    // reset_bridge_stats(). Events are counted per nm:: id of the EVENT member
    // posted; slot nm::COUNT holds the posts whose type is not one of the
    // bridge's event names.
    struct Counters {
        uint64_t events[nm::COUNT + 1];
        uint64_t order_outcomes[3];
        Immortal methods[kMaxMethods];  // MachStrategy's method descriptors, in class order
        int method_count;
        bool timing;
    };
    Counters counters;
};
extern State S;

// Builds S for `module` (state.cpp): the names, keyword tuples and texts, the
// constants and stdlib objects the bridge compares against. False with the
// error set when a step fails.
[[nodiscard]] bool init_state(PyObject* module);

#define N(x) (::maviro::S.consts.names[::maviro::nm::x].get())
#define KW(x) (::maviro::S.consts.kwnames[::maviro::kw::x].get())
#define TX(x) (::maviro::S.consts.texts[::maviro::tx::x].get())

// obj.name for the bridge: through the state's attribute cache.
[[nodiscard]] inline Ref getattr(PyObject* obj, PyObject* name) { return common::getattr(S.caches.attrs, obj, name); }

// The parse signature of the module function `f` (an fn:: id).
[[nodiscard]] common::SignatureOf<Borrowed> signature(int f);

// global() without its inline fast path.
[[nodiscard]] Ref global_lookup(int name);
#if PY_VERSION_HEX < 0x030C0000 && !defined(BRIDGE_GENERIC)
using common::dict_version;

// The value bound to the module global S.consts.names[name] (an nm:: id),
// looked up at use as LOAD_GLOBAL does (module namespace, then builtins), so a
// host can rebind any of them. NameError when neither has it. A global seen
// before in an unchanged module dict is taken from its slot here, inline.
[[nodiscard]] inline Ref global(int name) {
    const State::Caches::Global& slot = S.caches.globals_seen[name];
    if (slot.value && !slot.builtins && slot.globals_version == dict_version(S.consts.globals))
        return Ref::borrow(slot.value);
    return global_lookup(name);
}
#elif PY_VERSION_HEX < 0x030C0000
// The generic build before 3.12: no public way to see a dict change, so
// every use looks the name up.
[[nodiscard]] inline Ref global(int name) { return global_lookup(name); }
#else
// Registers the watcher and watches the module dict (module.cpp, at exec).
[[nodiscard]] bool watch_globals();

[[nodiscard]] inline Ref global(int name) {
    const State::Caches::Global& slot = S.caches.globals_seen[name];
    if (slot.generation == S.caches.globals_generation && !slot.builtins) return Ref::borrow(slot.value);
    return global_lookup(name);
}
#endif

// The number of arguments the call `id` of calls.def takes.
constexpr int call_arity(int id) {
    return call::kPositional[id] + (call::kKeywords[id] < 0 ? 0 : kw::kSizes[call::kKeywords[id]]);
}

// f(*args) for the call `Id` of calls.def, made by the method `Use`: the
// arguments as calls.def gives them, the keyword values last.
template <int Use, int Id, class... A>
[[nodiscard]] inline Ref host_call(PyObject* f, A... args) {
    static_assert(use::listed(Use, use::Call, Id), "a call uses.def does not list for this method");
    static_assert(sizeof...(A) == call_arity(Id), "not the arguments calls.def gives this call");
    if constexpr (call::kKeywords[Id] < 0)
        return common::call(f, args...);
    else
        return common::call_kw(f, S.consts.kwnames[call::kKeywords[Id]].get(), args...);
}

template <int Use, int Id, class... A>
[[nodiscard]] inline Ref host_call(const common::Callee& f, A... args) {
    static_assert(use::listed(Use, use::Call, Id), "a call uses.def does not list for this method");
    static_assert(call::kKeywords[Id] < 0 && sizeof...(A) == call_arity(Id),
                  "not the arguments calls.def gives this call");
    return common::call(f, args...);
}

// obj.name(*args) for the call `Id` of calls.def, made by the method `Use`.
template <int Use, int Id, class... A>
[[nodiscard]] inline Ref host_method(PyObject* obj, PyObject* name, A... args) {
    static_assert(use::listed(Use, use::Call, Id), "a call uses.def does not list for this method");
    static_assert(call::kKeywords[Id] < 0 && sizeof...(A) == call_arity(Id),
                  "not the arguments calls.def gives this call");
    return common::call_method(obj, name, args...);
}

// owner.name. An enum class's members can be neither rebound nor deleted
// (its metaclass refuses), so a member read once from the same class object
// is remembered instead of going through the metaclass's attribute hooks on
// every read. Anything else is read afresh every time.
[[nodiscard]] Ref member(PyObject* owner, PyObject* name);

// member(global(name), attr), e.g. EVENT.TICK: the global is looked up at use.
[[nodiscard]] Ref global_attr(int name, PyObject* attr);

// The facts of uses.def for the method (or scope) `Use` (a use:: id), each
// refused at build time when its row does not list it.
// The name `Name` (nm::) of the fact (Kind, Name).
template <int Use, int Kind, int Name>
[[nodiscard]] inline PyObject* use_name() {
    constexpr int id = use::checked<Use, Kind, Name>();
    return S.consts.names[id].get();
}
// Owner.Name: an enum member read (or EVENT.Name of an event posted).
template <int Use, int Owner, int Name>
[[nodiscard]] inline Ref use_member() {
    constexpr int owner = use::checked<Use, use::Member, Owner, Name>();
    return global_attr(owner, S.consts.names[Name].get());
}
// The keyword tuple Kw (kw::) of Event(EVENT.Member, ...).
template <int Use, int Member, int Kw>
[[nodiscard]] inline PyObject* use_kwnames() {
    constexpr int id = use::checked_second<Use, use::Post, Member, Kw>();
    return S.consts.kwnames[id].get();
}
// The same for a name x of the tables.
#define REC(use_, x) (::maviro::use_name<(use_), ::maviro::use::Read, ::maviro::nm::x>())  // record attribute
#define ORD(use_, x) (::maviro::use_name<(use_), ::maviro::use::OrderRead, ::maviro::nm::x>())  // order, read
#define ORD_SET(use_, x) (::maviro::use_name<(use_), ::maviro::use::OrderSet, ::maviro::nm::x>())  // order, set
#define MEMBER(use_, owner, x) (::maviro::use_member<(use_), ::maviro::nm::owner, ::maviro::nm::x>())
#define POSTED(use_, member, k) (::maviro::use_kwnames<(use_), ::maviro::nm::member, ::maviro::kw::k>())

// event_queue.append(event): every post of the bridge goes through here.
// `type` is the nm:: id of the EVENT member the event was built with (counted
// once the append succeeded), or nm::COUNT when it is not one of ours.
[[nodiscard]] bool post(PyObject* event, int type);

// stats.cpp. The outcomes of order reports the order book cannot simply apply.
enum class OrderOutcome : int { UnknownOrder, DuplicateMatch, SetAside };
inline void count_order_outcome(OrderOutcome o) { ++S.counters.order_outcomes[int(o)]; }
// The nm:: id of an EVENT member given as an argument, or nm::COUNT. Reads
// the member's name from its instance dict only: no host code runs.
int event_kind(PyObject* event_type);
// Keeps a MachStrategy method descriptor for the counters' report.
[[nodiscard]] bool stats_register_method(PyObject* method);

// obj.attr = value
[[nodiscard]] inline bool set_attr(PyObject* obj, PyObject* attr, PyObject* value) {
    return PyObject_SetAttr(obj, attr, value) == 0;
}

// datetime.now() through the module's `datetime` binding (clock.cpp).
[[nodiscard]] Ref datetime_now();

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

// fastpaths.cpp. Notes the stdlib objects the fast paths stand in for in S.consts.stdlib (at exec).
[[nodiscard]] bool fastpaths_ready();
// copy_module.deepcopy(x)
[[nodiscard]] Ref deep_copy_with(PyObject* copy_module, PyObject* x);
// str(value): a new reference, NULL on error.
PyObject* str_of(PyObject* value);

// One log line of logs.def being built: its fixed parts and str() of each
// value, in the line's order, joined once at the end and handed to the logger,
// which is looked up first, as `system_log.info(<expression>)` evaluates. str()
// can run Python code and trigger a collection, so the parts wait in a plain C
// array the collector never sees; the tuple handed to the join is made only
// once every part exists.
template <int Id>
class Line {
public:
    Line() = default;
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
    ~Line() {
        for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(parts_[i]);
    }

    // The logger: the module global `logger` (an nm:: id), looked up now.
    [[nodiscard]] bool to(int logger) {
        logger_ = global(logger);
        return bool(logger_);
    }
    // The next placeholder's text: str(value).
    [[nodiscard]] bool str(PyObject* value) {
        assert(hole_ < kHoles);
        fixed(hole_++);
        PyObject* s = str_of(value);
        if (!s) return false;
        parts_[n_++] = s;
        return true;
    }
    // str(rec.name) for the next placeholder; the value read is kept in `out`.
    [[nodiscard]] bool field(PyObject* rec, PyObject* name, Ref& out) {
        out = getattr(rec, name);
        return out && str(out.get());
    }
    // logger.<level>(line), once every placeholder has its value: the call
    // `Call` of calls.def, made by the method `Use`.
    template <int Use, int Call>
    [[nodiscard]] bool emit(PyObject* level) {
        static_assert(use::listed(Use, use::Call, Call), "a call uses.def does not list for this method");
        assert(logger_ && hole_ == kHoles);
        fixed(kHoles);
        Ref parts = Ref::steal(PyTuple_New(n_));
        if (!parts) return false;
        for (Py_ssize_t i = 0; i < n_; ++i) PyTuple_SET_ITEM(parts.get(), i, parts_[i]);
        n_ = 0;
        Ref text = Ref::steal(PyUnicode_Join(TX(empty), parts.get()));
        return text && bool(common::call_method(logger_.get(), level, text.get()));
    }

private:
    static constexpr int kHoles = lg::holes(Id);
    void fixed(int k) {
        PyObject* t = S.consts.log_parts[lg::first_part(Id) + k];
        if (!t) return;
        Py_INCREF(t);
        parts_[n_++] = t;
    }
    Ref logger_;
    PyObject* parts_[2 * kHoles + 1];
    Py_ssize_t n_ = 0;
    int hole_ = 0;
};

// A log line without placeholders, whole.
inline PyObject* log_text(int id) {
    assert(lg::holes(id) == 0);
    return S.consts.log_parts[lg::first_part(id)];
}

// Methods of MachStrategy: argv[0] is self, then the parameters in order.
#define METHOD(name, impl, returns, params, doc) PyObject* impl(PyObject* const* argv);
#include "methods.def"
#undef METHOD
// The module-level functions (market_data.cpp, stats.cpp).
#define FUNCTION BRIDGE_FUNCTION_DECL
#include "functions.def"
#undef FUNCTION
// Forgets every booked match; for when the order book is emptied (orders.cpp).
void forget_matches();

}  // namespace maviro
