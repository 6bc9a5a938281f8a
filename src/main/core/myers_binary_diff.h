/*
 * myers_binary_diff.h - entry point of the difference engine: compares a
 * range of the old value with a range of the new one and reports the result
 * through a coalescing script into an edit script.
 *
 * Quality levels: 0 searches with the full step budget, 1 and 2 with a
 * quarter and a sixteenth of the smallest of the budget and the lengths,
 * 3 with one step, 4 matches only the common prefix and suffix.
 */
#ifndef TOVAREL_MYERS_BINARY_DIFF_H
#define TOVAREL_MYERS_BINARY_DIFF_H

#include <stdbool.h>
#include <stdint.h>

#include "buf.h"
#include "edit_script.h"
#include "export.h"

TOVAREL_BEGIN_DECLS

/* Result codes. */
#define MYERS_BAD_RANGE (-1) /* a range was rejected; nothing reported */
#define MYERS_DELTA 0        /* the edit script holds the delta */
#define MYERS_REPLACE 1      /* use the replacement delta */
#define MYERS_NO_CHANGE 2    /* the ranges are equal */

TOVAREL_API int32_t myers_binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length,
                                      const buf *new_value, int32_t new_offset, int32_t new_length,
                                      edit_script *script, int32_t storage_allowance,
                                      int32_t cost_limit, int32_t level);
TOVAREL_API bool myers_binary_diff_check_bounds(const buf *value, int32_t offset, int32_t length);
TOVAREL_API int32_t myers_binary_diff_corner(int32_t step, int32_t length);
TOVAREL_API int32_t myers_binary_diff_bailout_limit(int32_t percentage, int32_t size_a,
                                                    int32_t size_b);

TOVAREL_END_DECLS

#endif /* TOVAREL_MYERS_BINARY_DIFF_H */
