/* The recorder's work on the SDK thread, in C: for a callback that takes just
 * a record, copy the record's values, read the bridge's clock, append to the
 * recorder's buffer and hand the call to the base class's method, without an
 * interpreted frame and without a dict per callback.
 *
 * Capture is the base class of bridge_replay.recorder.Recorder: it holds what
 * a callback reads, so that one attribute lookup on the strategy finds it all.
 * Anything but the usual call (a record type met for the first time, new host
 * orders in the book, keyword arguments) goes whole to the pure-Python method,
 * which does the same work, so both write the same session. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include "_captured.h"

#include <time.h>

#if defined(__GNUC__)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)
#define COLD __attribute__((cold, noinline))
#else
#define UNLIKELY(x) (x)
#define COLD
#endif

#if PY_VERSION_HEX < 0x03090000
#define Vectorcall _PyObject_Vectorcall
#define HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#else
#define Vectorcall PyObject_Vectorcall
#define HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

static PyObject *str_recorder, *str_dict, *str_datetime, *str_orders_dict, *str_now;
static PyObject *empty_tuple;
static PyObject *time_time;  /* time.time as imported: read here without the call */
static PyTypeObject *deque_type;  /* collections.deque */
static PyCFunction deque_append;  /* its append, called without a bound method */
static getter plain_dict_get;     /* the __dict__ getter of a class of plain Python objects */
static PyTypeObject CapturedType;

/* ------------------------------------------------------------------ Capture */

typedef struct {
    PyObject_HEAD
    PyObject *bridge;   /* the bridge module */
    PyObject *buffer;   /* collections.deque of captured callbacks */
    PyObject *append;   /* buffer.append */
    PyObject *readers;  /* record type -> marker, or (names, attrgetter) */
    PyObject *marker;   /* readers' value for a type read through its instance dict */
    PyObject *time;     /* time.time: the receive time */
    PyObject *real;     /* datetime.datetime: the bridge's clock on real time */
    Py_ssize_t capacity;  /* what the buffer may hold; 0 once closed or failed */
    Py_ssize_t book_len;  /* host orders in the bridge's book at the last look */
    Py_ssize_t missed;    /* callbacks not taken: a full buffer, a record that cannot be read */
} Capture;

#define CAPTURE_FIELDS(X) \
    X(bridge) X(buffer) X(append) X(readers) X(marker) X(time) X(real)

static int
capture_traverse(Capture *c, visitproc visit, void *arg)
{
#define VISIT(f) Py_VISIT(c->f);
    CAPTURE_FIELDS(VISIT)
#undef VISIT
    return 0;
}

static int
capture_clear(Capture *c)
{
#define CLEAR(f) Py_CLEAR(c->f);
    CAPTURE_FIELDS(CLEAR)
#undef CLEAR
    return 0;
}

static void
capture_dealloc(Capture *c)
{
    PyObject_GC_UnTrack(c);
    capture_clear(c);
    Py_TYPE(c)->tp_free((PyObject *)c);
}

static PyMemberDef capture_members[] = {
    {"_bridge", T_OBJECT_EX, offsetof(Capture, bridge), 0, NULL},
    {"buffer", T_OBJECT_EX, offsetof(Capture, buffer), 0, NULL},
    {"_append", T_OBJECT_EX, offsetof(Capture, append), 0, NULL},
    {"_readers", T_OBJECT_EX, offsetof(Capture, readers), 0, NULL},
    {"_dict_marker", T_OBJECT_EX, offsetof(Capture, marker), 0, NULL},
    {"_time", T_OBJECT_EX, offsetof(Capture, time), 0, NULL},
    {"_real", T_OBJECT_EX, offsetof(Capture, real), 0, NULL},
    {"capacity", T_PYSSIZET, offsetof(Capture, capacity), 0,
     "Callbacks the buffer may hold; 0 once closed or failed."},
    {"_book_len", T_PYSSIZET, offsetof(Capture, book_len), 0, NULL},
    {"missed", T_PYSSIZET, offsetof(Capture, missed), 0,
     "Callbacks not taken on the SDK thread: a full buffer, or writing stopped."},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject CaptureType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bridge_replay._capture.Capture",
    .tp_basicsize = sizeof(Capture),
    .tp_dealloc = (destructor)capture_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "What the recording callbacks read on the SDK thread (the recorder's base).",
    .tp_traverse = (traverseproc)capture_traverse,
    .tp_clear = (inquiry)capture_clear,
    .tp_members = capture_members,
    .tp_new = PyType_GenericNew,
};

