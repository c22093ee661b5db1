// The event queue type: a native drop-in for the ring buffer library's
// RingBuffer, with its interface, index arithmetic and error messages. The
// library's operations are several interpreted statements each, so threads can
// tear them apart; here every operation is one C call under the GIL. With dtype
// object the slots are a C array of owned references, empty outside the waiting
// range, so a popped or overwritten event is released at once. Other dtypes
// keep a numpy array as the library does.
#include "maviro.hpp"

#include <structmember.h>

#include <cstddef>

namespace maviro {
namespace {

struct Queue {
    PyObject_HEAD
    PyObject** items;  // dtype object: `capacity` slots, NULL outside [left, right)
    PyObject* arr;     // other dtypes: np.empty(capacity, dtype)
    PyObject* dtype;   // numpy dtype of the elements
    PyObject* tail;    // other dtypes: arr.shape[1:]
    Py_ssize_t capacity;
    Py_ssize_t left;   // as the library keeps its indices: 0 <= left < capacity
    Py_ssize_t right;  // left + number waiting
    bool objects;
    bool overwrite;
    bool holds_refs;   // other dtypes: the elements hold references (object fields)
    PyObject* weakrefs;
    // Health counters since the last reset (queue_reset_counts).
    uint64_t appended;
    uint64_t dropped;  // stored over or never stored because the queue was full
    Py_ssize_t high_water;
};

const char kAppendFull[] = "append to a full RingBuffer with overwrite disabled";
const char kPopEmpty[] = "pop from an empty RingBuffer";
const char kExtendFull[] = "extend a RingBuffer such that it would overflow, with overwrite disabled";
const char kIndexRange[] = "RingBuffer index out of range";

using common::new_ref;

inline Py_ssize_t size(const Queue* q) { return q->right - q->left; }
inline bool full(const Queue* q) { return size(q) == q->capacity; }

// `left` is a slot (0 once the storage is released and the capacity is 0).
inline bool left_in_range(const Queue* q) {
    return q->capacity == 0 ? q->left == 0 : 0 <= q->left && q->left < q->capacity;
}
// Between operations: `left` a slot, and no more waiting than there are slots.
inline bool indices_ok(const Queue* q) { return left_in_range(q) && 0 <= size(q) && size(q) <= q->capacity; }

inline void fix_indices(Queue* q) {
    if (q->left >= q->capacity) {
        q->left -= q->capacity;
        q->right -= q->capacity;
    } else if (q->left < 0) {
        q->left += q->capacity;
        q->right += q->capacity;
    }
    assert(left_in_range(q));
}

// Counts n items just stored into a queue that held `before`: whatever did not
// stay was dropped. Called where the indices are final and before any released
// item's __del__ can run. Always true, to end a successful path.
bool count_stored(Queue* q, Py_ssize_t n, Py_ssize_t before) {
    assert(indices_ok(q));
    Py_ssize_t now = size(q);
    q->appended += uint64_t(n);
    q->dropped += uint64_t(before + n - now);
    if (now > q->high_water) q->high_water = now;
    return true;
}

void index_error(const char* msg) { PyErr_SetString(PyExc_IndexError, msg); }

// The library's checks before a store of n values. Returns 1 to go on, 0 when
// the library silently stores nothing (an empty queue that the values overflow),
// -1 with IndexError set.
int may_store(const Queue* q, Py_ssize_t n, const char* msg) {
    if (size(q) + n > q->capacity) {
        if (!q->overwrite) return index_error(msg), -1;
        if (size(q) == 0) return 0;
    }
    return 1;
}

// Releases the references in slots[0, n) that are set, then frees the array.
void release_slots(PyObject** slots, Py_ssize_t n, bool free_array) {
    for (Py_ssize_t i = 0; i < n; ++i) Py_XDECREF(slots[i]);
    if (free_array) PyMem_Free(slots);
}

// Other dtypes: the values converted into a fresh array of shape (n,) + tail,
// before the queue's state is read, since converting can run Python code.
[[nodiscard]] Ref convert(Queue* q, PyObject* values, Py_ssize_t n, bool one) {
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    if (!count) return {};
    Ref head = Ref::steal(PyTuple_Pack(1, count.get()));
    if (!head) return {};
    Ref shape = Ref::steal(PySequence_Concat(head.get(), q->tail));
    if (!shape) return {};
    Ref tmp = common::call(S.consts.numpy.empty, shape.get(), q->dtype);
    if (!tmp) return {};
    int rc = PyObject_SetItem(tmp.get(), one ? S.consts.zero.get() : Py_Ellipsis, values);
    if (rc < 0) return {};
    return tmp;
}

[[nodiscard]] Ref slice(Py_ssize_t from, Py_ssize_t to) {
    Ref a = Ref::steal(PyLong_FromSsize_t(from));
    Ref b = Ref::steal(PyLong_FromSsize_t(to));
    if (!a || !b) return {};
    return Ref::steal(PySlice_New(a.get(), b.get(), nullptr));
}

// Other dtypes: a store of rows src[from:from+n] into the slots at..at+n, made
// ready before the queue changes. numpy releases what a slot held while it
// stores over it, and a __del__ run there would find the indices not yet moved,
// so for elements that hold references a copy of the slots keeps the old ones
// until the indices are final.
struct Run {
    Ref slots, rows, kept;

