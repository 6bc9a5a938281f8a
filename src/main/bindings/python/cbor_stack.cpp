/*
 * cbor_stack.cpp - where this thread's native stack ends, for the encoders'
 * recursion guard.
 */
#include "cbor_stack.h"

#include <algorithm>

#include <pthread.h>

namespace tovarel::cbor {

namespace {

/* Stack kept free below the deepest container being walked: enough for
 * converting an element (which may run a little Python code of its own),
 * the writers and raising the error. */
constexpr std::uintptr_t stack_reserve = 256 * 1024;

/* The lowest stack address this thread may walk down to, or 0 when the
 * stack's bounds are unknown.  Found once per thread. */
std::uintptr_t find_stack_floor() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
        return 0;
    }
    void *low = nullptr;
    std::size_t size = 0;
    const int found = pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    if (found != 0) {
        return 0;
    }
    return reinterpret_cast<std::uintptr_t>(low) +
           std::min<std::uintptr_t>(stack_reserve, size / 2);
}

} // namespace

std::uintptr_t stack_floor() {
    thread_local const std::uintptr_t floor = find_stack_floor();
    return floor;
}

bool stack_exhausted() {
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor();
}

} // namespace tovarel::cbor
