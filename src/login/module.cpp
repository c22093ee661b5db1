// korvane.orvik.utils.login: signs in to the host framework with the
// credentials of the credential store.
#include "../common/guard.hpp"
#include "../common/imports.hpp"
#include "../common/names.hpp"

namespace {

using common::Ref;

#define LOGIN_NAMES(X)  \
    X(gid)              \
    X(get_license_info) \
    X(init)

namespace nm {
enum : int {
#define X(x) x,
    LOGIN_NAMES(X)
#undef X
    COUNT
};
}  // namespace nm

const char* const kNameTexts[] = {
#define X(x) #x,
    LOGIN_NAMES(X)
#undef X
};

// Once per process (guard); globals is kept alive by the guard's module reference.
struct State {
    PyObject* globals;
    PyObject* names[nm::COUNT];
} S{};

#define N(x) (S.names[nm::x])

common::ModuleGuard guard{"login"};

// `a, b = obj`, with the interpreter's own errors for anything but two items.
[[nodiscard]] bool unpack_pair(PyObject* obj, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2) {
        first = Ref::borrow(PyTuple_GET_ITEM(obj, 0));
        second = Ref::borrow(PyTuple_GET_ITEM(obj, 1));
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj)->tp_iter && !PySequence_Check(obj)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj)->tp_name);
        }
        return false;
    }
    Ref* slots[] = {&first, &second};
    for (int i = 0; i < 2; ++i) {
        *slots[i] = Ref::steal(PyIter_Next(it.get()));
        if (!*slots[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(it.get()));
    if (!extra) return !PyErr_Occurred();
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
    return false;
}

PyObject* init_gid(PyObject*, PyObject*) {
    Ref fetch = common::module_global(S.globals, N(get_license_info));
    if (!fetch) return nullptr;
    Ref pair = common::call(fetch.get());
    if (!pair) return nullptr;
    Ref user, pw;
    if (!unpack_pair(pair.get(), user, pw)) return nullptr;
    int ok = PyObject_IsTrue(user.get());
    if (ok > 0) ok = PyObject_IsTrue(pw.get());
    if (ok < 0) return nullptr;
    if (ok) {
        Ref gid = common::module_global(S.globals, N(gid));
        if (!gid || !common::call_method(gid.get(), N(init), user.get(), pw.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"init_gid", init_gid, METH_NOARGS,
     "init_gid($module, /)\n--\n\n"
     "Sign in to the host framework (gid.init(user, pw)) with the user name and\n"
     "password of KORVANE_LICENSE; does nothing when either is missing."},
    {nullptr, nullptr, 0, nullptr},
};

[[nodiscard]] bool init_state(PyObject* module) {
    S.globals = PyModule_GetDict(module);
    return common::intern_all(kNameTexts, S.names, nm::COUNT);
}

// gid first, then the credential store, which is a separate extension module
// found by its path.
[[nodiscard]] bool import_all() {
    return common::from_import(S.globals, "korvane", {"gid"}) &&
           common::from_import(S.globals, "korvane.orvik.sdk.sentaly", {"get_license_info"});
}

int exec_module(PyObject* module) {
    int go = common::guard_exec_begin(guard, module);
    if (go <= 0) return go;
    bool ok = init_state(module) && import_all() && PyModule_AddFunctions(module, functions) == 0;
    return common::guard_exec_end(guard, ok ? 0 : -1);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) { return common::guard_create(guard, spec); }

PyModuleDef_Slot slots[] = {
    {Py_mod_create, (void*)create_module},
    {Py_mod_exec, (void*)exec_module},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "login",
    "Sign-in to the host framework with the stored credentials.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

BRIDGE_MODINIT PyInit_login(void) { return PyModuleDef_Init(&module_def); }
