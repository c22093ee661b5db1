// Arithmetic the callbacks do on every record, in C where that is exact.
#pragma once
#include "compat.hpp"

namespace common {

// a / b, where b is the int `divisor` (passed both ways). For an exact int a
// within 2**53 both operands are exact doubles, so one IEEE division gives the
// correctly rounded quotient, bit for bit what int true division gives;
// anything else goes through the number protocol. A new reference.
inline PyObject* true_divide_by(PyObject* a, PyObject* b, long divisor) {
    if (PyLong_CheckExact(a)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(a, &overflow);
        constexpr long long kExact = 1LL << 53;
        if (!overflow && v >= -kExact && v <= kExact) return PyFloat_FromDouble((double)v / (double)divisor);
    }
    return PyNumber_TrueDivide(a, b);
}

}  // namespace common
