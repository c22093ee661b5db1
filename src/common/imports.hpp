// Import statements and global lookups done in C against a module's __dict__.
#pragma once
#include "call.hpp"

#include <initializer_list>

namespace common {

// Binds `name` in `globals` to a new reference (NULL passes an earlier failure on).
[[nodiscard]] inline bool bind_new(PyObject* globals, const char* name, PyObject* value_new_ref) {
    Ref value = Ref::steal(value_new_ref);
    if (!value) return false;
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key && PyDict_SetItem(globals, key.get(), value.get()) == 0;
}

// `import <module>` (or `import a.b as <alias>`: binds the named module itself).
[[nodiscard]] inline bool import_as(PyObject* globals, const char* module, const char* alias) {
    return bind_new(globals, alias, PyImport_ImportModule(module));
}

struct Imported {
    Imported(const char* n) : name(n), alias(n) {}
    Imported(const char* n, const char* a) : name(n), alias(a) {}
    const char* name;
    const char* alias;  // the name bound in the module
};

// `from <module> import <name> [as <alias>], ...`, with its semantics: a name the
// module lacks may be a submodule (the import system loads it through the
// fromlist), anything else is an ImportError.
[[nodiscard]] inline bool from_import(PyObject* globals, const char* module,
                                      std::initializer_list<Imported> names) {
    Ref fromlist = Ref::steal(PyTuple_New((Py_ssize_t)names.size()));
    if (!fromlist) return false;
    Py_ssize_t i = 0;
    for (const Imported& n : names) {
        PyObject* s = PyUnicode_InternFromString(n.name);
        if (!s) return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, s);
    }
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist.get(), 0));
    if (!mod) return false;
    i = 0;
    for (const Imported& n : names) {
        PyObject* name = PyTuple_GET_ITEM(fromlist.get(), i++);
        Ref value = getattr(mod.get(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            Ref full = Ref::steal(PyUnicode_FromFormat("%s.%U", module, name));
            if (!full) return false;
            value = Ref::steal(PyImport_GetModule(full.get()));
            if (!value) {
                if (PyErr_Occurred()) return false;
                Ref path = Ref::steal(PyModule_GetFilenameObject(mod.get()));
                if (!path) PyErr_Clear();
                Ref modname = Ref::steal(PyUnicode_FromString(module));
                Ref msg = Ref::steal(PyUnicode_FromFormat("cannot import name %R from '%s' (%S)", name, module,
                                                          path ? path.get() : Py_None));
                if (!msg || !modname) return false;
                PyErr_SetImportError(msg.get(), modname.get(), path ? path.get() : Py_None);
                return false;
            }
        }
        if (!bind_new(globals, n.alias, value.release())) return false;
    }
    return true;
}

// LOAD_GLOBAL's search: `globals`, then `builtins` (skipped when null). 1 with
// `value` (borrowed) and `where` (the dict that had it) filled, 0 when neither
// has the name, -1 on error.
[[nodiscard]] inline int lookup_global(PyObject* globals, PyObject* builtins, PyObject* name, PyObject*& value,
                                       PyObject*& where) {
    for (PyObject* dict : {globals, builtins}) {
        if (!dict) continue;
        value = PyDict_GetItemWithError(dict, name);
        if (value) {
            where = dict;
            return 1;
        }
        if (PyErr_Occurred()) return -1;
    }
    return 0;
}

// The value of a module global, looked up at use as LOAD_GLOBAL does (module
// namespace, then builtins), so callers and tests may rebind any of them.
[[nodiscard]] inline Ref module_global(PyObject* globals, PyObject* name) {
    PyObject *value, *where;
    int found = lookup_global(globals, PyEval_GetBuiltins(), name, value, where);
    if (found > 0) return Ref::borrow(value);
    if (found == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

}  // namespace common
