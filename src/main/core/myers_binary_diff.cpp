/*
 * myers_binary_diff.cpp - entry point of the difference engine: range
 * checks, the quality levels, the step budget a caller may derive from
 * the sizes, and the corner of a step, which the search's own layer
 * computes and this family passes on to its callers.
 */
#include "myers_binary_diff.h"

#include "bits.h"
#include "coallescing_script.h"
#include "execution.h"
#include "execution_search.h"

TOVAREL_BEGIN_DECLS

/* Quality levels: 0 searches hardest, 4 only trims prefix and suffix. */
static const int32_t LEVEL_FULL = 0;
static const int32_t LEVEL_QUARTER = 1;
static const int32_t LEVEL_SIXTEENTH = 2;
static const int32_t LEVEL_ONE_STEP = 3;
static const int32_t LEVEL_TRIM_ONLY = 4;
/* Levels 1 and 2 use a fixed budget for comparisons shorter than this. */
static const int32_t LEVEL_SMALL_LIMIT = 255;
static const int32_t LEVEL_QUARTER_SMALL_BUDGET = 64;
static const int32_t LEVEL_SIXTEENTH_SMALL_BUDGET = 16;
/* A budget below zero makes every search bail out after its first step. */
static const int32_t LEVEL_UNKNOWN_BUDGET = -1;

/* The bail-out suggestion is a percentage of a cube root, and never low. */
static const int32_t BAILOUT_FLOOR_PRODUCT = 25600;
static const int32_t BAILOUT_FLOOR = 256;
static const int32_t BAILOUT_PERCENT = 100;

/* Step budget of the searches for a quality level; m is the smallest of
 * the caller's budget and the two lengths. */
static int32_t level_cost_limit(int32_t level, int32_t cost_limit, int32_t old_length,
                                int32_t new_length) {
    int32_t m = cost_limit;
    if (new_length < m) {
        m = new_length;
    }
    if (old_length < m) {
        m = old_length;
    }
    switch (level) {
    case LEVEL_FULL:
        return cost_limit;
    case LEVEL_QUARTER:
        return m <= LEVEL_SMALL_LIMIT ? LEVEL_QUARTER_SMALL_BUDGET : m >> 2;
    case LEVEL_SIXTEENTH:
        return m <= LEVEL_SMALL_LIMIT ? LEVEL_SIXTEENTH_SMALL_BUDGET : (m >> 2) >> 2;
    case LEVEL_ONE_STEP:
        return 1;
    default: /* level 4 does not search at all */
        return LEVEL_UNKNOWN_BUDGET;
    }
}

/*
 * Compares old[old_offset, +old_length) with new[new_offset, +new_length)
 * and leaves the delta in `script`.  Returns -1 for a bad range, 0 when the
 * script holds the delta, 1 for the replacement delta (which is also the
 * answer when the engine's own records cannot be allocated: it is always
 * correct), 2 when nothing changed.
 */
int32_t myers_binary_diff(const buf *old_value, int32_t old_offset, int32_t old_length,
                          const buf *new_value, int32_t new_offset, int32_t new_length,
                          edit_script *script, int32_t storage_allowance, int32_t cost_limit,
                          int32_t level) {
    if (!myers_binary_diff_check_bounds(old_value, old_offset, old_length) ||
        !myers_binary_diff_check_bounds(new_value, new_offset, new_length)) {
        return MYERS_BAD_RANGE;
    }
    coallescing_script coalescing = {script, old_offset, new_offset, COALLESCING_RUN_DELETE,
                                     0,      0,          true};
    int32_t limit = level_cost_limit(level, cost_limit, old_length, new_length);
    execution *e = execution_create(old_value, new_value, &coalescing, storage_allowance, limit);
    if (e == nullptr) {
        return MYERS_REPLACE;
    }
    bool complete =
        level == LEVEL_TRIM_ONLY
            ? execution_trim_prefix_and_suffix(e, old_offset, old_length, new_offset, new_length)
            : execution_diff(e, old_offset, old_length, new_offset, new_length, e->cost_limit);
    execution_free(e);
    if (!complete) {
        return MYERS_REPLACE;
    }
    return coallescing_script_close(&coalescing, old_length, new_length);
}

/* A range must lie inside the value, whose size is read as a signed int32:
 * a value of 2 GiB or more (by its low 32 bits) admits no range at all. */
bool myers_binary_diff_check_bounds(const buf *value, int32_t offset, int32_t length) {
    if (value == nullptr || offset < 0 || length < 0) {
        return false;
    }
    int64_t size = static_cast<int32_t>(static_cast<uint32_t>(value->len));
    return int64_t{offset} + length <= size;
}

/* Kept for its callers: the search computes the corner in its own layer. */
int32_t myers_binary_diff_corner(int32_t step, int32_t length) {
    return execution_search_corner(step, length);
}

/*
 * A step budget for comparing values of the given sizes: `percentage` per
 * cent of a power-of-two estimate of the cube root of their total size,
 * never below 256.  The total and the product are int32 figures that wrap
 * as two's-complement sums do; they are formed in unsigned arithmetic so
 * that the wrap is defined rather than an overflow.
 */
static int32_t wrap_int32(uint32_t bits) {
    return static_cast<int32_t>(bits);
}

int32_t myers_binary_diff_bailout_limit(int32_t percentage, int32_t size_a, int32_t size_b) {
    int32_t total = wrap_int32(static_cast<uint32_t>(size_a) + static_cast<uint32_t>(size_b));
    uint64_t widened = static_cast<uint64_t>(int64_t{total});
    int32_t product = wrap_int32(static_cast<uint32_t>(percentage) *
                                 static_cast<uint32_t>(approx_cube_root(widened)));
    if (product < BAILOUT_FLOOR_PRODUCT) {
        return BAILOUT_FLOOR;
    }
    return product / BAILOUT_PERCENT;
}

TOVAREL_END_DECLS
