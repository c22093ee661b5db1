/* A captured callback as _capture.c leaves it in the recorder's buffer and
 * _rows.c reads it: not a container the cyclic collector counts, so that
 * capturing on the SDK thread does not bring its runs sooner. */

#ifndef BRIDGE_REPLAY_CAPTURED_H
#define BRIDGE_REPLAY_CAPTURED_H

#include <Python.h>
#include <stddef.h>

typedef struct {
    PyObject_VAR_HEAD     /* ob_size: the references in refs */
    PyObject *cb;         /* the callback's name */
    PyObject *t;          /* the bridge's clock, or None on real time */
    PyObject *recv;       /* the receive time */
    PyObject *names;      /* the record type's names (a tuple), or NULL: each key inline before its value */
    Py_ssize_t n;         /* the record's values */
    PyObject *refs[1];    /* values; or key, value, key, value, ... */
} Captured;

/* The record's i-th name and value (borrowed). */
#define CAPTURED_KEY(c, i) ((c)->names ? PyTuple_GET_ITEM((c)->names, (i)) : (c)->refs[2 * (i)])
#define CAPTURED_VALUE(c, i) ((c)->names ? (c)->refs[(i)] : (c)->refs[2 * (i) + 1])

#endif