    [[nodiscard]] bool prepare(const Queue* q, Py_ssize_t at, PyObject* src, Py_ssize_t from, Py_ssize_t n) {
        *this = Run{};
        if (n == 0) return true;
        slots = slice(at, at + n);
        Ref part = slice(from, from + n);
        if (!slots || !part) return false;
        rows = Ref::steal(PyObject_GetItem(src, part.get()));
        if (!rows) return false;
        if (!q->holds_refs) return true;
        Ref old = Ref::steal(PyObject_GetItem(q->arr, slots.get()));
        if (!old) return false;
        kept = common::call_method(old.get(), N(copy));
        return bool(kept);
    }
    [[nodiscard]] bool store(const Queue* q) const {
        return !slots || PyObject_SetItem(q->arr, slots.get(), rows.get()) == 0;
    }
};

// Preparing runs allocates, and a collection may run finalisers that use the
// queue: a store goes on only if the queue is still as it was read.
struct Mark {
    PyObject* arr;
    Py_ssize_t left, right;
    explicit Mark(const Queue* q) : arr(q->arr), left(q->left), right(q->right) {}
    bool holds(const Queue* q) const { return arr == q->arr && left == q->left && right == q->right; }
};

[[nodiscard]] Ref get_slot(Queue* q, Py_ssize_t slot) {
    assert(0 <= slot && slot < q->capacity);
    if (q->objects) return Ref::borrow(q->items[slot] ? q->items[slot] : Py_None);
    Ref key = Ref::steal(PyLong_FromSsize_t(slot));
    if (!key) return {};
    return Ref::steal(PyObject_GetItem(q->arr, key.get()));
}

// ---- append / appendleft / pop / popleft

// Inlined so that each caller gets the branch of its own end only.
[[nodiscard]] [[gnu::always_inline]] inline bool append_impl(Queue* q, PyObject* value, bool at_left) {
    Ref tmp;
    if (!q->objects) {
        int go = may_store(q, 1, kAppendFull);
        if (go <= 0) return go == 0 && count_stored(q, 1, size(q));
        tmp = convert(q, value, 1, true);
        if (!tmp) return false;
    }
    // From here on no Python code runs until the indices are final, short of a
    // collection while a run is prepared (see Mark).
    Run run;
    bool drop;
    Py_ssize_t slot;
    for (;;) {
        int go = may_store(q, 1, kAppendFull);
        if (go <= 0) return go == 0 && count_stored(q, 1, size(q));
        drop = full(q);
        slot = at_left ? (q->left + q->capacity - 1) % q->capacity : q->right % q->capacity;
        if (q->objects) break;
        Mark mark(q);
        if (!run.prepare(q, slot, tmp.get(), 0, 1)) return false;
        if (mark.holds(q)) break;
    }
    PyObject* old = nullptr;
    if (q->objects) {
        old = q->items[slot];
        Py_INCREF(value);
        q->items[slot] = value;
    } else if (!run.store(q)) {
        return false;
    }
    if (at_left) {
        if (drop) q->right -= 1;
        q->left -= 1;
    } else {
        if (drop) q->left += 1;
        q->right += 1;
    }
    fix_indices(q);
    assert(indices_ok(q));
    q->appended += 1;  // count_stored(), spelt out for the bridge's posts
    q->dropped += drop;
    if (size(q) > q->high_water) q->high_water = size(q);
    Py_XDECREF(old);  // may run a __del__: the queue is consistent by now
    return true;
}

PyObject* pop_impl(Queue* q, bool at_left) {
    if (size(q) == 0) return index_error(kPopEmpty), nullptr;
    Py_ssize_t slot = at_left ? q->left : (q->right - 1) % q->capacity;
    PyObject* res;
    if (q->objects) {
        res = q->items[slot];  // the slot's reference goes to the caller
        q->items[slot] = nullptr;
        if (!res) res = new_ref(Py_None);
    } else {
        res = get_slot(q, slot).release();
        if (!res) return nullptr;
    }
    if (at_left)
        q->left += 1;
    else
        q->right -= 1;
    fix_indices(q);
    // An emptied object queue starts again at slot 0: a host that drains as it
    // goes then keeps touching the same few pages instead of walking the whole
    // slot array (8 MB at the bridge's capacity) into resident memory. No
    // position of an object queue is observable.
    if (q->objects && size(q) == 0) q->left = q->right = 0;
    assert(indices_ok(q));
    return res;
}

// ---- extend / extendleft

// The slot where lv (< capacity) items stored at one end begin.
Py_ssize_t first_slot(const Queue* q, Py_ssize_t lv, bool at_left) {
    Py_ssize_t cap = q->capacity;
    return at_left ? ((q->left - lv) % cap + cap) % cap : q->right % cap;
}

// The ends after lv (< capacity) items were stored at one end; a queue that
// overflows loses as many at the other end.
void move_ends(Queue* q, Py_ssize_t lv, bool at_left) {
    Py_ssize_t cap = q->capacity;
    if (at_left) {
        q->left -= lv;
        fix_indices(q);
        if (q->right > q->left + cap) q->right = q->left + cap;
    } else {
        q->right += lv;
        if (q->left < q->right - cap) q->left = q->right - cap;
        fix_indices(q);
    }
    assert(indices_ok(q));
}

[[nodiscard]] bool extend_objects(Queue* q, PyObject* seq, bool at_left) {
    Py_ssize_t lv = PySequence_Fast_GET_SIZE(seq);
    PyObject** src = PySequence_Fast_ITEMS(seq);
    int go = may_store(q, lv, kExtendFull);
    if (go <= 0) return go == 0 && count_stored(q, lv, size(q));
    Py_ssize_t before = size(q);
    Py_ssize_t cap = q->capacity;
    if (lv >= cap) {
        // Every slot is replaced: fill a fresh array and swap it in.
        PyObject** fresh = nullptr;
        if (cap > 0) {
            fresh = (PyObject**)PyMem_Calloc((size_t)cap, sizeof(PyObject*));
            if (!fresh) return (void)PyErr_NoMemory(), false;
        }
        Py_ssize_t from = at_left ? 0 : lv - cap;
        for (Py_ssize_t i = 0; i < cap; ++i) fresh[i] = new_ref(src[from + i]);
        PyObject** old = q->items;
        q->items = fresh;
        q->left = 0;
        q->right = cap;
        count_stored(q, lv, before);
        release_slots(old, old ? cap : 0, true);
        return true;
    }
    Py_ssize_t start = first_slot(q, lv, at_left);
    Py_ssize_t displaced = 0;
    for (Py_ssize_t i = 0; i < lv; ++i) displaced += q->items[(start + i) % cap] != nullptr;
    PyObject** old = nullptr;
    if (displaced) {
        old = (PyObject**)PyMem_Malloc((size_t)displaced * sizeof(PyObject*));
        if (!old) return (void)PyErr_NoMemory(), false;
    }
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < lv; ++i) {
        PyObject*& slot = q->items[(start + i) % cap];
        if (slot) old[k++] = slot;
        slot = new_ref(src[i]);
    }
    move_ends(q, lv, at_left);
    count_stored(q, lv, before);
    release_slots(old, displaced, true);
    return true;
}

[[nodiscard]] bool extend_array(Queue* q, PyObject* tmp, Py_ssize_t lv, bool at_left) {
    Run head, tail;  // slots from the first one stored on, then those wrapped round to slot 0
    Py_ssize_t cap;
    for (;;) {
        int go = may_store(q, lv, kExtendFull);
        if (go <= 0) return go == 0 && count_stored(q, lv, size(q));
        cap = q->capacity;
        Mark mark(q);
        bool ok;
        if (lv >= cap) {
            // Every slot is replaced, by the newest values the extension keeps.
            ok = head.prepare(q, 0, tmp, at_left ? 0 : lv - cap, cap) && tail.prepare(q, 0, tmp, 0, 0);
        } else {
            Py_ssize_t start = first_slot(q, lv, at_left);
            Py_ssize_t first = start + lv <= cap ? lv : cap - start;
            ok = head.prepare(q, start, tmp, 0, first) && tail.prepare(q, 0, tmp, first, lv - first);
        }
        if (!ok) return false;
        if (mark.holds(q)) break;
    }
    Py_ssize_t before = size(q);
    if (!head.store(q) || !tail.store(q)) return false;
    if (lv >= cap) {
        q->left = 0;
        q->right = cap;
    } else {
        move_ends(q, lv, at_left);
    }
    return count_stored(q, lv, before);
}

PyObject* extend_impl(Queue* q, PyObject* values, bool at_left) {
    Py_ssize_t lv = PyObject_Size(values);
    if (lv < 0) return nullptr;
    int go = may_store(q, lv, kExtendFull);
    if (go <= 0) return go == 0 && count_stored(q, lv, size(q)) ? new_ref(Py_None) : nullptr;
    bool ok;
    if (q->objects) {
        Ref seq = Ref::steal(PySequence_Fast(values, "values must be a sequence"));
        ok = seq && extend_objects(q, seq.get(), at_left);
    } else {
        Ref tmp = convert(q, values, lv, false);
        ok = tmp && extend_array(q, tmp.get(), lv, at_left);
    }
    return ok ? new_ref(Py_None) : nullptr;
}

// ---- reading

// The waiting items, oldest first, as a list taken in one step.
[[nodiscard]] Ref snapshot(Queue* q) {
    Py_ssize_t n = size(q);
    Ref list = Ref::steal(PyList_New(n));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = q->items[(q->left + i) % q->capacity];
        PyList_SET_ITEM(list.get(), i, new_ref(v ? v : Py_None));
    }
    return list;
}

