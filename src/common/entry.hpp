// Entries into the bridge: every MachStrategy method and module function
// passes through one. Host code the bridge calls may enter it again, and deep
// re-entry must end in RecursionError, never in a thread out of stack.
//
// Two checks, both kept. The interpreter's own count (Py_EnterRecursiveCall),
// as it counts a call. And the stack the thread actually has left: up to 3.11
// the count stands for the stack only on a thread of the usual size, and from
// 3.12 it counts C calls against a fixed number, so neither holds on the
// smaller stacks SDKs give their callback threads. The thread's bounds are read
// once per thread and kept in thread-local storage; an entry compares its stack
// pointer with one of them.
#pragma once
#include "compat.hpp"

#include <cstddef>
#include <cstdint>
#if defined(__linux__)
#include <pthread.h>
#endif

// glibc versioned these two again (2.32, 2.34); the first versions, which every
// glibc has, are the same functions. Bound to them, a wheel built on a new
// glibc still loads on the old ones its manylinux tag promises.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace common {

namespace entry_detail {

// Stack left for the work of one entry and the host code it calls, whatever
// re-enters after it: a quarter of the thread's stack, at least 16 KiB, at most
// 256 KiB. One re-entry through a host factory takes 1 to 2 KiB (more in a
// sanitizer build), raising the error much less.
constexpr size_t kMinReserve = size_t(16) << 10;
constexpr size_t kMaxReserve = size_t(256) << 10;

struct Bounds {
    uintptr_t floor;  // entries below it are refused; UINTPTR_MAX: not read yet, 0: unknown
    uintptr_t low;    // the thread's stack, [low, high)
    uintptr_t high;
};
// initial-exec: read in one load off the thread pointer, with no call (the
// modules take 24 bytes each of the static TLS the loader keeps for them).
inline thread_local Bounds tls_bounds __attribute__((tls_model("initial-exec"))) = {UINTPTR_MAX, 0, 0};

[[gnu::always_inline]] inline uintptr_t stack_pointer() {
    uintptr_t sp;
#if defined(__x86_64__)
    __asm__ volatile("mov %%rsp, %0" : "=r"(sp));
#elif defined(__aarch64__)
    __asm__ volatile("mov %0, sp" : "=r"(sp));
#else
    sp = (uintptr_t)__builtin_frame_address(0);
#endif
    return sp;
}

inline void read_bounds(Bounds& b) {
    b = {0, 0, 0};
#if defined(__linux__)
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* addr = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || !addr || !size) return;
    size_t reserve = size / 4 < kMinReserve ? kMinReserve : size / 4 > kMaxReserve ? kMaxReserve : size / 4;
    b.low = (uintptr_t)addr;
    b.high = b.low + size;
    b.floor = b.low + reserve;
#endif
}

// The entry `name` found sp below the floor: on a first entry the bounds are
// read; below the floor of this thread's stack, RecursionError. A stack
// pointer outside the thread's stack (a coroutine's own stack, a sanitizer's
// fake frames) is not ours to judge.
[[gnu::cold, gnu::noinline]] inline bool stack_below_floor(uintptr_t sp, const char* name) {
    Bounds& b = tls_bounds;
    if (b.floor == UINTPTR_MAX) {
        read_bounds(b);
        if (sp >= b.floor) return true;
    }
    if (sp < b.low || sp >= b.high) return true;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded: %zu KiB of this thread's %zu KiB stack left on entering %s "
                 "(host code re-entering the bridge too deeply)",
                 (size_t)(sp - b.low) >> 10, (size_t)(b.high - b.low) >> 10, name);
    return false;
}

}  // namespace entry_detail

// True when the running thread has stack enough to enter `name`; false with
// RecursionError set otherwise.
[[nodiscard, gnu::always_inline]] inline bool stack_left(const char* name) {
    uintptr_t sp = entry_detail::stack_pointer();
    return sp >= entry_detail::tls_bounds.floor || entry_detail::stack_below_floor(sp, name);
}

// An entry into the bridge named `name` (for the message): the stack check,
// then the interpreter's count for as long as the entry lasts. False when
// either refused, with RecursionError set.
class Entry {
public:
    explicit Entry(const char* name)
        : ok_(stack_left(name) && Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    ~Entry() {
        if (ok_) Py_LeaveRecursiveCall();
    }
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    explicit operator bool() const { return ok_; }

private:
    bool ok_;
};

}  // namespace common
