/*
 * execution_search.h - the middle-snake search of the difference engine:
 * the forward and reverse searches in lockstep, their budget checks, and
 * the instruction-set paths that run their passes.
 *
 * The plain path keeps the frontier values in the engine's storage, in its
 * interleaved slot layout, one diagonal at a time.  The fast paths keep
 * them in a private layout (one contiguous array per direction and parity
 * of the diagonal), so that a pass reads its neighbours and writes its
 * values with unit stride, several diagonals per instruction.  They read
 * exactly the values the storage would hold and copy them back into the
 * storage when the search ends, so the storage, the events and the result
 * never show which path ran.  The path is chosen once from what the
 * processor offers; tests and benchmarks may force one.
 */
#ifndef TOVAREL_EXECUTION_SEARCH_H
#define TOVAREL_EXECUTION_SEARCH_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"
#include "storage.h"

TOVAREL_BEGIN_DECLS

/* Search paths, from the plain one up.  AUTO picks the widest available. */
#define EXECUTION_SEARCH_AUTO (-1)
#define EXECUTION_SEARCH_PLAIN 0       /* storage slots, one diagonal at a time */
#define EXECUTION_SEARCH_CONTIGUOUS 1  /* private layout, one diagonal at a time */
#define EXECUTION_SEARCH_SSE2 2        /* 4 diagonals per pass block */
#define EXECUTION_SEARCH_AVX2 3        /* 8 diagonals, 16-byte probe window */
#define EXECUTION_SEARCH_AVX512 4      /* 16 diagonals, gathered probes */
#define EXECUTION_SEARCH_AVX512_VBMI 5 /* 16 diagonals, 64-byte probe window where it serves */
#define EXECUTION_SEARCH_PATHS 6

/* True when this processor can run `path`. */
TOVAREL_API bool execution_search_path_supported(int32_t path);
/* The path searches take now. */
TOVAREL_API int32_t execution_search_path(void);
/*
 * Test and benchmark hook: makes every later search take `path` (or the
 * automatic choice again for EXECUTION_SEARCH_AUTO).  False, and nothing
 * changed, for a path this processor cannot run.  Not for concurrent use
 * with running comparisons.
 */
TOVAREL_API bool _execution_search_force_path(int32_t path);

/* The outermost diagonal a path of `step` edits can reach within `length`
 * bytes: `step` while it fits, else reflected back from the edge
 * (2 * length - step, which turns negative once step passes twice the
 * length). */
TOVAREL_API int32_t execution_search_corner(int32_t step, int32_t length);

#ifdef TOVAREL_ENGINE_COUNTERS
/* Benchmark builds only: what the searches did since the last reset. */
typedef struct execution_search_counters {
    uint64_t searches; /* middle-snake searches started */
    uint64_t steps;    /* steps begun */
    uint64_t visits;   /* diagonals visited by the passes */
} execution_search_counters;
TOVAREL_API execution_search_counters execution_search_counts(void);
TOVAREL_API void execution_search_counts_reset(void);
#endif

/* ---- Internal to the engine (not exported). ---- */

/* The fast paths' private arrays; they live as long as one solve. */
typedef struct execution_search_arrays {
    int32_t *block; /* four arrays: forward even, forward odd, reverse even, reverse odd */
    int64_t half;   /* each array covers indices -half..half */
} execution_search_arrays;

/* The frontier points of a search that stopped without meeting. */
typedef struct execution_search_frontier {
    int64_t fx, fy; /* forward point with the largest x + y */
    int64_t rx, ry; /* reverse point with the smallest x + y */
} execution_search_frontier;

/* How a search ended when it did not fail. */
typedef struct execution_search_outcome {
    bool met;                               /* a snake was found, else the budget ran out */
    int64_t x_start, x_end;                 /* the snake ... */
    int64_t diagonal;                       /* ... and its diagonal */
    int64_t forward_corner, reverse_corner; /* of the last step, for the bail-out */
    int32_t budget;                         /* what was left, for the bail-out */
    execution_search_frontier frontier;     /* where the last step got, likewise */
} execution_search_outcome;

/* What a search compares: `a` and `b` point at the ranges' starts; the
 * values hold at least `a_room` and `b_room` bytes from there. */
typedef struct execution_search_input {
    const uint8_t *a;
    const uint8_t *b;
    int64_t a_room;
    int64_t b_room;
    int64_t old_length;
    int64_t new_length;
} execution_search_input;

/* Runs one search.  False when the storage allowance or an allocation
 * stopped it; the storage then holds what the last step left. */
bool execution_search_run(storage *st, execution_search_arrays *arrays,
                          const execution_search_input *in, int32_t step_budget,
                          execution_search_outcome *out);
void execution_search_arrays_release(execution_search_arrays *arrays);

/* Frontier points of the values the last step left in the storage. */
execution_search_frontier execution_search_frontier_points(const storage *st, int64_t old_length,
                                                           int64_t new_length,
                                                           int64_t forward_corner,
                                                           int64_t reverse_corner);

/* Common prefix of a and b, and common suffix counted back from a_end and
 * b_end, each at most `limit` bytes. */
int64_t execution_search_common_prefix(const uint8_t *a, const uint8_t *b, int64_t limit);
int64_t execution_search_common_suffix(const uint8_t *a_end, const uint8_t *b_end, int64_t limit);

TOVAREL_END_DECLS

#endif /* TOVAREL_EXECUTION_SEARCH_H */