// The library's _unwrap: a new numpy array of the waiting items, oldest first.
[[nodiscard]] Ref unwrap(Queue* q) {
    if (q->objects) {
        Ref items = snapshot(q);
        if (!items) return {};
        Py_ssize_t n = PyList_GET_SIZE(items.get());
        Ref count = Ref::steal(PyLong_FromSsize_t(n));
        if (!count) return {};
        Ref out = common::call(S.consts.numpy.empty, count.get(), S.consts.numpy.object_dtype.get());
        if (!out) return {};
        // One by one, so that an item that is itself a sequence is kept whole.
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PySequence_SetItem(out.get(), i, PyList_GET_ITEM(items.get(), i)) < 0) return {};
        return out;
    }
    Py_ssize_t cap = q->capacity;
    Ref a = Ref::steal(PySequence_GetSlice(q->arr, q->left, q->right < cap ? q->right : cap));
    Ref b = Ref::steal(PySequence_GetSlice(q->arr, 0, q->right > cap ? q->right - cap : 0));
    if (!a || !b) return {};
    Ref parts = Ref::steal(PyTuple_Pack(2, a.get(), b.get()));
    if (!parts) return {};
    return common::call(S.consts.numpy.concatenate, parts.get());
}

PyObject* item_at(Queue* q, Py_ssize_t i) {
    if (i < 0 || i >= size(q)) return index_error(kIndexRange), nullptr;
    return get_slot(q, (q->left + i) % q->capacity).release();
}

