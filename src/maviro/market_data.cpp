// Market data intake (snapshots, level-2 orders and trades, bars) and the
// tick and bar histories with their four query functions.
#include "maviro.hpp"

namespace maviro {

namespace {

PyObject* not_implemented(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
    return nullptr;
}

}  // namespace

PyObject* on_snapshot(PyObject* const*) { return not_implemented("on_snapshot"); }

PyObject* on_tick_order(PyObject* const*) { return not_implemented("on_tick_order"); }

PyObject* on_tick_trade(PyObject* const*) { return not_implemented("on_tick_trade"); }

PyObject* on_bar(PyObject* const*) { return not_implemented("on_bar"); }

PyMethodDef query_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace maviro
