// Construction and start-up of MachStrategy: __init__, initialize, on_initialize.
#include "maviro.hpp"

namespace maviro {

PyObject* init(PyObject* const* argv) {
    PyObject* self = argv[0];
    PyObject* config = argv[1];
    // super().__init__(): the SDK strategy's own set-up, which provides self.context.
    {
        Ref super = common::call((PyObject*)&PySuper_Type, S.cls, self);
        if (!super) return nullptr;
        Ref base_init = common::getattr(super.get(), N(__init__));
        if (!base_init || !common::call(base_init.get())) return nullptr;
    }
    if (!set_attr(self, N(logged_in), Py_False) || !set_attr(self, N(order_num), S.zero) ||
        !set_attr(self, N(bar_cnt), S.zero) || !set_attr(self, N(current_trade_dt), S.zero))
        return nullptr;
    Ref dt = global(N(datetime));
    if (!dt) return nullptr;
    Ref now = common::call_method(dt.get(), N(now));
    if (!now) return nullptr;
    Ref first_dt = common::call_method(now.get(), N(date));
    if (!first_dt || !set_attr(self, N(first_dt), first_dt.get()) || !set_attr(self, N(config), config))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* initialize(PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "initialize is not implemented yet");
    return nullptr;
}

PyObject* on_initialize(PyObject* const*) { Py_RETURN_NONE; }

}  // namespace maviro
