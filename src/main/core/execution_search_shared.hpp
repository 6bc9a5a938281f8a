/*
 * execution_search_shared.hpp - what the plain and the fast search share:
 * the byte comparisons their slides run, the frontier scan and the
 * progress rule that end a search, the outermost diagonals of a step, and
 * how a search reports its end.  Everything here is small and inline,
 * because it runs inside the searches' innermost loops.
 */
#ifndef TOVAREL_EXECUTION_SEARCH_SHARED_HPP
#define TOVAREL_EXECUTION_SEARCH_SHARED_HPP

#include "buf_compare.hpp"
#include "execution_search.h"

/* The progress rule looks at a search every this many steps ... */
static const int64_t PROGRESS_INTERVAL = 64;
/* ... and takes this much budget from one that advances too slowly. */
static const int64_t PROGRESS_PENALTY = 48;
/* The overlap test runs in the forward pass when delta has all these bits. */
static const int64_t FORWARD_TEST_BITS = 0xB1;

/* ------------------------------------------------------------------------ */
/* Byte comparison: the prefix, suffix and slide loops all land here.        */

/* The searches count positions and rooms as signed numbers, and a room
 * below zero compares nothing; the loops themselves are the core's one
 * byte comparison. */
static inline int64_t common_prefix(const uint8_t *a, const uint8_t *b, int64_t limit) {
    return limit <= 0 ? 0
                      : static_cast<int64_t>(buf_common_prefix(a, b, static_cast<uint64_t>(limit)));
}

static inline int64_t common_suffix(const uint8_t *a_end, const uint8_t *b_end, int64_t limit) {
    return limit <= 0 ? 0
                      : static_cast<int64_t>(
                            buf_common_suffix(a_end, b_end, static_cast<uint64_t>(limit)));
}

/* ------------------------------------------------------------------------ */
/* Counters of the benchmark build.                                          */

#ifdef TOVAREL_ENGINE_COUNTERS
/* Defined with the entry; every search's translation unit adds to it. */
extern execution_search_counters execution_search_tally;
#define COUNT(field, n) (execution_search_tally.field += static_cast<uint64_t>(n))
#else
#define COUNT(field, n) ((void)0)
#endif

/* Counts a pass's visits to diagonals first, first + 2, ..., last (none
 * when last is below first) once per pass, so that the counting stays out
 * of the loops it measures. */
static inline void count_visits(int64_t first, int64_t last) {
    if (last >= first) {
        COUNT(visits, (last - first) / 2 + 1);
    }
    (void)first;
    (void)last;
}

/* ------------------------------------------------------------------------ */
/* Frontier points and the progress rule.                                    */

/* A forward value on diagonal k clamped into the comparison, and a reverse
 * value on forward diagonal k likewise. */
static inline int64_t forward_point(int64_t x, int64_t k, int64_t old_length, int64_t new_length) {
    if (x > old_length) {
        x = old_length;
    }
    return x > new_length - k ? new_length - k : x;
}

static inline int64_t reverse_point(int64_t x, int64_t k) {
    if (x < 0) {
        x = 0;
    }
    return x < -k ? -k : x;
}

/*
 * Forward point with the largest x + y over forward diagonals -F..R, reverse
 * point with the smallest over reverse diagonals -R..F, both clamped into
 * the comparison.  Sums are compared as unsigned 32-bit values and ties
 * keep the lower diagonal.  `forward` and `reverse` read a diagonal's value.
 */
