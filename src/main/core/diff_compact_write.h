/*
 * diff_compact_write.h - writing a compact delta from a parse.
 *
 * The compact form entropy-codes what the plain form stores as it is: the
 * literal bytes, each command's lengths and source (binned, with repeat
 * codes for the recent shifts), and the differences that make a copy
 * approximate (runs of zeros and the nonzero bytes between them), each
 * stream with a canonical Huffman code of its own.  The layout is told in
 * diff_compact_format.hpp and in the README.
 */
#ifndef TOVAREL_DIFF_COMPACT_WRITE_H
#define TOVAREL_DIFF_COMPACT_WRITE_H

#include "buf.h"
#include "diff_compact_parse.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* The compact delta that rebuilds new_value from old_value by the parse's
 * copies; null for a parse that diff_compact_parse_valid refuses, a record
 * without its bytes, a value of 2147483648 bytes or more, or exhausted
 * memory. */
TOVAREL_API buf *diff_compact_write(const buf *old_value, const buf *new_value,
                                    const diff_compact_parse *parse);

/* The same, or null as well when the delta would take `limit` bytes or
 * more: a caller that holds a smaller delta already is spared the rest of
 * the writing once the codes show that it cannot win. */
TOVAREL_API buf *diff_compact_write_below(const buf *old_value, const buf *new_value,
                                          const diff_compact_parse *parse, uint64_t limit);

/* For tests: true makes the writer's second walk compare the copies'
 * bytes again instead of reading the differences the first walk kept;
 * false (the default) restores that.  The deltas are the same either
 * way.  Not for concurrent use with running calls. */
TOVAREL_API void _diff_compact_write_force_compare_twice(bool twice);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_COMPACT_WRITE_H */