bool is_integer_index(PyObject* item) {
    return (PyLong_Check(item) && !PyBool_Check(item)) ||
           PyObject_TypeCheck(item, (PyTypeObject*)S.consts.numpy.integer.get());
}

// ---- type slots

Queue* Q(PyObject* self) { return (Queue*)self; }

Py_ssize_t q_length(PyObject* self) { return size(Q(self)); }

PyObject* q_item(PyObject* self, Py_ssize_t i) { return item_at(Q(self), i); }

PyObject* q_subscript(PyObject* self, PyObject* item) {
    if (is_integer_index(item)) {
        Py_ssize_t i = PyNumber_AsSsize_t(item, PyExc_IndexError);
        if (i == -1 && PyErr_Occurred()) return nullptr;
        if (i < 0) i += size(Q(self));
        return item_at(Q(self), i);
    }
    Ref all = unwrap(Q(self));
    return all ? PyObject_GetItem(all.get(), item) : nullptr;
}

PyObject* q_iter(PyObject* self) {
    Ref all = Q(self)->objects ? snapshot(Q(self)) : unwrap(Q(self));
    return all ? PyObject_GetIter(all.get()) : nullptr;
}

PyObject* q_repr(PyObject* self) {
    Ref all = unwrap(Q(self));
    return all ? PyUnicode_FromFormat("<RingBuffer of %R>", all.get()) : nullptr;
}

