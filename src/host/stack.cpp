#include "host/stack.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "host/python.hpp"

namespace cpython {

namespace {

// The stack left at an operation's entry must hold a whole round of a host service calling back
// into the module (the runtime's frames for the service, the module's own, a sanitizer's red
// zones) and the unwinding of the RecursionError: a quarter of the stack, and never more than
// this.
constexpr std::uintptr_t largest_reserve = std::uintptr_t{256} * 1024;

// The bounds of this thread's stack: a property of the thread, the same for every greenlet that
// runs on it (a greenlet's frames are copied in and out of the same region). Read once per thread,
// with the initial-exec model, so that a new thread never allocates for it.
struct StackBounds {
    std::uintptr_t lowest = 0;  // the stack grows down towards it
    std::uintptr_t reserve = 0;
    bool known = false;
    bool unknowable = false;
};
[[gnu::tls_model("initial-exec")]] thread_local StackBounds bounds;

void read_bounds() {
    pthread_attr_t attributes;
    // For the main thread glibc reads /proc/self/maps, which can fail when memory or descriptors
    // run out: then the next call asks again.
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* lowest = nullptr;
    std::size_t size = 0;
    const bool read = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!read || size == 0) {
        bounds.unknowable = true;
        return;
    }
    bounds.lowest = reinterpret_cast<std::uintptr_t>(lowest);
    const std::uintptr_t quarter = size / 4;
    bounds.reserve = quarter < largest_reserve ? quarter : largest_reserve;
    bounds.known = true;
}

}  // namespace

void check_stack_left(const char* operation) {
    if (!bounds.known) {
        if (bounds.unknowable) return;
        read_bounds();
        if (!bounds.known) return;
    }
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (here > bounds.lowest + bounds.reserve) return;
    PyErr_Format(PyExc_RecursionError,
                 "maximum recursion depth exceeded while calling start_boce.%s: the thread's C "
                 "stack is nearly used up",
                 operation);
    raise_fetched();
}

}  // namespace cpython
