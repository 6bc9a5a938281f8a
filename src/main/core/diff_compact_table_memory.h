/*
 * diff_compact_table_memory.h - memory for the match finder's large
 * hash tables.
 *
 * The tables are read and written at random places, a cache miss each, and
 * on small pages a miss of the address translation as well: a 32 MiB table
 * spans 8192 pages, far more than the translation caches hold, and first
 * touching each page costs a fault.  Tables of a large page or more are
 * therefore placed on large-page boundaries and the system is asked for
 * large pages there, where it offers them.  Internal to the core.
 */
#ifndef TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H
#define TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H

#include <stddef.h>

/* `bytes` of zeros from the C allocator (free() releases them), aligned to
 * a large page when they take one or more; null when memory runs out. */
void *diff_compact_table_alloc(size_t bytes);

/* The same without the zeros, for a table whose every entry is written
 * before it is read (the match finder's chain): clearing 16 MiB per part
 * of a mid-size value cost 7% of its compact delta's instructions, and
 * touched pages a search around anchors never uses. */
void *diff_compact_table_alloc_uncleared(size_t bytes);

#endif /* TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H */