// Releases the storage of the dtype-object case; the object stays usable, empty
// and of capacity 0.
void release_storage(Queue* q) {
    PyObject** items = q->items;
    Py_ssize_t cap = q->objects ? q->capacity : 0;
    q->items = nullptr;
    q->left = q->right = 0;
    if (q->objects) q->capacity = 0;
    if (items) release_slots(items, cap, true);
}

int q_traverse(PyObject* self, visitproc visit, void* arg) {
    Queue* q = Q(self);
    if (q->objects)
        for (Py_ssize_t i = q->left; i < q->right; ++i) Py_VISIT(q->items[i % q->capacity]);
    Py_VISIT(q->arr);
    Py_VISIT(q->dtype);
    Py_VISIT(q->tail);
    return 0;  // a heap subclass's type is visited by the subclass's own traverse
}

int q_clear(PyObject* self) {
    if (Q(self)->objects) release_storage(Q(self));
    return 0;
}

void q_dealloc(PyObject* self) {
    Queue* q = Q(self);
    PyObject_GC_UnTrack(self);
    if (q->weakrefs) PyObject_ClearWeakRefs(self);
    release_storage(q);
    Py_CLEAR(q->arr);
    Py_CLEAR(q->dtype);
    Py_CLEAR(q->tail);
    Py_TYPE(self)->tp_free(self);  // a heap subclass's dealloc drops its type reference
}

PyObject* q_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    Queue* q = Q(self);
    q->objects = true;
    q->overwrite = true;
    q->dtype = new_ref(S.consts.numpy.object_dtype.get());
    return self;
}