/* --------------------------------------------------------------- Captured */

/* No GC header: its allocation does not count towards the collector's next
 * run. That is safe only because a capture can never be part of a reference
 * cycle: nothing it refers to (the callback's name, times, the record's names
 * and values) can refer back to it, as only the buffer and the writer ever
 * hold it. */

static PyObject *
captured_new(PyObject *cb, PyObject *names, Py_ssize_t n)
{
    Captured *c = PyObject_NewVar(Captured, &CapturedType, names ? n : 2 * n);
    if (c == NULL)
        return NULL;
    Py_INCREF(cb);
    c->cb = cb;
    c->t = c->recv = NULL;
    Py_XINCREF(names);
    c->names = names;
    c->n = n;
    memset(c->refs, 0, Py_SIZE(c) * sizeof(PyObject *));
    return (PyObject *)c;
}

static void
captured_dealloc(Captured *c)
{
    Py_XDECREF(c->cb);
    Py_XDECREF(c->t);
    Py_XDECREF(c->recv);
    Py_XDECREF(c->names);
    for (Py_ssize_t i = 0; i < Py_SIZE(c); i++)
        Py_XDECREF(c->refs[i]);
    PyObject_Del(c);
}

static Py_ssize_t
captured_length(PyObject *self)
{
    return 5;
}

/* As the Python path's (cb, t, rec, (), recv): rec a dict of the record's
 * attributes, or (names, values). */
static PyObject *
captured_item(Captured *c, Py_ssize_t i)
{
    PyObject *r;
    switch (i) {
    case 0: r = c->cb; break;
    case 1: r = c->t; break;
    case 3: r = empty_tuple; break;
    case 4: r = c->recv; break;
    case 2:
        if (c->names) {
            PyObject *values = PyTuple_New(c->n);
            if (values == NULL)
                return NULL;
            for (Py_ssize_t k = 0; k < c->n; k++) {
                Py_INCREF(c->refs[k]);
                PyTuple_SET_ITEM(values, k, c->refs[k]);
            }
            r = PyTuple_Pack(2, c->names, values);
            Py_DECREF(values);
            return r;
        }
        if ((r = PyDict_New()) == NULL)
            return NULL;
        for (Py_ssize_t k = 0; k < c->n; k++)
            if (PyDict_SetItem(r, c->refs[2 * k], c->refs[2 * k + 1]) < 0) {
                Py_DECREF(r);
                return NULL;
            }
        return r;
    default:
        PyErr_SetString(PyExc_IndexError, "captured callback index out of range");
        return NULL;
    }
    Py_INCREF(r);
    return r;
}

static PySequenceMethods captured_as_sequence = {
    .sq_length = captured_length,
    .sq_item = (ssizeargfunc)captured_item,
};

static PyTypeObject CapturedType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bridge_replay._capture.Captured",
    .tp_basicsize = offsetof(Captured, refs),
    .tp_itemsize = sizeof(PyObject *),
    .tp_dealloc = (destructor)captured_dealloc,
    .tp_as_sequence = &captured_as_sequence,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "A captured callback: reads as the tuple (cb, t, rec, (), recv).",
};

/* key == name, name an exact str: compared in place, as a dict's lookup
 * compares strs (a record's names need not be the interned ones). */
static int
equal_str(PyObject *key, PyObject *name)
{
    if (!PyUnicode_CheckExact(key))
        return 0;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(key) || !PyUnicode_IS_READY(name))
        return PyUnicode_Compare(key, name) == 0;
