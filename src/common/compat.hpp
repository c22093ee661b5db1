// Everything that differs between the CPython versions we build for (3.8 to 3.13).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The generic build. The fast paths read the internals of dicts, types and
// objects (the layouts below) and call a few private functions, each checked
// against the versions tested, 3.8 to 3.13. On any newer CPython those
// layouts are unknown, so BRIDGE_GENERIC is set and every such fast path is
// compiled out: the bridge then uses the public C API alone (and 3.8's
// provisional vectorcall). CMake's BRIDGE_GENERIC=ON sets it on any version,
// so that CI keeps the generic path correct.
#if !defined(BRIDGE_GENERIC) && PY_VERSION_HEX >= 0x030E0000
#define BRIDGE_GENERIC 1
#endif

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

#if PY_VERSION_HEX < 0x03090000 && !defined(BRIDGE_GENERIC)
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
#if PY_VERSION_HEX < 0x03090000 && defined(BRIDGE_GENERIC)
    return PyObject_CallMethodObjArgs(obj, name, args..., nullptr);
#elif PY_VERSION_HEX < 0x03090000
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

// An empty dict sized for `n` items, so that filling it never resizes
// (generic: an ordinary empty dict).
inline PyObject* dict_presized(Py_ssize_t n) {
#ifdef BRIDGE_GENERIC
    (void)n;
    return PyDict_New();
#else
    return _PyDict_NewPresized(n);
#endif
}

#ifndef BRIDGE_GENERIC
// What follows up to the end of the namespace reads internals: absent from
// the generic build, so that no fast path can use them there.

// The attribute `name` found along type's MRO, without descriptors run and
// without setting an error when missing (borrowed, NULL if none).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// A heap type's __name__ as it was set (borrowed): PyType_GetName is 3.11+
// and makes a new reference.
inline PyObject* heap_type_name(PyTypeObject* type) { return ((PyHeapTypeObject*)type)->ht_name; }

