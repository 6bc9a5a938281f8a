/*
 * diff_compact_approx.h - turning a parse of exact copies into one of
 * approximate copies.
 *
 * Between two builds of a program, code moves and every address inside it
 * shifts: long stretches match at one shift except for a byte or two
 * every few dozen, and an exact matcher sees a string of short copies cut
 * by literals.  The compact form carries a copy's differing bytes in a
 * stream of differences that is nearly all zeros, so a copy is worth
 * extending across mismatches while enough of the bytes still match.
 */
#ifndef TOVAREL_DIFF_COMPACT_APPROX_H
#define TOVAREL_DIFF_COMPACT_APPROX_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "diff_compact_parse.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/*
 * Rewrites a valid parse of new_value against old_value in place: each
 * copy is extended forward and backward across its neighbouring literals
 * while that pays, copies that meet at the same shift are merged, and a
 * literal stretch that still matches a recent copy's shift is covered by
 * a copy at that shift.  The result is again a valid parse.  False (the
 * parse unchanged) when memory runs out.
 */
TOVAREL_API bool diff_compact_approx_extend(diff_compact_parse *parse, const buf *old_value,
                                            const buf *new_value);

/* For tests: true makes every score a byte at a time, as the plain loops
 * take it, where false (the default) takes runs of equal and of differing
 * bytes a word at a time; the parses must be the same. */
TOVAREL_API void _diff_compact_approx_force_scalar(bool scalar);

/* For tests: parses of this many copies or more (65536 by default) are
 * extended in two halves on two threads, where there are two cores; the
 * parse must be the one the serial pass gives. */
TOVAREL_API void _diff_compact_approx_split_from(uint64_t copies);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_APPROX_H */
