// Algorithmic orders: session and parent-order responses, and the parent,
// child-order and child-trade updates with their registries.
#include "maviro.hpp"

namespace maviro {

namespace {

PyObject* not_implemented(const char* what) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not implemented yet", what);
    return nullptr;
}

}  // namespace

PyObject* on_algo_login(PyObject* const*) { return not_implemented("on_algo_login"); }

PyObject* on_create_algo_parent_order_res(PyObject* const*) { return not_implemented("on_create_algo_parent_order_res"); }

PyObject* on_cancel_algo_parent_order_res(PyObject* const*) { return not_implemented("on_cancel_algo_parent_order_res"); }

PyObject* on_control_algo_parent_order_res(PyObject* const*) { return not_implemented("on_control_algo_parent_order_res"); }

PyObject* on_algo_parent_order_update(PyObject* const*) { return not_implemented("on_algo_parent_order_update"); }

PyObject* on_algo_child_order_update(PyObject* const*) { return not_implemented("on_algo_child_order_update"); }

PyObject* on_algo_child_order_trade(PyObject* const*) { return not_implemented("on_algo_child_order_trade"); }

}  // namespace maviro
