// korvane.orvik.utils.login: signs in to the host framework with the
// credentials of the credential store.
#include "../common/module.hpp"

namespace {

using common::Ref;

#define BRIDGE_NAMES "login/names.def"
#define BRIDGE_FUNCTIONS "login/functions.def"
#define BRIDGE_IMPORTS "login/imports.def"
#include "../common/name_enums.inc"

common::NamesState<nm::COUNT> S{};

#define N(x) (S.names[nm::x].get())

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
    Ref fetch = S.global(nm::get_license_info);
    if (!fetch) return nullptr;
    Ref pair = common::call(fetch.get());
    if (!pair) return nullptr;
    Ref user, pw;
    if (!unpack_pair(pair.get(), user, pw)) return nullptr;
    int ok = PyObject_IsTrue(user.get());
    if (ok > 0) ok = PyObject_IsTrue(pw.get());
    if (ok < 0) return nullptr;
    if (ok) {
        Ref gid = S.global(nm::gid);
        if (!gid || !common::call_method(gid.get(), N(init), user.get(), pw.get())) return nullptr;
    }
    Py_RETURN_NONE;
}

#include "../common/name_texts.inc"
#include "../common/tables.inc"

struct Definition {
    static constexpr const char* name = "login";
    static constexpr const char* doc = "Sign-in to the host framework with the stored credentials.";
    static constexpr common::Requirement needs[] = {{"korvane", "the host framework"}};
    static bool exec(PyObject* module) {
        return S.init(module, kNameTexts) && import_all(S.globals) && PyModule_AddFunctions(module, kFunctions) == 0;
    }
};

}  // namespace

BRIDGE_MODINIT PyInit_login(void) { return common::Module<Definition>::init(); }