#endif
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    return len == PyUnicode_GET_LENGTH(name) && PyUnicode_KIND(key) == PyUnicode_KIND(name)
           && memcmp(PyUnicode_DATA(key), PyUnicode_DATA(name), len * PyUnicode_KIND(key)) == 0;
}

/* The dict's values under names, the names its keys had last time (equal
 * strings, in the same order), so that the capture holds one reference to
 * the names instead of one per key. NULL without an error: the keys differ. */
static PyObject *
captured_as_named(PyObject *cb, PyObject *d, PyObject *names)
{
    Py_ssize_t n = PyDict_GET_SIZE(d);
    if (PyTuple_GET_SIZE(names) != n)
        return NULL;
    PyObject *got = captured_new(cb, names, n);
    if (got == NULL)
        return NULL;
    PyObject **refs = ((Captured *)got)->refs;
    PyObject *const *want = &PyTuple_GET_ITEM(names, 0);
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {  /* runs no Python code */
        if (UNLIKELY(key != want[k]) && !equal_str(key, want[k])) {
            Py_DECREF(got);
            return NULL;
        }
        Py_INCREF(value);
        refs[k++] = value;
    }
    return got;
}

/* The dict's keys as a tuple, or NULL without an error where one is not a str. */
static PyObject *
names_of_dict(PyObject *d)
{
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value))
        if (!PyUnicode_CheckExact(key))
            return NULL;
    PyObject *names = PyTuple_New(PyDict_GET_SIZE(d));
    if (names == NULL)
        return NULL;
    pos = 0;
    /* Allocating above may have run a finalizer changing the dict: checked on use. */
    while (PyDict_Next(d, &pos, &key, &value) && k < PyTuple_GET_SIZE(names)) {
        Py_INCREF(key);
        PyTuple_SET_ITEM(names, k++, key);
    }
    for (; k < PyTuple_GET_SIZE(names); k++) {
        Py_INCREF(Py_None);
        PyTuple_SET_ITEM(names, k, Py_None);
    }
    return names;
}

/* Each key inline before its value: keys that are not all strs. */
static PyObject *
captured_as_pairs(PyObject *cb, PyObject *d)
{
    PyObject *got = captured_new(cb, NULL, PyDict_GET_SIZE(d));
    if (got == NULL)
        return NULL;
    PyObject **refs = ((Captured *)got)->refs;
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(d, &pos, &key, &value)) {  /* runs no Python code */
        Py_INCREF(key);
        Py_INCREF(value);
        refs[k++] = key;
        refs[k++] = value;
    }
    return got;
}

/* The record type a callback was last given, read through its instance
 * dict, and the names its record had (one type a callback, as a rule). */
typedef struct {
    PyObject *type;
    PyObject *names;
} LastNames;

/* A record type met first, or whose record's names changed: its names
 * remembered anew. */
static COLD PyObject *
captured_new_names(LastNames *last, PyObject *cb, PyObject *d, PyObject *type)
{
    PyObject *names = names_of_dict(d);
    if (names == NULL)
        return PyErr_Occurred() ? NULL : captured_as_pairs(cb, d);
    PyObject *got = captured_as_named(cb, d, names);
    if (got == NULL) {
        Py_DECREF(names);
        if (PyErr_Occurred())
            return NULL;
        return captured_as_pairs(cb, d);  /* changed meanwhile */
    }
    PyObject *old_type = last->type, *old_names = last->names;
    Py_INCREF(type);
    last->type = type;
    last->names = names;
    Py_XDECREF(old_type);
    Py_XDECREF(old_names);
    return got;
}

/* A record read through its instance dict: the pairs as they are now, as
 * the Python path's dict copy has them. */
static PyObject *
captured_dict(LastNames *last, PyObject *cb, PyObject *d, PyObject *type)
{
    if (last->type == type && last->names != NULL) {
        PyObject *names = last->names;
        Py_INCREF(names);
        PyObject *got = captured_as_named(cb, d, names);
        Py_DECREF(names);
        if (got != NULL || PyErr_Occurred())
            return got;
    }
    return captured_new_names(last, cb, d, type);
}

/* A record that cannot be read must not fail the callback: counted. */
static COLD int
unreadable(void)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return 0;
    PyErr_Clear();
    return 1;
}

