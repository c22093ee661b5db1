/* The recorder writer's usual rows in C: a record of the same names and exact
 * value types as its callback's last, with plain numbers, becomes the row line
 * [sid, t, recv, *values]. row() does one record; rows() a whole batch of
 * captured callbacks, up to the first it cannot vouch for, which the encoder's
 * own loop then decides, so the lines never differ from the pure-Python
 * writer's. rows() also writes the text of the rows it can vouch for (plain
 * numbers, ASCII text), as msgspec would, so that a batch's usual rows reach
 * the encoder as one piece of text instead of a list each to format. */

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <math.h>

#include "_captured.h"

/* _capture's Captured, when that module was built: the buffered callbacks. */
static PyTypeObject *captured_type;

#if PY_VERSION_HEX < 0x03090000
#define Vectorcall _PyObject_Vectorcall
#else
#define Vectorcall PyObject_Vectorcall
#endif

/* A number column is plain when Python's sum over it is a finite int or
 * float. Bounded values and a bounded count keep every partial sum (and any
 * compensation term) far from overflow, so the answer cannot differ. */
#define BOUND 1e300
#define MAX_TERMS 1000000

/* 1 plain for sure, 0 not sure (Python decides), -1 error. */
static int
plain_float(PyObject *v)
{
    double x = PyFloat_AS_DOUBLE(v);
    return isfinite(x) && fabs(x) <= BOUND;
}

static int
plain_list(PyObject *list, Py_ssize_t *terms)
{
    Py_ssize_t n = PyList_GET_SIZE(list);
    if ((*terms += n) > MAX_TERMS)
        return 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *e = PyList_GET_ITEM(list, i);  /* borrowed; no Python code runs here */
        PyTypeObject *t = Py_TYPE(e);
        if (t == &PyFloat_Type) {
            if (!plain_float(e))
                return 0;
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

/* A row line's list: [shape id, time, receive time] and room for n values. */
static PyObject *
row_line(PyObject *sid, PyObject *t, PyObject *recv, Py_ssize_t n)
{
    PyObject *line = PyList_New(3 + n);
    if (line == NULL)
        return NULL;
    Py_INCREF(sid);
    PyList_SET_ITEM(line, 0, sid);
    Py_INCREF(t);
    PyList_SET_ITEM(line, 1, t);
    Py_INCREF(recv);
    PyList_SET_ITEM(line, 2, recv);
    return line;
}

/* The row line of one record, a new reference; Py_None (new) when Python is
 * to decide; NULL on error. rec: the record's attribute dict, or its values
 * tuple with ``names`` the names tuple (ignored for a dict, whose keys are
 * compared). */
static PyObject *
build(PyObject *rec, PyObject *names, PyObject *last_names, PyObject *types,
      PyObject *sid, PyObject *t, PyObject *recv)
{
    Py_ssize_t n = PyTuple_GET_SIZE(types);
    if (PyTuple_GET_SIZE(last_names) != n)
        Py_RETURN_NONE;
    int is_dict = PyDict_Check(rec);
    if (is_dict) {
        if (PyDict_GET_SIZE(rec) != n)
            Py_RETURN_NONE;
    }
    else if (PyTuple_Check(rec)) {
        if (PyTuple_GET_SIZE(rec) != n)
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

    PyObject *line = row_line(sid, t, recv, n);
    if (line == NULL)
        return NULL;

    Py_ssize_t terms = 0, pos = 0, i = 0;
    PyObject *key, *value;
    for (; i < n; i++) {
        if (is_dict) {
            if (!PyDict_Next(rec, &pos, &key, &value))
                goto other;
            PyObject *want = PyTuple_GET_ITEM(last_names, i);
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
                PyList_SET_ITEM(line, 3 + i, value);  /* steals the held reference */
            }
            else {
                Py_INCREF(value);
                PyList_SET_ITEM(line, 3 + i, value);
            }
        }
        else {
            value = PyTuple_GET_ITEM(rec, i);
            Py_INCREF(value);
            PyList_SET_ITEM(line, 3 + i, value);
        }
        int r = check(value, PyTuple_GET_ITEM(types, i), &terms);  /* value is held by the line */
        if (r < 0)
            goto error;
        if (r == 0)
            goto other;
    }
    if (is_dict && PyDict_GET_SIZE(rec) != n)  /* changed by a key's comparison */
        goto other;
    return line;

other:
    Py_DECREF(line);
    Py_RETURN_NONE;
error:
    Py_DECREF(line);
    return NULL;
}

/* build() for a capture: its names compared with the shape's one by one. */
static PyObject *
build_captured(Captured *c, PyObject *last_names, PyObject *types,
               PyObject *sid, PyObject *t, PyObject *recv)
{
    Py_ssize_t n = PyTuple_GET_SIZE(types);
    if (c->n != n || PyTuple_GET_SIZE(last_names) != n)
        Py_RETURN_NONE;
    if (c->names != NULL && c->names != last_names) {
        int eq = PyObject_RichCompareBool(c->names, last_names, Py_EQ);
        if (eq <= 0)
            return eq < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
    }
    PyObject *line = row_line(sid, t, recv, n);
    if (line == NULL)
        return NULL;
    Py_ssize_t terms = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        /* The capture cannot change and is held by the caller: what a key's
         * comparison runs cannot drop its names or values. */
        if (c->names == NULL) {
            PyObject *key = CAPTURED_KEY(c, i), *want = PyTuple_GET_ITEM(last_names, i);
            if (key != want) {
                int eq = PyObject_RichCompareBool(key, want, Py_EQ);
                if (eq <= 0) {
                    Py_DECREF(line);
                    return eq < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
                }
            }
        }
        PyObject *value = CAPTURED_VALUE(c, i);
        Py_INCREF(value);
        PyList_SET_ITEM(line, 3 + i, value);
        int r = check(value, PyTuple_GET_ITEM(types, i), &terms);
        if (r <= 0) {
            Py_DECREF(line);
            return r < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
        }
    }
    return line;
}

/* row(rec, names, last_names, last_types, sid, t, recv) */
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
    return build(rec, names, last_names, types, sid, t, recv);
}

