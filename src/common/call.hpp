// Call helpers over vectorcall. Arguments are borrowed; results are new references
// (NULL with the exception set on failure).
#pragma once
#include "attr.hpp"
#include "ref.hpp"

namespace common {

// f(*args): positional only.
template <class... A>
[[nodiscard]] inline Ref call(PyObject* f, A... args) {
    PyObject* argv[] = {nullptr, args...};
    return Ref::steal(vectorcall(f, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                 nullptr));
}

// f(*args[:n-k], **dict(zip(kwnames, args[n-k:]))), k = len(kwnames): the keyword
// values come last, in the order of the prebuilt kwnames tuple.
template <class... A>
[[nodiscard]] inline Ref call_kw(PyObject* f, PyObject* kwnames, A... args) {
    PyObject* argv[] = {nullptr, args...};
    size_t npos = sizeof...(A) - (size_t)PyTuple_GET_SIZE(kwnames);
    return Ref::steal(vectorcall(f, argv + 1, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// obj.name(*args)
template <class... A>
[[nodiscard]] inline Ref call_method(PyObject* obj, PyObject* name, A... args) {
    return Ref::steal(method_call(obj, name, args...));
}

// A callable read off a class, kept as the call would make it: either the
// attribute itself, or a classmethod's function with the class to pass first,
// so calling it allocates no bound method. Holds what it names.
struct Callee {
    Ref fn;
    Ref self;  // null: call fn as is
    explicit operator bool() const { return bool(fn); }
};

// cls.name on a class whose metaclass is type itself, where that is a
// staticmethod (what it wraps) or a classmethod wrapping a Python function
// (the function, to be called with the class first): what type's attribute
// read would give, without the read's binding. Otherwise `fallback(cls,
// name)`, the ordinary read.
template <class F>
[[nodiscard]] inline Callee class_attr(PyObject* cls, PyObject* name, F fallback) {
#ifndef BRIDGE_GENERIC
    if (Py_TYPE(cls) == &PyType_Type && PyUnicode_CheckExact(name)) {
        PyObject* d = type_lookup((PyTypeObject*)cls, name);  // borrowed
        if (d && Py_TYPE(d) == &PyClassMethod_Type) {
            PyObject* fn = wrapped_callable(d);
            if (fn && Py_TYPE(fn) == &PyFunction_Type) return {Ref::borrow(fn), Ref::borrow(cls)};
        } else if (d && Py_TYPE(d) == &PyStaticMethod_Type) {
            // Read off anything, a staticmethod gives what it wraps.
            if (PyObject* fn = wrapped_callable(d)) return {Ref::borrow(fn), {}};
        }
    }
#endif
    return {fallback(cls, name), {}};
}

// callee(*args)
template <class... A>
[[nodiscard]] inline Ref call(const Callee& c, A... args) {
    if (!c.self) return call(c.fn.get(), args...);
    PyObject* argv[] = {nullptr, c.self.get(), args...};
    return Ref::steal(vectorcall(c.fn.get(), argv + 1, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                 nullptr));
}

// obj.name
[[nodiscard]] inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

// obj.name, remembered in `cache` (see attr.hpp).
[[nodiscard]] inline Ref getattr(AttrCache& cache, PyObject* obj, PyObject* name) {
    return Ref::steal(get_attr(cache, obj, name));
}

}  // namespace common