/* rec.__dict__ (a new reference), read straight from the instance where
 * its type's __dict__ is the plain one, as that getter would read it. */
static PyObject *
instance_dict(PyObject *rec)
{
    PyTypeObject *tp = Py_TYPE(rec);
    if (tp->tp_getattro == PyObject_GenericGetAttr) {
        PyObject *descr = _PyType_Lookup(tp, str_dict);  /* borrowed */
        if (descr != NULL && Py_TYPE(descr) == &PyGetSetDescr_Type
                && plain_dict_get != NULL && ((PyGetSetDescrObject *)descr)->d_getset->get == plain_dict_get
                && ((PyGetSetDescrObject *)descr)->d_getset->set != NULL) {
            /* The plain getter defers to a built-in base holding a dict of its own. */
            PyObject *mro = tp->tp_mro;
            int plain = mro != NULL && PyTuple_CheckExact(mro);
            for (Py_ssize_t i = 0; plain && i < PyTuple_GET_SIZE(mro); i++) {
                PyTypeObject *b = (PyTypeObject *)PyTuple_GET_ITEM(mro, i);
                plain = (b->tp_flags & Py_TPFLAGS_HEAPTYPE) || b->tp_dictoffset == 0;
            }
            PyObject **ptr = plain ? _PyObject_GetDictPtr(rec) : NULL;
            if (ptr != NULL && *ptr != NULL) {
                Py_INCREF(*ptr);
                return *ptr;
            }
        }
    }
    return PyObject_GetAttr(rec, str_dict);
}

/* The record's values into a new capture: its instance dict's values (under
 * its names), or the values of its type's names. NULL: with an error set, an
 * error; without, *missed says whether the record is counted as missed (1)
 * or the Python path takes the call (0). */
static PyObject *
captured(Capture *c, LastNames *last, PyObject *name, PyObject *rec, PyObject *how,
         int *missed)
{
    *missed = 0;
    if (how == c->marker) {
        PyObject *d = instance_dict(rec);
        if (UNLIKELY(d == NULL)) {
            *missed = unreadable();
            return NULL;
        }
        PyObject *got = NULL;
        if (PyDict_CheckExact(d))
            got = captured_dict(last, name, d, (PyObject *)Py_TYPE(rec));
        Py_DECREF(d);
        return got;
    }
    if (!PyTuple_CheckExact(how) || PyTuple_GET_SIZE(how) != 2
            || !PyTuple_CheckExact(PyTuple_GET_ITEM(how, 0)))
        return NULL;
    /* The names' getattrs, as the type's attrgetter does, without its tuple. */
    PyObject *names = PyTuple_GET_ITEM(how, 0);
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    PyObject *got = captured_new(name, names, n);
    if (got == NULL)
        return NULL;
    for (Py_ssize_t k = 0; k < n; k++) {
        PyObject *v = PyObject_GetAttr(rec, PyTuple_GET_ITEM(names, k));
        if (UNLIKELY(v == NULL)) {
            Py_DECREF(got);
            *missed = unreadable();
            return NULL;
        }
        ((Captured *)got)->refs[k] = v;
    }
    return got;
}

