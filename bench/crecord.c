/* A record type as a native SDK hands it over: a C type whose fields are read
 * through getset descriptors (PyGetSetDef), one per field, no instance dict.
 * Built by bench/common.py for the benchmarks only; never shipped.
 *
 *     record_type(name, fields) -> a new type; type(*values) -> an instance. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>
#include <string.h>

typedef struct {
    PyObject_HEAD
    PyObject* values[1];
} Rec;

static Py_ssize_t nfields(PyObject* self) {
    return (Py_TYPE(self)->tp_basicsize - offsetof(Rec, values)) / (Py_ssize_t)sizeof(PyObject*);
}

static PyObject* rec_get(PyObject* self, void* closure) {
    PyObject* v = ((Rec*)self)->values[(Py_ssize_t)closure];
    Py_INCREF(v);
    return v;
}

static PyObject* rec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    Py_ssize_t n = (type->tp_basicsize - offsetof(Rec, values)) / (Py_ssize_t)sizeof(PyObject*);
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "positional values only");
        return NULL;
    }
    if (PyTuple_GET_SIZE(args) != n) {
        PyErr_Format(PyExc_TypeError, "expected %zd values", n);
        return NULL;
    }
    Rec* self = (Rec*)type->tp_alloc(type, 0);
    if (!self) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        self->values[i] = PyTuple_GET_ITEM(args, i);
        Py_INCREF(self->values[i]);
    }
    return (PyObject*)self;
}

static void rec_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    for (Py_ssize_t i = 0, n = nfields(self); i < n; ++i) Py_XDECREF(((Rec*)self)->values[i]);
    type->tp_free(self);
    Py_DECREF(type);
}

/* The getset tables must outlive their types: the types are made once per
 * process, so they are simply never freed. */
static PyObject* record_type(PyObject* module, PyObject* args) {
    const char* name;
    PyObject* fields;
    (void)module;
    if (!PyArg_ParseTuple(args, "sO!", &name, &PyTuple_Type, &fields)) return NULL;
    Py_ssize_t n = PyTuple_GET_SIZE(fields);
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "at least one field");
        return NULL;
    }
    PyGetSetDef* getset = PyMem_Calloc((size_t)n + 1, sizeof(PyGetSetDef));
    if (!getset) return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const char* field = PyUnicode_AsUTF8(PyTuple_GET_ITEM(fields, i));
        if (!field) return NULL;
        getset[i].name = strdup(field);
        getset[i].get = rec_get;
        getset[i].closure = (void*)i;
    }
    char* qualified = malloc(strlen(name) + 10);
    strcpy(qualified, "crecord.");
    strcat(qualified, name);
    PyType_Slot slots[] = {
        {Py_tp_new, (void*)rec_new},
        {Py_tp_dealloc, (void*)rec_dealloc},
        {Py_tp_getset, getset},
        {0, NULL},
    };
    PyType_Spec type_def = {qualified, (int)(offsetof(Rec, values) + (size_t)n * sizeof(PyObject*)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    return PyType_FromSpec(&type_def);
}

static PyMethodDef methods[] = {
    {"record_type", record_type, METH_VARARGS, "record_type(name, fields) -> a record type with C getters"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "crecord", NULL, -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_crecord(void) { return PyModule_Create(&module_def); }
