/*
 * large_pages.hpp - memory on large pages, where the system offers them.
 *
 * A table read at random places costs a miss of the address translation
 * at every probe on small pages once it outgrows what the translation
 * caches map, and a block written once from end to end (a delta of tens of
 * megabytes) takes a page fault for every small page it touches.  On large
 * pages both cost a few hundred times less.  The system is only asked:
 * where it refuses, the memory works as it is, on small pages.  Internal to
 * the core.
 */
#ifndef TOVAREL_LARGE_PAGES_HPP
#define TOVAREL_LARGE_PAGES_HPP

#include <stddef.h>

/* The large page of x86-64 and of most 64-bit Arm systems. */
constexpr size_t LARGE_PAGE = size_t{2} << 20;

/* `bytes` rounded up to whole large pages; 0 when that would overflow. */
size_t large_pages_round(size_t bytes);

/* A block of `rounded` bytes (whole large pages) on a large-page boundary,
 * uncleared, from the C allocator (free() hands it back) and with large
 * pages asked for; null when memory runs out. */
void *large_pages_alloc(size_t rounded);

/* Asks for large pages over the whole large pages inside the `bytes` from
 * `start` on; nothing when none fits. */
void large_pages_advise(void *start, size_t bytes);

#endif /* TOVAREL_LARGE_PAGES_HPP */
