// obj.name for the records a gateway hands over: what the generic attribute
// lookup finds on the type for a name is remembered per type, its version tag
// and the name, so a read skips the walk of the type's attribute lookup.
// - a data descriptor the type defines in C (a __slots__ member, a getset
//   getter): its getter is called directly, a set object slot read in place;
// - nothing at all on the type: the instance's own storage is read directly
//   (not on 3.11, see dict_reads), as the interpreter's specialised reads do:
//   on 3.12 and later the inline values at the name's index in the type's
//   shared keys, while the object's values are valid and the slot is set; else
//   the instance dict at the entry where the name was last found, while that
//   entry's key is the name itself; else an ordinary dict lookup;
// - anything else: the ordinary read.
// A type's version tag changes whenever the type or a base is modified (and,
// before 3.12, a tag is only trusted while the type's valid-tag flag is set),
// so an entry never outlives the type it describes. Entries hold the type, so
// its address cannot be reused while an entry names it.
#pragma once
#include "ref.hpp"

#include <cstdint>
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#endif

namespace common {

namespace attr_detail {

struct Entry {
    PyTypeObject* type;  // strong reference; null: empty
    unsigned int tag;
    PyObject* name;   // strong reference
    PyObject* descr;  // strong reference or null: keeps `get`/`member` alive
    getter get;       // a getset getter
    void* closure;
    PyMemberDef* member;  // a member
    bool dict_only;       // the type has no such attribute: the instance dict alone
    Py_ssize_t index;     // the name's slot in the inline values, or -1
    Py_ssize_t hint;      // where the name was last found in an instance dict
    Py_ssize_t slot_offset;  // `member` is an object slot at this offset (0: not)
};

inline constexpr unsigned kTableBits = 10;

}  // namespace attr_detail

// The remembered reads, kept in the module's state. Direct-mapped: a callback
// reads a few dozen (type, name) pairs, and two of them sharing a slot would
// refill it on every call, so the table is roomy and its index comes from the
// top bits of a multiplicative hash, which depend on every bit of both
// addresses. Its entries hold strong references for the life of the process.
struct AttrCache {
    attr_detail::Entry table[1u << attr_detail::kTableBits];
};

namespace attr_detail {

inline Entry& entry(AttrCache& cache, PyTypeObject* tp, PyObject* name) {
    uint64_t h = ((uint64_t)(uintptr_t)tp ^ ((uint64_t)(uintptr_t)name << 7)) * 0x9E3779B97F4A7C15ull;
    return cache.table[h >> (64 - kTableBits)];
}

#ifndef BRIDGE_GENERIC
#if defined(Py_AUDIT_READ)
constexpr int kAuditRead = Py_AUDIT_READ;
#elif defined(PY_AUDIT_READ)
constexpr int kAuditRead = PY_AUDIT_READ;
#else
constexpr int kAuditRead = READ_RESTRICTED;
#endif

#if PY_VERSION_HEX >= 0x030C0000
constexpr int kObjectSlot = Py_T_OBJECT_EX;
constexpr int kRelativeOffset = Py_RELATIVE_OFFSET;
#else
constexpr int kObjectSlot = T_OBJECT_EX;
constexpr int kRelativeOffset = 0;
#endif

inline bool tag_valid(PyTypeObject* tp) {
#if PY_VERSION_HEX < 0x030C0000
    return PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
#else
    return tp->tp_version_tag != 0;
#endif
}

// Whether the instance dict of this type can be read directly: up to 3.10
// through the dict pointer; from 3.12 on for a managed dict, through the
// public accessor (which makes the dict from the inline values if need be:
// the dict then shares them, so every read sees the same attributes). 3.11
// keeps attributes outside a dict with no accessor for them.
inline bool dict_reads(PyTypeObject* tp) {
#if PY_VERSION_HEX < 0x030B0000
    (void)tp;
    return true;
#elif PY_VERSION_HEX >= 0x030C0000
    return PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT);
#else
    (void)tp;
    return false;
#endif
}

// The name's value in an instance dict, found at the remembered entry or by
// identity among the entries (remembered for the next read); NULL if neither
// (no error set).
inline PyObject* hinted(PyObject* dict, PyObject* name, Py_ssize_t& hint) {
    if constexpr (!layout::kDictLayout) return nullptr;
    if (PyObject* v = layout::value_at(dict, name, hint)) return v;
    Py_ssize_t ix = layout::find_key(layout::keys_of(dict), name);
    if (ix < 0) return nullptr;
    hint = ix;
    return layout::value_at(dict, name, ix);
}

inline PyObject* read_dict(PyObject* obj, PyObject* name, Py_ssize_t index, Py_ssize_t& hint) {
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= 0) {
        auto* values = (layout::Values*)((char*)obj + sizeof(PyObject));
        if (values->valid && index < values->capacity) {
            if (PyObject* v = values->values[index]) return Py_NewRef(v);
        }
    }
    PyObject* dict = layout::managed_slot(obj);
    if (dict) {
        if (PyObject* v = hinted(dict, name, hint)) return Py_NewRef(v);
    }
#elif PY_VERSION_HEX >= 0x030C0000
    PyObject* slot = layout::managed_slot(obj);
    if ((uintptr_t)slot & 1) {
        if (index >= 0) {
            if (PyObject* v = ((PyObject**)((char*)slot + 1))[index]) return Py_NewRef(v);
        }
    } else if (slot) {
        if (PyObject* v = hinted(slot, name, hint)) return Py_NewRef(v);
    }
#elif PY_VERSION_HEX < 0x030B0000
    (void)index;
    PyObject** slot = dict_ptr(obj);
    if (slot && *slot) {
        if (PyObject* v = hinted(*slot, name, hint)) {
            Py_INCREF(v);
            return v;
        }
        // Held across the lookup, as the generic lookup does: a key's __eq__
        // may replace the instance dict.
        PyObject* dict = *slot;
        Py_INCREF(dict);
        PyObject* v = PyDict_GetItemWithError(dict, name);
        Py_XINCREF(v);
        Py_DECREF(dict);
        if (v || PyErr_Occurred()) return v;
    }
#else
    (void)index;
    (void)hint;
#endif
    return PyObject_GetAttr(obj, name);  // a missing or unusual slot, the AttributeError
}