/* time.time(), read here: the same float, without the call. */
static PyObject *
now_float(void)
{
    struct timespec ts;
    if (UNLIKELY(clock_gettime(CLOCK_REALTIME, &ts) != 0))
        return PyErr_SetFromErrno(PyExc_OSError);
    int64_t ns = (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
    /* As the interpreter converts its nanoseconds to seconds. */
    volatile double d;
    if (ns % 1000000000 == 0)
        d = (double)(ns / 1000000000);
    else {
        d = (double)ns;
        d /= 1e9;
    }
    return PyFloat_FromDouble(d);
}

/* 1: taken or counted, the base's method is to be called; 0: the Python path
 * takes the whole call; -1: an error, raised to the caller as Python would. */
static int
take(Capture *c, LastNames *last, PyObject *name, PyObject *rec)
{
    if (!PyModule_Check(c->bridge) || !PyDict_CheckExact(c->readers))
        return 0;
    PyObject *globals = PyModule_GetDict(c->bridge);  /* borrowed */
    /* Looked up at each call: the replay rebinds the bridge's clock. */
    PyObject *book = PyDict_GetItemWithError(globals, str_orders_dict);
    if (book == NULL)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_CheckExact(book) || PyDict_GET_SIZE(book) != c->book_len)
        return 0;  /* new host orders: the Python path records them first */
    Py_ssize_t held = Py_TYPE(c->buffer) == deque_type ? Py_SIZE(c->buffer)
                      : PyObject_Size(c->buffer);
    if (held < 0)
        return -1;
    if (held >= c->capacity) {
        c->missed++;
        return 1;
    }
    PyObject *how = PyDict_GetItemWithError(c->readers, (PyObject *)Py_TYPE(rec));
    if (how == NULL)
        return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(how);  /* held: a getter may run Python code */
    PyObject *clock = PyDict_GetItemWithError(globals, str_datetime);
    if (clock == NULL) {
        Py_DECREF(how);
        return PyErr_Occurred() ? -1 : 0;
    }
    Py_INCREF(clock);
    int missed;
    PyObject *got = captured(c, last, name, rec, how, &missed);
    Py_DECREF(how);
    if (got == NULL) {
        Py_DECREF(clock);
        /* A capture that cannot be made (no memory for it) is a missed
         * callback too, as on the Python path: never the SDK's failure. */
        if (PyErr_Occurred() && !(missed = unreadable()))
            return -1;
        if (missed)
            c->missed++;
        return missed;
    }
    PyObject *t;
    if (clock == c->real) {
        /* on real time the writer derives the local time from the receive time */
        t = Py_None;
        Py_INCREF(t);
    }
    else {
        t = PyObject_CallMethodObjArgs(clock, str_now, NULL);
    }
    Py_DECREF(clock);
    PyObject *recv = t == NULL ? NULL
                     : c->time == time_time ? now_float() : Vectorcall(c->time, NULL, 0, NULL);
    if (recv == NULL) {
        Py_XDECREF(t);
        Py_DECREF(got);
        return -1;
    }
    ((Captured *)got)->t = t;  /* the references pass to the capture */
    ((Captured *)got)->recv = recv;
    PyObject *item = got;
    PyObject *append = c->append, *r;
    if (Py_TYPE(c->buffer) == deque_type && PyCFunction_Check(append)
            && PyCFunction_GET_SELF(append) == c->buffer
            && PyCFunction_GET_FUNCTION(append) == deque_append)
        r = deque_append(c->buffer, item);  /* the buffer's own append: runs no Python code */
    else {
        Py_INCREF(append);
        r = Vectorcall(append, &item, 1, NULL);
        Py_DECREF(append);
    }
    Py_DECREF(item);
    if (r == NULL)
        return -1;
    Py_DECREF(r);
    return 1;
}

/* ------------------------------------------------------------------ Method */

/* self._recorder: from the instance dict where the type has no attribute of
 * that name to take precedence. Where instances keep their attributes
 * outside a dict until asked for it (3.11 on), the generic lookup is kept:
 * asking for the dict would slow the strategy's own attribute reads. */
static PyObject *
recorder_of(PyObject *self)
{
#if PY_VERSION_HEX < 0x030B0000
    PyTypeObject *tp = Py_TYPE(self);
    if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0) {
        PyObject *d = *(PyObject **)((char *)self + tp->tp_dictoffset);
        if (d != NULL && PyDict_CheckExact(d) && _PyType_Lookup(tp, str_recorder) == NULL) {
            PyObject *r = PyDict_GetItemWithError(d, str_recorder);  /* borrowed */
            if (r != NULL) {
                Py_INCREF(r);
                return r;
            }
            if (PyErr_Occurred())
                return NULL;
        }
    }
#endif
    return PyObject_GetAttr(self, str_recorder);
}

typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *name;      /* the callback's name, as written in the session */
    PyObject *base;      /* the base class's method */
    PyObject *fallback;  /* the pure-Python method: anything but the usual call */
    PyObject *qualname;
    PyObject *doc;
    PyObject *module;
    PyObject *signature;
    LastNames last;
} Method;

static PyObject *
method_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    Method *m = (Method *)callable;
    if (PyVectorcall_NARGS(nargsf) == 2 && kwnames == NULL) {
        PyObject *r = recorder_of(args[0]);
        if (r == NULL)
            PyErr_Clear();  /* the Python path says what is wrong */
        else {
            int done = 0;
            if (PyObject_TypeCheck(r, &CaptureType)) {
                Capture *c = (Capture *)r;
#define SET(f) && c->f != NULL
                if (1 CAPTURE_FIELDS(SET))
                    done = take(c, &m->last, m->name, args[1]);
#undef SET
            }
            Py_DECREF(r);
            if (done < 0)
                return NULL;
            if (done)
                return Vectorcall(m->base, args, nargsf, NULL);
        }
    }
    return Vectorcall(m->fallback, args, nargsf, kwnames);
}

static PyObject *
method_get(PyObject *self, PyObject *obj, PyObject *type)
{
    if (obj == NULL || obj == Py_None) {
        Py_INCREF(self);
        return self;
    }
    return PyMethod_New(self, obj);
}

static int
method_traverse(Method *m, visitproc visit, void *arg)
{
    Py_VISIT(m->base);
    Py_VISIT(m->fallback);
    Py_VISIT(m->last.type);
    Py_VISIT(m->last.names);
    return 0;
}

static int
method_clear(Method *m)
{
    Py_CLEAR(m->base);
    Py_CLEAR(m->fallback);
    Py_CLEAR(m->last.type);
    Py_CLEAR(m->last.names);
    return 0;
}

static void
method_dealloc(Method *m)
{
    PyObject_GC_UnTrack(m);
    method_clear(m);
    Py_XDECREF(m->name);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->doc);
    Py_XDECREF(m->module);
    Py_XDECREF(m->signature);
    PyObject_GC_Del(m);
}

static PyObject *
method_repr(Method *m)
{
    return PyUnicode_FromFormat("<function %U>", m->qualname);
}

static PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(Method, name), READONLY, NULL},
    {"__qualname__", T_OBJECT, offsetof(Method, qualname), READONLY, NULL},
    {"__doc__", T_OBJECT, offsetof(Method, doc), READONLY, NULL},
    {"__module__", T_OBJECT, offsetof(Method, module), READONLY, NULL},
    {"__text_signature__", T_OBJECT, offsetof(Method, signature), READONLY, NULL},
    {NULL, 0, 0, 0, NULL},
};

static PyTypeObject MethodType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "bridge_replay._capture.recording_method",
    .tp_basicsize = sizeof(Method),
    .tp_dealloc = (destructor)method_dealloc,
    .tp_vectorcall_offset = offsetof(Method, vectorcall),
    .tp_repr = (reprfunc)method_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR
                | HAVE_VECTORCALL,
    .tp_doc = "A recording callback: binds like a Python function.",
    .tp_traverse = (traverseproc)method_traverse,
    .tp_clear = (inquiry)method_clear,
    .tp_members = method_members,
    .tp_descr_get = method_get,
};

static PyObject *
make_method(PyObject *module, PyObject *args)
{
    PyObject *name, *base, *fallback;
    if (!PyArg_ParseTuple(args, "UOO:method", &name, &base, &fallback))
        return NULL;
    if (!PyCallable_Check(base) || !PyCallable_Check(fallback)) {
        PyErr_SetString(PyExc_TypeError, "method: the base method and the fallback must be callable");
        return NULL;
    }
    Method *m = PyObject_GC_New(Method, &MethodType);
    if (m == NULL)
        return NULL;
    m->vectorcall = method_vectorcall;
    m->last.type = m->last.names = NULL;
    Py_INCREF(name);
    m->name = name;
    Py_INCREF(base);
    m->base = base;
    Py_INCREF(fallback);
    m->fallback = fallback;
    m->qualname = PyObject_GetAttrString(fallback, "__qualname__");
    m->doc = m->qualname ? PyObject_GetAttrString(fallback, "__doc__") : NULL;
    m->module = m->doc ? PyObject_GetAttrString(fallback, "__module__") : NULL;
    m->signature = m->module ? PyUnicode_FromString("(self, rec)") : NULL;
    PyObject_GC_Track(m);
    if (m->signature == NULL) {
        Py_DECREF(m);
        return NULL;
    }
    return (PyObject *)m;
}

