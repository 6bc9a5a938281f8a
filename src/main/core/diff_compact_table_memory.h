/*
 * diff_compact_table_memory.h - memory for the match finder's large
 * hash tables.
 *
 * The tables are read and written at random places, a cache miss each, and
 * on small pages a miss of the address translation as well: a 32 MiB table
 * spans 8192 pages, far more than the translation caches hold, and first
 * touching each page costs a fault.  Tables of a large page or more are
 * therefore placed on large-page boundaries and the system is asked for
 * large pages there, where it offers them.
 *
 * A thread keeps one table of each kind between calls, up to 24 MiB in
 * all: a mid-size value's tables (1 to 20 MiB) were otherwise faulted in
 * and zeroed by the system at every call, and handed back at its end,
 * which took half the system time of the compact delta of modules of 0.2
 * to 2 MB.  Internal to the core.
 */
#ifndef TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H
#define TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H

#include <stddef.h>

/* The tables a search uses at once, each kept apart. */
enum diff_compact_table_kind {
    DIFF_COMPACT_TABLE_OLD,   /* the old value's windows */
    DIFF_COMPACT_TABLE_HEADS, /* the chain's heads */
    DIFF_COMPACT_TABLE_CHAIN, /* the chain */
    DIFF_COMPACT_TABLE_KINDS
};

/* `bytes` of zeros, aligned to a large page when they take one or more:
 * the thread's kept table of that kind where it is large enough and not
 * in use, else fresh from the C allocator; null when memory runs out.
 * Handed back with diff_compact_table_give. */
void *diff_compact_table_take(enum diff_compact_table_kind kind, size_t bytes);

/* The same without the zeros, for a table whose every entry is written
 * before it is read (the match finder's chain): clearing 16 MiB per part
 * of a mid-size value cost 7% of its compact delta's instructions, and
 * touched pages a search around anchors never uses. */
void *diff_compact_table_take_uncleared(enum diff_compact_table_kind kind, size_t bytes);

/* Hands back a table taken as `bytes` of `kind` on this thread (null is
 * ignored): kept for the thread's next call while what it keeps stays
 * within its bound, else freed. */
void diff_compact_table_give(enum diff_compact_table_kind kind, void *table, size_t bytes);

#endif /* TOVAREL_DIFF_COMPACT_TABLE_MEMORY_H */
