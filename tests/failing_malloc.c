/* An allocator that starts failing on request, for out-of-memory tests (LD_PRELOAD).
 * fail_allocations(n): the next n allocations succeed, every later one fails; -1: none fails.
 * fail_one_allocation(n): the next n allocations succeed, the one after fails, and every later
 * one succeeds again; failure_pending(): that failure has not happened yet. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>

static long allowed = -1;
static int only_once;

void fail_allocations(long after) {
    __atomic_store_n(&only_once, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&allowed, after, __ATOMIC_SEQ_CST);
}

void fail_one_allocation(long after) {
    __atomic_store_n(&only_once, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&allowed, after, __ATOMIC_SEQ_CST);
}

/* Whether the failure asked for is still to come: the code ran out before reaching it. */
int failure_pending(void) { return __atomic_load_n(&allowed, __ATOMIC_SEQ_CST) >= 0; }

static int may_allocate(void) {
    long left = __atomic_load_n(&allowed, __ATOMIC_SEQ_CST);
    if (left < 0) return 1;
    if (left == 0) {
        if (__atomic_load_n(&only_once, __ATOMIC_SEQ_CST)) {
            __atomic_store_n(&allowed, -1, __ATOMIC_SEQ_CST);
        }
        errno = ENOMEM;
        return 0;
    }
    __atomic_sub_fetch(&allowed, 1, __ATOMIC_SEQ_CST);
    return 1;
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

void* malloc(size_t size) { return may_allocate() ? REAL(malloc)(size) : NULL; }
void* calloc(size_t count, size_t size) {
    /* dlsym itself may call calloc before the real one is known. */
    static int resolving;
    if (resolving) return NULL;
    if (!may_allocate()) return NULL;
    resolving = 1;
    void* (*real)(size_t, size_t) = REAL(calloc);
    resolving = 0;
    return real(count, size);
}
void* realloc(void* pointer, size_t size) {
    return may_allocate() ? REAL(realloc)(pointer, size) : NULL;
}