/* ------------------------------------------------------------ row text */

static PyObject *time_text(int y, int mo, int d, int h, int mi, int s, int us);

/* Output of rows(): the text of consecutive rows, each ending in a line break. */
typedef struct {
    char *buf;
    Py_ssize_t len, cap;
} Text;

static int
grow(Text *o, Py_ssize_t n)
{
    Py_ssize_t cap = o->cap ? o->cap : 1 << 16;
    while (cap - o->len < n)
        cap *= 2;
    char *b = PyMem_Realloc(o->buf, cap);
    if (b == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    o->buf = b;
    o->cap = cap;
    return 0;
}

static inline int
reserve(Text *o, Py_ssize_t n)
{
    return o->cap - o->len >= n ? 0 : grow(o, n);
}

static const unsigned long long POW10[20] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL,
    100000000ULL, 1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL,
    10000000000000ULL, 100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
    100000000000000000ULL, 1000000000000000000ULL, 10000000000000000000ULL,
};

static char *
put_u64(char *p, unsigned long long v)
{
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v);
    while (n)
        *p++ = tmp[--n];
    return p;
}

/* n / 10**k in fixed notation, at least one digit after the point. */
static char *
put_fixed(char *p, int neg, unsigned long long n, int k)
{
    unsigned long long ip = n / POW10[k], fp = n % POW10[k];
    if (neg)
        *p++ = '-';
    p = put_u64(p, ip);
    *p++ = '.';
    if (k == 0) {
        *p++ = '0';
        return p;
    }
    for (int i = k - 1; i >= 0; i--) {
        p[i] = (char)('0' + fp % 10);
        fp /= 10;
    }
    return p + k;
}

static const double DPOW10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};

/* The shortest decimal that reads back as x, the closest of those, in fixed
 * notation: what msgspec (and repr) write for 1e-4 <= |x| < 1e15. Writes at
 * most 40 bytes; returns the end, or NULL where msgspec is left to decide
 * (out of range, a decimal on the edge of x's rounding interval, whose
 * reading depends on the tie rule). */
