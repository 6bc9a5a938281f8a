/*
 * execution_search.cpp - the middle-snake search: forward and reverse
 * searches in lockstep until their paths meet, with the step budget, the
 * progress rule and the storage allowance deciding when a search gives up.
 *
 * Two implementations of the same search live here.  The plain one works
 * on the storage's interleaved slots, one diagonal at a time; it is the
 * fallback and the oracle the others are tested against.  The fast one
 * keeps the values of each direction and parity of the diagonal in an
 * array of its own: a pass over the diagonals of one parity then reads its
 * two neighbours from one contiguous array of the other parity and writes
 * one contiguous array, so it runs several diagonals per instruction.  For
 * each block of diagonals it works out where each slide starts, compares
 * the first byte of every slide at once (from a small window of the value
 * when the block's positions lie close together, by gathering otherwise)
 * and leaves only the diagonals whose first bytes match to the scalar
 * eight-bytes-at-a-time slide.
 *
 * Both read exactly the values the storage would hold: unreached diagonals
 * hold the fill values, stale ones are never read, and the fast search
 * copies its values back into the storage when it ends, so the bail-out
 * and any caller that looks at the storage find what the plain search
 * would have left.  A meeting is taken on the lowest diagonal of the pass
 * in both.
 */
#include "execution_search.h"

#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define EXECUTION_SEARCH_X86 1
#include <immintrin.h>
#else
#define EXECUTION_SEARCH_X86 0
#endif

#include "myers_binary_diff.h"

/* The progress rule looks at a search every this many steps ... */
static const int64_t PROGRESS_INTERVAL = 64;
/* ... and takes this much budget from one that advances too slowly. */
static const int64_t PROGRESS_PENALTY = 48;
/* The overlap test runs in the forward pass when delta has all these bits. */
static const int64_t FORWARD_TEST_BITS = 0xB1;
/* The fast passes compute in int32 lanes.  Below this length no position,
 * diagonal or sum they form leaves the int32 range; longer comparisons
 * take the plain path. */
static const int64_t LANE_SAFE_LENGTH = int64_t{1} << 29;
/* Private array entries kept beyond the farthest diagonal a step reads, so
 * that a block of lanes straddling the edge of the tested range loads from
 * inside the arrays. */
static const int64_t ARRAY_MARGIN = 32;
/* Passes over at most this many diagonals run one diagonal at a time. */
static const int64_t NARROW_PASS = 4;
/* Diagonals around 0 that a fresh search sets to the fill values. */
static const int64_t FIRST_FILLED = 2;

/* ------------------------------------------------------------------------ */
/* Byte comparison: the prefix, suffix and slide loops all land here.        */

/* Index of the first differing byte within an eight-byte XOR difference
 * taken in memory order (from the low address) or from the high address. */
static inline int64_t first_difference_from_low(uint64_t difference) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::countr_zero(difference) >> 3;
    } else {
        return std::countl_zero(difference) >> 3;
    }
}

static inline int64_t first_difference_from_high(uint64_t difference) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::countl_zero(difference) >> 3;
    } else {
        return std::countr_zero(difference) >> 3;
    }
}

static inline uint64_t load_word(const uint8_t *p) {
    uint64_t word;
    memcpy(&word, p, sizeof(word));
    return word;
}

static inline int64_t common_prefix(const uint8_t *a, const uint8_t *b, int64_t limit) {
    int64_t i = 0;
    while (limit - i >= 8) {
        uint64_t difference = load_word(a + i) ^ load_word(b + i);
        if (difference != 0) {
            return i + first_difference_from_low(difference);
        }
        i += 8;
    }
    while (i < limit && a[i] == b[i]) {
        i++;
    }
    return i;
}

static inline int64_t common_suffix(const uint8_t *a_end, const uint8_t *b_end, int64_t limit) {
    int64_t i = 0;
    while (limit - i >= 8) {
        uint64_t difference = load_word(a_end - i - 8) ^ load_word(b_end - i - 8);
        if (difference != 0) {
            return i + first_difference_from_high(difference);
        }
        i += 8;
    }
    while (i < limit && a_end[-1 - i] == b_end[-1 - i]) {
        i++;
    }
    return i;
}

int64_t execution_search_common_prefix(const uint8_t *a, const uint8_t *b, int64_t limit) {
    return common_prefix(a, b, limit);
}

int64_t execution_search_common_suffix(const uint8_t *a_end, const uint8_t *b_end, int64_t limit) {
    return common_suffix(a_end, b_end, limit);
}

/* ------------------------------------------------------------------------ */
/* Counters of the benchmark build.                                          */

#ifdef TOVAREL_ENGINE_COUNTERS
static execution_search_counters counters;
#define COUNT(field, n) (counters.field += static_cast<uint64_t>(n))
execution_search_counters execution_search_counts(void) {
    return counters;
}
void execution_search_counts_reset(void) {
    counters = execution_search_counters{};
}
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
/* Choosing the path.                                                        */

/* The widest path this processor runs; each path needs what the ones
 * before it need. */
static int32_t detect_best_path() {
#if EXECUTION_SEARCH_X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512cd")) {
        return __builtin_cpu_supports("avx512vbmi") ? EXECUTION_SEARCH_AVX512_VBMI
                                                    : EXECUTION_SEARCH_AVX512;
    }
    return __builtin_cpu_supports("avx2") ? EXECUTION_SEARCH_AVX2 : EXECUTION_SEARCH_SSE2;
#else
    return EXECUTION_SEARCH_CONTIGUOUS;
#endif
}

static int32_t best_path() {
    static const int32_t best = detect_best_path();
    return best;
}

static std::atomic<int32_t> forced_path{EXECUTION_SEARCH_AUTO};

