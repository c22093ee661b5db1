// Arithmetic the callbacks do on every record, in C where that is exact.
#pragma once
#include "compat.hpp"

#include <cmath>
#include <cstdint>

namespace common {

// a / b, where b is the positive int `divisor` (passed both ways), as int
// true division gives it: the quotient correctly rounded to a double. For an
// exact int a that fits in 64 bits, |a| * 2**64 / divisor is taken in 128-bit
// integers with its remainder folded into the lowest bit (a sticky bit: the
// quotient has at least 55 significant bits, so that bit lies below the
// rounding position), converted with one IEEE rounding and scaled back by a
// power of two, which is exact. Anything else goes through the number
// protocol. A new reference.
inline PyObject* true_divide_by(PyObject* a, PyObject* b, long divisor) {
    if (PyLong_CheckExact(a) && divisor > 0 && divisor < 1024) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(a, &overflow);
        if (!overflow) {
            uint64_t magnitude = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
            unsigned __int128 scaled = (unsigned __int128)magnitude << 64;
            unsigned __int128 q = scaled / (unsigned)divisor;
            if (scaled % (unsigned)divisor) q |= 1;
            double quotient = std::ldexp((double)q, -64);
            return PyFloat_FromDouble(v < 0 ? -quotient : quotient);
        }
    }
    return PyNumber_TrueDivide(a, b);
}

}  // namespace common