static char *
put_float(char *p, double x)
{
    if (x == 0.0) {
        if (signbit(x))
            *p++ = '-';
        memcpy(p, "0.0", 3);
        return p + 3;
    }
    double a = fabs(x);
    if (!(a >= 1e-4 && a < 1e15))
        return NULL;
    /* Prices and the like, in doubles: while a * 10**k stays below 2**50 it
     * is within 1/16 of the exact product, so the nearest integer n is found,
     * n / 10**k (both exact, the division correctly rounded) reads back as
     * a exactly when the decimal does, and no other decimal of k digits
     * lies within a's rounding interval. The first such k is the shortest. */
    for (int k = 0; k < 8; k++) {
        double s = a * DPOW10[k];
        if (s >= 1125899906842624.0)  /* 2**50 */
            break;
        double n = (double)(long long)(s + 0.5);
        if (n / DPOW10[k] == a)
            return put_fixed(p, x < 0, (unsigned long long)n, k);
    }
    /* The rest exactly: a = m / 2**sh, and for k = 0, 1, ... fractional
     * digits the two nearest multiples of 10**-k are tested against a's
     * rounding interval in 128-bit integers. */
    int e;
    unsigned long long m = (unsigned long long)ldexp(frexp(a, &e), 53);
    int sh = 53 - e;  /* 3 <= sh <= 67 here */
    typedef unsigned __int128 u128;
    const u128 one = (u128)1 << sh;
    /* The next double below a power of two is half as far as the one above. */
    const unsigned lo_f = m == (1ULL << 52) ? 4 : 2;
    for (int k = 0; k < 19; k++) {
        u128 s = (u128)m * POW10[k];  /* a * 10**k * 2**sh, below 2**117 */
        u128 q = s >> sh, r = s - (q << sh);
        /* q/10**k lies r below a, (q+1)/10**k one-r above (scaled by 10**k * 2**sh);
         * each reads back as a when within half the gap to a's neighbour. */
        u128 P = POW10[k];
        u128 lo = (u128)lo_f * r, hi = 2 * (one - r);
        if (lo == P || hi == P)
            return NULL;
        int lo_ok = lo < P, hi_ok = hi < P;
        if (!lo_ok && !hi_ok)
            continue;
        u128 n;
        if (lo_ok && hi_ok) {
            if (r == one - r)
                return NULL;
            n = r < one - r ? q : q + 1;
        }
        else
            n = lo_ok ? q : q + 1;
        if (n >= (u128)POW10[19])
            return NULL;
        return put_fixed(p, x < 0, (unsigned long long)n, k);
    }
    return NULL;
}

/* ASCII that msgspec writes as it is: printable, neither '"' nor '\\'. */
static const unsigned char PLAIN[128] = {
    ['\x20'] = 1, 1, 0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0,
};

/* One value of a row as msgspec writes it: 1 written, 0 not vouched for,
 * -1 error. Reads only exact built-in types, so no Python code runs. */
