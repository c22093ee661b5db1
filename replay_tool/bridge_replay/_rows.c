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
#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include "_captured.h"

/* _capture's Captured, when that module was built: the buffered callbacks. */
static PyTypeObject *captured_type;

#if PY_VERSION_HEX < 0x03090000
#define Vectorcall _PyObject_Vectorcall
#else
#define Vectorcall PyObject_Vectorcall
#endif

/* An exact int's value: 1, 0 when it does not fit in 64 bits, -1 error.
 * Small ones (all but the largest stamps and sums) read without a call. */
static inline int
int_value(PyObject *v, long long *x)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact((PyLongObject *)v)) {
        *x = (long long)PyUnstable_Long_CompactValue((PyLongObject *)v);
        return 1;
    }
#else
    const digit *d = ((PyLongObject *)v)->ob_digit;
    switch (Py_SIZE(v)) {
    case 0: *x = 0; return 1;
    case 1: *x = (long long)d[0]; return 1;
    case -1: *x = -(long long)d[0]; return 1;
    case 2: *x = (long long)d[0] | (long long)d[1] << PyLong_SHIFT; return 1;
    case -2: *x = -((long long)d[0] | (long long)d[1] << PyLong_SHIFT); return 1;
    }
#endif
    int overflow;
    *x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow)
        return 0;
    return *x == -1 && PyErr_Occurred() ? -1 : 1;
}

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
            long long x;
            int r = int_value(e, &x);
            if (r <= 0)
                return r;
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

/* A record type's names and the shape's, last found equal: held, so that
 * neither address can pass to another tuple, and compared by identity. */
static PyObject *same_a, *same_b;

static inline int
same_names(PyObject *a, PyObject *b)
{
    return a == same_a && b == same_b;
}

static void
remember_same_names(PyObject *a, PyObject *b)
{
    PyObject *old_a = same_a, *old_b = same_b;
    Py_INCREF(a);
    Py_INCREF(b);
    same_a = a;
    same_b = b;
    Py_XDECREF(old_a);
    Py_XDECREF(old_b);
}

