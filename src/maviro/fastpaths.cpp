// The stdlib's copy.deepcopy and Enum.__str__ done in C, each only while the
// objects they depend on are still the stdlib's own, so the result and every
// call made on the way are those of the Python code; anything else takes the
// ordinary call. The generic build has no fast path: only the ordinary calls.
#include "maviro.hpp"

namespace maviro {

#ifdef BRIDGE_GENERIC
bool fastpaths_ready() { return true; }

Ref deep_copy_with(PyObject* copy_module, PyObject* x) { return common::call_method(copy_module, N(deepcopy), x); }

PyObject* str_of(PyObject* value) { return PyObject_Str(value); }
#else
namespace {

constexpr State::Consts::Stdlib& O = S.consts.stdlib;  // a name, not a copy: short for the many reads below

// The builtins copy's functions call, in the order of O.builtin_fns.
const int kBuiltinFns[] = {nm::getattr, nm::issubclass, nm::id};

// A function together with the code and defaults it had: replacing either
// makes it another function for our purposes.
bool same_function(PyObject* f, PyObject* original, PyObject* code) {
    return f == original && PyFunction_GET_CODE(f) == code;
}

// The builtins copy.deepcopy and _keep_alive would use now are the originals.
bool copy_builtins_intact() {
    PyObject* d = O.copy_dict;
    if (PyDict_GetItemWithError(d, N(__builtins__)) != O.builtins) return false;
    for (int i = 0; i < 3; ++i) {
        if (PyDict_GetItemWithError(d, S.consts.names[kBuiltinFns[i]])) return false;  // shadowed in the module
        if (PyDict_GetItemWithError(O.builtins_dict, S.consts.names[kBuiltinFns[i]]) != O.builtin_fns[i]) return false;
    }
    return !PyErr_Occurred();
}

// copy.deepcopy(x) with a fresh memo ends in x.__deepcopy__(memo) when x's
// type is a plain class that is not in the dispatch table, not a metaclass,
// and defines __deepcopy__.
bool deepcopy_applies(PyObject* copy_module, PyObject* x) {
    if (copy_module != O.copy_module || !O.deepcopy) return false;
    PyObject* d = O.copy_dict;
    PyObject* f = PyDict_GetItemWithError(d, N(deepcopy));
    if (!f || !same_function(f, O.deepcopy, O.deepcopy_code) ||
        PyFunction_GET_DEFAULTS(f) != O.deepcopy_defaults)
        return false;
    PyObject* keep = PyDict_GetItemWithError(d, N(_keep_alive));
    if (!keep || !same_function(keep, O.keep_alive, O.keep_alive_code)) return false;
    if (PyDict_GetItemWithError(d, N(_deepcopy_dispatch)) != O.dispatch || !PyDict_CheckExact(O.dispatch))
        return false;
    PyTypeObject* cls = Py_TYPE(x);
    // A metaclass of its own could hash the class in Python.
    if (Py_TYPE(cls) != &PyType_Type || PyType_IsSubtype(cls, &PyType_Type)) return false;
    if (PyDict_GetItemWithError(O.dispatch, (PyObject*)cls)) return false;
    if (PyErr_Occurred() || !copy_builtins_intact()) return false;
    return common::type_lookup(cls, N(__deepcopy__)) != nullptr;
}

}  // namespace

bool fastpaths_ready() {
    // A retried exec: no fast path until all is found again.
    O.deepcopy.clear();
    O.enum_str.clear();
    if (!O.object_class.keep(common::type_lookup(&PyBaseObject_Type, N(__class__)))) return false;

    Ref enum_mod = Ref::steal(PyImport_ImportModule("enum"));
    if (!enum_mod) return false;
    Ref enum_cls = common::getattr(enum_mod.get(), N(Enum));
    if (!enum_cls) return false;
    PyObject* s = common::type_lookup((PyTypeObject*)enum_cls.get(), N(__str__));
    if (s && PyFunction_Check(s) && (!O.enum_str.keep(s) || !O.enum_str_code.keep(PyFunction_GET_CODE(s))))
        return false;

    Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
    if (!copy_mod) return false;
    if (!PyModule_CheckExact(copy_mod.get())) return true;
    PyObject* d = PyModule_GetDict(copy_mod.get());
    PyObject* f = PyDict_GetItemWithError(d, N(deepcopy));
    PyObject* keep = PyDict_GetItemWithError(d, N(_keep_alive));
    PyObject* dispatch = PyDict_GetItemWithError(d, N(_deepcopy_dispatch));
    PyObject* builtins = PyDict_GetItemWithError(d, N(__builtins__));
    if (PyErr_Occurred()) return false;
    if (!f || !PyFunction_Check(f) || !PyFunction_GET_DEFAULTS(f) || !keep || !PyFunction_Check(keep) ||
        !dispatch || !PyDict_CheckExact(dispatch) || !builtins)
        return true;  // not the stdlib's module as we know it: no fast path
    PyObject* bdict = PyModule_Check(builtins) ? PyModule_GetDict(builtins) : builtins;
    if (!PyDict_Check(bdict)) return true;
    PyObject* fns[3];
    for (int i = 0; i < 3; ++i) {
        fns[i] = PyDict_GetItemWithError(bdict, S.consts.names[kBuiltinFns[i]]);
        if (!fns[i]) return !PyErr_Occurred();
    }
    if (!O.copy_module.keep(copy_mod.get()) || !O.copy_dict.keep(d) ||
        !O.deepcopy_code.keep(PyFunction_GET_CODE(f)) || !O.deepcopy_defaults.keep(PyFunction_GET_DEFAULTS(f)) ||
        !O.keep_alive.keep(keep) || !O.keep_alive_code.keep(PyFunction_GET_CODE(keep)) ||
        !O.dispatch.keep(dispatch) || !O.builtins.keep(builtins) || !O.builtins_dict.keep(bdict))
        return false;
    for (int i = 0; i < 3; ++i)
        if (!O.builtin_fns[i].keep(fns[i])) return false;
    return O.deepcopy.keep(f);  // last: set means all of the above are
}

Ref deep_copy_with(PyObject* copy_module, PyObject* x) {
    if (!deepcopy_applies(copy_module, x)) {
        if (PyErr_Occurred()) return {};
        return common::call_method(copy_module, N(deepcopy), x);
    }
    // memo = {}; copier = getattr(x, "__deepcopy__", None); y = copier(memo)
    Ref memo = Ref::steal(PyDict_New());
    if (!memo) return {};
    Ref copier = getattr(x, N(__deepcopy__));
    if (!copier || copier.get() == Py_None) {
        // The instance hides the type's method: the stdlib's own path.
        if (copier || PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return common::call_method(copy_module, N(deepcopy), x);
        }
        return {};
    }
    Ref y = common::call(copier.get(), memo.get());
    if (!y) return {};
    if (y.get() != x) {
        // memo[id(x)] = y; _keep_alive(x, memo): memo[id(memo)].append(x),
        // or [x] when there is none yet.
        Ref d = Ref::steal(PyLong_FromVoidPtr(x));
        if (!d || PyDict_SetItem(memo.get(), d.get(), y.get()) < 0) return {};
        Ref key = Ref::steal(PyLong_FromVoidPtr(memo.get()));
        if (!key) return {};
        PyObject* kept = PyDict_GetItemWithError(memo.get(), key.get());
        if (kept) {
            if (!common::call_method(Ref::borrow(kept).get(), N(append), x)) return {};
        } else {
            if (PyErr_Occurred()) return {};
            Ref list = Ref::steal(PyList_New(1));
            if (!list) return {};
            Py_INCREF(x);
            PyList_SET_ITEM(list.get(), 0, x);
            if (PyDict_SetItem(memo.get(), key.get(), list.get()) < 0) return {};
        }
    }
    return y;
}

PyObject* str_of(PyObject* value) {
    // Enum.__str__: "%s.%s" % (self.__class__.__name__, self._name_), for a
    // member of a class made by EnumMeta itself whose __str__ is still that
    // function and that does not redefine __class__.
    PyTypeObject* tp = Py_TYPE(value);
    if (O.enum_str && (PyObject*)Py_TYPE(tp) == S.consts.enum_meta && (tp->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyObject* s = common::type_lookup(tp, N(__str__));
        if (s && same_function(s, O.enum_str, O.enum_str_code) &&
            common::type_lookup(tp, N(__class__)) == O.object_class) {
            PyObject* cls_name = common::heap_type_name(tp);
            Ref name = getattr(value, N(_name_));
            if (!name) return nullptr;
            return PyUnicode_FromFormat("%S.%S", cls_name, name.get());
        }
    }
    return PyObject_Str(value);
}
#endif  // BRIDGE_GENERIC

}  // namespace maviro