static PyMethodDef functions[] = {
    {"method", make_method, METH_VARARGS,
     "method(name, base_method, fallback) -> a recording callback\n\n"
     "Records the callback ``name`` through the strategy's ``_recorder`` (a Capture)\n"
     "and calls ``base_method``; any call it does not handle goes to ``fallback``,\n"
     "a Python function doing the same."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_capture",
    "The recording callbacks' capture on the SDK thread, in C (optional).",
    -1, functions, NULL, NULL, NULL, NULL,
};

/* What the capture compares with to take its shortcuts: the deque's append
 * and a plain class's __dict__ getter. */
static int
init_fast_paths(void)
{
    PyObject *collections = PyImport_ImportModule("collections");
    if (collections == NULL)
        return -1;
    PyObject *deque = PyObject_GetAttrString(collections, "deque");
    Py_DECREF(collections);
    if (deque == NULL)
        return -1;
    if (!PyType_Check(deque)) {
        Py_DECREF(deque);
        PyErr_SetString(PyExc_TypeError, "collections.deque is not a type");
        return -1;
    }
    deque_type = (PyTypeObject *)deque;  /* kept */
    PyObject *append = PyDict_GetItemString(deque_type->tp_dict, "append");  /* borrowed */
    if (append != NULL && Py_TYPE(append) == &PyMethodDescr_Type
            && ((PyMethodDescrObject *)append)->d_method->ml_flags == METH_O)
        deque_append = ((PyMethodDescrObject *)append)->d_method->ml_meth;
    PyObject *plain = PyObject_CallFunction((PyObject *)&PyType_Type, "s()N", "plain", PyDict_New());
    if (plain == NULL)
        return -1;
    PyObject *descr = _PyType_Lookup((PyTypeObject *)plain, str_dict);
    if (descr != NULL && Py_TYPE(descr) == &PyGetSetDescr_Type)
        plain_dict_get = ((PyGetSetDescrObject *)descr)->d_getset->get;
    Py_DECREF(plain);
    return 0;
}

PyMODINIT_FUNC
PyInit__capture(void)
{
    if (PyType_Ready(&CaptureType) < 0 || PyType_Ready(&MethodType) < 0
            || PyType_Ready(&CapturedType) < 0)
        return NULL;
    if (!(str_recorder = PyUnicode_InternFromString("_recorder"))
            || !(str_dict = PyUnicode_InternFromString("__dict__"))
            || !(str_datetime = PyUnicode_InternFromString("datetime"))
            || !(str_orders_dict = PyUnicode_InternFromString("orders_dict"))
            || !(str_now = PyUnicode_InternFromString("now"))
            || !(empty_tuple = PyTuple_New(0)))
        return NULL;
    PyObject *time_module = PyImport_ImportModule("time");
    if (time_module == NULL)
        return NULL;
    time_time = PyObject_GetAttrString(time_module, "time");
    Py_DECREF(time_module);
    if (time_time == NULL)
        return NULL;
    if (init_fast_paths() < 0)
        return NULL;
    PyObject *m = PyModule_Create(&module_def);
    if (m == NULL)
        return NULL;
    Py_INCREF(&CaptureType);
    if (PyModule_AddObject(m, "Capture", (PyObject *)&CaptureType) < 0) {
        Py_DECREF(&CaptureType);
        Py_DECREF(m);
        return NULL;
    }
    Py_INCREF(&CapturedType);
    if (PyModule_AddObject(m, "Captured", (PyObject *)&CapturedType) < 0) {
        Py_DECREF(&CapturedType);
        Py_DECREF(m);
        return NULL;
    }
    return m;
}