bool execution_search_path_supported(int32_t path) {
    return path >= EXECUTION_SEARCH_PLAIN && path <= best_path();
}

int32_t execution_search_path(void) {
    int32_t forced = forced_path.load(std::memory_order_relaxed);
    return forced == EXECUTION_SEARCH_AUTO ? best_path() : forced;
}

bool _execution_search_force_path(int32_t path) {
    if (path != EXECUTION_SEARCH_AUTO && !execution_search_path_supported(path)) {
        return false;
    }
    forced_path.store(path, std::memory_order_relaxed);
    return true;
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

/* The checked getters keep a caller-supplied corner pair from reading past
 * the array. */
execution_search_frontier execution_search_frontier_points(const storage *st, int64_t old_length,
                                                           int64_t new_length,
                                                           int64_t forward_corner,
                                                           int64_t reverse_corner) {
    return scan_frontier(
        [st](int64_t k) { return storage_key_forward_get(st, static_cast<int32_t>(k)); },
        [st](int64_t k) { return storage_key_reverse_get(st, static_cast<int32_t>(k)); },
        old_length, new_length, forward_corner, reverse_corner);
}

/*
 * Progress rule threshold for step D: D * 2^c with c the number of base-4
 * digits of D, about D^1.5.  A search whose two frontiers together have
 * covered less than that is not finding long snakes.
 */
static uint64_t progress_threshold(int64_t d) {
    int shift = 0;
    for (int64_t rest = d; rest != 0; rest >>= 2) {
        shift++;
    }
    return static_cast<uint64_t>(d) << shift;
}

static bool too_slow(const execution_search_frontier &f, int64_t old_length, int64_t new_length,
                     int64_t d) {
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
static int64_t corner(int64_t d, int64_t length) {
    return myers_binary_diff_corner(static_cast<int32_t>(d), static_cast<int32_t>(length));
}

static void record_bail(execution_search_outcome *out, int64_t fc, int64_t rc, int64_t budget,
                        const execution_search_frontier &frontier) {
    out->met = false;
    out->frontier = frontier;
    out->forward_corner = fc;
    out->reverse_corner = rc;
    out->budget = static_cast<int32_t>(budget);
}

static void record_meeting(execution_search_outcome *out, int64_t x_start, int64_t x_end,
                           int64_t k) {
    out->met = true;
    out->x_start = x_start;
    out->x_end = x_end;
    out->diagonal = k;
}

/* ------------------------------------------------------------------------ */
/* The plain search, on the storage's slots.                                 */

static inline int64_t forward_slot(int64_t k) {
    return k >= 0 ? 4 * k : -4 * k - 1;
}
static inline int64_t reverse_slot(int64_t k) {
    return forward_slot(k) + 2;
}

/*
 * Which pass looks for the meeting is fixed by bits of delta (not by its
 * parity): either choice finds a valid split, and this choice decides which
 * one.  Values are stored unclamped; the slides never read outside the
 * ranges.
 */
static bool plain_search(storage *st, const execution_search_input *in, int32_t step_budget,
                         execution_search_outcome *out) {
    if (!storage_initialise(st, 1)) {
        return false;
    }
    int64_t old_length = in->old_length;
    int64_t new_length = in->new_length;
    int32_t *v = st->slots;
    v[forward_slot(0)] = 0;
    v[reverse_slot(0)] = static_cast<int32_t>(old_length);
    const uint8_t *a = in->a;
    const uint8_t *b = in->b;
    int64_t delta = old_length - new_length;
    bool forward_tests = (delta & FORWARD_TEST_BITS) == FORWARD_TEST_BITS;
    int64_t budget = step_budget;

    for (int64_t d = 1;; d++) {
        COUNT(steps, 1);
        int64_t fc = corner(d, old_length);
        int64_t rc = corner(d, new_length);

        for (int64_t k = -fc; k <= rc; k += 2) {
            int64_t above = v[forward_slot(k + 1)];
            int64_t below = v[forward_slot(k - 1)];
            int64_t x_start = above >= below ? above + 1 : below;
            int64_t y = x_start + k;
            int64_t room =
                old_length - x_start < new_length - y ? old_length - x_start : new_length - y;
            int64_t x_end = x_start;
            if (room > 0 && y >= 0) {
                x_end += common_prefix(a + x_start, b + y, room);
            }
            if (forward_tests && k + delta < d && -(k + delta) < d &&
                v[reverse_slot(k + delta)] <= x_end) {
                count_visits(-fc, k);
                record_meeting(out, x_start, x_end, k);
                return true;
            }
            v[forward_slot(k)] = static_cast<int32_t>(x_end);
        }
        count_visits(-fc, rc);

        for (int64_t kr = -rc; kr <= fc; kr += 2) {
            int64_t k = kr - delta;
            int64_t above = v[reverse_slot(kr + 1)];
            int64_t below = v[reverse_slot(kr - 1)];
            int64_t x_end = above < below ? above : below - 1;
            int64_t lower = k < 0 ? -k : 0;
            int64_t x_start = x_end;
            if (x_end > lower && x_end <= old_length && x_end + k <= new_length) {
                x_start -= common_suffix(a + x_end, b + x_end + k, x_end - lower);
            }
            if (!forward_tests && k <= d && -k <= d && v[forward_slot(k)] >= x_start) {
                count_visits(-rc, kr);
                record_meeting(out, x_start, x_end, k);
                return true;
            }
            v[reverse_slot(kr)] = static_cast<int32_t>(x_start);
        }
        count_visits(-rc, fc);

        auto frontier = [&] {
            return execution_search_frontier_points(st, old_length, new_length, fc, rc);
        };
        if (step_ends_search(frontier, old_length, new_length, d, &budget)) {
            record_bail(out, fc, rc, budget, frontier());
            return true;
        }
        if (!storage_extend(st, static_cast<int32_t>(d + 1))) {
            return false;
        }
        v = st->slots;
    }
}

/* ------------------------------------------------------------------------ */
/* The private arrays of the fast search.                                    */

/* Index j of the array of parity p holds diagonal 2j + p. */
enum { FORWARD_EVEN, FORWARD_ODD, REVERSE_EVEN, REVERSE_ODD };

static int32_t *private_array(const execution_search_arrays *ar, int which) {
    return ar->block + which * (2 * ar->half + 1) + ar->half;
}

static int64_t parity(int64_t k) {
    return k & 1;
}

static int64_t index_of(int64_t k) {
    return (k - parity(k)) / 2;
}

static int32_t &forward_value(const execution_search_arrays *ar, int64_t k) {
    return private_array(ar, FORWARD_EVEN + static_cast<int>(parity(k)))[index_of(k)];
}

static int32_t &reverse_value(const execution_search_arrays *ar, int64_t k) {
    return private_array(ar, REVERSE_EVEN + static_cast<int>(parity(k)))[index_of(k)];
}

/* Makes room for the diagonals step `steps` reads, and the margin.  The
 * arrays grow geometrically and keep their values; a failed allocation
 * leaves them as they were. */
static bool arrays_reserve(execution_search_arrays *ar, int64_t steps) {
    int64_t need = (steps + 3) / 2 + 1 + ARRAY_MARGIN;
    if (ar->half >= need) {
        return true;
    }
    int64_t half = need > 2 * ar->half ? need : 2 * ar->half;
    size_t length = static_cast<size_t>(2 * half + 1);
    int32_t *block = static_cast<int32_t *>(calloc(4 * length, sizeof(int32_t)));
    if (block == nullptr) {
        return false;
    }
    if (ar->block != nullptr) {
        size_t old_length = static_cast<size_t>(2 * ar->half + 1);
        for (size_t which = 0; which < 4; which++) {
            memcpy(block + which * length + (half - ar->half), ar->block + which * old_length,
                   old_length * sizeof(int32_t));
        }
    }
    free(ar->block);
    ar->block = block;
    ar->half = half;
    return true;
}

void execution_search_arrays_release(execution_search_arrays *ar) {
    free(ar->block);
    ar->block = nullptr;
    ar->half = 0;
}

static void fill_diagonal(const execution_search_arrays *ar, int64_t k) {
    forward_value(ar, k) = STORAGE_FORWARD_FILL;
    reverse_value(ar, k) = STORAGE_REVERSE_FILL;
}

/*
 * Leaves the storage as the plain search leaves it after step d with the
 * storage extended to n steps (n is d, or d + 1 when the search stopped
 * after extending it): diagonals -(d + 1)..d + 1 hold the values and the
 * diagonals beyond, through +-(n + 2), the fill values the extensions
 * wrote.  Nothing further out was written by this search, and everything
 * within was, so the per-step fills the fast search skips cannot show.
 */
static void write_back(const execution_search_arrays *ar, storage *st, int64_t d, int64_t n) {
    int32_t *v = st->slots;
    for (int64_t k = -(d + 1); k <= d + 1; k++) {
        v[forward_slot(k)] = forward_value(ar, k);
        v[reverse_slot(k)] = reverse_value(ar, k);
    }
    for (int64_t k = d + 2; k <= n + 2; k++) {
        v[forward_slot(-k)] = v[forward_slot(k)] = STORAGE_FORWARD_FILL;
        v[reverse_slot(-k)] = v[reverse_slot(k)] = STORAGE_REVERSE_FILL;
    }
}

/* storage_extend without its fill, which write_back makes up for: the same
 * allowance check and the same growth, at the same steps. */
static bool extend_unfilled(storage *st, int64_t steps) {
    return static_cast<uint32_t>(steps) <= st->max_steps &&
           storage_ensure(st, static_cast<int32_t>(steps));
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

static bool forward_pass_scalar(const pass *c, int64_t j, int64_t j_hi, meeting *m) {
    for (; j <= j_hi; j++) {
        if (forward_one(c, j, m)) {
            return true;
        }
    }
    return false;
}

static bool reverse_pass_scalar(const pass *c, int64_t j, int64_t j_hi, meeting *m) {
    for (; j <= j_hi; j++) {
        if (reverse_one(c, j, m)) {
            return true;
        }
    }
    return false;
}

/*
 * Where a probe window of `width` bytes starts when it reaches `below`
 * bytes under the first lane's position, kept within the `room` readable
 * bytes; -1 when the value is too short.  Along a pass the old-value
 * positions of neighbouring lanes usually fall by about one per lane and
 * the new-value positions rise by about one, so the window is placed to
 * catch those; lanes outside it are found by a compare and gathered.
 */
static inline int32_t window_start(int32_t first, int32_t below, int32_t width, int32_t room) {
    if (room < width) {
        return -1;
    }
    int32_t start = first - below;
    if (start > room - width) {
        start = room - width;
    }
    return start < 0 ? 0 : start;
}

/* Lanes whose first bytes at pa and pb match, or could not be compared
 * here: they go on to the scalar slide.  Other lanes end where they start. */
static inline uint32_t probe_scalar_lanes(const pass *c, const int32_t *pa, const int32_t *pb,
                                          uint32_t need) {
    uint32_t slide = 0;
    while (need != 0) {
        int lane = std::countr_zero(need);
        need &= need - 1;
        if (c->a[pa[lane]] == c->b[pb[lane]]) {
            slide |= 1u << lane;
        }
    }
    return slide;
}

#if EXECUTION_SEARCH_X86

/* ------------------------------------------------------------------------ */
/* Lane operations per instruction set.  Masks are vectors of all-ones lanes
 * below AVX-512 and mask registers from it on.                              */

/* GCC's AVX-512 headers fill unused result lanes from a deliberately
 * undefined vector, which its own flow analysis then reports. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define ALWAYS_INLINE inline __attribute__((always_inline))
#define TARGET_SSE2
#define TARGET_AVX2 __attribute__((target("avx2")))
#define TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512cd")))
#define TARGET_AVX512_VBMI                                                                         \
    __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512cd,avx512vbmi")))

struct lanes_sse2 {
    typedef __m128i vec;
    typedef __m128i mask;
    static const int LANES = 4;
    static const bool PARTIAL = false;
    static ALWAYS_INLINE vec load(const int32_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static ALWAYS_INLINE void store(int32_t *p, vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
    }
    static ALWAYS_INLINE vec set1(int32_t v) { return _mm_set1_epi32(v); }
    static ALWAYS_INLINE vec steps_of_two() { return _mm_setr_epi32(0, 2, 4, 6); }
    static ALWAYS_INLINE vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
    static ALWAYS_INLINE vec sub(vec a, vec b) { return _mm_sub_epi32(a, b); }
    static ALWAYS_INLINE mask gt(vec a, vec b) { return _mm_cmpgt_epi32(a, b); }
    static ALWAYS_INLINE vec pick(mask m, vec a, vec b) {
        return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
    }
    static ALWAYS_INLINE vec max(vec a, vec b) { return pick(gt(a, b), a, b); }
    static ALWAYS_INLINE vec min(vec a, vec b) { return pick(gt(a, b), b, a); }
    static ALWAYS_INLINE mask both(mask a, mask b) { return _mm_and_si128(a, b); }
    static ALWAYS_INLINE mask but_not(mask a, mask b) { return _mm_andnot_si128(b, a); }
    static ALWAYS_INLINE uint32_t bits(mask m) {
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(m)));
    }
    /* Four lanes are too few to be worth a partial block. */
    static ALWAYS_INLINE mask first_lanes(int n) { return gt(set1(n), _mm_setr_epi32(0, 1, 2, 3)); }
    static ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        alignas(16) int32_t lanes[LANES];
        store(lanes, v);
        for (uint32_t rest = bits(m); rest != 0; rest &= rest - 1) {
            p[std::countr_zero(rest)] = lanes[std::countr_zero(rest)];
        }
    }
    template <bool FORWARD>
    static ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need, vec,
                                        vec *advance) {
        *advance = set1(0);
        uint32_t need_bits = bits(need);
        if (need_bits == 0) {
            return 0;
        }
        alignas(16) int32_t a_at[LANES], b_at[LANES];
        store(a_at, pa);
        store(b_at, pb);
        return probe_scalar_lanes(c, a_at, b_at, need_bits);
    }
};