static int
put_value(Text *o, PyObject *v, int depth)
{
    if (reserve(o, 48) < 0)
        return -1;
    char *p = o->buf + o->len;
    PyTypeObject *t = Py_TYPE(v);
    if (t == &PyFloat_Type) {
        p = put_float(p, PyFloat_AS_DOUBLE(v));
        if (p == NULL)
            return 0;
    }
    else if (t == &PyLong_Type) {
        int overflow;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow)
            return 0;
        if (x == -1 && PyErr_Occurred())
            return -1;
        if (x < 0)
            *p++ = '-';
        p = put_u64(p, x < 0 ? 0ULL - (unsigned long long)x : (unsigned long long)x);
    }
    else if (t == &PyUnicode_Type) {
        if (!PyUnicode_IS_ASCII(v))
            return 0;
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        const unsigned char *c = (const unsigned char *)PyUnicode_DATA(v);
        for (Py_ssize_t i = 0; i < n; i++)
            if (!PLAIN[c[i]])
                return 0;  /* msgspec's escapes are msgspec's */
        if (reserve(o, n + 2) < 0)
            return -1;
        p = o->buf + o->len;
        *p++ = '"';
        memcpy(p, c, n);
        p += n;
        *p++ = '"';
    }
    else if (v == Py_None) {
        memcpy(p, "null", 4);
        p += 4;
    }
    else if (v == Py_True || v == Py_False) {
        p = v == Py_True ? (memcpy(p, "true", 4), p + 4) : (memcpy(p, "false", 5), p + 5);
    }
    else if (t == &PyList_Type && depth == 0) {
        *p++ = '[';
        o->len = p - o->buf;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); i++) {
            if (i) {
                if (reserve(o, 1) < 0)
                    return -1;
                o->buf[o->len++] = ',';
            }
            int r = put_value(o, PyList_GET_ITEM(v, i), 1);
            if (r <= 0)
                return r;
        }
        if (reserve(o, 1) < 0)
            return -1;
        o->buf[o->len++] = ']';
        return 1;
    }
    else if (PyDateTime_CheckExact(v) && !((PyDateTime_DateTime *)v)->hastzinfo
             && PyDateTime_DATE_GET_MICROSECOND(v)) {
        PyObject *text = time_text(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v),
                                   PyDateTime_GET_DAY(v), PyDateTime_DATE_GET_HOUR(v),
                                   PyDateTime_DATE_GET_MINUTE(v),
                                   PyDateTime_DATE_GET_SECOND(v),
                                   PyDateTime_DATE_GET_MICROSECOND(v));
        if (text == NULL)
            return -1;
        int r = put_value(o, text, depth);
        Py_DECREF(text);
        return r;
    }
    else
        return 0;
    o->len = p - o->buf;
    return 1;
}

/* The row's text and its line break appended to o: 1, or 0 (o unchanged)
 * when msgspec is to write it, or -1. */
static int
put_row(Text *o, PyObject *line)
{
    Py_ssize_t start = o->len;
    if (reserve(o, 1) < 0)
        return -1;
    o->buf[o->len++] = '[';
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(line); i++) {
        if (i) {
            if (reserve(o, 1) < 0)
                return -1;
            o->buf[o->len++] = ',';
        }
        int r = put_value(o, PyList_GET_ITEM(line, i), 0);
        if (r <= 0) {
            o->len = start;
            return r;
        }
    }
    if (reserve(o, 2) < 0)
        return -1;
    o->buf[o->len++] = ']';
    o->buf[o->len++] = '\n';
    return 1;
}

/* ------------------------------------------------------------ a batch */

static char *
digits(char *p, int v, int n)
{
    for (int k = n - 1; k >= 0; k--, v /= 10)
        p[k] = (char)('0' + v % 10);
    return p + n;
}

/* "YYYY-MM-DDTHH:MM:SS.ffffff", as the writer writes every time (datetime
 * keeps each field in range, the year in 1..9999). */
static PyObject *
time_text(int y, int mo, int d, int h, int mi, int s, int us)
{
    char buf[26], *p = buf;
    p = digits(p, y, 4);
    *p++ = '-';
    p = digits(p, mo, 2);
    *p++ = '-';
    p = digits(p, d, 2);
    *p++ = 'T';
    p = digits(p, h, 2);
    *p++ = ':';
    p = digits(p, mi, 2);
    *p++ = ':';
    p = digits(p, s, 2);
    *p++ = '.';
    digits(p, us, 6);
    return PyUnicode_FromStringAndSize(buf, sizeof buf);
}

/* datetime.fromtimestamp's split of a float time stamp into whole seconds and
 * microseconds (rounded half to even, as the interpreter does); 0 for what
 * it would refuse, left to Python. */
static int
split_stamp(double d, long long *sec, int *us)
{
    if (!isfinite(d) || fabs(d) > 1e15)
        return 0;
    double whole;
    volatile double frac = modf(d, &whole);
    frac *= 1e6;
    double rounded = round(frac);
    if (fabs(frac - rounded) == 0.5)
        rounded = 2.0 * round(frac / 2.0);
    frac = rounded;
    if (frac >= 1e6) {
        frac -= 1e6;
        whole += 1.0;
    }
    else if (frac < 0) {
        frac += 1e6;
        whole -= 1.0;
    }
    *sec = (long long)whole;
    *us = (int)frac;
    return 1;
}

