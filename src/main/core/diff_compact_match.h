/*
 * diff_compact_match.h - the compact delta's own match finder: copies of
 * the new value from the old value and from the new value's earlier bytes,
 * chosen by what they cost in the compact form.
 *
 * The index method's parse is built for the plain form, where a copy pair
 * costs 2 to 10 bytes, so only long copies from the old value pay.  In the
 * compact form a copy at a recent shift costs a few bits and any copy
 * under three bytes of codes, so short copies pay too, and a value that
 * differs much from the old one (a build by another compiler, a file
 * rewritten) still repeats itself: copies from its own earlier bytes
 * carry most of it.
 */
#ifndef TOVAREL_DIFF_COMPACT_MATCH_H
#define TOVAREL_DIFF_COMPACT_MATCH_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "diff_compact_parse.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The most memory the match finder's tables take, in bytes: the old
 * value's table, and a chain over the new value for each of two parts. */
#define DIFF_COMPACT_MATCH_MAX_TABLES (96ULL << 20)

/*
 * Fills an empty parse with exact copies of new_value (from old_value, or
 * from new_value before each copy's target), a valid parse in the sense of
 * diff_compact_parse_valid.  Time is linear in the two sizes: candidates
 * per position and the search's depth are bounded, and long literal runs
 * are crossed in growing steps.  A large new value is searched in two
 * parts on two threads where there are two cores; the copies depend on the
 * values alone, not on the threads.  False (the parse empty) when memory
 * runs out.
 */
TOVAREL_API bool diff_compact_match(diff_compact_parse *parse, const buf *old_value,
                                    const buf *new_value);

/*
 * The same, but the copies of `anchors` (a valid parse of the same values)
 * are taken as they are, trimmed where a copy found before them runs into
 * them, and only the bytes they leave out are searched: on a new build of
 * the same code the index method's copies already carry nine tenths of
 * the value, and searching only the rest costs a fraction of the time.
 */
TOVAREL_API bool diff_compact_match_around(diff_compact_parse *parse, const buf *old_value,
                                           const buf *new_value, const diff_compact_parse *anchors);

/* The order-0 entropy of a value's bytes, in bits per byte, counted over
 * all of it when it is at most `blocks` * `block` bytes long, else over
 * that many blocks of `block` bytes spread evenly over it.  0 for an empty
 * value. */
TOVAREL_API double diff_compact_entropy_bits(const buf *value, uint64_t blocks, uint64_t block);

/* For tests: true makes the search test each way of the old value's table
 * one by one instead of four at once, and fill the table by its plain
 * loop; false (the default) restores the vector test and the fill by
 * groups.  The copies found are the same either way. */
TOVAREL_API void _diff_compact_match_force_scalar(bool scalar);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_MATCH_H */
