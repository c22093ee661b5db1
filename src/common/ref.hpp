// Owning reference to a Python object: move-only, releases on destruction, so
// every early return on an error path drops what it holds.
#pragma once
#include "compat.hpp"

#include <utility>

namespace common {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be NULL, e.g. a failed API call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of our own to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

    // The slot a lookup that can fail or find nothing fills, as
    // dict_get_item_ref(d, key, ref.out()) does. Drops what was held.
    PyObject** out() noexcept {
        reset();
        return &p_;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace common
