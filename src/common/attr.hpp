// obj.name for the records a gateway hands over. From 3.12 on, a data
// descriptor that a type defines in C (a __slots__ member, a getset getter)
// is remembered per type version tag and the name, so a read calls the
// getter directly instead of walking the type's attribute lookup; anything
// else is read the ordinary way. Version tags are unique and a type's tag
// changes whenever the type (or a base) is modified, so a stale entry can
// never match.
#pragma once
#include "ref.hpp"

#include <cstdint>

namespace common {

#if PY_VERSION_HEX >= 0x030C0000
namespace attr_detail {

struct Entry {
    unsigned int tag;  // the type's version tag when filled; 0: empty
    PyObject* name;    // strong reference, so the pointer cannot be reused
    PyObject* descr;   // strong reference (or null), keeps what follows alive
    getter get;        // a getset getter, or null for a member
    void* closure;
    PyMemberDef* member;  // null for "read the ordinary way"
};

inline Entry table[256];

inline Entry& entry(unsigned int tag, PyObject* name) {
    return table[((tag * 0x9E3779B1u) ^ (unsigned)((uintptr_t)name >> 4)) & 255u];
}

inline PyObject* fill(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name))
        return PyObject_GetAttr(obj, name);
    PyObject* d = _PyType_Lookup(tp, name);  // borrowed; gives the type a version tag
    unsigned int tag = tp->tp_version_tag;
    if (tag) {
        Entry fresh{tag, name, nullptr, nullptr, nullptr, nullptr};
        // Only what the generic lookup would call as is: the descriptor
        // applies to this type (it may sit in a subclass's dict), and a
        // member is not one whose reads are audited.
        if (d && PyObject_TypeCheck(obj, PyDescr_TYPE(d))) {
            if (Py_IS_TYPE(d, &PyMemberDescr_Type)) {
                PyMemberDef* m = ((PyMemberDescrObject*)d)->d_member;
                if (!(m->flags & Py_AUDIT_READ)) fresh.member = m;
            } else if (Py_IS_TYPE(d, &PyGetSetDescr_Type)) {
                PyGetSetDef* g = ((PyGetSetDescrObject*)d)->d_getset;
                if (g->get) fresh = {tag, name, nullptr, g->get, g->closure, nullptr};
            }
        }
        if (fresh.member || fresh.get) {
            Py_INCREF(d);
            fresh.descr = d;
        }
        Py_INCREF(name);
        Entry& e = entry(tag, name);
        PyObject* old_descr = e.descr;
        PyObject* old_name = e.name;
        e = fresh;
        Py_XDECREF(old_descr);
        Py_XDECREF(old_name);
    }
    return PyObject_GetAttr(obj, name);
}

}  // namespace attr_detail

// A new reference, or NULL with the exception set.
inline PyObject* get_attr(PyObject* obj, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(obj);
    unsigned int tag = tp->tp_version_tag;
    const attr_detail::Entry& e = attr_detail::entry(tag, name);
    if (tag && e.tag == tag && e.name == name && tp->tp_getattro == PyObject_GenericGetAttr) {
        if (e.get) return e.get(obj, e.closure);
        if (e.member) return PyMember_GetOne((const char*)obj, e.member);
        return PyObject_GetAttr(obj, name);
    }
    return attr_detail::fill(obj, name);
}
#else
inline PyObject* get_attr(PyObject* obj, PyObject* name) { return PyObject_GetAttr(obj, name); }
#endif

}  // namespace common
