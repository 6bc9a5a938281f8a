/*
 * diff_index.h - a second way to compute a binary delta: copies from
 * anywhere in the old value, found through an index of its fingerprints.
 *
 * The Myers engine behind diff_generate_binary only finds matches in the
 * order of the old value, so a moved or repeated block costs its bytes as
 * literals.  This method indexes short windows of the old value in a hash
 * table, scans the new value once, and copies each stretch from wherever
 * in the old value it matches longest.  Expected time is linear in the two
 * sizes for every input: candidate chains and the extension work per byte
 * are bounded.
 *
 * The results are those of diff_generate_binary, in the same format, read
 * by the same diff_apply_binary: the edit script's delta (strictly shorter
 * than the new value), the replacement delta, or the no-change delta 0xF6
 * for equal values of 2 bytes or more.  Null means a value of 2147483648
 * bytes or more, a record without its bytes, or exhausted memory.  The
 * result is deterministic: the same two values give the same delta.
 *
 * Each calling thread keeps the index's memory, up to 8 MiB, and up to
 * 8 MiB of the lists that reading the old value in ranges makes, for its
 * next call, and frees them when the thread ends.
 *
 * diff_index_generate_binary_with_options takes values of any size, and a
 * level and a number of threads.  New values of DIFF_INDEX_SPLIT_FROM bytes
 * or more are scanned in parts of DIFF_INDEX_PART bytes (their last few
 * megabytes in shorter ones), shared out among the threads, and values
 * from 256 KiB on in a few parts of their own size's share; the parts do not
 * depend on the number of threads, and so neither does the delta.
 */
#ifndef TOVAREL_DIFF_INDEX_H
#define TOVAREL_DIFF_INDEX_H

#include <stdint.h>

#include "buf.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* With an allowance of 0 the index may use the old value's size in bytes,
 * or this much if that is more. */
#define DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR (4ULL << 20)

/* Levels run from 0 (smallest deltas) to this (fastest). */
#define DIFF_INDEX_MAX_LEVEL 4
/* Threads a call uses at most, its own among them. */
#define DIFF_INDEX_MAX_THREADS 8
#define DIFF_INDEX_SPLIT_FROM (8ULL << 20)
#define DIFF_INDEX_PART (1ULL << 20)
/* Beyond this size of the old value, the default allowance is an eighth
 * of it. */
#define DIFF_INDEX_LARGE_OLD (1ULL << 30)

typedef struct diff_index_options {
    /* Bytes of index memory at most; 0: the old value's size, or
     * DIFF_INDEX_DEFAULT_ALLOWANCE_FLOOR if that is more, and an eighth of
     * the old value beyond DIFF_INDEX_LARGE_OLD. */
    uint64_t index_allowance;
    int32_t level;   /* 0 to DIFF_INDEX_MAX_LEVEL */
    int32_t threads; /* at most this many threads scan; 0: one per core */
} diff_index_options;

TOVAREL_API buf *diff_index_generate_binary(const buf *old_value, const buf *new_value);
/* The same with a bound on the index's memory in bytes (0: the default).
 * A smaller allowance indexes fewer positions of the old value: the delta
 * stays correct but may miss short matches. */
TOVAREL_API buf *diff_index_generate_binary_ex(const buf *old_value, const buf *new_value,
                                               uint64_t index_allowance);
/* Null for a record without its bytes, a level outside 0 to
 * DIFF_INDEX_MAX_LEVEL, a negative number of threads, or exhausted memory.
 * Null options mean the defaults. */
TOVAREL_API buf *diff_index_generate_binary_with_options(const buf *old_value, const buf *new_value,
                                                         const diff_index_options *options);

/* What the calling thread's last call searched, summed over its parts:
 * the tests bound the work per position with it. */
typedef struct diff_index_counts {
    uint64_t positions;  /* positions of the new value searched */
    uint64_t probes;     /* index slots and chain links read */
    uint64_t candidates; /* candidates checked */
} diff_index_counts;
TOVAREL_API diff_index_counts _diff_index_last_counts(void);

/*
 * Test hook: with plain set, later calls check every candidate match in
 * full instead of first ruling out those that cannot win, and read the old
 * value's windows one at a time.  The deltas are the same either way; the
 * tests compare the two.  Not for concurrent use with running calls.
 */
TOVAREL_API void _diff_index_force_plain(bool plain);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_INDEX_H */
