/*
 * diff_compact_table_memory.cpp - aligned table memory, zeroed or not, on large
 * pages where the system has them (see diff_compact_table_memory.h).
 */
#include "diff_compact_table_memory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

/* The large page of x86-64 and of most 64-bit Arm systems. */
constexpr size_t LARGE_PAGE = size_t{2} << 20;

/* Aligned table memory, cleared or not. */
void *table_alloc(size_t bytes, bool clear) {
    if (bytes < LARGE_PAGE) {
        // Small enough to stay in the caches, where a bucket across two
        // lines costs little; calloc spares clearing the fresh pages.
        return clear ? calloc(bytes == 0 ? 1 : bytes, 1) : malloc(bytes == 0 ? 1 : bytes);
    }
    if (bytes > SIZE_MAX - LARGE_PAGE) {
        return nullptr;
    }
    size_t rounded = (bytes + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
    void *block = aligned_alloc(LARGE_PAGE, rounded);
    if (block == nullptr) {
        return nullptr;
    }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only advice: where it is refused the table works on small pages.
    (void)madvise(block, rounded, MADV_HUGEPAGE);
#endif
    if (clear) {
        memset(block, 0, rounded);
    }
    return block;
}

} // namespace

void *diff_compact_table_alloc(size_t bytes) {
    return table_alloc(bytes, true);
}

void *diff_compact_table_alloc_uncleared(size_t bytes) {
    return table_alloc(bytes, false);
}