/* The local time of the second last asked for: a batch holds many receive
 * times of the same second, and the time zone's rules are the interpreter's. */
static struct {
    int valid;
    long long sec;
    int y, mo, d, h, mi, s;
} local_cache;

/* The text of datetime.fromtimestamp(recv); NULL with no error set: Python's. */
static PyObject *
local_text(PyObject *recv)
{
    long long sec;
    int us;
    if (!split_stamp(PyFloat_AS_DOUBLE(recv), &sec, &us))
        return NULL;
    if (!local_cache.valid || local_cache.sec != sec) {
        PyObject *arg = Py_BuildValue("(L)", sec);
        if (arg == NULL)
            return NULL;
        PyObject *dt = PyDateTime_FromTimestamp(arg);
        Py_DECREF(arg);
        if (dt == NULL) {
            /* out of range for the platform or datetime: Python raises it */
            PyErr_Clear();
            return NULL;
        }
        local_cache.y = PyDateTime_GET_YEAR(dt);
        local_cache.mo = PyDateTime_GET_MONTH(dt);
        local_cache.d = PyDateTime_GET_DAY(dt);
        local_cache.h = PyDateTime_DATE_GET_HOUR(dt);
        local_cache.mi = PyDateTime_DATE_GET_MINUTE(dt);
        local_cache.s = PyDateTime_DATE_GET_SECOND(dt);
        local_cache.sec = sec;
        local_cache.valid = 1;
        Py_DECREF(dt);
    }
    return time_text(local_cache.y, local_cache.mo, local_cache.d, local_cache.h,
                     local_cache.mi, local_cache.s, us);
}

/* The row's time as the Python loop writes it: a naive datetime with
 * microseconds as it is (the encoder writes it alike), any other as text.
 * NULL with no error set: Python's. */
static PyObject *
row_time(PyObject *t, PyObject *recv)
{
    if (t == Py_None)
        return PyFloat_CheckExact(recv) ? local_text(recv) : NULL;
    if (!PyDateTime_CheckExact(t) || ((PyDateTime_DateTime *)t)->hastzinfo)
        return NULL;
    int us = PyDateTime_DATE_GET_MICROSECOND(t);
    if (us) {
        Py_INCREF(t);
        return t;
    }
    return time_text(PyDateTime_GET_YEAR(t), PyDateTime_GET_MONTH(t), PyDateTime_GET_DAY(t),
                     PyDateTime_DATE_GET_HOUR(t), PyDateTime_DATE_GET_MINUTE(t),
                     PyDateTime_DATE_GET_SECOND(t), 0);
}

