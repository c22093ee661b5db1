// Everything that differs between the CPython versions we build for (3.8 to 3.13).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Module entry points. 3.8's PyMODINIT_FUNC carries no visibility attribute, and
// everything else is built hidden.
#define BRIDGE_MODINIT extern "C" __attribute__((visibility("default"))) PyObject*

namespace common {

#if PY_VERSION_HEX < 0x03090000
// 3.8 only has the provisional, underscore-prefixed vectorcall API.
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline constexpr unsigned long kTpFlagsHaveVectorcall = _Py_TPFLAGS_HAVE_VECTORCALL;
inline PyInterpreterState* current_interpreter() { return PyThreadState_Get()->interp; }
#else
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) {
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline constexpr unsigned long kTpFlagsHaveVectorcall = Py_TPFLAGS_HAVE_VECTORCALL;
inline PyInterpreterState* current_interpreter() { return PyInterpreterState_Get(); }
#endif

// Makes a str's canonical form available to the PyUnicode_* data macros. Only
// strings made through the old Py_UNICODE API need it, and 3.12 removed those.
[[nodiscard]] inline bool unicode_ready(PyObject* s) {
#if PY_VERSION_HEX < 0x030C0000
    return PyUnicode_READY(s) == 0;
#else
    (void)s;
    return true;
#endif
}

#if PY_VERSION_HEX < 0x03090000
}  // namespace common
// 3.8 exports the lookup its method-call opcode and PyObject_CallMethodObjArgs
// use, without declaring it: 1 and a new reference to an unbound method that
// wants obj first; 0 and the attribute itself (or NULL on error) otherwise.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
namespace common {
#endif

// obj.name(*args), made as the interpreter's method-call opcodes make it: a
// method found on the type gets obj as its first argument, and no bound method
// is allocated. 3.8 has no public vectorcall for methods: the same lookup as
// PyObject_CallMethodObjArgs, then a vectorcall without its varargs walk.
template <class... A>
inline PyObject* method_call(PyObject* obj, PyObject* name, A... args) {
#if PY_VERSION_HEX < 0x03090000
    PyObject* method = nullptr;
    int unbound = _PyObject_GetMethod(obj, name, &method);
    if (!method) return nullptr;
    PyObject* argv[] = {obj, args...};
    PyObject* result = unbound ? _PyObject_Vectorcall(method, argv, sizeof...(A) + 1, nullptr)
                               : _PyObject_Vectorcall(method, argv + 1,
                                                      sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    Py_DECREF(method);
    return result;
#else
    PyObject* argv[] = {obj, args...};
    return PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
#endif
}

// Py_NewRef, which 3.8 and 3.9 lack.
inline PyObject* new_ref(PyObject* o) {
#if PY_VERSION_HEX < 0x030A0000
    Py_INCREF(o);
    return o;
#else
    return Py_NewRef(o);
#endif
}

// PyDict_GetItemRef (3.13+): 1 and a new reference in *out when `key` is in
// the dict, 0 and NULL when not, -1 and NULL on error.
inline int dict_get_item_ref(PyObject* dict, PyObject* key, PyObject** out) {
#if PY_VERSION_HEX < 0x030D0000
    PyObject* v = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(v);
    *out = v;
    return v ? 1 : PyErr_Occurred() ? -1 : 0;
#else
    return PyDict_GetItemRef(dict, key, out);
#endif
}

// An empty dict sized for `n` items, so that filling it never resizes.
inline PyObject* dict_presized(Py_ssize_t n) { return _PyDict_NewPresized(n); }

// The attribute `name` found along type's MRO, without descriptors run and
// without setting an error when missing (borrowed, NULL if none).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A heap type's __name__ as it was set (borrowed): PyType_GetName is 3.11+
// and makes a new reference.
inline PyObject* heap_type_name(PyTypeObject* type) { return ((PyHeapTypeObject*)type)->ht_name; }

#if PY_VERSION_HEX < 0x030C0000
// A dict's version tag: changes with every change of the dict. Deprecated
// from 3.12 on (and changed meaning), where dict watchers take its place.
inline uint64_t dict_version(PyObject* dict) { return ((PyDictObject*)dict)->ma_version_tag; }
#endif

// The exception being raised, taken out of the thread state (normalised; a new
// reference, NULL when none), and the reverse. 3.12 keeps only the instance.
inline PyObject* take_exception() {
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return value;
#else
    return PyErr_GetRaisedException();
#endif
}

// Raises `exc` again (steals it).
inline void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type = (PyObject*)Py_TYPE(exc);
    Py_INCREF(type);
    PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#else
    PyErr_SetRaisedException(exc);
#endif
}

}  // namespace common
