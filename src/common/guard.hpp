// Once-per-process module guard, shared by the three modules.
//
// A module initialises once per process and only in the first interpreter that
// loads it: its state lives in C globals, which a second interpreter or a second
// module object would share without knowing. Re-importing after removal from
// sys.modules hands back the module object that already exists, state and all.
// Interpreters are told apart by id: a new one may get a destroyed one's address.
#pragma once
#include "ref.hpp"

#include <cstdint>

namespace common {

struct ModuleGuard {
    const char* short_name;      // e.g. "maviro", for the messages
    PyObject* module = nullptr;  // strong: lives as long as the process
    int64_t interp = -1;         // id of the interpreter that made `module`
    bool executed = false;
};

// Body of the Py_mod_create slot.
inline PyObject* guard_create(ModuleGuard& g, PyObject* spec) {
    int64_t interp = PyInterpreterState_GetID(current_interpreter());
    if (interp < 0) return nullptr;
    if (g.module) {
        if (g.interp != interp) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into one "
                            "interpreter per process.");
            return nullptr;
        }
        Py_INCREF(g.module);
        return g.module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* m = PyModule_NewObject(name.get());
    if (!m) return nullptr;
    Py_INCREF(m);
    g.module = m;
    g.interp = interp;
    return m;
}

// Call first in the Py_mod_exec slot: 1 means run the exec body, 0 means the
// module is already set up (a re-import of the same object), -1 is an error.
inline int guard_exec_begin(ModuleGuard& g, PyObject* module) {
    if (g.executed) {
        if (module == g.module) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g.short_name);
        return -1;
    }
    if (module != g.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g.short_name);
        return -1;
    }
    return 1;
}

// Call at the end of the exec body with its outcome. A failed exec forgets the
// module and the interpreter, so that a later import, in this interpreter or
// another, can try again from scratch.
inline int guard_exec_end(ModuleGuard& g, int rc) {
    if (rc == 0) {
        g.executed = true;
    } else {
        Py_CLEAR(g.module);
        g.interp = -1;
    }
    return rc;
}

}  // namespace common
