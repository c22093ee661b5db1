// The skeleton every module of the bridge is built on: the create and exec
// slots behind the once-per-process guard, the module definition, and the rows
// of a module's function table.
//
// A module describes itself with a struct:
//     struct Definition {
//         static constexpr const char* name = "login";   // short name, for messages
//         static constexpr const char* doc = "...";
//         static constexpr Requirement needs[] = {...};  // packages it imports
//         static bool exec(PyObject* module);             // the exec body
//     };
// and its init function returns common::Module<Definition>::init().
#pragma once
#include "entry.hpp"
#include "guard.hpp"
#include "imports.hpp"
#include "names.hpp"

namespace common {

// A package the module imports at exec, and what to tell a user who lacks it.
struct Requirement {
    const char* package;  // e.g. "korvane.orvik"
    const char* what;     // e.g. "the host framework"
};

// True when `package` is not really there: not imported, or only a namespace
// package, which the bridge's own folders (korvane/orvik/...) make of it.
inline bool package_absent(const char* package) {
    Ref name = Ref::steal(PyUnicode_FromString(package));
    if (!name) return PyErr_Clear(), false;
    Ref mod = Ref::steal(PyImport_GetModule(name.get()));
    if (!mod) return PyErr_Clear(), true;
    Ref file = Ref::steal(PyObject_GetAttrString(mod.get(), "__file__"));
    if (!file) PyErr_Clear();
    return !file || file.get() == Py_None;
}

// An ImportError raised while `package` is absent becomes one that says which
// module of the bridge needed what, and how to get it; the original is kept as
// its cause. Any other error passes as it is.
inline void explain_missing(const char* module_name, const Requirement& req) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return;
    Ref original = Ref::steal(take_exception());
    if (!original) return;
    if (!package_absent(req.package)) return restore_exception(original.release());
    Ref msg = Ref::steal(PyUnicode_FromFormat(
        "%s needs %s (%s), which is not installed in this environment (%S). Install %s first, then the "
        "bridge's modules beside it (docs/bridge.md: \"Installing into a host\").",
        module_name, req.what, req.package, original.get(), req.what));
    if (!msg) return;
    Ref exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_ImportError, msg.get(), nullptr));
    if (!exc) return;
    Ref missing = Ref::steal(PyUnicode_FromString(req.package));
    if (!missing || PyObject_SetAttrString(exc.get(), "name", missing.get()) < 0) PyErr_Clear();
    // As `raise ImportError(...) from original` does.
    PyException_SetContext(exc.get(), Ref::borrow(original.get()).release());
    PyException_SetCause(exc.get(), original.release());
    restore_exception(exc.release());
}

// The whole state of a module that keeps only its namespace and its interned
// names and texts (sentaly, login): built at exec by init(), then kept for the
// process and never torn down, as the guard runs exec once.
template <int NameCount, int TextCount = 0>
struct NamesState {
    Borrowed globals;  // the module's __dict__, kept by the module
    Immortal names[NameCount];
    Immortal texts[TextCount > 0 ? TextCount : 1];

    [[nodiscard]] bool init(PyObject* module, const char* const* name_texts,
                            const char* const* text_texts = nullptr) {
        globals = PyModule_GetDict(module);
        return intern_all(name_texts, names, NameCount) &&
               (TextCount == 0 || intern_all(text_texts, texts, TextCount));
    }
    // The value bound to the module global names[id] (an nm:: id), looked up
    // at use, as in maviro.
    [[nodiscard]] Ref global(int id) const { return module_global(globals, names[id]); }
};

template <typename Definition>
struct Module {
    static inline ModuleGuard guard{Definition::name};

    static PyObject* create(PyObject* spec, PyModuleDef*) { return guard_create(guard, spec); }