// (capacity, dtype=float, allow_overwrite=True). Calling it again replaces the
// storage, as re-running the library's __init__ does.
int q_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"capacity", "dtype", "allow_overwrite", nullptr};
    PyObject* capacity;
    PyObject* dtype = (PyObject*)&PyFloat_Type;
    PyObject* allow = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OO:RingBuffer", (char**)kwlist, &capacity, &dtype, &allow))
        return -1;
    Ref d = common::call(S.consts.numpy.dtype, dtype);
    if (!d) return -1;
    int objects = PyIndex_Check(capacity) ? PyObject_RichCompareBool(d.get(), S.consts.numpy.object_dtype, Py_EQ) : 0;
    if (objects < 0) return -1;
    Ref arr, tail;
    Py_ssize_t cap;
    int holds_refs = 0;
    PyObject** items = nullptr;
    if (objects) {
        cap = PyNumber_AsSsize_t(capacity, PyExc_OverflowError);
        if (cap == -1 && PyErr_Occurred()) return -1;
        if (cap < 0) {
            PyErr_SetString(PyExc_ValueError, "negative dimensions are not allowed");
            return -1;
        }
        if (cap > 0) {
            // calloc: the pages of a large queue are only touched as it fills.
            items = (PyObject**)PyMem_Calloc((size_t)cap, sizeof(PyObject*));
            if (!items) return (void)PyErr_NoMemory(), -1;
        }
    } else {
        arr = common::call(S.consts.numpy.empty, capacity, d.get());
        if (!arr) return -1;
        cap = PyObject_Size(arr.get());
        if (cap < 0) return -1;
        d = getattr(arr.get(), N(dtype));
        Ref shape = d ? Ref::steal(PyObject_GetAttrString(arr.get(), "shape")) : Ref{};
        if (!shape) return -1;
        tail = Ref::steal(PySequence_GetSlice(shape.get(), 1, PY_SSIZE_T_MAX));
        if (!tail) return -1;
        Ref has = Ref::steal(PyObject_GetAttrString(d.get(), "hasobject"));
        holds_refs = has ? PyObject_IsTrue(has.get()) : -1;
        if (holds_refs < 0) return -1;
    }
    int overwrite = PyObject_IsTrue(allow);
    if (overwrite < 0) {
        PyMem_Free(items);
        return -1;
    }
    Queue* q = Q(self);
    bool was_objects = q->objects;
    PyObject** old_items = q->items;
    Py_ssize_t old_cap = q->capacity;
    Ref old_arr = Ref::steal(q->arr), old_dtype = Ref::steal(q->dtype), old_tail = Ref::steal(q->tail);
    q->items = items;
    q->arr = arr.release();
    q->dtype = d.release();
    q->tail = tail.release();
    q->capacity = cap;
    q->left = q->right = 0;
    q->objects = objects;
    q->overwrite = overwrite;
    q->holds_refs = holds_refs;
    if (was_objects && old_items) release_slots(old_items, old_cap, true);
    return 0;
}

// ---- methods and properties

PyObject* m_append(PyObject* self, PyObject* value) {
    return append_impl(Q(self), value, false) ? new_ref(Py_None) : nullptr;
}
PyObject* m_appendleft(PyObject* self, PyObject* value) {
    return append_impl(Q(self), value, true) ? new_ref(Py_None) : nullptr;
}
PyObject* m_pop(PyObject* self, PyObject*) { return pop_impl(Q(self), false); }
PyObject* m_popleft(PyObject* self, PyObject*) { return pop_impl(Q(self), true); }
PyObject* m_extend(PyObject* self, PyObject* values) { return extend_impl(Q(self), values, false); }
PyObject* m_extendleft(PyObject* self, PyObject* values) { return extend_impl(Q(self), values, true); }

PyObject* m_array(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"dtype", "copy", nullptr};
    PyObject* dtype = Py_None;
    PyObject* copy = Py_None;  // always a new array, whatever is asked
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:__array__", (char**)kwlist, &dtype, &copy)) return nullptr;
    Ref all = unwrap(Q(self));
    if (!all) return nullptr;
    if (dtype == Py_None) return all.release();
    return common::call_method(all.get(), N(astype), dtype).release();
}

PyObject* g_is_full(PyObject* self, void*) { return PyBool_FromLong(full(Q(self))); }
PyObject* g_dropped(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(Q(self)->dropped); }
PyObject* g_maxlen(PyObject* self, void*) { return PyLong_FromSsize_t(Q(self)->capacity); }
PyObject* g_dtype(PyObject* self, void*) { return new_ref(Q(self)->dtype); }
PyObject* g_shape(PyObject* self, void*) {
    Queue* q = Q(self);
    Ref n = Ref::steal(PyLong_FromSsize_t(size(q)));
    Ref head = n ? Ref::steal(PyTuple_Pack(1, n.get())) : Ref{};
    if (!head || q->objects) return head.release();
    return PySequence_Concat(head.get(), q->tail);
}