struct lanes_avx2 {
    typedef __m256i vec;
    typedef __m256i mask;
    static const int LANES = 8;
    static const bool PARTIAL = true;
    static const int32_t WINDOW = 16;
    static const int32_t OLD_BELOW = 11; /* old-value positions fall along the lanes */
    static const int32_t NEW_BELOW = 4;  /* new-value positions rise */
    static TARGET_AVX2 ALWAYS_INLINE vec load(const int32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static TARGET_AVX2 ALWAYS_INLINE void store(int32_t *p, vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
    }
    static TARGET_AVX2 ALWAYS_INLINE vec set1(int32_t v) { return _mm256_set1_epi32(v); }
    static TARGET_AVX2 ALWAYS_INLINE vec steps_of_two() {
        return _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    }
    static TARGET_AVX2 ALWAYS_INLINE vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec sub(vec a, vec b) { return _mm256_sub_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec max(vec a, vec b) { return _mm256_max_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec min(vec a, vec b) { return _mm256_min_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask gt(vec a, vec b) { return _mm256_cmpgt_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask both(mask a, mask b) { return _mm256_and_si256(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask but_not(mask a, mask b) {
        return _mm256_andnot_si256(b, a);
    }
    static TARGET_AVX2 ALWAYS_INLINE uint32_t bits(mask m) {
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
    }
    static TARGET_AVX2 ALWAYS_INLINE mask first_lanes(int n) {
        return gt(set1(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static TARGET_AVX2 ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        _mm256_maskstore_epi32(p, m, v);
    }
    /* Lanes whose position lies in the window from `start`. */
    static TARGET_AVX2 ALWAYS_INLINE mask in_window(vec at, int32_t start) {
        vec offset = sub(at, set1(start));
        return both(gt(offset, set1(-1)), gt(set1(WINDOW), offset));
    }
    /* The byte at each lane's position, from a 16-byte window copied into
     * both halves: a byte shuffle whose control keeps only the low byte. */
    static TARGET_AVX2 ALWAYS_INLINE vec window_bytes(const uint8_t *p, int32_t start, vec at) {
        vec window = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + start)));
        vec control =
            _mm256_or_si256(sub(at, set1(start)), set1(static_cast<int32_t>(0xFFFFFF00u)));
        return _mm256_shuffle_epi8(window, control);
    }
    template <bool FORWARD>
    static TARGET_AVX2 ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need, vec,
                                                    vec *advance) {
        *advance = set1(0);
        uint32_t need_bits = bits(need);
        if (need_bits == 0) {
            return 0;
        }
        uint32_t differ = 0;
        mask rest = need;
        int32_t a_start = window_start(_mm256_cvtsi256_si32(pa), OLD_BELOW, WINDOW, c->a_room);
        int32_t b_start = window_start(_mm256_cvtsi256_si32(pb), NEW_BELOW, WINDOW, c->b_room);
        if (a_start >= 0 && b_start >= 0) {
            mask inside = both(need, both(in_window(pa, a_start), in_window(pb, b_start)));
            vec same = _mm256_cmpeq_epi32(window_bytes(c->a, a_start, pa),
                                          window_bytes(c->b, b_start, pb));
            differ = bits(but_not(inside, same));
            rest = but_not(need, inside);
        }
        mask gather = both(rest, both(gt(set1(c->a_last + 1), pa), gt(set1(c->b_last + 1), pb)));
        if (bits(gather) != 0) {
            const int *a = reinterpret_cast<const int *>(c->a);
            const int *b = reinterpret_cast<const int *>(c->b);
            vec zero = _mm256_setzero_si256();
            vec ga = _mm256_mask_i32gather_epi32(zero, a, pa, gather, 1);
            vec gb = _mm256_mask_i32gather_epi32(zero, b, pb, gather, 1);
            vec low = _mm256_and_si256(_mm256_xor_si256(ga, gb), set1(0xFF));
            differ |= bits(but_not(gather, _mm256_cmpeq_epi32(low, zero)));
        }
        return need_bits & ~differ;
    }
};

/* AVX-512 with gathered probes. */
struct lanes_avx512 {
    typedef __m512i vec;
    typedef __mmask16 mask;
    static const int LANES = 16;
    static const bool PARTIAL = true;
    static TARGET_AVX512 ALWAYS_INLINE vec load(const int32_t *p) { return _mm512_loadu_si512(p); }
    static TARGET_AVX512 ALWAYS_INLINE void store(int32_t *p, vec v) { _mm512_storeu_si512(p, v); }
    static TARGET_AVX512 ALWAYS_INLINE vec set1(int32_t v) { return _mm512_set1_epi32(v); }
    static TARGET_AVX512 ALWAYS_INLINE vec steps_of_two() {
        return _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    }
    static TARGET_AVX512 ALWAYS_INLINE vec add(vec a, vec b) { return _mm512_add_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec sub(vec a, vec b) { return _mm512_sub_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec max(vec a, vec b) { return _mm512_max_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec min(vec a, vec b) { return _mm512_min_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE mask gt(vec a, vec b) {
        return _mm512_cmpgt_epi32_mask(a, b);
    }
    static TARGET_AVX512 ALWAYS_INLINE mask both(mask a, mask b) {
        return static_cast<mask>(a & b);
    }
    static TARGET_AVX512 ALWAYS_INLINE mask but_not(mask a, mask b) {
        return static_cast<mask>(a & ~b);
    }
    static TARGET_AVX512 ALWAYS_INLINE uint32_t bits(mask m) { return m; }
    static TARGET_AVX512 ALWAYS_INLINE mask first_lanes(int n) {
        return static_cast<mask>((1u << n) - 1);
    }
    static TARGET_AVX512 ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        _mm512_mask_storeu_epi32(p, m, v);
    }
    /*
     * Bytes that match in a four-byte difference, counted from the slide's
     * first byte: from the low byte going forward, from the high byte going
     * back (the four bytes then end at the slide's first byte).
     */
    template <bool FORWARD> static TARGET_AVX512 ALWAYS_INLINE vec matched(vec difference) {
        if constexpr (FORWARD) {
            vec lowest = _mm512_and_si512(difference, sub(set1(0), difference));
            vec bit = sub(set1(31), _mm512_lzcnt_epi32(lowest));
            return _mm512_mask_mov_epi32(_mm512_srai_epi32(bit, 3),
                                         _mm512_testn_epi32_mask(difference, difference), set1(4));
        } else {
            return _mm512_srli_epi32(_mm512_lzcnt_epi32(difference), 3);
        }
    }
    /*
     * Finishes a probe: `difference` holds the four-byte differences of the
     * `probed` lanes.  Lanes whose first bytes differ end where they start;
     * a slide of fewer than four bytes (or cut short by the room) is done
     * here; the rest, and the lanes of `need` nobody probed, go on to the
     * scalar slide.
     */
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE uint32_t settle(vec difference, mask need, mask probed,
                                                       vec room, vec *advance) {
        const int32_t first_byte = FORWARD ? 0xFF : static_cast<int32_t>(0xFF000000u);
        mask first_same = _mm512_mask_testn_epi32_mask(probed, difference, set1(first_byte));
        mask unprobed = but_not(need, probed);
        if (first_same == 0) {
            *advance = set1(0);
            return unprobed;
        }
        vec count = matched<FORWARD>(difference);
        mask longer = _mm512_mask_cmpeq_epi32_mask(first_same, count, set1(4));
        longer = _mm512_mask_cmpgt_epi32_mask(longer, room, set1(4));
        *advance = _mm512_maskz_min_epi32(but_not(first_same, longer), count, room);
        return static_cast<uint32_t>(unprobed | longer);
    }
    /* Where the four bytes a probe compares begin. */
    template <bool FORWARD> static TARGET_AVX512 ALWAYS_INLINE vec four_from(vec at) {
        return FORWARD ? at : sub(at, set1(3));
    }
    /* Gathers the four bytes of the lanes in `rest` that lie within the
     * values into `difference`; returns those lanes. */
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE mask gather(const pass *c, vec pa, vec pb, mask rest,
                                                   vec *difference) {
        if (c->a_last < 0 || c->b_last < 0) {
            return 0;
        }
        vec qa = four_from<FORWARD>(pa), qb = four_from<FORWARD>(pb);
        mask inside = _mm512_mask_cmple_epu32_mask(rest, qa, set1(c->a_last));
        inside = _mm512_mask_cmple_epu32_mask(inside, qb, set1(c->b_last));
        if (inside != 0) {
            vec ga = _mm512_mask_i32gather_epi32(*difference, inside, qa, c->a, 1);
            vec gb = _mm512_mask_i32gather_epi32(*difference, inside, qb, c->b, 1);
            *difference = _mm512_mask_xor_epi32(*difference, inside, ga, gb);
        }
        return inside;
    }
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need,
                                                      vec room, vec *advance) {
        if (need == 0) {
            *advance = set1(0);
            return 0;
        }
        vec difference = set1(0);
        mask probed = gather<FORWARD>(c, pa, pb, need, &difference);
        return settle<FORWARD>(difference, need, probed, room, advance);
    }
};

/* AVX-512 with a byte permutation over a 64-byte window of each value,
 * which serves every lane whose four bytes fall inside it. */
struct lanes_avx512_vbmi : lanes_avx512 {
    static const int32_t WINDOW = 64;
    static const int32_t OLD_BELOW = 48;
    static const int32_t NEW_BELOW = 16;
    /* Each lane's four bytes from `offset` on in the window. */
    static TARGET_AVX512_VBMI ALWAYS_INLINE vec window_four(const uint8_t *p, int32_t start,
                                                            vec offset) {
        /* The offset's low byte into all four bytes of its lane, plus 0..3. */
        const vec low_byte = _mm512_set4_epi32(0x0C0C0C0C, 0x08080808, 0x04040404, 0x00000000);
        vec index =
            _mm512_add_epi32(_mm512_shuffle_epi8(offset, low_byte), _mm512_set1_epi32(0x03020100));
        return _mm512_permutexvar_epi8(index, _mm512_loadu_si512(p + start));
    }
    template <bool FORWARD>
    static TARGET_AVX512_VBMI ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need,
                                                           vec room, vec *advance) {
        if (need == 0) {
            *advance = set1(0);
            return 0;
        }
        vec qa = four_from<FORWARD>(pa), qb = four_from<FORWARD>(pb);
        int32_t a_start = window_start(_mm512_cvtsi512_si32(qa), OLD_BELOW, WINDOW, c->a_room);
        int32_t b_start = window_start(_mm512_cvtsi512_si32(qb), NEW_BELOW, WINDOW, c->b_room);
        vec difference = set1(0);
        mask inside = 0;
        if (a_start >= 0 && b_start >= 0) {
            vec a_offset = sub(qa, set1(a_start));
            vec b_offset = sub(qb, set1(b_start));
            inside = _mm512_mask_cmple_epu32_mask(need, a_offset, set1(WINDOW - 4));
            inside = _mm512_mask_cmple_epu32_mask(inside, b_offset, set1(WINDOW - 4));
            difference = _mm512_xor_si512(window_four(c->a, a_start, a_offset),
                                          window_four(c->b, b_start, b_offset));
        }
        mask rest = but_not(need, inside);
        mask probed = inside;
        c->tally->probed += std::popcount(static_cast<uint32_t>(need));
        c->tally->served += std::popcount(static_cast<uint32_t>(inside));
        if (rest != 0) {
            probed |= gather<FORWARD>(c, pa, pb, rest, &difference);
        }
        return settle<FORWARD>(difference, need, probed, room, advance);
    }
};

/* The passes, once per instruction set. */
#define LANES_TYPE lanes_sse2
#define LANES_TARGET TARGET_SSE2
#define LANES_NAME(name) name##_sse2
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx2
#define LANES_TARGET TARGET_AVX2
#define LANES_NAME(name) name##_avx2
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx512
#define LANES_TARGET TARGET_AVX512
#define LANES_NAME(name) name##_avx512
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx512_vbmi
#define LANES_TARGET TARGET_AVX512_VBMI
#define LANES_NAME(name) name##_avx512_vbmi
#include "execution_search_passes.inc"

/*
 * The sums x + y of the values at indices j..j + 15 (those below `end`) of
 * a private array (diagonal 2j + p, forward diagonal 2j + p - delta for the
 * reverse values), clamped as the frontier scan clamps them.
 */
template <bool FORWARD>
TARGET_AVX512 static ALWAYS_INLINE __m512i frontier_sums(const int32_t *values, int64_t j,
                                                         __mmask16 valid, int64_t p, int64_t delta,
                                                         int32_t old_length, int32_t new_length) {
    typedef lanes_avx512 V;
    V::vec x = _mm512_maskz_loadu_epi32(valid, values + j);
    V::vec k =
        V::add(V::set1(static_cast<int32_t>(2 * j + p - (FORWARD ? 0 : delta))), V::steps_of_two());
    if constexpr (FORWARD) {
        x = V::min(V::min(x, V::set1(old_length)), V::sub(V::set1(new_length), k));
    } else {
        x = V::max(V::max(x, V::set1(0)), V::sub(V::set1(0), k));
    }
    return V::add(V::add(x, x), k);
}

TARGET_AVX512 static ALWAYS_INLINE __mmask16 lanes_up_to(int64_t j, int64_t hi) {
    return hi - j >= 15 ? static_cast<__mmask16>(0xFFFF)
                        : lanes_avx512::first_lanes(static_cast<int>(hi - j + 1));
}

/*
 * The index in lo..hi of the best sum, unsigned: the largest above `start`
 * forward, the smallest below `start` reverse, and of several the first,
 * as the one-at-a-time scan keeps it; lo - 1 when no sum beats `start`.
 * The best sum comes first, then the first index that has it.
 */
template <bool FORWARD>
TARGET_AVX512 static int64_t best_index(const int32_t *values, int64_t lo, int64_t hi, int64_t p,
                                        int64_t delta, int32_t old_length, int32_t new_length,
                                        uint32_t start) {
    __m512i best = _mm512_set1_epi32(static_cast<int32_t>(start));
    for (int64_t j = lo; j <= hi; j += 16) {
        __mmask16 valid = lanes_up_to(j, hi);
        __m512i sums = frontier_sums<FORWARD>(values, j, valid, p, delta, old_length, new_length);
        best = FORWARD ? _mm512_mask_max_epu32(best, valid, best, sums)
                       : _mm512_mask_min_epu32(best, valid, best, sums);
    }
    uint32_t target = FORWARD ? _mm512_reduce_max_epu32(best) : _mm512_reduce_min_epu32(best);
    if (target == start) {
        return lo - 1;
    }
    for (int64_t j = lo;; j += 16) {
        __mmask16 valid = lanes_up_to(j, hi);
        __m512i sums = frontier_sums<FORWARD>(values, j, valid, p, delta, old_length, new_length);
        __mmask16 hit = _mm512_mask_cmpeq_epi32_mask(
            valid, sums, _mm512_set1_epi32(static_cast<int32_t>(target)));
        if (hit != 0) {
            return j + std::countr_zero(static_cast<uint32_t>(hit));
        }
    }
}

/* scan_frontier over the private arrays, 16 diagonals at a time. */
TARGET_AVX512 static execution_search_frontier frontier_avx512(const execution_search_arrays *ar,
                                                               int64_t old_length,
                                                               int64_t new_length, int64_t fc,
                                                               int64_t rc) {
    execution_search_frontier f = {0, 0, old_length, new_length};
    int64_t delta = old_length - new_length;
    int32_t old32 = static_cast<int32_t>(old_length), new32 = static_cast<int32_t>(new_length);
    if (-fc <= rc) {
        int64_t p = parity(-fc);
        const int32_t *values = private_array(ar, FORWARD_EVEN + static_cast<int>(p));
        int64_t lo = index_of(-fc);
        int64_t j = best_index<true>(values, lo, index_of(rc), p, delta, old32, new32, 0);
        if (j >= lo) {
            int64_t k = 2 * j + p;
            f.fx = forward_point(values[j], k, old_length, new_length);
            f.fy = f.fx + k;
        }
    }
    if (-rc <= fc) {
        int64_t p = parity(-rc);
        const int32_t *values = private_array(ar, REVERSE_EVEN + static_cast<int>(p));
        int64_t lo = index_of(-rc);
        int64_t j = best_index<false>(values, lo, index_of(fc), p, delta, old32, new32,
                                      static_cast<uint32_t>(old_length + new_length));
        if (j >= lo) {
            int64_t k = 2 * j + p - delta;
            f.rx = reverse_point(values[j], k);
            f.ry = f.rx + k;
        }
    }
    return f;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif /* EXECUTION_SEARCH_X86 */

static bool run_pass(int32_t path, bool forward, const pass *c, int64_t j_lo, int64_t j_hi,
                     meeting *m) {
    /* Most searches of a large comparison end within a few steps, and their
     * passes fill a small part of one wide block; one diagonal at a time is
     * cheaper there than the block's setup. */
    if (j_hi - j_lo < NARROW_PASS) {
        path = EXECUTION_SEARCH_CONTIGUOUS;
    }
    switch (path) {
#if EXECUTION_SEARCH_X86
    case EXECUTION_SEARCH_SSE2:
        return forward ? forward_pass_sse2(c, j_lo, j_hi, m) : reverse_pass_sse2(c, j_lo, j_hi, m);
    case EXECUTION_SEARCH_AVX2:
        return forward ? forward_pass_avx2(c, j_lo, j_hi, m) : reverse_pass_avx2(c, j_lo, j_hi, m);
    case EXECUTION_SEARCH_AVX512:
        return forward ? forward_pass_avx512(c, j_lo, j_hi, m)
                       : reverse_pass_avx512(c, j_lo, j_hi, m);
    case EXECUTION_SEARCH_AVX512_VBMI:
        return forward ? forward_pass_avx512_vbmi(c, j_lo, j_hi, m)
                       : reverse_pass_avx512_vbmi(c, j_lo, j_hi, m);
#endif
    default:
        return forward ? forward_pass_scalar(c, j_lo, j_hi, m)
                       : reverse_pass_scalar(c, j_lo, j_hi, m);
    }
}

/* ------------------------------------------------------------------------ */
/* The fast search.                                                          */

/* The frontier points from the private arrays: as scan_frontier, several
 * diagonals at a time where AVX-512 is there to do it. */
static execution_search_frontier private_frontier(const execution_search_arrays *ar, int32_t path,
                                                  int64_t old_length, int64_t new_length,
                                                  int64_t fc, int64_t rc) {
#if EXECUTION_SEARCH_X86
    if (path >= EXECUTION_SEARCH_AVX512) {
        return frontier_avx512(ar, old_length, new_length, fc, rc);
    }
#else
    (void)path;
#endif
    return scan_frontier([ar](int64_t k) { return forward_value(ar, k); },
                         [ar](int64_t k) { return reverse_value(ar, k); }, old_length, new_length,
                         fc, rc);
}

/*
 * Which path one direction's next pass takes.  The windowed probe pays for
 * its window loads and permutations only when the window serves most of
 * the lanes; where the slides of neighbouring diagonals have carried them
 * far apart (values with many small edits), every block gathers anyway,
 * and the gathering path without the window runs those passes faster.  A
 * windowed pass tallies how many lanes its window served; when that is
 * under half, the next passes of that direction gather, and every few
 * passes a windowed one looks again.
 */
typedef struct probe_choice {
    int32_t gathering_left; /* passes still to take the gathering path */
    window_tally tally;
} probe_choice;

/* Passes a direction gathers before it tries the window again. */
static const int32_t GATHERING_PASSES = 7;
/* Lanes a windowed pass must have probed before its tally decides. */
static const int64_t TALLY_MINIMUM = 64;

static int32_t pass_path(int32_t path, probe_choice *choice) {
    choice->tally = window_tally{0, 0};
    if (path != EXECUTION_SEARCH_AVX512_VBMI) {
        return path;
    }
    if (choice->gathering_left > 0) {
        choice->gathering_left--;
        return EXECUTION_SEARCH_AVX512;
    }
    return path;
}

static void pass_done(probe_choice *choice) {
    if (choice->tally.probed >= TALLY_MINIMUM && 2 * choice->tally.served < choice->tally.probed) {
        choice->gathering_left = GATHERING_PASSES;
    }
}

static int32_t clamp_room(int64_t room) {
    return room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room);
}

/*
 * The same search as plain_search, step for step, on the private arrays.
 * Before step n + 1 the arrays hold the fill values on diagonals +-(n + 2),
 * the farthest that step reads, exactly as the storage's extension would
 * have left them.
 */
static bool fast_search(storage *st, execution_search_arrays *ar, const execution_search_input *in,
                        int32_t step_budget, int32_t path, execution_search_outcome *out) {
    if (!storage_initialise(st, 1) || !arrays_reserve(ar, 1)) {
        return false;
    }
    int64_t old_length = in->old_length;
    int64_t new_length = in->new_length;
    st->slots[forward_slot(0)] = 0;
    st->slots[reverse_slot(0)] = static_cast<int32_t>(old_length);
    for (int64_t k = -FIRST_FILLED; k <= FIRST_FILLED; k++) {
        fill_diagonal(ar, k);
    }
    forward_value(ar, 0) = 0;
    reverse_value(ar, 0) = static_cast<int32_t>(old_length);

    int64_t delta = old_length - new_length;
    bool forward_tests = (delta & FORWARD_TEST_BITS) == FORWARD_TEST_BITS;
    pass c = {};
    c.a = in->a;
    c.b = in->b;
    c.a_room = clamp_room(in->a_room);
    c.b_room = clamp_room(in->b_room);
    c.a_last = c.a_room - 4;
    c.b_last = c.b_room - 4;
    c.old_length = static_cast<int32_t>(old_length);
    c.new_length = static_cast<int32_t>(new_length);
    c.delta = static_cast<int32_t>(delta);
    int64_t budget = step_budget;
    probe_choice forward_choice = {}, reverse_choice = {};

    for (int64_t d = 1;; d++) {
        COUNT(steps, 1);
        int64_t fc = corner(d, old_length);
        int64_t rc = corner(d, new_length);
        int64_t p = parity(d);
        c.d = static_cast<int32_t>(d);
        c.p = static_cast<int32_t>(p);
        meeting m;

        /* Forward diagonals -F..R; the test reads reverse diagonal k + delta. */
        c.neighbours = private_array(ar, FORWARD_EVEN + static_cast<int>(1 - p)) + p - 1;
        c.values = private_array(ar, FORWARD_EVEN + static_cast<int>(p));
        c.tests = forward_tests;
        int64_t other_parity = parity(p + delta);
        c.other = private_array(ar, REVERSE_EVEN + static_cast<int>(other_parity));
        c.other_offset = (p + delta - other_parity) / 2;
        c.tally = &forward_choice.tally;
        bool met =
            run_pass(pass_path(path, &forward_choice), true, &c, (-fc - p) / 2, (rc - p) / 2, &m);
        pass_done(&forward_choice);
        count_visits(-fc, met ? m.k : rc);
        if (met) {
            write_back(ar, st, d, d);
            record_meeting(out, m.x_start, m.x_end, m.k);
            return true;
        }

        /* Reverse diagonals -R..F; the test reads forward diagonal k' - delta. */
        c.neighbours = private_array(ar, REVERSE_EVEN + static_cast<int>(1 - p)) + p - 1;
        c.values = private_array(ar, REVERSE_EVEN + static_cast<int>(p));
        c.tests = !forward_tests;
        other_parity = parity(p - delta);
        c.other = private_array(ar, FORWARD_EVEN + static_cast<int>(other_parity));
        c.other_offset = (p - delta - other_parity) / 2;
        c.tally = &reverse_choice.tally;
        met =
            run_pass(pass_path(path, &reverse_choice), false, &c, (-rc - p) / 2, (fc - p) / 2, &m);
        pass_done(&reverse_choice);
        count_visits(-rc, met ? m.k + delta : fc);
        if (met) {
            write_back(ar, st, d, d);
            record_meeting(out, m.x_start, m.x_end, m.k);
            return true;
        }

        auto frontier = [&] { return private_frontier(ar, path, old_length, new_length, fc, rc); };
        if (step_ends_search(frontier, old_length, new_length, d, &budget)) {
            write_back(ar, st, d, d);
            record_bail(out, fc, rc, budget, frontier());
            return true;
        }
        if (!extend_unfilled(st, d + 1)) {
            write_back(ar, st, d, d);
            return false;
        }
        if (!arrays_reserve(ar, d + 1)) {
            write_back(ar, st, d, d + 1);
            return false;
        }
        fill_diagonal(ar, -(d + 2));
        fill_diagonal(ar, d + 2);
    }
}

bool execution_search_run(storage *st, execution_search_arrays *arrays,
                          const execution_search_input *in, int32_t step_budget,
                          execution_search_outcome *out) {
    COUNT(searches, 1);
    int32_t path = execution_search_path();
    if (path == EXECUTION_SEARCH_PLAIN || in->old_length >= LANE_SAFE_LENGTH ||
        in->new_length >= LANE_SAFE_LENGTH) {
        return plain_search(st, in, step_budget, out);
    }
    return fast_search(st, arrays, in, step_budget, path, out);
}