// The name's slot in the inline values of the type's instances (-1: none):
// its entry in the type's shared keys, whose entries are only ever appended.
inline Py_ssize_t inline_index(PyTypeObject* tp, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
    if (!layout::kDictLayout || !PyType_HasFeature(tp, Py_TPFLAGS_HEAPTYPE)) return -1;
#if PY_VERSION_HEX >= 0x030D0000
    if (!PyType_HasFeature(tp, Py_TPFLAGS_INLINE_VALUES) || tp->tp_basicsize != sizeof(PyObject)) return -1;
#endif
    auto* keys = (layout::Keys*)cached_keys(tp);
    return keys ? layout::find_key(keys, name) : -1;
#else
    (void)tp;
    (void)name;
    return -1;
#endif
}

[[gnu::noinline]] inline PyObject* fill(AttrCache& cache, PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name))
        return PyObject_GetAttr(obj, name);
    PyObject* d = type_lookup(tp, name);  // borrowed; gives the type a version tag
    if (!tag_valid(tp)) return PyObject_GetAttr(obj, name);
    Entry fresh{tp, tp->tp_version_tag, name, nullptr, nullptr, nullptr, nullptr, false, -1, -1, 0};
    if (!d) {
        fresh.dict_only = dict_reads(tp);
        if (fresh.dict_only) fresh.index = inline_index(tp, name);
    } else if (PyObject_TypeCheck(obj, PyDescr_TYPE(d))) {
        // Only what the generic lookup would call as is: the descriptor
        // applies to this type (it may sit in another class's dict), and a
        // member is not one whose reads are audited.
        if (Py_TYPE(d) == &PyMemberDescr_Type) {
            PyMemberDef* m = ((PyMemberDescrObject*)d)->d_member;
            if (!(m->flags & kAuditRead)) {
                fresh.member = m;
                if (m->type == kObjectSlot && !(m->flags & kRelativeOffset) && m->offset > 0)
                    fresh.slot_offset = m->offset;
            }
        } else if (Py_TYPE(d) == &PyGetSetDescr_Type) {
            PyGetSetDef* g = ((PyGetSetDescrObject*)d)->d_getset;
            if (g->get) {
                fresh.get = g->get;
                fresh.closure = g->closure;
            }
        }
    }
    if (fresh.member || fresh.get) {
        Py_INCREF(d);
        fresh.descr = d;
    }
    Py_INCREF(tp);
    Py_INCREF(name);
    Entry& e = entry(cache, tp, name);
    Entry old = e;
    e = fresh;
    Py_XDECREF(old.descr);
    Py_XDECREF(old.name);
    Py_XDECREF((PyObject*)old.type);
    return PyObject_GetAttr(obj, name);
}

