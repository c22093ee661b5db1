// Health counters: calls and errors per MachStrategy method (kept by the
// method objects), events posted per EVENT member, the event queue's counters,
// order-report outcomes, and optional per-method latency; read as one plain
// dict by bridge_stats().
#include "maviro.hpp"

#include <iterator>

namespace maviro {
namespace {

// The EVENT members the bridge posts, in the order bridge_stats() reports them.
const int kEventKinds[] = {
    nm::BEFORE_TRADING, nm::OPEN_AUCTION, nm::AFTER_TRADING, nm::TICK, nm::L2_ORDER, nm::L2_TRANSACTION,
    nm::BAR, nm::LOGIN, nm::QUERY_ACCOUNT, nm::QUERY_POSITION, nm::ORDER_CREATION_PASS, nm::TRADE,
    nm::ORDER_CANCELLATION_PASS, nm::ORDER_PENDING_CANCEL, nm::ORDER_UNSOLICITED_UPDATE,
    nm::ORDER_CANCELLATION_REJECT, nm::ALGO_LOGIN, nm::PARENT_ORDER_CREATE, nm::PARENT_ORDER_CANCEL,
    nm::PARENT_ORDER_PAUSE, nm::PARENT_ORDER_RESUME, nm::PARENT_ORDER_UPDATE, nm::CHILD_ORDER_UPDATE,
    nm::CHILD_ORDER_TRADE,
};
constexpr int kEventCount = int(std::size(kEventKinds));

const char* const kOutcomeNames[] = {"unknown_order", "duplicate_match", "set_aside"};
static_assert(std::size(kOutcomeNames) == std::size(State::Counters{}.order_outcomes));

constexpr double kQuantiles[] = {0.5, 0.9, 0.99, 0.999};
const char* const kLatencyKeys[] = {"count", "p50", "p90", "p99", "p999", "max"};
constexpr int kLatencyFields = int(std::size(kLatencyKeys));

// Everything bridge_stats() reports, copied out before any object is made:
// building the dict can run a collection and with it host code that calls
// back into the bridge.
struct Snapshot {
    uint64_t calls[std::size(State::Counters{}.methods)];
    uint64_t errors[std::size(State::Counters{}.methods)];
    uint64_t latency[std::size(State::Counters{}.methods)][kLatencyFields];
    uint64_t events[kEventCount];
    uint64_t other_events;
    uint64_t outcomes[std::size(State::Counters{}.order_outcomes)];
    bool native_queue;
    QueueCounts queue;
    bool timing;
};

void take(Snapshot& s, PyObject* queue) {
    for (int i = 0; i < S.counters.method_count; ++i) {
        const common::MethodObject& m = common::method_counts(S.counters.methods[i]);
        s.calls[i] = m.calls;
        s.errors[i] = m.errors;
        if (!S.counters.timing) continue;
        const common::Latency* h = m.latency_store;
        uint64_t* out = s.latency[i];
        out[0] = h ? h->count : 0;
        if (h) {
            h->quantiles(kQuantiles, int(std::size(kQuantiles)), out + 1);
        } else {
            for (int k = 1; k < kLatencyFields - 1; ++k) out[k] = 0;
        }
        out[kLatencyFields - 1] = h ? h->max : 0;
    }
    for (int i = 0; i < kEventCount; ++i) s.events[i] = S.counters.events[kEventKinds[i]];
    s.other_events = S.counters.events[nm::COUNT];
    for (size_t i = 0; i < std::size(s.outcomes); ++i) s.outcomes[i] = S.counters.order_outcomes[i];
    s.native_queue = queue && queue_is_native(queue);
    if (s.native_queue) s.queue = queue_counts(queue);
    s.timing = S.counters.timing;
}

[[nodiscard]] bool put_u64(PyObject* dict, const char* key, uint64_t v) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(v));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// None when the figure is unknown.
[[nodiscard]] bool put_known(PyObject* dict, const char* key, bool known, uint64_t v) {
    if (!known) return PyDict_SetItemString(dict, key, Py_None) == 0;
    return put_u64(dict, key, v);
}

[[nodiscard]] Ref build(const Snapshot& s) {
    Ref out = Ref::steal(PyDict_New());
    Ref callbacks = Ref::steal(PyDict_New());
    Ref events = Ref::steal(PyDict_New());
    Ref queue = Ref::steal(PyDict_New());
    Ref orders = Ref::steal(PyDict_New());
    if (!out || !callbacks || !events || !queue || !orders) return {};
    for (int i = 0; i < S.counters.method_count; ++i) {
        Ref one = Ref::steal(PyDict_New());
        if (!one || !put_u64(one.get(), "calls", s.calls[i]) || !put_u64(one.get(), "errors", s.errors[i]) ||
            PyDict_SetItem(callbacks.get(), common::method_counts(S.counters.methods[i]).name, one.get()) < 0)
            return {};
    }
    for (int i = 0; i < kEventCount; ++i)
        if (!put_u64(events.get(), PyUnicode_AsUTF8(S.consts.names[kEventKinds[i]]), s.events[i])) return {};
    // Posts through send_day_event with a type that is none of the above.
    if (s.other_events && !put_u64(events.get(), "other", s.other_events)) return {};
    // A host's own queue object is not read: that could run its code.
    bool known = s.native_queue;
    if (!put_known(queue.get(), "appended", known, s.queue.appended) ||
        !put_known(queue.get(), "dropped", known, s.queue.dropped) ||
        !put_known(queue.get(), "depth", known, uint64_t(s.queue.depth)) ||
        !put_known(queue.get(), "high_water", known, uint64_t(s.queue.high_water)) ||
        !put_known(queue.get(), "capacity", known, uint64_t(s.queue.capacity)))
        return {};
    for (size_t i = 0; i < std::size(s.outcomes); ++i)
        if (!put_u64(orders.get(), kOutcomeNames[i], s.outcomes[i])) return {};
    if (PyDict_SetItemString(out.get(), "callbacks", callbacks.get()) < 0 ||
        PyDict_SetItemString(out.get(), "events", events.get()) < 0 ||
        PyDict_SetItemString(out.get(), "queue", queue.get()) < 0 ||
        PyDict_SetItemString(out.get(), "orders", orders.get()) < 0)
        return {};
    if (!s.timing) return out;
    Ref latency = Ref::steal(PyDict_New());
    if (!latency) return {};
    for (int i = 0; i < S.counters.method_count; ++i) {
        Ref one = Ref::steal(PyDict_New());
        if (!one) return {};
        for (int k = 0; k < kLatencyFields; ++k)
            if (!put_u64(one.get(), kLatencyKeys[k], s.latency[i][k])) return {};
        if (PyDict_SetItem(latency.get(), common::method_counts(S.counters.methods[i]).name, one.get()) < 0) return {};
    }
    if (PyDict_SetItemString(out.get(), "latency_ns", latency.get()) < 0) return {};
    return out;
}

// The bound event_queue without running host code: a plain dict read.
// Borrowed, or null (no error set) when unbound or the read fails.
PyObject* bound_queue() {
    PyObject* q = PyDict_GetItemWithError(S.consts.globals, N(event_queue));
    if (!q) PyErr_Clear();
    return q;
}

}  // namespace

