// Account and order synchronisation: login, asset and position queries,
// order reports, trade reports and order-action errors.
#include "maviro.hpp"

namespace maviro {

namespace {

PyObject* not_implemented(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
    return nullptr;
}

}  // namespace

PyObject* on_login(PyObject* const*) { return not_implemented("on_login"); }

PyObject* on_query_asset(PyObject* const*) { return not_implemented("on_query_asset"); }

PyObject* on_query_position(PyObject* const*) { return not_implemented("on_query_position"); }

PyObject* on_order(PyObject* const*) { return not_implemented("on_order"); }

PyObject* on_trade(PyObject* const*) { return not_implemented("on_trade"); }

PyObject* on_order_action_error(PyObject* const*) { return not_implemented("on_order_action_error"); }

}  // namespace maviro