// Where obj keeps its instance dict, or NULL (a type without one).
inline PyObject** dict_ptr(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

// The keys a heap type's instances share (NULL when they share none).
inline void* cached_keys(PyTypeObject* type) { return ((PyHeapTypeObject*)type)->ht_cached_keys; }

// The callable a classmethod or staticmethod wraps, borrowed: both keep the
// same layout from 3.8 to 3.13 and have no accessor but the attribute read.
inline PyObject* wrapped_callable(PyObject* method_wrapper) {
    struct Wrapper {
        PyObject_HEAD
        PyObject* callable;
        PyObject* dict;
    };
    return ((Wrapper*)method_wrapper)->callable;
}

#if PY_VERSION_HEX < 0x030C0000
// A dict's version tag: changes with every change of the dict. Deprecated
// from 3.12 on (and changed meaning), where dict watchers take its place.
inline uint64_t dict_version(PyObject* dict) { return ((PyDictObject*)dict)->ma_version_tag; }
#endif
#endif  // !BRIDGE_GENERIC

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

// The few fields of the dict internals that attribute reads use (common/attr.hpp),
// mirrored from each version's internal headers: a dict's keys object, its
// entries, and on 3.12 and later an instance's inline values. The free-threaded
// build lays keys out differently (a mutex) and guards them with locks, so there
// the reads take the ordinary path (kDictLayout false).
#include <cstddef>
#include <cstdint>

namespace common {
namespace layout {

#if defined(BRIDGE_GENERIC) || defined(Py_GIL_DISABLED) || SIZEOF_VOID_P != 8
inline constexpr bool kDictLayout = false;
#else
inline constexpr bool kDictLayout = true;
#endif

#ifndef BRIDGE_GENERIC

// The index table runs past the declared `indices[8]`: addressed from the
// object itself, so bounds checks see no out-of-range subscript.
template <class K>
inline char* index_table(K* k) {
    return reinterpret_cast<char*>(k) + offsetof(K, indices);
}

#if PY_VERSION_HEX < 0x030B0000
// 3.8 to 3.10: index width by table size; every entry has hash, key and value.
struct Keys {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void* lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
};
inline PyObject** entry_key(Keys* k, Py_ssize_t ix) {
    Py_ssize_t width = k->size <= 0xff ? 1 : k->size <= 0xffff ? 2 : k->size <= 0xffffffffLL ? 4 : 8;
    return (PyObject**)(index_table(k) + width * k->size) + 3 * ix + 1;
}
inline PyObject** split_values(PyDictObject* d) { return (PyObject**)d->ma_values; }
static_assert(offsetof(Keys, indices) == 40, "dict keys layout of 3.8 to 3.10");
#else
// 3.11 on: index bytes as a power of two; unicode-only keys (kinds 1 and 2,
// split tables among them) store key and value, general keys hash, key, value.
struct Keys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[8];
};
inline PyObject** entry_key(Keys* k, Py_ssize_t ix) {
    PyObject** entries = (PyObject**)(index_table(k) + ((size_t)1 << k->log2_index_bytes));
    return k->kind ? entries + 2 * ix : entries + 3 * ix + 1;
}
static_assert(offsetof(Keys, indices) == 32, "dict keys layout of 3.11 on");
#if PY_VERSION_HEX >= 0x030D0000
// 3.13: the values array follows capacity, size, embedded and valid bytes.
struct Values {
    uint8_t capacity;
    uint8_t size;
    uint8_t embedded;
    uint8_t valid;
    PyObject* values[1];
};
static_assert(offsetof(Values, values) == 8, "dict values layout of 3.13");
inline PyObject** split_values(PyDictObject* d) { return ((Values*)d->ma_values)->values; }
#else
inline PyObject** split_values(PyDictObject* d) { return (PyObject**)d->ma_values; }
#endif
#endif

inline Keys* keys_of(PyObject* dict) { return (Keys*)((PyDictObject*)dict)->ma_keys; }

// Where `name` (by identity) sits among the keys' entries, or -1.
inline Py_ssize_t find_key(Keys* k, PyObject* name) {
    for (Py_ssize_t i = 0; i < k->nentries; ++i)
        if (*entry_key(k, i) == name) return i;
    return -1;
}

// The value of the dict's entry at `ix` if that entry's key is `name` itself
// (borrowed, no error), else NULL: for a hint remembered from an earlier dict.
inline PyObject* value_at(PyObject* dict, PyObject* name, Py_ssize_t ix) {
    Keys* k = keys_of(dict);
    if (ix < 0 || ix >= k->nentries) return nullptr;
    PyObject** key = entry_key(k, ix);
    if (*key != name) return nullptr;
    PyDictObject* d = (PyDictObject*)dict;
    return d->ma_values ? split_values(d)[ix] : key[1];
}

// The value slot of entry `ix` of a dict without split values, when that
// entry's key is `key` itself; else NULL.
inline PyObject** combined_value_slot(PyObject* dict, Py_ssize_t ix, PyObject* key) {
    if (!kDictLayout || ((PyDictObject*)dict)->ma_values) return nullptr;
    Keys* k = keys_of(dict);
    if (ix < 0 || ix >= k->nentries) return nullptr;
    PyObject** entry = entry_key(k, ix);
    return *entry == key ? entry + 1 : nullptr;
}
#else
inline PyObject** combined_value_slot(PyObject*, Py_ssize_t, PyObject*) { return nullptr; }
#endif  // !BRIDGE_GENERIC

inline bool gc_tracked(PyObject* o) {
#if PY_VERSION_HEX < 0x03090000
    return _PyObject_GC_IS_TRACKED(o);
#else
    return PyObject_GC_IsTracked(o);
#endif
}

// Whether a container holding `v` must be tracked by the collector: the
// dict's own rule (a tuple only while it is tracked itself).
inline bool may_be_tracked(PyObject* v) {
    return PyObject_IS_GC(v) && (!PyTuple_CheckExact(v) || gc_tracked(v));
}

#if PY_VERSION_HEX >= 0x030C0000 && !defined(BRIDGE_GENERIC)
// The managed dict slot sits three words before the object (after the
// collector's two-word header): on 3.12 a dict, or the address of the
// inline values minus one (the low bit tags it); on 3.13 a dict or NULL, the inline values living right after
// the object header for types flagged INLINE_VALUES.
inline PyObject* managed_slot(PyObject* obj) { return ((PyObject**)obj)[-3]; }
#endif

}  // namespace layout
}  // namespace common
