/*
 * support_failing_allocator.cpp - the wrapped allocation functions.  The
 * linker sends every call of malloc, calloc and realloc in the test and in
 * the core to the __wrap_ functions here; __real_ reaches the C allocator
 * (or the sanitizer's, which then still sees every block for its leak
 * check).  free is not wrapped: it never fails.
 */
#include <cstddef>

#include "failing_allocator.h"

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void *__wrap_malloc(size_t size);
void *__wrap_calloc(size_t count, size_t size);
void *__wrap_realloc(void *block, size_t size);
}

namespace {

/* The tests are single-threaded, and only the armed scenario allocates
 * through here while this matters. */
bool is_armed = false;
bool is_paused = false;
bool is_persistent = false;
bool has_fired = false;
uint64_t failing_at = 0;
uint64_t seen = 0;

/* Counts one allocation and says whether it is the one to fail. */
bool should_fail() {
    if (!is_armed || is_paused) {
        return false;
    }
    seen++;
    bool fail = seen == failing_at || (is_persistent && seen > failing_at);
    has_fired = has_fired || fail;
    return fail;
}

} // namespace

extern "C" {

void failing_allocator_arm(uint64_t nth, bool persistent) {
    is_armed = true;
    is_paused = false;
    is_persistent = persistent;
    has_fired = false;
    failing_at = nth;
    seen = 0;
}

uint64_t failing_allocator_disarm(void) {
    is_armed = false;
    is_paused = false;
    return seen;
}

void failing_allocator_pause(void) {
    is_paused = true;
}

void failing_allocator_resume(void) {
    is_paused = false;
}

bool failing_allocator_fired(void) {
    return has_fired;
}

void *__wrap_malloc(size_t size) {
    return should_fail() ? nullptr : __real_malloc(size);
}

void *__wrap_calloc(size_t count, size_t size) {
    return should_fail() ? nullptr : __real_calloc(count, size);
}

/* A failed realloc leaves the block as it was, as the real one does. */
void *__wrap_realloc(void *block, size_t size) {
    return should_fail() ? nullptr : __real_realloc(block, size);
}
}