PyObject* bridge_stats(PyObject*, PyObject*) {
    Snapshot s{};
    take(s, bound_queue());
    return build(s).release();
}

PyObject* reset_bridge_stats(PyObject*, PyObject*) {
    for (int i = 0; i < S.counters.method_count; ++i) common::reset_counts(S.counters.methods[i]);
    for (uint64_t& n : S.counters.events) n = 0;
    for (uint64_t& n : S.counters.order_outcomes) n = 0;
    PyObject* q = bound_queue();
    if (q && queue_is_native(q)) queue_reset_counts(q);
    Py_RETURN_NONE;
}

PyObject* set_bridge_timing(PyObject*, PyObject* arg) {
    int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    bool was = S.counters.timing;
    for (int i = 0; i < S.counters.method_count; ++i) {
        if (common::set_timing(S.counters.methods[i], on)) continue;
        // All or nothing: undo what was switched already.
        for (int k = 0; k < i; ++k) (void)common::set_timing(S.counters.methods[k], was);
        return nullptr;
    }
    S.counters.timing = on;
    return PyBool_FromLong(was);
}

int event_kind(PyObject* event_type) {
    PyTypeObject* cls = Py_TYPE(event_type);
    if (!PyObject_TypeCheck((PyObject*)cls, (PyTypeObject*)S.consts.enum_meta.get()) || !cls->tp_dictoffset)
        return nm::COUNT;
    Ref dict = Ref::steal(PyObject_GenericGetDict(event_type, nullptr));
    PyObject* name = dict && PyDict_CheckExact(dict.get()) ? PyDict_GetItemWithError(dict.get(), N(_name_)) : nullptr;
    if (!name) PyErr_Clear();
    if (!name || !PyUnicode_CheckExact(name)) return nm::COUNT;
    for (int kind : kEventKinds)
        if (name == S.consts.names[kind] || PyUnicode_Compare(name, S.consts.names[kind]) == 0) return kind;
    return nm::COUNT;
}

bool stats_register_method(PyObject* method) {
    if (S.counters.method_count == int(std::size(S.counters.methods))) {
        PyErr_SetString(PyExc_SystemError, "too many MachStrategy methods for the counters");
        return false;
    }
    return S.counters.methods[S.counters.method_count++].keep(method);
}

}  // namespace maviro