template <class Forward, class Reverse>
static execution_search_frontier scan_frontier(Forward forward, Reverse reverse, int64_t old_length,
                                               int64_t new_length, int64_t forward_corner,
                                               int64_t reverse_corner) {
    execution_search_frontier f = {0, 0, old_length, new_length};
    uint32_t best = 0;
    for (int64_t k = -forward_corner; k <= reverse_corner; k += 2) {
        int64_t x = forward_point(forward(k), k, old_length, new_length);
        uint32_t sum = static_cast<uint32_t>(x + x + k);
        if (sum > best) {
            best = sum;
            f.fx = x;
            f.fy = x + k;
        }
    }
    int64_t delta = old_length - new_length;
    best = static_cast<uint32_t>(old_length + new_length);
    for (int64_t kr = -reverse_corner; kr <= forward_corner; kr += 2) {
        int64_t k = kr - delta;
        int64_t x = reverse_point(reverse(kr), k);
        uint32_t sum = static_cast<uint32_t>(x + x + k);
        if (sum < best) {
            best = sum;
            f.rx = x;
            f.ry = x + k;
        }
    }
    return f;
}

/*
 * Progress rule threshold for step D: D * 2^c with c the number of base-4
 * digits of D, about D^1.5.  A search whose two frontiers together have
 * covered less than that is not finding long snakes.
 */
static inline uint64_t progress_threshold(int64_t d) {
    int shift = 0;
    for (int64_t rest = d; rest != 0; rest >>= 2) {
        shift++;
    }
    return static_cast<uint64_t>(d) << shift;
}

static inline bool too_slow(const execution_search_frontier &f, int64_t old_length,
                            int64_t new_length, int64_t d) {
    uint64_t progress =
        static_cast<uint64_t>(f.fx + f.fy + (old_length - f.rx) + (new_length - f.ry));
    return progress < progress_threshold(d);
}

/*
 * The end of a step, shared by both searches: the progress rule every 64
 * steps (a cut takes effect from the next step on), else the budget check.
 * True when the search must bail out now.
 */
template <class Frontier>
static bool step_ends_search(Frontier frontier, int64_t old_length, int64_t new_length, int64_t d,
                             int64_t *budget) {
    if (d % PROGRESS_INTERVAL == 0 && too_slow(frontier(), old_length, new_length, d)) {
        *budget -= PROGRESS_PENALTY;
        return false;
    }
    return *budget < d;
}

/* The outermost diagonal step d reaches within `length` bytes. */
/* The outermost diagonal a path of `step` edits can reach within `length`
 * bytes: every edit beyond the length must be undone by one in the other
 * direction.  The figures are int32 ones, as the engine's positions are. */
static inline int32_t corner32(int32_t step, int32_t length) {
    if (step <= length) {
        return step;
    }
    return static_cast<int32_t>(2 * int64_t{length} - step);
}

static inline int64_t corner(int64_t d, int64_t length) {
    return corner32(static_cast<int32_t>(d), static_cast<int32_t>(length));
}

static inline void record_bail(execution_search_outcome *out, int64_t fc, int64_t rc,
                               int64_t budget, const execution_search_frontier &frontier) {
    out->met = false;
    out->frontier = frontier;
    out->forward_corner = fc;
    out->reverse_corner = rc;
    out->budget = static_cast<int32_t>(budget);
}

static inline void record_meeting(execution_search_outcome *out, int64_t x_start, int64_t x_end,
                                  int64_t k) {
    out->met = true;
    out->x_start = x_start;
    out->x_end = x_end;
    out->diagonal = k;
}

/* ------------------------------------------------------------------------ */
/* The storage's slot layout, which the plain search works in and the fast
 * search copies its values back into: diagonals 0, -1, 1, -2, ... take four
 * slots each, the forward value first and the reverse value two on.       */

static inline int64_t forward_slot(int64_t k) {
    return k >= 0 ? 4 * k : -4 * k - 1;
}
static inline int64_t reverse_slot(int64_t k) {
    return forward_slot(k) + 2;
}

/* The plain search, on the storage's slots: the oracle of the fast one. */
bool execution_search_plain(storage *st, const execution_search_input *in, int32_t step_budget,
                            execution_search_outcome *out);

#endif /* TOVAREL_EXECUTION_SEARCH_SHARED_HPP */