/* The row of one captured callback, or Py_None (new) for Python to decide. */
static PyObject *
item_row(PyObject *item, PyObject *last, PyObject *known, PyObject *attrdict)
{
    PyObject *cb, *t, *rec, *recv;
    Captured *cap = NULL;
    if (captured_type != NULL && Py_TYPE(item) == captured_type) {
        cap = (Captured *)item;
        cb = cap->cb;
        t = cap->t;
        rec = NULL;
        recv = cap->recv;
    }
    else if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 5) {
        cb = PyTuple_GET_ITEM(item, 0);
        t = PyTuple_GET_ITEM(item, 1);
        rec = PyTuple_GET_ITEM(item, 2);
        recv = PyTuple_GET_ITEM(item, 4);
    }
    else
        Py_RETURN_NONE;
    if (!PyUnicode_CheckExact(cb))
        Py_RETURN_NONE;
    PyObject *hit = PyDict_GetItemWithError(last, cb);  /* borrowed; a str key runs no code */
    if (hit == NULL)
        return PyErr_Occurred() ? NULL : (Py_INCREF(Py_None), Py_None);
    if (!PyTuple_CheckExact(hit) || PyTuple_GET_SIZE(hit) != 3)
        Py_RETURN_NONE;
    PyObject *shape = PyTuple_GET_ITEM(hit, 2);  /* False: object lines */
    if (!PyTuple_CheckExact(shape) || PyTuple_GET_SIZE(shape) != 4
            || !PyTuple_CheckExact(PyTuple_GET_ITEM(hit, 0))
            || !PyTuple_CheckExact(PyTuple_GET_ITEM(hit, 1))
            || !PyTuple_CheckExact(PyTuple_GET_ITEM(shape, 3)))
        Py_RETURN_NONE;
    PyObject *names = NULL;
    if (cap != NULL)
        ;
    else if (PyDict_CheckExact(rec) || (PyObject *)Py_TYPE(rec) == attrdict)
        names = NULL;
    else if (PyTuple_CheckExact(rec) && PyTuple_GET_SIZE(rec) == 2
             && PyTuple_CheckExact(PyTuple_GET_ITEM(rec, 1))) {
        names = PyTuple_GET_ITEM(rec, 0);
        rec = PyTuple_GET_ITEM(rec, 1);
    }
    else
        Py_RETURN_NONE;
    /* Held: comparing a dict's keys may run Python code that drops them. */
    Py_INCREF(hit);
    Py_INCREF(item);
    PyObject *line = NULL;
    PyObject *tt = row_time(t, recv);
    if (tt == NULL) {
        if (!PyErr_Occurred())
            line = (Py_INCREF(Py_None), Py_None);
        goto done;
    }
    if (cap != NULL)
        line = build_captured(cap, PyTuple_GET_ITEM(hit, 0), PyTuple_GET_ITEM(hit, 1),
                              PyTuple_GET_ITEM(shape, 0), tt, recv);
    else
        line = build(rec, names, PyTuple_GET_ITEM(hit, 0), PyTuple_GET_ITEM(hit, 1),
                     PyTuple_GET_ITEM(shape, 0), tt, recv);
    Py_DECREF(tt);
    if (line == NULL || line == Py_None)
        goto done;
    /* Enumeration members by name, from the encoder's cache (id -> (member, name)). */
    PyObject *tagged = PyTuple_GET_ITEM(shape, 3);
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(tagged); k++) {
        PyObject *pair = PyTuple_GET_ITEM(tagged, k);
        Py_ssize_t at = -1;
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2
                && PyLong_CheckExact(PyTuple_GET_ITEM(pair, 0)))
            at = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 0));
        if (at < 0 || at >= PyList_GET_SIZE(line)) {
            PyErr_Clear();
            goto python;
        }
        PyObject *v = PyList_GET_ITEM(line, at);
        PyObject *id = PyLong_FromVoidPtr(v);
        if (id == NULL)
            goto error;
        PyObject *found = PyDict_GetItemWithError(known, id);  /* an int key runs no code */
        Py_DECREF(id);
        if (found == NULL) {
            if (PyErr_Occurred())
                goto error;
            goto python;
        }
        if (!PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != 2
                || PyTuple_GET_ITEM(found, 0) != v)
            goto python;
        PyObject *name = PyTuple_GET_ITEM(found, 1);
        Py_INCREF(name);
        PyList_SetItem(line, at, name);  /* drops the member's reference */
    }
    goto done;
python:
    Py_DECREF(line);
    line = (Py_INCREF(Py_None), Py_None);
    goto done;
error:
    Py_CLEAR(line);
done:
    Py_DECREF(item);
    Py_DECREF(hit);
    return line;
}

/* Hands add() the rows in o as one msgspec.Raw (each line but the last with
 * its break: encode_lines adds one), and empties o. 0, or -1. */
static int
add_text(Text *o, PyObject *raw, PyObject *add)
{
    if (o->len == 0)
        return 0;
    PyObject *b = PyBytes_FromStringAndSize(o->buf, o->len - 1);
    o->len = 0;
    if (b == NULL)
        return -1;
    PyObject *piece = Vectorcall(raw, &b, 1, NULL);
    Py_DECREF(b);
    if (piece == NULL)
        return -1;
    PyObject *r = Vectorcall(add, &piece, 1, NULL);
    Py_DECREF(piece);
    if (r == NULL)
        return -1;
    Py_DECREF(r);
    return 0;
}

/* rows(items, start, last, known, add, attrdict[, raw]) -> index
 * Hands ``add`` the row lines of items[start:] up to the first one the
 * Python loop must decide, and returns its index (len(items) when none).
 * With ``raw`` (msgspec.Raw), consecutive rows it can write go as their
 * text in one Raw. */
