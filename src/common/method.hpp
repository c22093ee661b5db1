// A method descriptor for the methods of a Python class implemented in C.
//
// It binds like a Python function (instance access gives a bound method, class
// access gives the descriptor itself) and carries Py_TPFLAGS_METHOD_DESCRIPTOR,
// so `obj.meth(x)` is called without allocating a bound method. Calls go through
// vectorcall with the parsed arguments handed to the C implementation as one
// array: argv[0] is self, argv[1..] the parameters in declaration order.
// Each method counts its calls and the calls that raised; with `latency` set
// it also records each call's wall time.
#pragma once
#include "args.hpp"
#include "entry.hpp"
#include "latency.hpp"

#include <structmember.h>

#include <chrono>
#include <cstddef>

namespace common {

using MethodImpl = PyObject* (*)(PyObject* const* argv);

struct MethodDef {
    const char* name;
    MethodImpl impl;
    const char* const* params;  // NULL-terminated, "self" first
    const char* doc;
};

inline constexpr Py_ssize_t kMaxParams = 8;

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    MethodImpl impl;
    Signature sig;
    PyObject* params[kMaxParams];
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* text_signature;
    // Written under the GIL only.
    uint64_t calls;
    uint64_t errors;
    Latency* latency;  // null while timing is off; see set_timing()
    Latency* latency_store;
};

// A static type object with its header, name, size and deallocator; the
// caller sets the rest before PyType_Ready.
inline PyTypeObject static_type(const char* name, Py_ssize_t basicsize, destructor dealloc) {
    PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    t.tp_name = name;
    t.tp_basicsize = basicsize;
    t.tp_dealloc = dealloc;
    return t;
}

namespace detail {

// Out of line, so that the plain positional call keeps a small frame: one is
// stacked for every re-entry through the bridge.
[[gnu::noinline]] inline PyObject* method_call_parsed(MethodObject* m, PyObject* const* args, Py_ssize_t nargs,
                                                      PyObject* kwnames) {
    PyObject* argv[kMaxParams];
    if (!parse_args(m->sig, args, nargs, kwnames, argv)) return nullptr;
    return m->impl(argv);
}

inline PyObject* method_dispatch(MethodObject* m, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Entry entry(m->sig.name);
    if (!entry) return nullptr;
    if (!kwnames && nargs == m->sig.nparams) return m->impl(args);
    return method_call_parsed(m, args, nargs, kwnames);
}

inline uint64_t now_ns() {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

[[gnu::noinline]] inline PyObject* method_timed(MethodObject* m, PyObject* const* args, size_t nargsf,
                                                PyObject* kwnames) {
    uint64_t start = now_ns();
    PyObject* res = method_dispatch(m, args, nargsf, kwnames);
    // Timing may have been switched off during the call: record only if it is still on.
    if (m->latency) m->latency->record(now_ns() - start);
    return res;
}

inline PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                   PyObject* kwnames) {
    auto* m = reinterpret_cast<MethodObject*>(callable);
    ++m->calls;
    PyObject* res = m->latency ? method_timed(m, args, nargsf, kwnames) : method_dispatch(m, args, nargsf, kwnames);
    if (!res) ++m->errors;
    return res;
}

inline PyObject* method_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

inline void method_dealloc(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    for (Py_ssize_t i = 0; i < m->sig.nparams; ++i) Py_XDECREF(m->params[i]);
    Py_XDECREF(m->name);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->module_name);
    Py_XDECREF(m->doc);
    Py_XDECREF(m->text_signature);
    PyMem_RawFree(m->latency_store);
    Py_TYPE(self)->tp_free(self);
}

inline PyObject* method_repr(PyObject* self) {
    auto* m = reinterpret_cast<MethodObject*>(self);
    return PyUnicode_FromFormat("<function %U>", m->qualname);
}

inline PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module_name), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(MethodObject, text_signature), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The descriptor type, for the module's state to keep (new_method() readies it).
inline PyTypeObject method_type_def() {
    PyTypeObject t = static_type("bridge_method", sizeof(MethodObject), method_dealloc);
    t.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    t.tp_repr = method_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | kTpFlagsHaveVectorcall;
    t.tp_doc = "Method of a class implemented in C; binds like a Python function.";
    t.tp_members = method_members;
    t.tp_descr_get = method_descr_get;
    return t;
}

}  // namespace detail

// Creates the descriptor for `def`, qualified as `<class_name>.<name>`, of
// `type`: a static type the module keeps, set up and readied on first use.
[[nodiscard]] inline PyObject* new_method(PyTypeObject& type, const MethodDef& def, const char* class_name,
                                          const char* module_name) {
    if (!(type.tp_flags & Py_TPFLAGS_READY)) {
        type = detail::method_type_def();
        if (PyType_Ready(&type) < 0) return nullptr;
    }
    Py_ssize_t n = 0;
    while (def.params[n]) ++n;
    if (n > kMaxParams) {
        PyErr_Format(PyExc_SystemError, "%s: too many parameters", def.name);
        return nullptr;
    }
    auto* m = PyObject_New(MethodObject, &type);
    if (!m) return nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(m));
    m->vectorcall = detail::method_vectorcall;
    m->impl = def.impl;
    m->sig = Signature{def.name, 0, m->params, nullptr};
    m->name = m->qualname = m->module_name = m->doc = m->text_signature = nullptr;
    m->calls = m->errors = 0;
    m->latency = m->latency_store = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        m->params[i] = PyUnicode_InternFromString(def.params[i]);
        if (!m->params[i]) return nullptr;
        m->sig.nparams = i + 1;
    }
    m->name = PyUnicode_InternFromString(def.name);
    m->qualname = PyUnicode_FromFormat("%s.%s", class_name, def.name);
    m->module_name = PyUnicode_FromString(module_name);
    m->doc = def.doc ? PyUnicode_FromString(def.doc) : (Py_INCREF(Py_None), Py_None);
    if (!m->name || !m->qualname || !m->module_name || !m->doc) return nullptr;
    // "(self, a, b)": what inspect.signature and help() show.
    Ref parts = Ref::steal(PyTuple_New(n));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_INCREF(m->params[i]);
        PyTuple_SET_ITEM(parts.get(), i, m->params[i]);
    }
    Ref sep = Ref::steal(PyUnicode_FromString(", "));
    if (!sep) return nullptr;
    Ref joined = Ref::steal(PyUnicode_Join(sep.get(), parts.get()));
    if (!joined) return nullptr;
    m->text_signature = PyUnicode_FromFormat("(%U)", joined.get());
    if (!m->text_signature) return nullptr;
    return owner.release();
}

// Switches latency recording of one method on or off; false with MemoryError
// when its histogram cannot be allocated. The histogram is kept while off.
[[nodiscard]] inline bool set_timing(PyObject* method, bool on) {
    auto* m = reinterpret_cast<MethodObject*>(method);
    if (on && !m->latency_store) {
        m->latency_store = static_cast<Latency*>(PyMem_RawCalloc(1, sizeof(Latency)));
        if (!m->latency_store) return (void)PyErr_NoMemory(), false;
    }
    m->latency = on ? m->latency_store : nullptr;
    return true;
}

inline void reset_counts(PyObject* method) {
    auto* m = reinterpret_cast<MethodObject*>(method);
    m->calls = m->errors = 0;
    if (m->latency_store) m->latency_store->reset();
}

inline const MethodObject& method_counts(PyObject* method) { return *reinterpret_cast<MethodObject*>(method); }

}  // namespace common
