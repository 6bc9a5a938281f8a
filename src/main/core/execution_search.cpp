/*
 * execution_search.cpp - the entry of the middle-snake search: which path
 * searches take, decided once here, and the search that follows it.
 *
 * A search runs forward and reverse in lockstep until their paths meet,
 * with the step budget, the progress rule and the storage allowance
 * deciding when it gives up.  Two implementations do that: the plain one
 * on the storage's slots (execution_search_plain.cpp), and the fast one on
 * private arrays with a path's kernels (execution_search_fast.cpp, the
 * kernels in execution_search_kernels.cpp).  Both find the same meeting or
 * the same bail-out and leave the same storage behind, so nothing after a
 * search shows which path ran.
 *
 * The widest path the processor runs is detected once; tests and
 * benchmarks may force another.  Each search reads the path at its entry,
 * turns it into a table of kernels (or the plain search), and from then on
 * only reads that table.
 *
 * What the searches' callers use besides lives here too: the byte
 * comparisons, the corner of a step, the storage's frontier points and the
 * release of the fast search's arrays.
 */
#include "execution_search.h"

#include <atomic>
#include <cstdlib>

#include "execution_search_kernels.hpp"

/* The fast passes compute in int32 lanes.  Below this length no position,
 * diagonal or sum they form leaves the int32 range; longer comparisons
 * take the plain path. */
static const int64_t LANE_SAFE_LENGTH = int64_t{1} << 29;

int64_t execution_search_common_prefix(const uint8_t *a, const uint8_t *b, int64_t limit) {
    return common_prefix(a, b, limit);
}

int64_t execution_search_common_suffix(const uint8_t *a_end, const uint8_t *b_end, int64_t limit) {
    return common_suffix(a_end, b_end, limit);
}

/* The exported form of the corner the searches compute inline. */
int32_t execution_search_corner(int32_t step, int32_t length) {
    return corner32(step, length);
}

/* The frontier points of the storage, after either search: the plain one
 * scans them for the progress rule, and the bail-out starts from them.
 * The checked getters keep a caller-supplied corner pair from reading past
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

/* The fast search's arrays live as long as the solve that owns them. */
void execution_search_arrays_release(execution_search_arrays *ar) {
    free(ar->block);
    ar->block = nullptr;
    ar->half = 0;
}

/* ------------------------------------------------------------------------ */
/* Counters of the benchmark build.                                          */

#ifdef TOVAREL_ENGINE_COUNTERS
execution_search_counters execution_search_tally;
execution_search_counters execution_search_counts(void) {
    return execution_search_tally;
}
void execution_search_counts_reset(void) {
    execution_search_tally = execution_search_counters{};
}
#endif

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
/* The search.                                                               */

bool execution_search_run(storage *st, execution_search_arrays *arrays,
                          const execution_search_input *in, int32_t step_budget,
                          execution_search_outcome *out) {
    COUNT(searches, 1);
    const execution_search_kernels *kernels = nullptr;
    if (in->old_length < LANE_SAFE_LENGTH && in->new_length < LANE_SAFE_LENGTH) {
        kernels = execution_search_kernels_of(execution_search_path());
    }
    if (kernels == nullptr) {
        return execution_search_plain(st, in, step_budget, out);
    }
    return execution_search_fast(st, arrays, in, step_budget, kernels, out);
}
