/* The recorder writer's usual row in C: a record of the same names and exact
 * value types as its callback's last, with plain numbers, becomes the row line
 * [sid, t, recv, *values] in one call. Anything this cannot vouch for returns
 * None, and the encoder's own loop decides it, so the lines never differ from the
 * pure-Python writer's.
 *
 * Plain C against the limited API (3.8 and later): one build per interpreter
 * is still made, but nothing here depends on object layouts. */

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03080000
#endif
#include <Python.h>
#include <math.h>

/* A number column is plain when Python's sum over it is a finite int or
 * float. Bounded values and a bounded count keep every partial sum (and any
 * compensation term) far from overflow, so the answer cannot differ. */
#define BOUND 1e300
#define MAX_TERMS 1000000

/* 1 plain for sure, 0 not sure (Python decides), -1 error. */
static int
plain_float(PyObject *v)
{
    double x = PyFloat_AsDouble(v);
    if (x == -1.0 && PyErr_Occurred())
        return -1;
    return isfinite(x) && fabs(x) <= BOUND;
}

static int
plain_list(PyObject *list, Py_ssize_t *terms)
{
    Py_ssize_t n = PyList_Size(list);
    if (n < 0)
        return -1;
    if ((*terms += n) > MAX_TERMS)
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *e = PyList_GetItem(list, i);  /* borrowed */
        if (e == NULL)
            return -1;
        PyTypeObject *t = Py_TYPE(e);
        if (t == &PyFloat_Type) {
            int r = plain_float(e);
            if (r != 1)
                return r;
        }
        else if (t == &PyLong_Type) {
            /* Not bool, not an IntEnum: those are Python's to judge. */
            int overflow;
            long long x = PyLong_AsLongLongAndOverflow(e, &overflow);
            if (x == -1 && PyErr_Occurred())
                return -1;
            if (overflow)
                return 0;
        }
        else
            return 0;
    }
    return 1;
}

/* Checks one value against its column's type; 1 ok, 0 no, -1 error. */
static int
check(PyObject *v, PyObject *type, Py_ssize_t *terms)
{
    PyTypeObject *t = Py_TYPE(v);
    if ((PyObject *)t != type)
        return 0;
    if (t == &PyFloat_Type)
        return plain_float(v);
    if (t == &PyList_Type)
        return plain_list(v, terms);
    return 1;
}

/* row(rec, names, last_names, last_types, sid, t, recv)
 * rec: the record's attribute dict, or its values tuple with ``names`` the
 * names tuple (``names`` is ignored for a dict, whose keys are compared). */
static PyObject *
row(PyObject *self, PyObject *args)
{
    PyObject *rec, *names, *last_names, *types, *sid, *t, *recv;
    if (!PyArg_UnpackTuple(args, "row", 7, 7, &rec, &names, &last_names, &types,
                           &sid, &t, &recv))
        return NULL;
    if (!PyTuple_Check(last_names) || !PyTuple_Check(types)) {
        PyErr_SetString(PyExc_TypeError, "row: the shape's names and types must be tuples");
        return NULL;
    }
    Py_ssize_t n = PyTuple_Size(types);
    if (PyTuple_Size(last_names) != n)
        Py_RETURN_NONE;
    int is_dict = PyDict_Check(rec);
    if (is_dict) {
        if (PyDict_Size(rec) != n)
            Py_RETURN_NONE;
    }
    else if (PyTuple_Check(rec)) {
        if (PyTuple_Size(rec) != n)
            Py_RETURN_NONE;
        if (names != last_names) {
            int eq = PyObject_RichCompareBool(names, last_names, Py_EQ);
            if (eq <= 0)
                return eq < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
        }
    }
    else {
        PyErr_SetString(PyExc_TypeError, "row: a record must be a dict or a tuple of values");
        return NULL;
    }

    PyObject *line = PyList_New(3 + n);
    if (line == NULL)
        return NULL;
    Py_INCREF(sid);
    PyList_SetItem(line, 0, sid);
    Py_INCREF(t);
    PyList_SetItem(line, 1, t);
    Py_INCREF(recv);
    PyList_SetItem(line, 2, recv);

    Py_ssize_t terms = 0, pos = 0, i = 0;
    PyObject *key, *value;
    for (; i < n; i++) {
        if (is_dict) {
            if (!PyDict_Next(rec, &pos, &key, &value))
                goto other;
            PyObject *want = PyTuple_GetItem(last_names, i);
            if (want == NULL)
                goto error;
            if (key != want) {
                /* Held: a key's comparison may run Python code. */
                Py_INCREF(key);
                Py_INCREF(value);
                int eq = PyObject_RichCompareBool(key, want, Py_EQ);
                Py_DECREF(key);
                if (eq <= 0) {
                    Py_DECREF(value);
                    if (eq < 0)
                        goto error;
                    goto other;
                }
                PyList_SetItem(line, 3 + i, value);  /* steals the held reference */
            }
            else {
                Py_INCREF(value);
                PyList_SetItem(line, 3 + i, value);
            }
        }
        else {
            value = PyTuple_GetItem(rec, i);
            if (value == NULL)
                goto error;
            Py_INCREF(value);
            PyList_SetItem(line, 3 + i, value);
        }
        PyObject *type = PyTuple_GetItem(types, i);
        if (type == NULL)
            goto error;
        int r = check(value, type, &terms);  /* value is held by the line */
        if (r < 0)
            goto error;
        if (r == 0)
            goto other;
    }
    if (is_dict && PyDict_Size(rec) != n)  /* changed by a key's comparison */
        goto other;
    return line;

other:
    Py_DECREF(line);
    Py_RETURN_NONE;
error:
    Py_DECREF(line);
    return NULL;
}

static PyMethodDef methods[] = {
    {"row", row, METH_VARARGS,
     "row(rec, names, last_names, last_types, sid, t, recv) -> list or None\n\n"
     "The row line [sid, t, recv, *values] of a record whose names and exact value\n"
     "types are the given shape's and whose numbers are plainly finite; None when\n"
     "the record has to be judged by the pure-Python writer."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_rows",
    "The recorder writer's row check in C (optional; the encoder does without it).",
    -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__rows(void)
{
    return PyModule_Create(&module);
}
