// korvane.orvik.sdk.sentaly: the credential store. The user name and password
// live in one environment variable as "user:password"; set_to_environ stores a
// value for later shells and for this process.
#include "../common/args.hpp"
#include "../common/module.hpp"

namespace {

using common::Ref;

#define BRIDGE_NAMES "sentaly/names.def"
#define BRIDGE_TEXTS "sentaly/texts.def"
#define BRIDGE_FUNCTIONS "sentaly/functions.def"
#define BRIDGE_IMPORTS "sentaly/imports.def"
#include "../common/name_enums.inc"

common::NamesState<nm::COUNT, tx::COUNT> S{};

#define N(x) (S.names[nm::x].get())
#define TX(x) (S.texts[tx::x].get())

// The module global `name` (an nm:: id), looked up at use, and an attribute of it.
Ref global_attr(int name, PyObject* attr) {
    Ref obj = S.global(name);
    if (!obj) return {};
    return common::getattr(obj.get(), attr);
}

[[nodiscard]] bool echo(PyObject* text) {
    Ref click = S.global(nm::click);
    return click && common::call_method(click.get(), N(echo), text);
}

PyObject* not_configured() {
    if (!echo(TX(not_configured))) return nullptr;
    return PyTuple_Pack(2, Py_None, Py_None);
}

PyObject* get_license_info(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const params[] = {N(license_name)};
    PyObject* const defaults[] = {TX(credential_var)};
    PyObject* a[1];
    if (!common::parse_args(common::Signature{"get_license_info", 1, params, defaults}, args, nargs, kwnames, a)) return nullptr;

    Ref environ = global_attr(nm::os, N(environ));
    if (!environ) return nullptr;
    Ref value = common::call_method(environ.get(), N(get), a[0]);
    if (!value) return nullptr;
    int present = PyObject_IsTrue(value.get());
    if (present < 0) return nullptr;
    if (!present) return not_configured();
    if (!PyUnicode_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "environment value must be str, not %.200s", Py_TYPE(value.get())->tp_name);
        return nullptr;
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(value.get());
    Py_ssize_t colon = PyUnicode_FindChar(value.get(), ':', 0, len, 1);
    if (colon == -2) return nullptr;
    // Without a separator there is no user name to speak of: as good as unset.
    if (colon == -1) return not_configured();
    Ref user = Ref::steal(PyUnicode_Substring(value.get(), 0, colon));
    Ref pw = Ref::steal(PyUnicode_Substring(value.get(), colon + 1, len));
    if (!user || !pw) return nullptr;
    return PyTuple_Pack(2, user.get(), pw.get());
}

// A name the process environment would refuse, checked up front so that a
// store never stops half-way between the persistent and the process copy.
[[nodiscard]] bool check_name(PyObject* name, bool in_list) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "set_to_environ() argument 'variables' must be str or a list of str, not %s%.200s",
                     in_list ? "a list holding " : "", Py_TYPE(name)->tp_name);
        return false;
    }
    Py_ssize_t len = PyUnicode_GET_LENGTH(name);
    if (len == 0 || PyUnicode_FindChar(name, '=', 0, len, 1) != -1 || PyUnicode_FindChar(name, 0, 0, len, 1) != -1) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_ValueError, "set_to_environ() argument 'variables': illegal environment variable name %R",
                         name);
        return false;
    }
    return true;
}

[[nodiscard]] bool check_value(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "set_to_environ() argument 'value' must be str, not %.200s",
                     Py_TYPE(value)->tp_name);
        return false;
    }
    Py_ssize_t found = PyUnicode_FindChar(value, 0, 0, PyUnicode_GET_LENGTH(value), 1);
    if (found == -2) return false;
    if (found != -1) {
        PyErr_SetString(PyExc_ValueError, "set_to_environ() argument 'value' must not contain a null character");
        return false;
    }
    return true;
}

