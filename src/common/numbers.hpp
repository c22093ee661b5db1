// Arithmetic the callbacks do on every record, in C where that is exact.
#pragma once
#include "compat.hpp"

#if PY_VERSION_HEX < 0x030B0000 && !defined(BRIDGE_GENERIC)
#include <longintrepr.h>
#endif

#include <cstdint>
#include <cstring>

namespace common {

// The value of an exact int of at most one digit (below 2**30 in magnitude),
// read from the object as the interpreter's own fast paths read it; false for
// anything else (nothing raised).
inline bool small_int(PyObject* v, long* out) {
    if (!PyLong_CheckExact(v)) return false;
#ifdef BRIDGE_GENERIC
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(v, &overflow);
    if (overflow || value <= -(1L << 30) || value >= (1L << 30)) return false;
    *out = value;
    return true;
#elif PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact((PyLongObject*)v)) return false;
    *out = (long)PyUnstable_Long_CompactValue((PyLongObject*)v);
    return true;
#elif PY_VERSION_HEX < 0x030B0000
    Py_ssize_t size = Py_SIZE(v);
    if (size < -1 || size > 1) return false;
    *out = size * (long)((PyLongObject*)v)->ob_digit[0];
    return true;
#else
    (void)out;
    return false;
#endif
}

// magnitude / divisor correctly rounded, for magnitude >= 2**53 and
// 2 <= divisor < 1024: magnitude * 2**s / divisor in integers, s chosen so
// that the quotient has 62 to 64 bits (at least 55 are needed), its remainder
// folded into the lowest bit as a sticky bit, converted with one IEEE
// rounding and scaled back by 2**-s, which is exact.
inline double scaled_quotient(uint64_t magnitude, uint64_t divisor) {
    int bits = 64 - __builtin_clzll(magnitude);   // 54..64
    int log2d = 63 - __builtin_clzll(divisor);    // 1..9: divisor >= 2**log2d
    int s = 64 - bits + log2d;                    // 1..19
    uint64_t q, r;
#if defined(__x86_64__)
    // The high word is below 2**log2d <= divisor, so the quotient fits.
    uint64_t hi = magnitude >> (64 - s), lo = magnitude << s;
    __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(lo), "d"(hi), "rm"(divisor) : "cc");
#else
    unsigned __int128 scaled = (unsigned __int128)magnitude << s;
    q = (uint64_t)(scaled / divisor);
    r = (uint64_t)(scaled % divisor);
#endif
    if (r) q |= 1;
    uint64_t scale_bits = (uint64_t)(1023 - s) << 52;  // 2**-s as a double
    double scale;
    std::memcpy(&scale, &scale_bits, sizeof scale);
    return (double)q * scale;
}

// a / b, where b is the positive int `divisor` (passed both ways), as int
// true division gives it: the quotient correctly rounded to a double, in C
// for an exact int a that fits in 64 bits; anything else goes through the
// number protocol. A new reference.
inline PyObject* true_divide_by(PyObject* a, PyObject* b, long divisor) {
    if (PyLong_CheckExact(a) && divisor > 1 && divisor < 1024) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(a, &overflow);
        if (!overflow) {
            uint64_t magnitude = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
            double quotient;
            if (magnitude < (uint64_t)1 << 53) {
                // Both exact doubles: one IEEE division, as int true division does.
                quotient = (double)magnitude / (double)divisor;
            } else {
                quotient = scaled_quotient(magnitude, (uint64_t)divisor);
            }
            return PyFloat_FromDouble(v < 0 ? -quotient : quotient);
        }
    }
    return PyNumber_TrueDivide(a, b);
}

}  // namespace common
