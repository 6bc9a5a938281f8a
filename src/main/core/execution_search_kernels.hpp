/*
 * execution_search_kernels.hpp - the fast search's private layout and its
 * passes: what one pass over the diagonals of one direction and parity
 * reads and writes, the one-diagonal-at-a-time pass that is the fallback
 * and oracle of the wider ones, and the table of a path's kernels, which a
 * search takes once at its entry and reads from then on.
 */
#ifndef TOVAREL_EXECUTION_SEARCH_KERNELS_HPP
#define TOVAREL_EXECUTION_SEARCH_KERNELS_HPP

#include "execution_search_shared.hpp"

/* The instruction-set paths exist on x86-64 only; elsewhere the contiguous
 * path is the fastest. */
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define EXECUTION_SEARCH_X86 1
#else
#define EXECUTION_SEARCH_X86 0
#endif

/* ------------------------------------------------------------------------ */
/* The private arrays.                                                        */

/* Index j of the array of parity p holds diagonal 2j + p. */
enum { FORWARD_EVEN, FORWARD_ODD, REVERSE_EVEN, REVERSE_ODD };

static inline int32_t *private_array(const execution_search_arrays *ar, int which) {
    return ar->block + which * (2 * ar->half + 1) + ar->half;
}

static inline int64_t parity(int64_t k) {
    return k & 1;
}

static inline int64_t index_of(int64_t k) {
    return (k - parity(k)) / 2;
}

static inline int32_t &forward_value(const execution_search_arrays *ar, int64_t k) {
    return private_array(ar, FORWARD_EVEN + static_cast<int>(parity(k)))[index_of(k)];
}

static inline int32_t &reverse_value(const execution_search_arrays *ar, int64_t k) {
    return private_array(ar, REVERSE_EVEN + static_cast<int>(parity(k)))[index_of(k)];
}

/* ------------------------------------------------------------------------ */
/* One pass of the fast search.                                              */

/* Lanes a windowed probe probed, and those its window served. */
typedef struct window_tally {
    int64_t probed, served;
} window_tally;

/*
 * A pass over the diagonals of one parity p in one direction.  Index j is
 * diagonal 2j + p (forward) or reverse diagonal 2j + p (reverse); its two
 * neighbours are `neighbours[j]` (diagonal - 1) and `neighbours[j + 1]`
 * (diagonal + 1) in the previous step's array.
 */
typedef struct pass {
    const uint8_t *a;
    const uint8_t *b;
    int32_t a_last; /* last position of a four-byte read within the values */
    int32_t b_last;
    int32_t a_room; /* bytes readable from a and b, at most INT32_MAX */
    int32_t b_room;
    int32_t old_length;
    int32_t new_length;
    int32_t delta;
    int32_t d;
    int32_t p;
    const int32_t *neighbours;
    int32_t *values;
    /* The meeting test, when this pass makes it: the other direction's
     * value for index j is other[j + other_offset] (an array of the other
     * direction, indexed from its centre). */
    bool tests;
    const int32_t *other;
    int64_t other_offset;
    /* Where a windowed probe counts the lanes it probed and those its
     * window served. */
    window_tally *tally;
} pass;

typedef struct meeting {
    int64_t x_start, x_end, k;
} meeting;

static inline int64_t min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}

/* The forward neighbour rule: the larger x of a deletion from diagonal
 * k + 1 and an insertion from k - 1, written as a maximum so that it
 * compiles without a branch. */
static inline int64_t forward_start(int64_t below, int64_t above) {
    return above + 1 > below ? above + 1 : below;
}

/* The reverse neighbour rule: the smaller x of an insertion from k' + 1 and
 * a deletion from k' - 1. */
static inline int64_t reverse_end(int64_t below, int64_t above) {
    return above < below - 1 ? above : below - 1;
}

static inline bool forward_one(const pass *c, int64_t j, meeting *m) {
    int64_t k = 2 * j + c->p;
    int64_t x = forward_start(c->neighbours[j], c->neighbours[j + 1]);
    int64_t y = x + k;
    int64_t room = min64(c->old_length - x, c->new_length - y);
    int64_t x_end = x;
    if (room > 0 && y >= 0) {
        x_end += common_prefix(c->a + x, c->b + y, room);
    }
    if (c->tests) {
        int64_t t = k + c->delta;
        if (t < c->d && -t < c->d && c->other[j + c->other_offset] <= x_end) {
            *m = meeting{x, x_end, k};
            return true;
        }
    }
    c->values[j] = static_cast<int32_t>(x_end);
    return false;
}

static inline bool reverse_one(const pass *c, int64_t j, meeting *m) {
    int64_t k = 2 * j + c->p - c->delta;
    int64_t x_end = reverse_end(c->neighbours[j], c->neighbours[j + 1]);
    int64_t lower = k < 0 ? -k : 0;
    int64_t x_start = x_end;
    if (x_end > lower && x_end <= c->old_length && x_end + k <= c->new_length) {
        x_start -= common_suffix(c->a + x_end, c->b + x_end + k, x_end - lower);
    }
    if (c->tests && k <= c->d && -k <= c->d && c->other[j + c->other_offset] >= x_start) {
        *m = meeting{x_start, x_end, k};
        return true;
    }
    c->values[j] = static_cast<int32_t>(x_start);
    return false;
}

static inline bool forward_pass_scalar(const pass *c, int64_t j, int64_t j_hi, meeting *m) {
    for (; j <= j_hi; j++) {
        if (forward_one(c, j, m)) {
            return true;
        }
    }
    return false;
}

static inline bool reverse_pass_scalar(const pass *c, int64_t j, int64_t j_hi, meeting *m) {
    for (; j <= j_hi; j++) {
        if (reverse_one(c, j, m)) {
            return true;
        }
    }
    return false;
}

/* ------------------------------------------------------------------------ */
/* A path's kernels.                                                          */

/* One pass over indices j_lo..j_hi; true, with `m` set, on a meeting. */
typedef bool (*execution_search_pass_kernel)(const pass *c, int64_t j_lo, int64_t j_hi, meeting *m);
/* The frontier points of the private arrays, as scan_frontier finds them. */
typedef execution_search_frontier (*execution_search_frontier_kernel)(
    const execution_search_arrays *ar, int64_t old_length, int64_t new_length, int64_t fc,
    int64_t rc);

/*
 * Everything that differs between the fast paths.  The gathering passes
 * are those a direction falls back on while the windowed probe of its
 * passes serves too few lanes; a path without a window has its own passes
 * there.
 */
typedef struct execution_search_kernels {
    execution_search_pass_kernel forward;
    execution_search_pass_kernel reverse;
    execution_search_pass_kernel forward_gathering;
    execution_search_pass_kernel reverse_gathering;
    execution_search_frontier_kernel frontier;
} execution_search_kernels;

/* The kernels of a fast path (EXECUTION_SEARCH_CONTIGUOUS and up), or null
 * for the plain path, which has none. */
const execution_search_kernels *execution_search_kernels_of(int32_t path);

/* The fast search, step for step the plain one, on the private arrays with
 * the given kernels. */
bool execution_search_fast(storage *st, execution_search_arrays *ar,
                           const execution_search_input *in, int32_t step_budget,
                           const execution_search_kernels *kernels, execution_search_outcome *out);

#endif /* TOVAREL_EXECUTION_SEARCH_KERNELS_HPP */
