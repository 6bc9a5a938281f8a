/*
 * large_pages.cpp - large-page blocks and advice (see large_pages.hpp).
 */
#include "large_pages.hpp"

#include <cstdint>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

size_t large_pages_round(size_t bytes) {
    if (bytes > SIZE_MAX - LARGE_PAGE) {
        return 0;
    }
    return (bytes + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
}

void *large_pages_alloc(size_t rounded) {
    void *block = aligned_alloc(LARGE_PAGE, rounded);
    if (block != nullptr) {
        large_pages_advise(block, rounded);
    }
    return block;
}

void large_pages_advise(void *start, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    uintptr_t from = reinterpret_cast<uintptr_t>(start);
    if (bytes < LARGE_PAGE || from > UINTPTR_MAX - bytes) {
        return;
    }
    uintptr_t first = (from + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
    uintptr_t end = (from + bytes) / LARGE_PAGE * LARGE_PAGE;
    if (first < end) {
        // Only advice: where it is refused the memory stays on small pages.
        (void)madvise(reinterpret_cast<void *>(first), end - first, MADV_HUGEPAGE);
    }
#else
    (void)start;
    (void)bytes;
#endif
}