static PyObject *
rows(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 6 && nargs != 7) {
        PyErr_SetString(PyExc_TypeError, "rows() takes 6 or 7 arguments");
        return NULL;
    }
    PyObject *items = args[0], *last = args[2], *known = args[3], *add = args[4],
             *attrdict = args[5], *raw = nargs == 7 && args[6] != Py_None ? args[6] : NULL;
    Py_ssize_t i = PyLong_AsSsize_t(args[1]);
    if (i == -1 && PyErr_Occurred())
        return NULL;
    if (!PyList_CheckExact(items) && !PyTuple_CheckExact(items)) {
        PyErr_SetString(PyExc_TypeError, "rows: items must be a list or a tuple");
        return NULL;
    }
    if (!PyDict_CheckExact(last) || !PyDict_CheckExact(known)) {
        PyErr_SetString(PyExc_TypeError, "rows: last and known must be dicts");
        return NULL;
    }
    if (i < 0)
        i = 0;
    Text text = {NULL, 0, 0};
    /* The sequence is re-read at every step: add() may run Python code. */
    for (; i < PySequence_Fast_GET_SIZE(items); i++) {
        PyObject *line = item_row(PySequence_Fast_GET_ITEM(items, i), last, known, attrdict);
        if (line == NULL)
            goto error;
        if (line == Py_None) {
            Py_DECREF(line);
            break;
        }
        if (raw != NULL) {
            int w = put_row(&text, line);
            if (w != 0) {
                Py_DECREF(line);
                if (w < 0)
                    goto error;
                continue;
            }
            if (add_text(&text, raw, add) < 0) {
                Py_DECREF(line);
                goto error;
            }
        }
        /* Freed after the batch is encoded: not worth the collector's scans. */
        PyObject_GC_UnTrack(line);
        PyObject *r = Vectorcall(add, &line, 1, NULL);
        Py_DECREF(line);
        if (r == NULL)
            goto error;
        Py_DECREF(r);
    }
    if (add_text(&text, raw, add) < 0)
        goto error;
    PyMem_Free(text.buf);
    return PyLong_FromSsize_t(i);
error:
    PyMem_Free(text.buf);
    return NULL;
}

static PyMethodDef methods[] = {
    {"row", row, METH_VARARGS,
     "row(rec, names, last_names, last_types, sid, t, recv) -> list or None\n\n"
     "The row line [sid, t, recv, *values] of a record whose names and exact value\n"
     "types are the given shape's and whose numbers are plainly finite; None when\n"
     "the record has to be judged by the pure-Python writer."},
    {"rows", (PyCFunction)(void (*)(void))rows, METH_FASTCALL,
     "rows(items, start, last, known, add, attrdict[, raw]) -> index\n\n"
     "Hands add() the row lines of the captured callbacks items[start:] whose\n"
     "record has its callback's last shape (last: callback -> (names, types,\n"
     "shape)), up to the first that the pure-Python writer has to judge; returns\n"
     "that item's index, or len(items). With raw (msgspec.Raw), runs of rows\n"
     "whose text it writes as msgspec would go as one raw(text) each."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "_rows",
    "The recorder writer's rows in C (optional; the encoder does without it).",
    -1, methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__rows(void)
{
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == NULL)
        return NULL;
    PyObject *capture = PyImport_ImportModule("bridge_replay._capture");
    if (capture == NULL)
        PyErr_Clear();  /* not built: every item is a tuple */
    else {
        PyObject *type = PyObject_GetAttrString(capture, "Captured");
        Py_DECREF(capture);
        if (type == NULL)
            return NULL;
        if (!PyType_Check(type)
                || ((PyTypeObject *)type)->tp_basicsize != offsetof(Captured, refs)) {
            Py_DECREF(type);
            PyErr_SetString(PyExc_ImportError, "_rows: _capture.Captured is not the one built with it");
            return NULL;
        }
        captured_type = (PyTypeObject *)type;  /* kept for the process's life */
    }
    return PyModule_Create(&module);
}
