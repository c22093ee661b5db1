// Algorithmic orders: session and parent-order responses, and the parent,
// child-order and child-trade updates with their registries.
#include "maviro.hpp"

#include <initializer_list>

namespace maviro {

namespace {

// Event(EVENT.<Kind>, **fields) with the fields read from the response's
// attributes `Attrs` in the order of kw::Kw; nothing is posted unless every
// field could be read.
template <int Use, int Kind, int Kw, int... Attrs>
[[nodiscard]] bool post_response(PyObject* res) {
    static_assert((use::listed(Use, use::Read, Attrs) && ...), "an attribute uses.def does not list for this method");
    static_assert(sizeof...(Attrs) == kw::kSizes[Kw] && sizeof...(Attrs) <= 4);
    PyObject* kwnames = use_kwnames<Use, Kind, Kw>();
    Ref type = global_attr(nm::EVENT, S.consts.names[Kind]);
    if (!type) return false;
    Ref values[4];
    size_t n = 0;
    for (int attr : {Attrs...}) {
        values[n] = getattr(res, S.consts.names[attr].get());
        if (!values[n++]) return false;
    }
    Ref event_cls = global(nm::Event);
    if (!event_cls) return false;
    PyObject* argv[6] = {nullptr, type.get()};
    for (size_t i = 0; i < n; ++i) argv[2 + i] = values[i].get();
    Ref event = Ref::steal(common::vectorcall(event_cls.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return event && post(event.get(), Kind);
}

// One procedure for the three update kinds: fold the report into the record
// registered under its sys_quote_id, store the result, post a deep copy of it.
// The registry and the key are fetched afresh at each of the test, the lookup
// and the store, in the order the interpreter evaluates
// `reg[r.key] if r.key in reg else None` and `reg[r.key] = current`, so a
// rebound registry or a report whose key changes is seen as plain code sees it.
template <int Use, int FromMach, int Kind, int Kw>
[[nodiscard]] bool fold_update(PyObject* report, int registry_name, int class_name) {
    Ref existing;
    {
        Ref key = getattr(report, REC(Use, sys_quote_id));
        if (!key) return false;
        Ref registry = global(registry_name);
        if (!registry) return false;
        int has = PySequence_Contains(registry.get(), key.get());
        if (has < 0) return false;
        if (has) {
            registry = global(registry_name);
            if (!registry) return false;
            key = getattr(report, REC(Use, sys_quote_id));
            if (!key) return false;
            existing = Ref::steal(PyObject_GetItem(registry.get(), key.get()));
            if (!existing) return false;
        } else {
            existing = Ref::borrow(Py_None);
        }
    }
    Ref cls = global(class_name);
    if (!cls) return false;
    Ref current = host_method<Use, FromMach>(cls.get(), N(from_mach), report, existing.get());
    if (!current) return false;
    {
        Ref registry = global(registry_name);
        if (!registry) return false;
        Ref key = getattr(report, REC(Use, sys_quote_id));
        if (!key || PyObject_SetItem(registry.get(), key.get(), current.get()) < 0) return false;
    }
    Ref type = use_member<Use, nm::EVENT, Kind>();
    if (!type) return false;
    Ref copy_mod = global(nm::copy);
    if (!copy_mod) return false;
    Ref snapshot = deep_copy_with(copy_mod.get(), current.get());
    if (!snapshot) return false;
    Ref event_cls = global(nm::Event);
    if (!event_cls) return false;
    Ref event = common::call_kw(event_cls.get(), use_kwnames<Use, Kind, Kw>(), type.get(), snapshot.get());
    return event && post(event.get(), Kind);
}

// `from pymach.enums import AlgoControlType`, at every call. A name the module
// lacks may still be a loaded submodule; otherwise the ImportError reads as the
// interpreter's own.
Ref import_algo_control_type() {
    PyObject* name = use_name<use::on_control_algo_parent_order_res, use::Import, nm::AlgoControlType>();
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    if (!fromlist) return {};
    Ref mod = Ref::steal(PyImport_ImportModuleLevel("pymach.enums", S.consts.globals, nullptr, fromlist.get(), 0));
    if (!mod) return {};
    Ref value = getattr(mod.get(), name);
    if (value || !PyErr_ExceptionMatches(PyExc_AttributeError)) return value;
    PyErr_Clear();
    Ref modname = Ref::steal(PyObject_GetAttrString(mod.get(), "__name__"));
    if (!modname || !PyUnicode_Check(modname.get())) {
        PyErr_Clear();
        modname = Ref::steal(PyUnicode_FromString("pymach.enums"));
        if (!modname) return {};
    } else {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", modname.get(), name));
        if (!full) return {};
        value = Ref::steal(PyImport_GetModule(full.get()));
        if (value || PyErr_Occurred()) return value;
    }
    Ref path = Ref::steal(PyModule_GetFilenameObject(mod.get()));
    PyObject* where = path && PyUnicode_Check(path.get()) ? path.get() : nullptr;
    if (!path) PyErr_Clear();
    Ref msg = Ref::steal(where ? PyUnicode_FromFormat("cannot import name %R from %R (%S)", name, modname.get(), where)
                               : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name,
                                                      modname.get()));
    if (msg) PyErr_SetImportError(msg.get(), modname.get(), where);
    return {};
}

// 1 when res.<attr> == AlgoControlType.<Member>, 0 when not, -1 on error.
template <int Member>
int control_is(PyObject* res, PyObject* attr, PyObject* control_type) {
    constexpr int C = use::on_control_algo_parent_order_res;
    Ref value = getattr(res, attr);
    if (!value) return -1;
    constexpr int name = use::checked_second<C, use::Member, nm::AlgoControlType, Member>();
    Ref expected = getattr(control_type, S.consts.names[name].get());
    if (!expected) return -1;
    return PyObject_RichCompareBool(value.get(), expected.get(), Py_EQ);
}

}  // namespace

PyObject* on_algo_login(PyObject* const* argv) {
    if (!post_response<use::on_algo_login, nm::ALGO_LOGIN, kw::algo_login, nm::client_seq_id, nm::trader_id,
                       nm::error_code, nm::error_msg>(argv[1]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_create_algo_parent_order_res(PyObject* const* argv) {
    if (!post_response<use::on_create_algo_parent_order_res, nm::PARENT_ORDER_CREATE, kw::parent_create,
                       nm::client_seq_id, nm::sys_quote_id, nm::error_code, nm::error_msg>(argv[1]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_cancel_algo_parent_order_res(PyObject* const* argv) {
    if (!post_response<use::on_cancel_algo_parent_order_res, nm::PARENT_ORDER_CANCEL, kw::parent_result,
                       nm::sys_quote_id, nm::error_code, nm::error_msg>(argv[1]))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_control_algo_parent_order_res(PyObject* const* argv) {
    constexpr int C = use::on_control_algo_parent_order_res;
    PyObject* res = argv[1];
    Ref control_type = import_algo_control_type();
    if (!control_type) return nullptr;
    int pause = control_is<nm::Pause>(res, REC(C, control_type), control_type.get());
    if (pause < 0) return nullptr;
    if (pause) {
        if (!post_response<C, nm::PARENT_ORDER_PAUSE, kw::parent_result, nm::sys_quote_id, nm::error_code,
                           nm::error_msg>(res))
            return nullptr;
        Py_RETURN_NONE;
    }
    int resume = control_is<nm::Resume>(res, REC(C, algo_control_type), control_type.get());
    if (resume < 0) return nullptr;
    if (resume && !post_response<C, nm::PARENT_ORDER_RESUME, kw::parent_result, nm::sys_quote_id, nm::error_code,
                                 nm::error_msg>(res))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_algo_parent_order_update(PyObject* const* argv) {
    if (!fold_update<use::on_algo_parent_order_update, call::parent_from_mach, nm::PARENT_ORDER_UPDATE,
                     kw::algo_parent_order>(argv[1], nm::algo_parent_orders, nm::AlgoParentOrder))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_algo_child_order_update(PyObject* const* argv) {
    if (!fold_update<use::on_algo_child_order_update, call::child_order_from_mach, nm::CHILD_ORDER_UPDATE,
                     kw::algo_child_order>(argv[1], nm::algo_child_orders, nm::AlgoChildOrder))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* on_algo_child_order_trade(PyObject* const* argv) {
    if (!fold_update<use::on_algo_child_order_trade, call::child_trade_from_mach, nm::CHILD_ORDER_TRADE,
                     kw::algo_child_trade>(argv[1], nm::algo_child_trades, nm::AlgoChildTrade))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace maviro