    static int exec(PyObject* module) {
        int go = guard_exec_begin(guard, module);
        if (go <= 0) return go;
        bool ok = Definition::exec(module);
        if (!ok) {
            Ref full = Ref::steal(PyModule_GetNameObject(module));
            const char* name = full ? PyUnicode_AsUTF8(full.get()) : nullptr;
            if (!name) {
                PyErr_Clear();
                name = Definition::name;
            }
            for (const Requirement& req : Definition::needs) explain_missing(name, req);
        }
        return guard_exec_end(guard, ok ? 0 : -1);
    }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_create, (void*)create},
        {Py_mod_exec, (void*)exec},
        {0, nullptr},
    };

    static inline PyModuleDef def = {
        PyModuleDef_HEAD_INIT, Definition::name, Definition::doc, 0, nullptr, slots, nullptr, nullptr, nullptr,
    };

    static PyObject* init() { return PyModuleDef_Init(&def); }
};

}  // namespace common

// Function tables: FUNCTION(name, kind, returns, params, doc) rows, one per
// module-level function, in binding order. `kind` is the calling convention
// (NOARGS, O, FASTCALL_KW); `params` is P(name, "type") and D(name, "type",
// "default") one after another without commas; `returns` and the types are
// for the stubs (tools/gen_stubs.py reads the same rows). The C function has
// the row's name.
#define BRIDGE_SIG_P(name, type) ", " #name
#define BRIDGE_SIG_D(name, type, default_) ", " #name "=" default_

#define BRIDGE_FLAGS_NOARGS METH_NOARGS
#define BRIDGE_FLAGS_O METH_O
#define BRIDGE_FLAGS_FASTCALL_KW (METH_FASTCALL | METH_KEYWORDS)

// "name($module, ...)\n--\n\n": the text signature inspect reads.
#define BRIDGE_SIG_NOARGS(name, params) #name "($module, /)\n--\n\n"
#define BRIDGE_SIG_O(name, params) #name "($module" params ", /)\n--\n\n"
#define BRIDGE_SIG_FASTCALL_KW(name, params) #name "($module" params ")\n--\n\n"

#define BRIDGE_DECL_NOARGS(name) PyObject* name(PyObject*, PyObject*);
#define BRIDGE_DECL_O(name) PyObject* name(PyObject*, PyObject*);
#define BRIDGE_DECL_FASTCALL_KW(name) PyObject* name(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// A row as its entry: the C function behind a common::Entry (the stack and
// recursion checks every entry into the bridge makes).
#define BRIDGE_ENTRY_NOARGS(name) BRIDGE_ENTRY_ONE_ARG(name)
#define BRIDGE_ENTRY_O(name) BRIDGE_ENTRY_ONE_ARG(name)
#define BRIDGE_ENTRY_ONE_ARG(name)                          \
    PyObject* entry_##name(PyObject* module, PyObject* arg) { \
        common::Entry entry(#name);                         \
        return entry ? name(module, arg) : nullptr;         \
    }
#define BRIDGE_ENTRY_FASTCALL_KW(name)                                                                  \
    PyObject* entry_##name(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        common::Entry entry(#name);                                                                     \
        return entry ? name(module, args, nargs, kwnames) : nullptr;                                    \
    }
#define BRIDGE_FUNCTION_ENTRY(name, kind, returns, params, doc) BRIDGE_ENTRY_##kind(name)

// A row as a PyMethodDef of its entry (with P and D defined as BRIDGE_SIG_P and BRIDGE_SIG_D).
#define BRIDGE_FUNCTION_ROW(name, kind, returns, params, doc)                                                     \
    {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry_##name)), BRIDGE_FLAGS_##kind, \
     BRIDGE_SIG_##kind(name, params) doc},
// A row as the C declaration of its function.
#define BRIDGE_FUNCTION_DECL(name, kind, returns, params, doc) BRIDGE_DECL_##kind(name)

// Import tables: FROM(module, names...), IMPORT(module, alias) rows (AS(name,
// alias) in a FROM binds under another name), expanded into a chain of steps
// `true && ...` against `globals`, which must be in scope.
#define BRIDGE_AS(name, alias) common::Imported{name, alias}
#define BRIDGE_FROM(module, ...) &&common::from_import(globals, module, {__VA_ARGS__})
#define BRIDGE_IMPORT(module, alias) &&common::import_as(globals, module, alias)
