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

// The two kinds of pointer a module's process-wide state holds, so that a
// field's type says who keeps its object alive. Both are trivial to create and
// to destroy: the state is set up before any code runs and has no destructor
// to run at exit, when the interpreter may already be gone.

// A strong reference the state keeps for the life of the process: never
// released, since the state is never torn down.
class Immortal {
public:
    constexpr Immortal() noexcept = default;
    Immortal(const Immortal&) = delete;
    Immortal& operator=(const Immortal&) = delete;

    // Takes over a new reference; false (and nothing changed) for NULL, a
    // failed API call. A value set before, by an exec that failed and is
    // being retried, is released.
    [[nodiscard]] bool set(PyObject* new_ref) noexcept {
        if (!new_ref) return false;
        Py_XSETREF(p_, new_ref);
        return true;
    }
    // Adds a reference of our own to a borrowed pointer and keeps it.
    [[nodiscard]] bool keep(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return set(borrowed);
    }
    void clear() noexcept { Py_CLEAR(p_); }
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

// A pointer the state holds without a reference: its comment names what
// keeps the object alive.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    Borrowed& operator=(PyObject* p) noexcept {
        p_ = p;
        return *this;
    }
    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace common
