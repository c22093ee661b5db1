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

// obj.name
[[nodiscard]] inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(get_attr(obj, name));
}

}  // namespace common