// The value in the instance's own storage that an entry with dict_only
// points at, read the interpreter's cheap way (borrowed), or NULL: then
// read_dict, which also gives the errors.
inline PyObject* quick_read(PyObject* obj, PyObject* name, const Entry& e) {
    if constexpr (!layout::kDictLayout) return nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (e.index >= 0) {
        auto* values = (layout::Values*)((char*)obj + sizeof(PyObject));
        if (values->valid && e.index < values->capacity) return values->values[e.index];
        return nullptr;
    }
    PyObject* dict = layout::managed_slot(obj);
    return dict ? layout::value_at(dict, name, e.hint) : nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    PyObject* slot = layout::managed_slot(obj);
    if ((uintptr_t)slot & 1) return e.index >= 0 ? ((PyObject**)((char*)slot + 1))[e.index] : nullptr;
    return slot ? layout::value_at(slot, name, e.hint) : nullptr;
#elif PY_VERSION_HEX < 0x030B0000
    Py_ssize_t offset = Py_TYPE(obj)->tp_dictoffset;
    if (offset <= 0) return nullptr;
    PyObject* dict = *(PyObject**)((char*)obj + offset);
    return dict ? layout::value_at(dict, name, e.hint) : nullptr;
#else
    (void)obj;
    (void)name;
    (void)e;
    return nullptr;
#endif
}

[[gnu::noinline]] inline PyObject* slow_read(PyObject* obj, PyObject* name, Entry& e) {
    if (e.get) return e.get(obj, e.closure);
    if (e.member) return PyMember_GetOne((const char*)obj, e.member);
    if (e.dict_only) return read_dict(obj, name, e.index, e.hint);
    return PyObject_GetAttr(obj, name);
}

#endif  // !BRIDGE_GENERIC

}  // namespace attr_detail

// obj.name through `cache`: a new reference, or NULL with the exception set.
// The common case, a name the record keeps in its own storage, stays inline
// at the caller. The generic build reads every attribute the ordinary way.
[[gnu::always_inline]] inline PyObject* get_attr(AttrCache& cache, PyObject* obj, PyObject* name) {
#ifdef BRIDGE_GENERIC
    (void)cache;
    return PyObject_GetAttr(obj, name);
#else
    PyTypeObject* tp = Py_TYPE(obj);
    attr_detail::Entry& e = attr_detail::entry(cache, tp, name);
    if (e.type == tp && e.name == name && e.tag == tp->tp_version_tag && attr_detail::tag_valid(tp) &&
        tp->tp_getattro == PyObject_GenericGetAttr) {
        if (e.dict_only) {
            if (PyObject* v = attr_detail::quick_read(obj, name, e)) {
                Py_INCREF(v);
                return v;
            }
        } else if (e.slot_offset) {
            // A __slots__ member that is set; an empty one raises in the getter.
            if (PyObject* v = *(PyObject**)((char*)obj + e.slot_offset)) {
                Py_INCREF(v);
                return v;
            }
        }
        return attr_detail::slow_read(obj, name, e);
    }
    return attr_detail::fill(cache, obj, name);
#endif
}

}  // namespace common