/* build() for a capture: its names compared with the shape's one by one. */
static PyObject *
build_captured(Captured *c, PyObject *last_names, PyObject *types,
               PyObject *sid, PyObject *t, PyObject *recv)
{
    Py_ssize_t n = PyTuple_GET_SIZE(types);
    if (c->n != n || PyTuple_GET_SIZE(last_names) != n)
        Py_RETURN_NONE;
    if (c->names != NULL && c->names != last_names && !same_names(c->names, last_names)) {
        int eq = PyObject_RichCompareBool(c->names, last_names, Py_EQ);
        if (eq <= 0)
            return eq < 0 ? NULL : (Py_INCREF(Py_None), Py_None);
        remember_same_names(c->names, last_names);
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

/* Output of rows(): the text of consecutive rows, each ending in a line
 * break; in a buffer of its own, or straight into the caller's bytearray,
 * whose size runs ahead of what is written until commit(). */
typedef struct {
    PyObject *ba;  /* the bytearray, or NULL */
    char *buf;
    Py_ssize_t len, cap;
} Text;

static int
grow(Text *o, Py_ssize_t n)
{
    /* Half as much again: cut back to what was written, a bytearray keeps its
     * block (it reallocates only below half), and the next rows need none. */
    Py_ssize_t cap = o->len + (o->len >> 1);
    if (cap - o->len < n)
        cap = o->len + n;
    if (cap < 1 << 16)
        cap = 1 << 16;
    if (o->ba != NULL) {
        if (PyByteArray_Resize(o->ba, cap) < 0)
            return -1;
        o->buf = PyByteArray_AS_STRING(o->ba);
    }
    else {
        char *b = PyMem_Realloc(o->buf, cap);
        if (b == NULL) {
            PyErr_NoMemory();
            return -1;
        }
        o->buf = b;
    }
    o->cap = cap;
    return 0;
}

static inline int
reserve(Text *o, Py_ssize_t n)
{
    return o->cap - o->len >= n ? 0 : grow(o, n);
}

/* The bytearray cut back to what was written: before Python code may see it. */
static int
commit(Text *o)
{
    if (o->ba == NULL || o->cap == o->len)
        return 0;
    if (PyByteArray_Resize(o->ba, o->len) < 0)
        return -1;
    o->buf = PyByteArray_AS_STRING(o->ba);
    o->cap = o->len;
    return 0;
}

/* After Python code ran: it may have written to the bytearray, or resized it. */
static void
reload(Text *o)
{
    if (o->ba != NULL) {
        o->len = o->cap = PyByteArray_GET_SIZE(o->ba);
        o->buf = PyByteArray_AS_STRING(o->ba);
    }
}

static const unsigned long long POW10[20] = {
    1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL, 10000000ULL,
    100000000ULL, 1000000000ULL, 10000000000ULL, 100000000000ULL, 1000000000000ULL,
    10000000000000ULL, 100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
    100000000000000000ULL, 1000000000000000000ULL, 10000000000000000000ULL,
};

/* "00" to "99": two digits a division. */
static const char DIGITS2[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

/* Decimal digits of v, 1 to 20. */
static inline int
ndigits(unsigned long long v)
{
    int t = ((64 - __builtin_clzll(v | 1)) * 1233) >> 12;  /* floor(log10(2**bits)) */
    return t - (v < POW10[t]) + 1 + (v == 0);
}

/* v's last n digits (leading zeros included) written backwards, ending at e;
 * returns v with them taken off. */
static inline unsigned long long
put_digits_back(char *e, unsigned long long v, int n)
{
    for (; n >= 2; n -= 2) {
        unsigned long long q = v / 100;
        e -= 2;
        memcpy(e, DIGITS2 + 2 * (v - 100 * q), 2);
        v = q;
    }
    if (n) {
        unsigned long long q = v / 10;
        *--e = (char)('0' + (v - 10 * q));
        v = q;
    }
    return v;
}

/* put_digits_back() in 32 bits: prices, volumes and counts. */
static inline unsigned
put_digits_back32(char *e, unsigned v, int n)
{
    for (; n >= 2; n -= 2) {
        unsigned q = v / 100;
        e -= 2;
        memcpy(e, DIGITS2 + 2 * (v - 100 * q), 2);
        v = q;
    }
    if (n) {
        unsigned q = v / 10;
        *--e = (char)('0' + (v - 10 * q));
        v = q;
    }
    return v;
}

/* The 8 digits of v < 10**8 (leading zeros included) into d[0..7], d[8..15]
 * zeros: copied 8 bytes at a time, a number's digits take no loop. (Callers
 * leave room for the bytes copied beyond the number; they are overwritten.) */
static inline void
digits8(char d[16], unsigned v)
{
    unsigned hi = v / 10000, lo = v - 10000 * hi;
    unsigned a = hi / 100, b = hi - 100 * a, c = lo / 100, e = lo - 100 * c;
    memcpy(d, DIGITS2 + 2 * a, 2);
    memcpy(d + 2, DIGITS2 + 2 * b, 2);
    memcpy(d + 4, DIGITS2 + 2 * c, 2);
    memcpy(d + 6, DIGITS2 + 2 * e, 2);
    memset(d + 8, 0, 8);
}

static inline char *
put_u64(char *p, unsigned long long v)
{
    if (v < 10) {
        *p = (char)('0' + v);
        return p + 1;
    }
    int n = ndigits(v);
    if (v < 100000000ULL) {
        char d[16];
        digits8(d, (unsigned)v);
        memcpy(p, d + 8 - n, 8);
        return p + n;
    }
    if (v <= 0xFFFFFFFFULL)
        put_digits_back32(p + n, (unsigned)v, n);
    else
        put_digits_back(p + n, v, n);
    return p + n;
}

static inline char *
put_i64(char *p, long long x)
{
    if (x < 0) {
        *p++ = '-';
        return put_u64(p, 0ULL - (unsigned long long)x);
    }
    return put_u64(p, (unsigned long long)x);
}

/* n / 10**k in fixed notation, at least one digit on each side of the point. */
static char *
put_fixed(char *p, int neg, unsigned long long n, int k)
{
    if (neg)
        *p++ = '-';
    if (k == 0) {
        p = put_u64(p, n);
        memcpy(p, ".0", 2);
        return p + 2;
    }
    int whole = ndigits(n) - k;
    if (whole < 1)
        whole = 1;
    if (n < 100000000ULL && k < 8) {
        /* Prices and the like: whole + k <= 8 digits, zeros in front. */
        char d[16];
        digits8(d, (unsigned)n);
        memcpy(p, d + 8 - k - whole, 8);
        p[whole] = '.';
        memcpy(p + whole + 1, d + 8 - k, 8);
        return p + whole + 1 + k;
    }
    char *end = p + whole + 1 + k;
    p[whole] = '.';
    if (n <= 0xFFFFFFFFULL) {
        unsigned w = put_digits_back32(end, (unsigned)n, k);
        put_digits_back32(p + whole, w, whole);
    }
    else
        put_digits_back(p + whole, put_digits_back(end, n, k), whole);
    return end;
}

static const double DPOW10[8] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};

/* The shortest decimal that reads back as x, the closest of those, in fixed
 * notation: what msgspec (and repr) write for 1e-4 <= |x| < 1e15. Writes at
 * most 40 bytes (the last 8 scratch beyond the number's end, as put_u64()
 * does); returns the end, or NULL where msgspec is left to decide
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
    int k = 0;
    for (; k < 8; k++) {
        double s = a * DPOW10[k];
        if (s >= 1125899906842624.0)  /* 2**50 */
            break;
        double n = (double)(long long)(s + 0.5);
        if (n / DPOW10[k] == a)
            return put_fixed(p, x < 0, (unsigned long long)n, k);
    }
    /* The rest exactly: a = m / 2**sh, and for k fractional digits, from the
     * first the doubles did not rule out, the two nearest multiples of 10**-k
     * are tested against a's rounding interval in 128-bit integers. (A
     * decimal of k digits can lie on the interval's edge only when
     * 10**k * 2**-sh is a whole number, far beyond 2**50 for these a.) */
    int e;
    unsigned long long m = (unsigned long long)ldexp(frexp(a, &e), 53);
    int sh = 53 - e;  /* 3 <= sh <= 67 here */
    typedef unsigned __int128 u128;
    const u128 one = (u128)1 << sh;
    /* The next double below a power of two is half as far as the one above. */
    const unsigned lo_f = m == (1ULL << 52) ? 4 : 2;
    for (; k < 19; k++) {
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

/* ------------------------------------------------------------ times */

/* "YYYY-MM-DDTHH:MM:SS.ffffff" (26 bytes) of year, month, day, hour, minute,
 * second, microsecond, as the writer writes every time (datetime keeps each
 * field in range, the year in 1..9999). */
static char *
put_time(char *p, const int f[7])
{
    put_digits_back(p + 4, (unsigned long long)f[0], 4);
    p[4] = '-';
    memcpy(p + 5, DIGITS2 + 2 * f[1], 2);
    p[7] = '-';
    memcpy(p + 8, DIGITS2 + 2 * f[2], 2);
    p[10] = 'T';
    memcpy(p + 11, DIGITS2 + 2 * f[3], 2);
    p[13] = ':';
    memcpy(p + 14, DIGITS2 + 2 * f[4], 2);
    p[16] = ':';
    memcpy(p + 17, DIGITS2 + 2 * f[5], 2);
    p[19] = '.';
    put_digits_back(p + 26, (unsigned long long)f[6], 6);
    return p + 26;
}

static PyObject *
time_text(const int f[7])
{
    char buf[26];
    put_time(buf, f);
    return PyUnicode_FromStringAndSize(buf, sizeof buf);
}

static void
datetime_fields(PyObject *t, int f[7])
{
    f[0] = PyDateTime_GET_YEAR(t);
    f[1] = PyDateTime_GET_MONTH(t);
    f[2] = PyDateTime_GET_DAY(t);
    f[3] = PyDateTime_DATE_GET_HOUR(t);
    f[4] = PyDateTime_DATE_GET_MINUTE(t);
    f[5] = PyDateTime_DATE_GET_SECOND(t);
    f[6] = PyDateTime_DATE_GET_MICROSECOND(t);
}

/* An exact float or int as msgspec writes it, at *p (room for 42 bytes):
 * 1 written, 0 not vouched for (anything else too), -1 error. */
static inline int
put_number(char **p, PyObject *v)
{
    if (Py_TYPE(v) == &PyFloat_Type) {
        double x = PyFloat_AS_DOUBLE(v);
        char *end;
        if (!(isfinite(x) && fabs(x) <= BOUND) || (end = put_float(*p, x)) == NULL)
            return 0;
        *p = end;
        return 1;
    }
    if (Py_TYPE(v) != &PyLong_Type)
        return 0;
    long long x;
    int r = int_value(v, &x);
    if (r > 0)
        *p = put_i64(*p, x);
    return r;
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
        long long x;
        int r = int_value(v, &x);
        if (r <= 0)
            return r;
        p = put_i64(p, x);
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
        int f[7];
        datetime_fields(v, f);
        *p++ = '"';
        p = put_time(p, f);
        *p++ = '"';
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

/* The fields of datetime.fromtimestamp(recv): 1, or 0 (no error set) for
 * Python to decide. */
static int
local_fields(PyObject *recv, int f[7])
{
    long long sec;
    int us;
    if (!split_stamp(PyFloat_AS_DOUBLE(recv), &sec, &us))
        return 0;
    if (!local_cache.valid || local_cache.sec != sec) {
        PyObject *arg = Py_BuildValue("(L)", sec);
        if (arg == NULL) {
            PyErr_Clear();
            return 0;
        }
        PyObject *dt = PyDateTime_FromTimestamp(arg);
        Py_DECREF(arg);
        if (dt == NULL) {
            /* out of range for the platform or datetime: Python raises it */
            PyErr_Clear();
            return 0;
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
    f[0] = local_cache.y;
    f[1] = local_cache.mo;
    f[2] = local_cache.d;
    f[3] = local_cache.h;
    f[4] = local_cache.mi;
    f[5] = local_cache.s;
    f[6] = us;
    return 1;
}

/* The fields of a row's time: the bridge's naive datetime, or on real time
 * the local time of the receive time. 1, or 0 (no error set): Python's. */
static int
row_time_fields(PyObject *t, PyObject *recv, int f[7])
{
    if (t == Py_None)
        return PyFloat_CheckExact(recv) && local_fields(recv, f);
    if (!PyDateTime_CheckExact(t) || ((PyDateTime_DateTime *)t)->hastzinfo)
        return 0;
    datetime_fields(t, f);
    return 1;
}

/* The row's time as the Python loop writes it: a naive datetime with
 * microseconds as it is (the encoder writes it alike), any other as text.
 * NULL with no error set: Python's. */
static PyObject *
row_time(PyObject *t, PyObject *recv)
{
    int f[7];
    if (!row_time_fields(t, recv, f))
        return NULL;
    if (t != Py_None && f[6]) {
        Py_INCREF(t);
        return t;
    }
    return time_text(f);
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

/* ------------------------------------------------- the usual row, straight to text */

/* The usual row of a capture is written in one pass over its values, from
 * what a batch's rows() learnt of its callback's shape, and stays identical
 * to what item_row() and put_row() make of it: on anything unusual the pass
 * gives up and the capture goes the general way. The knowledge is borrowed
 * from ``last`` and ``known`` and is forgotten whenever Python code may run. */

#define FAST_COLUMNS 256
#define FAST_SHAPES 8
#define FAST_MEMBERS 4

typedef struct {
    PyObject *cb;          /* the callback it is for */
    int ok;                /* 0: its rows go the general way */
    PyObject *names, *types;
    Py_ssize_t n;
    char head[24];         /* "[sid," */
    int head_len;
    unsigned char tagged[FAST_COLUMNS];  /* columns written as a member's name */
} Shape;

typedef struct {
    int shapes, next;
    Shape shape[FAST_SHAPES];
    int members, next_member;
    PyObject *member[FAST_MEMBERS], *member_name[FAST_MEMBERS];
} Known;

static inline void
forget(Known *k)
{
    k->shapes = k->members = 0;
}

/* cb's shape as the general way would read it from last[cb]; NULL on error. */
static Shape *
find_shape(Known *k, PyObject *cb, PyObject *last)
{
    for (int j = 0; j < k->shapes; j++)
        if (k->shape[j].cb == cb)
            return &k->shape[j];
    Shape *s = &k->shape[k->next];
    k->next = (k->next + 1) % FAST_SHAPES;
    if (k->shapes < FAST_SHAPES)
        k->shapes++;
    s->cb = cb;
    s->ok = 0;
    if (!PyUnicode_CheckExact(cb))
        return s;
    PyObject *hit = PyDict_GetItemWithError(last, cb);  /* a str key runs no code */
    if (hit == NULL)
        return PyErr_Occurred() ? NULL : s;
    if (!PyTuple_CheckExact(hit) || PyTuple_GET_SIZE(hit) != 3)
        return s;
    PyObject *names = PyTuple_GET_ITEM(hit, 0), *types = PyTuple_GET_ITEM(hit, 1),
             *shape = PyTuple_GET_ITEM(hit, 2);
    if (!PyTuple_CheckExact(shape) || PyTuple_GET_SIZE(shape) != 4
            || !PyTuple_CheckExact(names) || !PyTuple_CheckExact(types)
            || !PyTuple_CheckExact(PyTuple_GET_ITEM(shape, 3))
            || !PyLong_CheckExact(PyTuple_GET_ITEM(shape, 0)))
        return s;
    Py_ssize_t n = PyTuple_GET_SIZE(types);
    if (PyTuple_GET_SIZE(names) != n || n > FAST_COLUMNS)
        return s;
    long long sid;
    int r = int_value(PyTuple_GET_ITEM(shape, 0), &sid);
    if (r < 0)
        return NULL;
    if (r == 0)
        return s;
    s->head[0] = '[';
    s->head_len = (int)(put_i64(s->head + 1, sid) - s->head);
    s->head[s->head_len++] = ',';
    memset(s->tagged, 0, (size_t)n);
    PyObject *tagged = PyTuple_GET_ITEM(shape, 3);
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(tagged); j++) {
        PyObject *pair = PyTuple_GET_ITEM(tagged, j);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2
                || !PyLong_CheckExact(PyTuple_GET_ITEM(pair, 0)))
            return s;
        long long at;
        r = int_value(PyTuple_GET_ITEM(pair, 0), &at);
        if (r < 0)
            return NULL;
        if (r == 0 || at < 3 || at >= 3 + n || s->tagged[at - 3])
            return s;
        s->tagged[at - 3] = 1;
    }
    s->names = names;
    s->types = types;
    s->n = n;
    s->ok = 1;
    return s;
}

/* The name the encoder gave member v, an ASCII str, or NULL (not known, or
 * not plain: the general way's); NULL with an error set on error. */
static PyObject *
member_name(Known *k, PyObject *v, PyObject *known)
{
    for (int j = 0; j < k->members; j++)
        if (k->member[j] == v)
            return k->member_name[j];
    PyObject *id = PyLong_FromVoidPtr(v);
    if (id == NULL)
        return NULL;
    PyObject *found = PyDict_GetItemWithError(known, id);  /* an int key runs no code */
    Py_DECREF(id);
    if (found == NULL || !PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != 2
            || PyTuple_GET_ITEM(found, 0) != v)
        return NULL;
    PyObject *name = PyTuple_GET_ITEM(found, 1);
    if (!PyUnicode_CheckExact(name))
        return NULL;
    int j = k->next_member;
    k->next_member = (j + 1) % FAST_MEMBERS;
    if (k->members < FAST_MEMBERS)
        k->members++;
    k->member[j] = v;
    k->member_name[j] = name;
    return name;
}

/* Room for n more bytes at p, which then points where it did in the text. */
#define ROOM(n)                                              \
    do {                                                     \
        if (o->cap - (p - o->buf) < (n)) {                   \
            o->len = p - o->buf;                             \
            if (grow(o, (n)) < 0)                            \
                goto error;                                  \
            p = o->buf + o->len;                             \
        }                                                    \
    } while (0)

/* A str as msgspec writes it, when that is the str itself between quotes. */
#define PUT_STR(v)                                                          \
    do {                                                                    \
        if (!PyUnicode_IS_ASCII(v))                                         \
            goto other;                                                     \
        Py_ssize_t len_ = PyUnicode_GET_LENGTH(v);                          \
        const unsigned char *c_ = (const unsigned char *)PyUnicode_DATA(v); \
        for (Py_ssize_t j_ = 0; j_ < len_; j_++)                            \
            if (!PLAIN[c_[j_]])                                             \
                goto other;                                                 \
        ROOM(len_ + 3);                                                     \
        *p++ = '"';                                                         \
        memcpy(p, c_, len_);                                                \
        p += len_;                                                          \
        *p++ = '"';                                                         \
    } while (0)

/* A record's key equal to the shape's name: the same str, or equal strs
 * (a decoded record's keys need not be the names' objects). */
static inline int
same_key(PyObject *a, PyObject *b)
{
    if (a == b)
        return 1;
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b))
        return 0;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    return n == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b)
           && memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

/* The row of capture c appended to o: 1, 0 (o unchanged) for the general
 * way, -1 on error. No Python code runs. */
static int
put_captured(Text *o, Captured *c, Shape *s, Known *k, PyObject *known)
{
    Py_ssize_t n = s->n, start = o->len, terms = 0;
    if (c->n != n)
        return 0;
    PyObject *names = s->names, *types = s->types;
    if (c->names != NULL && c->names != names && !same_names(c->names, names))
        return 0;
    if (!PyFloat_CheckExact(c->recv))
        return 0;
    int f[7];
    if (!row_time_fields(c->t, c->recv, f))
        return 0;
    if (reserve(o, 128) < 0)
        return -1;
    char *p = o->buf + o->len;
    memcpy(p, s->head, (size_t)s->head_len);
    p += s->head_len;
    *p++ = '"';
    p = put_time(p, f);
    *p++ = '"';
    *p++ = ',';
    if ((p = put_float(p, PyFloat_AS_DOUBLE(c->recv))) == NULL)
        goto other;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (c->names == NULL && !same_key(c->refs[2 * i], PyTuple_GET_ITEM(names, i)))
            goto other;
        PyObject *v = CAPTURED_VALUE(c, i);
        PyTypeObject *t = Py_TYPE(v);
        if ((PyObject *)t != PyTuple_GET_ITEM(types, i))
            goto other;
        ROOM(48);
        *p++ = ',';
        if (s->tagged[i]) {
            PyObject *name = member_name(k, v, known);
            if (name == NULL) {
                if (PyErr_Occurred())
                    goto error;
                goto other;
            }
            PUT_STR(name);
        }
        else if (t == &PyFloat_Type || t == &PyLong_Type) {
            int r = put_number(&p, v);
            if (r <= 0) {
                if (r < 0)
                    goto error;
                goto other;
            }
        }
        else if (t == &PyUnicode_Type)
            PUT_STR(v);
        else if (t == &PyList_Type) {
            /* The order book's levels: plain numbers, in one tight loop. */
            Py_ssize_t m = PyList_GET_SIZE(v);
            if ((terms += m) > MAX_TERMS)
                goto other;
            ROOM(42 * m + 16);
            *p++ = '[';
            for (Py_ssize_t j = 0; j < m; j++) {
                PyObject *e = PyList_GET_ITEM(v, j);
                if (j)
                    *p++ = ',';
                int r = put_number(&p, e);
                if (r <= 0) {
                    if (r < 0)
                        goto error;
                    goto other;
                }
            }
            *p++ = ']';
        }
        else if (v == Py_None) {
            memcpy(p, "null", 4);
            p += 4;
        }
        else
            goto other;
    }
    ROOM(2);
    *p++ = ']';
    *p++ = '\n';
    o->len = p - o->buf;
    return 1;
other:
    o->len = start;
    return 0;
error:
    o->len = start;
    return -1;
}

#undef PUT_STR
#undef ROOM

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

/* Python code is about to run (a call of add(), a comparison): the text
 * handed over so far, what the batch learnt forgotten. 0, or -1. */
static int
call_out(Text *o, Known *k)
{
    forget(k);
    return commit(o);
}

/* rows(items, start, last, known, add, attrdict[, raw]) -> index
 * Hands ``add`` the row lines of items[start:] up to the first one the
 * Python loop must decide, and returns its index (len(items) when none).
 * With ``raw`` (msgspec.Raw), consecutive rows it can write go as their
 * text in one Raw; with ``raw`` a bytearray, their text is appended to it,
 * and add() is to append the lines it is handed to it likewise. */
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
    Text text = {NULL, NULL, 0, 0};
    if (raw != NULL && PyByteArray_CheckExact(raw)) {
        text.ba = raw;
        reload(&text);
    }
    Known k;
    k.shapes = k.next = k.members = k.next_member = 0;
    int sized = text.ba == NULL;
    /* The sequence is re-read at every step: add() may run Python code. */
    for (; i < PySequence_Fast_GET_SIZE(items); i++) {
        PyObject *item = PySequence_Fast_GET_ITEM(items, i);
        if (raw != NULL && captured_type != NULL && Py_TYPE(item) == captured_type) {
            Captured *c = (Captured *)item;
            Shape *s = find_shape(&k, c->cb, last);
            if (s == NULL)
                goto error;
            if (s->ok) {
                Py_ssize_t before = text.len;
                int w = put_captured(&text, c, s, &k, known);
                if (w < 0)
                    goto error;
                if (w > 0) {
                    if (!sized) {
                        /* Room for the rest of the batch at once, rows being
                         * alike: growing the flush's buffer row by row would
                         * copy it over and over. */
                        sized = 1;
                        Py_ssize_t rest = PySequence_Fast_GET_SIZE(items) - i - 1;
                        Py_ssize_t row = text.len - before;
                        if (rest > 0 && row <= (PY_SSIZE_T_MAX - text.len) / (rest + 1)
                                && reserve(&text, (row + row / 8) * rest) < 0)
                            goto error;
                    }
                    continue;
                }
            }
        }
        /* The general way may compare names, which may run Python code. */
        if (call_out(&text, &k) < 0)
            goto error;
        PyObject *line = item_row(item, last, known, attrdict);
        reload(&text);
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
            if (text.ba == NULL && add_text(&text, raw, add) < 0) {
                Py_DECREF(line);
                goto error;
            }
        }
        /* Freed after the batch is encoded: not worth the collector's scans. */
        PyObject_GC_UnTrack(line);
        if (call_out(&text, &k) < 0) {
            Py_DECREF(line);
            goto error;
        }
        PyObject *r = Vectorcall(add, &line, 1, NULL);
        Py_DECREF(line);
        reload(&text);
        if (r == NULL)
            goto error;
        Py_DECREF(r);
    }
    if (text.ba != NULL ? commit(&text) < 0 : add_text(&text, raw, add) < 0)
        goto error;
    if (text.ba == NULL)
        PyMem_Free(text.buf);
    return PyLong_FromSsize_t(i);
