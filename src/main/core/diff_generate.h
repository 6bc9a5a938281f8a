/*
 * diff_generate.h - computing a binary delta from an old and a new value.
 *
 * The result is a fresh buffer owned by the caller: the edit script's delta
 * (always strictly shorter than the new value), the replacement delta (one
 * byte string holding the whole new value), or the no-change delta 0xF6
 * (equal values of 2 bytes or more).  Null means a value of 2147483648
 * bytes or more, or exhausted memory.  The level of effort comes from an
 * activity history, from the caller, or is 0 (most thorough).
 */
#ifndef TOVAREL_DIFF_GENERATE_H
#define TOVAREL_DIFF_GENERATE_H

#include <stdint.h>

#include "activity_history.h"
#include "buf.h"
#include "edit_script.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

#define DIFF_DEFAULT_STORAGE_ALLOWANCE INT32_MAX
#define DIFF_DEFAULT_COST_LIMIT 10000
/* Quality levels run from 0 (most thorough) to this (prefix and suffix
 * only). */
#define DIFF_MAX_LEVEL 4
/* Values from this many bytes up are refused. */
#define DIFF_MAX_VALUE_SIZE 2147483648ULL

TOVAREL_API buf *diff_generate_binary(const buf *old_value, const buf *new_value);
TOVAREL_API buf *diff_generate_binary_ex(const buf *old_value, const buf *new_value,
                                         int32_t storage_allowance, int32_t cost_limit);
TOVAREL_API buf *diff_generate_binary_with_activity_history(tovarel_activity_history *history,
                                                            const buf *old_value,
                                                            const buf *new_value);
TOVAREL_API buf *diff_generate_binary_with_activity_history_ex(tovarel_activity_history *history,
                                                               const buf *old_value,
                                                               const buf *new_value,
                                                               int32_t storage_allowance,
                                                               int32_t cost_limit);
/* The driver at a fixed quality level; null for a level outside 0 to
 * DIFF_MAX_LEVEL, as for the values the driver refuses. */
TOVAREL_API buf *diff_generate_binary_at_level(const buf *old_value, const buf *new_value,
                                               int32_t storage_allowance, int32_t cost_limit,
                                               int32_t level);
TOVAREL_API buf *_write_replacement_delta(const buf *new_value);

/* Whether a value can be compared: a record with its bytes, of fewer than
 * DIFF_MAX_VALUE_SIZE bytes. */
TOVAREL_API bool diff_generate_comparable(const buf *value);
/* The result for a comparison that ended with `code` (MYERS_DELTA,
 * MYERS_REPLACE, MYERS_NO_CHANGE or anything else for null) and left its
 * items in `script`, which the caller still owns. */
TOVAREL_API buf *diff_generate_outcome(const buf *new_value, const edit_script *script,
                                       int32_t code);

TOVAREL_END_DECLS

#endif /* TOVAREL_DIFF_GENERATE_H */