// "korvane license" for the credential variable, any other name as it is; a
// list shows its names so mapped, joined by ", ".
// The list is filled from the start: a str subclass's __eq__ may run Python
// code, and a collection then would show gc callbacks an unfilled list.
Ref display_name(PyObject* names) {
    Ref shown = Ref::steal(PySequence_List(names));
    if (!shown) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(names, i), TX(credential_var), Py_EQ);
        if (eq < 0) return {};
        if (eq) {
            Py_INCREF(TX(credential_display));
            if (PyList_SetItem(shown.get(), i, TX(credential_display)) < 0) return {};
        }
    }
    return Ref::steal(PyUnicode_Join(TX(list_sep), shown.get()));
}

// sys.platform.startswith("win"): 1 or 0, -1 on error.
[[nodiscard]] int on_windows() {
    Ref platform = global_attr(nm::sys, N(platform));
    if (!platform) return -1;
    Ref win = common::call_method(platform.get(), N(startswith), TX(win));
    return win ? PyObject_IsTrue(win.get()) : -1;
}

// setx with an argument vector: the value reaches it as one argument, whatever
// quotes or shell operators it holds. Output and exit status are not examined.
[[nodiscard]] bool setx(PyObject* names, PyObject* value) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        Ref argv = Ref::steal(PyList_New(3));
        if (!argv) return false;
        PyObject* items[] = {TX(setx), PyTuple_GET_ITEM(names, i), value};
        for (Py_ssize_t k = 0; k < 3; ++k) {
            Py_INCREF(items[k]);
            PyList_SET_ITEM(argv.get(), k, items[k]);
        }
        Ref subprocess = S.global(nm::subprocess);
        if (!subprocess || !common::call_method(subprocess.get(), N(run), argv.get())) return false;
    }
    return true;
}

PyObject* set_to_environ(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const params[] = {N(variables), N(value)};
    PyObject* a[2];
    if (!common::parse_args(common::Signature{"set_to_environ", 2, params, nullptr}, args, nargs, kwnames, a)) return nullptr;
    PyObject* variables = a[0];
    PyObject* value = a[1];

    // A snapshot of the checked names: what is persisted is what is set here,
    // even if the caller's list changes meanwhile.
    bool is_list = PyList_Check(variables);
    Ref names = Ref::steal(is_list ? PyList_AsTuple(variables) : PyTuple_Pack(1, variables));
    if (!names) return nullptr;
    if (!check_value(value)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i)
        if (!check_name(PyTuple_GET_ITEM(names.get(), i), is_list)) return nullptr;
    Ref shown = display_name(names.get());
    if (!shown) return nullptr;

    // Persistent store first: if it fails, this process is left as it was.
    int windows = on_windows();
    if (windows < 0) return nullptr;
    if (windows) {
        if (!setx(names.get(), value)) return nullptr;
    } else {
        Ref store = S.global(nm::update_bash_file);
        if (!store) return nullptr;
        Ref list = Ref::steal(PySequence_List(names.get()));
        if (!list || !common::call(store.get(), list.get(), value)) return nullptr;
    }

    // Through os.environ, which also calls putenv: the mapping and the C
    // environment (what child processes inherit) stay in agreement.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
        Ref environ = global_attr(nm::os, N(environ));
        if (!environ || PyObject_SetItem(environ.get(), PyTuple_GET_ITEM(names.get(), i), value) < 0) return nullptr;
    }

    Ref parts = Ref::steal(PyTuple_Pack(4, TX(set_head), shown.get(), TX(set_middle), value));
    if (!parts) return nullptr;
    Ref empty = Ref::steal(PyUnicode_New(0, 0));
    if (!empty) return nullptr;
    Ref message = Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
    if (!message || !echo(message.get()) || !echo(TX(restart))) return nullptr;
    Py_RETURN_NONE;
}

#include "../common/name_texts.inc"
#include "../common/tables.inc"

struct Definition {
    static constexpr const char* name = "sentaly";
    static constexpr const char* doc =
        "Credential store: the user name and password kept in the KORVANE_LICENSE\n"
        "environment variable, and storing environment variables for later shells.";
    static constexpr common::Requirement needs[] = {{"korvane.orvik", "the host framework"}};
    static bool exec(PyObject* module) {
        return S.init(module, kNameTexts, kTexts) && import_all(S.globals) &&
               PyModule_AddFunctions(module, kFunctions) == 0;
    }
};

}  // namespace

BRIDGE_MODINIT PyInit_sentaly(void) { return common::Module<Definition>::init(); }
