// Interned-name tables. Each module writes one X-macro list; the list generates
// an enum and the C strings, and intern_all() turns them into interned str
// objects once, at module exec, so a lookup by name is a pointer compare.
#pragma once
#include "ref.hpp"

#include <cstddef>

namespace common {

// Keeps in dst[i] the interned form of src[i].
[[nodiscard]] inline bool intern_all(const char* const* src, Immortal* dst, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!dst[i].set(PyUnicode_InternFromString(src[i]))) return false;
    return true;
}

// Builds a tuple of interned names from a NULL-terminated list (for vectorcall kwnames).
[[nodiscard]] inline PyObject* interned_tuple(const char* const* names) {
    Py_ssize_t n = 0;
    while (names[n]) ++n;
    Ref t = Ref::steal(PyTuple_New(n));
    if (!t) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyUnicode_InternFromString(names[i]);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, s);
    }
    return t.release();
}

}  // namespace common
