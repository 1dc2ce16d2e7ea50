/* An allocator that starts failing on request, for out-of-memory tests (LD_PRELOAD).
 * fail_allocations(n): the next n allocations succeed, every later one fails; -1: none fails. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stddef.h>

static long allowed = -1;

void fail_allocations(long after) { __atomic_store_n(&allowed, after, __ATOMIC_SEQ_CST); }

static int may_allocate(void) {
    long left = __atomic_load_n(&allowed, __ATOMIC_SEQ_CST);
    if (left < 0) return 1;
    if (left == 0) {
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