error:
    if (text.ba != NULL) {
        /* Whole lines only: the bytearray cut back to the last one's end. */
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (commit(&text) < 0)
            PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
    else
        PyMem_Free(text.buf);
    return NULL;
}

/* take(popleft, n, order) -> (items, orders)
 * Up to n callbacks popped into a list, and how many of them are host orders
 * (a tuple whose first item is ``order``, the recorder's marker). */
static PyObject *
take(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "take() takes 3 arguments");
        return NULL;
    }
    PyObject *pop = args[0], *order = args[2];
    Py_ssize_t n = PyLong_AsSsize_t(args[1]);
    if (n == -1 && PyErr_Occurred())
        return NULL;
    if (n < 0)
        n = 0;
    PyObject *items = PyList_New(n);
    if (items == NULL)
        return NULL;
    Py_ssize_t orders = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *item = Vectorcall(pop, NULL, 0, NULL);
        if (item == NULL) {
            /* Fewer than n left: what was popped is handed back all the same. */
            PyObject *got = NULL;
            if (PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                got = PyList_GetSlice(items, 0, i);
            }
            Py_DECREF(items);
            if (got == NULL)
                return NULL;
            items = got;
            break;
        }
        PyList_SET_ITEM(items, i, item);
        if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) && PyTuple_GET_ITEM(item, 0) == order)
            orders++;
    }
    return Py_BuildValue("(Nn)", items, orders);
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
     "whose text it writes as msgspec would go as one raw(text) each; with raw a\n"
     "bytearray, their text is appended to it, and add() is to append the lines it\n"
     "is handed likewise (each with its line break)."},
    {"take", (PyCFunction)(void (*)(void))take, METH_FASTCALL,
     "take(popleft, n, order) -> (items, orders)\n\n"
     "Up to n items popped into a list, and how many are tuples whose first item\n"
     "is order."},
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
