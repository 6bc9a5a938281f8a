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
 * Each calling thread keeps the index's memory, up to 4 MiB, for its next
 * call, and frees it when the thread ends.
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

TOVAREL_API buf *diff_index_generate_binary(const buf *old_value, const buf *new_value);
/* The same with a bound on the index's memory in bytes (0: the default).
 * A smaller allowance indexes fewer positions of the old value: the delta
 * stays correct but may miss short matches. */
TOVAREL_API buf *diff_index_generate_binary_ex(const buf *old_value, const buf *new_value,
                                               uint64_t index_allowance);
/*
 * Test hook: with plain set, later calls check every candidate match in
 * full instead of first ruling out those that cannot win.  The deltas are
 * the same either way; the tests compare the two.  Not for concurrent use
 * with running calls.
 */
TOVAREL_API void _diff_index_force_plain(bool plain);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_INDEX_H */
