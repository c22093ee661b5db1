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

}  // namespace common

namespace common {

// Calls the method `name` of args[0] with args[1:]. 3.9+ avoids the bound-method
// object; 3.8 has no public equivalent, so it looks the attribute up first.
inline PyObject* vectorcall_method(PyObject* name, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
#if PY_VERSION_HEX < 0x03090000
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* bound = PyObject_GetAttr(args[0], name);
    if (!bound) return nullptr;
    PyObject* res = _PyObject_Vectorcall(bound, args + 1, (size_t)(nargs - 1), kwnames);
    Py_DECREF(bound);
    return res;
#else
    return PyObject_VectorcallMethod(name, args, nargsf, kwnames);
#endif
}

}  // namespace common
