// Argument parser for METH_FASTCALL|METH_KEYWORDS and vectorcall entry points.
// Every parameter is positional-or-keyword; the errors are the interpreter's own
// TypeErrors, raised before any of the function's body runs.
#pragma once
#include "ref.hpp"

namespace common {

// `Name` is what holds each parameter name: PyObject*, or a wrapper that
// converts to it and says who owns the name (ref.hpp).
template <class Name>
struct SignatureOf {
    const char* name;            // used in the error messages
    Py_ssize_t nparams;
    const Name* params;          // interned parameter names
    PyObject* const* defaults;   // nullptr, or one entry per parameter (nullptr = required)
};
using Signature = SignatureOf<PyObject*>;

namespace detail {

template <class Name>
inline Py_ssize_t required_count(const SignatureOf<Name>& sig) {
    if (!sig.defaults) return sig.nparams;
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i)
        if (!sig.defaults[i]) ++n;
    return n;
}

template <class Name>
inline void raise_too_many(const SignatureOf<Name>& sig, Py_ssize_t given) {
    Py_ssize_t req = required_count(sig);
    const char* verb = given == 1 ? "was" : "were";
    if (req == sig.nparams) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given",
                     sig.name, sig.nparams, sig.nparams == 1 ? "" : "s", given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zd to %zd positional arguments but %zd %s given",
                     sig.name, req, sig.nparams, given, verb);
    }
}

template <class Name>
inline void raise_missing(const SignatureOf<Name>& sig, PyObject* const* out) {
    // "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter words it.
    Ref names = Ref::steal(PyList_New(0));
    if (!names) return;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (out[i]) continue;
        Ref r = Ref::steal(PyObject_Repr(sig.params[i]));
        if (!r || PyList_Append(names.get(), r.get()) < 0) return;
    }
    Py_ssize_t n = PyList_GET_SIZE(names.get());
    Ref text;
    if (n == 1) {
        text = Ref::borrow(PyList_GET_ITEM(names.get(), 0));
    } else {
        Ref head = Ref::steal(PyList_GetSlice(names.get(), 0, n - 1));
        Ref sep = Ref::steal(PyUnicode_FromString(", "));
        if (!head || !sep) return;
        Ref joined = Ref::steal(PyUnicode_Join(sep.get(), head.get()));
        if (!joined) return;
        text = Ref::steal(PyUnicode_FromFormat("%U%s and %U", joined.get(), n > 2 ? "," : "",
                                               PyList_GET_ITEM(names.get(), n - 1)));
    }
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %U", sig.name, n,
                 n == 1 ? "" : "s", text.get());
}

template <class Name>
inline Py_ssize_t find_param(const SignatureOf<Name>& sig, PyObject* key) {
    for (Py_ssize_t i = 0; i < sig.nparams; ++i)
        if (sig.params[i] == key) return i;
    // Keys built at run time (e.g. **kwargs) need not be interned.
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        int eq = PyUnicode_Compare(sig.params[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) return -2;
    }
    return -1;
}

}  // namespace detail

// Fills out[0..nparams) with borrowed references (defaults included).
template <class Name>
[[nodiscard]] inline bool parse_args(const SignatureOf<Name>& sig, PyObject* const* args, Py_ssize_t nargs,
                                     PyObject* kwnames, PyObject** out) {
    if (nargs > sig.nparams) {
        detail::raise_too_many(sig, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t i = detail::find_param(sig, key);
            if (i == -2) return false;
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.name, key);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }
    bool missing = false;
    for (Py_ssize_t i = 0; i < sig.nparams; ++i) {
        if (out[i]) continue;
        if (sig.defaults && sig.defaults[i]) {
            out[i] = sig.defaults[i];
        } else {
            missing = true;
        }
    }
    if (missing) {
        detail::raise_missing(sig, out);
        return false;
    }
    return true;
}

}  // namespace common