PyMethodDef q_methods[] = {
    {"append", m_append, METH_O, "Add a value at the right; a full queue drops its oldest value."},
    {"appendleft", m_appendleft, METH_O, "Add a value at the left; a full queue drops its newest value."},
    {"pop", m_pop, METH_NOARGS, "Remove and return the newest value."},
    {"popleft", m_popleft, METH_NOARGS, "Remove and return the oldest value."},
    {"extend", m_extend, METH_O, "Add the values at the right, in order."},
    {"extendleft", m_extendleft, METH_O, "Add the values at the left, keeping their order."},
    {"__array__", (PyCFunction)(void (*)(void))m_array, METH_VARARGS | METH_KEYWORDS,
     "The waiting values, oldest first, as a new numpy array."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef q_getset[] = {
    {"is_full", g_is_full, nullptr, "True if there is no more space in the queue.", nullptr},
    {"maxlen", g_maxlen, nullptr, "The capacity.", nullptr},
    {"dtype", g_dtype, nullptr, "numpy dtype of the values.", nullptr},
    {"shape", g_shape, nullptr, "(len,) plus the shape of one value.", nullptr},
    {"dropped", g_dropped, nullptr, "Values lost because the queue was full, since the last reset_bridge_stats().",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods q_as_sequence = [] {
    PySequenceMethods m{};
    m.sq_length = q_length;
    m.sq_item = q_item;
    return m;
}();

PyMappingMethods q_as_mapping = [] {
    PyMappingMethods m{};
    m.mp_length = q_length;
    m.mp_subscript = q_subscript;
    return m;
}();

// The type as it is set up in S.types.queue by queue_ready().
PyTypeObject queue_type_def() {
    PyTypeObject t = common::static_type("korvane.orvik.utils.maviro.EventQueue", sizeof(Queue), q_dealloc);
    t.tp_repr = q_repr;
    t.tp_as_sequence = &q_as_sequence;
    t.tp_as_mapping = &q_as_mapping;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "EventQueue(capacity, dtype=float, allow_overwrite=True)\n--\n\n"
        "Ring buffer with the interface of numpy_ringbuffer.RingBuffer. Each operation is\n"
        "indivisible, and with dtype object a popped or overwritten value is released at once.";
    t.tp_traverse = q_traverse;
    t.tp_clear = q_clear;
    t.tp_weaklistoffset = offsetof(Queue, weakrefs);
    t.tp_iter = q_iter;
    t.tp_methods = q_methods;
    t.tp_getset = q_getset;
    t.tp_init = q_init;
    t.tp_new = q_new;
    return t;
}

[[nodiscard]] bool load_numpy() {
    State::Consts::Numpy& np = S.consts.numpy;
    Ref mod = Ref::steal(PyImport_ImportModule("numpy"));
    if (!mod) return false;
    Immortal* slots[] = {&np.empty, &np.concatenate, &np.dtype, &np.integer};
    const char* names[] = {"empty", "concatenate", "dtype", "integer"};
    for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i)
        if (!slots[i]->set(PyObject_GetAttrString(mod.get(), names[i]))) return false;
    if (!PyType_Check(np.integer)) {
        PyErr_SetString(PyExc_TypeError, "numpy.integer is not a type");
        return false;
    }
    return np.object_dtype.set(common::call(np.dtype, (PyObject*)&PyBaseObject_Type).release());
}

}  // namespace

bool queue_ready(PyObject* module) {
    if (!load_numpy()) return false;
    PyTypeObject& queue_type = S.types.queue;
    if (!(queue_type.tp_flags & Py_TPFLAGS_READY)) {
        queue_type = queue_type_def();
        if (PyType_Ready(&queue_type) < 0) return false;
    }
    PyObject* type = (PyObject*)&queue_type;
    // A virtual subclass of the library's class, so isinstance checks against RB hold.
    Ref rb = global(nm::RB);
    if (!rb || !common::call_method(rb.get(), N(register_), type)) return false;
    return PyObject_SetAttr(module, N(EventQueue), type) == 0;
}

PyObject* queue_new(PyObject* capacity, PyObject* dtype) {
    return common::call((PyObject*)&S.types.queue, capacity, dtype).release();
}

bool queue_is_native(PyObject* obj) { return Py_TYPE(obj) == &S.types.queue; }

bool queue_append(PyObject* queue, PyObject* item) { return append_impl(Q(queue), item, false); }

QueueCounts queue_counts(PyObject* queue) {
    Queue* q = Q(queue);
    return {q->appended, q->dropped, q->high_water, size(q), q->capacity};
}

void queue_reset_counts(PyObject* queue) {
    Queue* q = Q(queue);
    q->appended = q->dropped = 0;
    q->high_water = size(q);
}

}  // namespace maviro
