// Trading-day clock: the daily timer chain (create_time_listener, set_timer),
// the phase events it schedules, and the SDK's day switch.
#include "maviro.hpp"

namespace maviro {

namespace {

PyObject* not_implemented(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
    return nullptr;
}

// self.send_day_event(EVENT.<phase>, datetime.now()): through the instance, so a
// subclass that replaces send_day_event changes every sender.
[[nodiscard]] bool send_phase(PyObject* self, PyObject* phase) {
    Ref sender = common::getattr(self, N(send_day_event));
    if (!sender) return false;
    Ref type = global_attr(N(EVENT), phase);
    if (!type) return false;
    Ref now = Ref();
    {
        Ref dt = global(N(datetime));
        if (!dt) return false;
        now = common::call_method(dt.get(), N(now));
    }
    if (!now) return false;
    return bool(common::call(sender.get(), type.get(), now.get()));
}

}  // namespace

PyObject* send_day_event(PyObject* const* argv) {
    PyObject* event_type = argv[1];
    PyObject* dt = argv[2];
    Ref event_cls = global(N(Event));
    if (!event_cls) return nullptr;
    Ref event = common::call_kw(event_cls.get(), KW(day), event_type, dt, dt);
    if (!event || !post(event.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_before_trading_event(PyObject* const* argv) {
    if (!send_phase(argv[0], N(BEFORE_TRADING))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_open_auction_event(PyObject* const* argv) {
    if (!send_phase(argv[0], N(OPEN_AUCTION))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* send_after_trading_event(PyObject* const* argv) {
    // The event is queued before the order book is emptied; a failed post leaves
    // the book as it was.
    if (!send_phase(argv[0], N(AFTER_TRADING)) || !clear_global(N(orders_dict))) return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_switch_day(PyObject* const*) {
    for (PyObject* name : {N(orders_dict), N(history_bar), N(history_tick), N(algo_parent_orders),
                           N(algo_child_orders), N(algo_child_trades)}) {
        if (!clear_global(name)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* create_time_listener(PyObject* const*) { return not_implemented("create_time_listener"); }

PyObject* set_timer(PyObject* const*) { return not_implemented("set_timer"); }

}  // namespace maviro
