/*
 * execution.cpp - the difference engine proper: prefix and suffix trimming,
 * the bisecting middle-snake search, the splits it leads to, and the
 * bail-out that ends a search whose step budget is spent.
 *
 * Solving a comparison is naturally recursive: split it at a snake (or at
 * the furthest points a bailing search reached), solve the part before the
 * split, report the split, solve the part after it.  The nesting of those
 * parts is not bounded by anything small (a chain of bail-outs over a long
 * gap can nest once per few dozen bytes), so the engine does not recurse on
 * the call stack.  Each solving step does the reports that come before its
 * first nested solve at once and pushes everything after it, in reverse
 * order, onto a task stack on the heap; a driver loop pops and runs the
 * tasks.  The events therefore come in exactly the order of the recursive
 * reading, and the first false from any task ends the whole solve.
 *
 * Coordinates: x counts bytes of the old range, y bytes of the new range,
 * diagonal k = y - x, delta = old_length - new_length.  Positions handed to
 * the coalescing script and between steps are absolute.  Arithmetic on
 * coordinates is done in 64 bits: sums such as x + k or length + length
 * exceed int32 for values near 2 GiB.
 */
#include "execution.h"

#include <cstdlib>
#include <cstring>

#include "execution_search.h"

TOVAREL_BEGIN_DECLS

/* A gap is searched afresh only when both sides are longer than this ... */
static const int32_t BOUNDED_MIN_SEARCH_LENGTH = 7;
/* ... with at least this budget, and when its area is below half the
 * square of the enclosing old length plus this allowance. */
static const int32_t BOUNDED_MIN_BUDGET = 8;
static const int64_t BOUNDED_AREA_ALLOWANCE = 1 << 24;
/* A split point this close to an end of the long side is moved to its middle. */
static const int64_t BAIL_EDGE_FRACTION = 8;
/* Tasks kept on the call stack before the task stack moves to the heap. */
static const size_t SOLVER_LOCAL_TASKS = 32;

/* ------------------------------------------------------------------------ */
/* The task stack.                                                           */

enum task_kind {
    TASK_TRIM_PREFIX_AND_DIFF,
    TASK_TRIM_SUFFIX_AND_DIFF,
    TASK_DIFF,
    TASK_MIDDLESNAKE,
    TASK_BOUNDED_DIFF,
    TASK_MATCH,
    TASK_INSERT,
    TASK_DELETE,
};

/* One pending piece of work.  `extra` is the prefix length already
 * reported (trim suffix and diff) or the reference length (bounded diff). */
typedef struct task {
    enum task_kind kind;
    int32_t old_offset;
    int32_t old_length;
    int32_t new_offset;
    int32_t new_length;
    int32_t extra;
    int32_t budget;
} task;

typedef struct solver {
    execution *e;
    const uint8_t *old_data;
    const uint8_t *new_data;
    task *tasks; /* local, or a heap block once that is full */
    size_t count;
    size_t capacity;
    execution_search_arrays arrays; /* the fast search's, kept for the solve */
    task local[SOLVER_LOCAL_TASKS];
} solver;

static void solver_init(solver *sv, execution *e) {
    sv->e = e;
    sv->old_data = e->old_value->data;
    sv->new_data = e->new_value->data;
    sv->tasks = sv->local;
    sv->count = 0;
    sv->capacity = SOLVER_LOCAL_TASKS;
    sv->arrays = execution_search_arrays{nullptr, 0};
}

static void solver_release_tasks(solver *sv) {
    if (sv->tasks != sv->local) {
        free(sv->tasks);
    }
}

static void solver_release(solver *sv) {
    solver_release_tasks(sv);
    execution_search_arrays_release(&sv->arrays);
}

/* Doubles the task stack.  A stack that cannot grow ends the comparison
 * like a spent storage allowance: the caller falls back to replacing the
 * value, which is always correct. */
static bool solver_grow(solver *sv) {
    if (sv->capacity > SIZE_MAX / 2 / sizeof(task)) {
        return false;
    }
    size_t capacity = sv->capacity * 2;
    task *tasks = static_cast<task *>(malloc(capacity * sizeof(task)));
    if (tasks == nullptr) {
        return false;
    }
    memcpy(tasks, sv->tasks, sv->count * sizeof(task));
    solver_release_tasks(sv);
    sv->tasks = tasks;
    sv->capacity = capacity;
    return true;
}

static bool solver_push(solver *sv, enum task_kind kind, int64_t old_offset, int64_t old_length,
                        int64_t new_offset, int64_t new_length, int32_t extra, int32_t budget) {
    if (sv->count == sv->capacity && !solver_grow(sv)) {
        return false;
    }
    sv->tasks[sv->count++] = task{kind,
                                  static_cast<int32_t>(old_offset),
                                  static_cast<int32_t>(old_length),
                                  static_cast<int32_t>(new_offset),
                                  static_cast<int32_t>(new_length),
                                  extra,
                                  budget};
    return true;
}

static bool push_solve(solver *sv, enum task_kind kind, int64_t old_offset, int64_t old_length,
                       int64_t new_offset, int64_t new_length, int32_t budget) {
    return solver_push(sv, kind, old_offset, old_length, new_offset, new_length, 0, budget);
}

static bool push_match(solver *sv, int64_t position, int64_t length) {
    return solver_push(sv, TASK_MATCH, position, length, 0, 0, 0, 0);
}

static bool push_insert(solver *sv, int64_t position, int64_t length) {
    return solver_push(sv, TASK_INSERT, 0, 0, position, length, 0, 0);
}

/* ------------------------------------------------------------------------ */
/* Reporting.                                                                */

static bool report_match(solver *sv, int64_t position, int64_t length) {
    return coallescing_script_match(sv->e->coalescing, static_cast<int32_t>(position),
                                    static_cast<int32_t>(length));
}

static bool report_insert(solver *sv, int64_t position, int64_t length) {
    return coallescing_script_insert(sv->e->coalescing, static_cast<int32_t>(position),
                                     static_cast<int32_t>(length));
}

static bool report_delete(solver *sv) {
    return coallescing_script_delete(sv->e->coalescing);
}

/* ------------------------------------------------------------------------ */
/* Common prefix and suffix.                                                 */

static int64_t prefix_length(const solver *sv, int64_t old_offset, int64_t old_length,
                             int64_t new_offset, int64_t new_length) {
    int64_t limit = old_length < new_length ? old_length : new_length;
    if (limit <= 0) {
        return 0;
    }
    return execution_search_common_prefix(sv->old_data + old_offset, sv->new_data + new_offset,
                                          limit);
}

/*
 * Length of the common suffix that overlaps the prefix p in neither range:
 * it may reach back no further than p + max(0, old_length - new_length) in
 * the old range, which keeps it clear of p in the new range as well.
 */
static int64_t suffix_length(const solver *sv, int64_t old_offset, int64_t old_length,
                             int64_t new_offset, int64_t new_length, int64_t p) {
    int64_t lower = p + (old_length > new_length ? old_length - new_length : 0);
    if (old_length <= lower) {
        return 0;
    }
    return execution_search_common_suffix(sv->old_data + old_offset + old_length,
                                          sv->new_data + new_offset + new_length,
                                          old_length - lower);
}

/* ------------------------------------------------------------------------ */
/* Solving steps.  Each does its leading reports and schedules the rest.     */

/*
 * The first p bytes of both ranges match and are reported: trim the common
 * suffix, solve the middle with the given budget, then report the suffix.
 */
static bool execution_trim_suffix_and_diff(solver *sv, int64_t old_offset, int64_t old_length,
                                           int64_t new_offset, int64_t new_length, int64_t p,
                                           int32_t budget) {
    int64_t suffix = suffix_length(sv, old_offset, old_length, new_offset, new_length, p);
    int64_t s = old_length - suffix;
    int64_t ns = new_length - suffix;
    if (p == s) {
        if (!report_insert(sv, new_offset + p, ns - p)) {
            return false;
        }
        return report_match(sv, old_offset + s, suffix);
    }
    if (p == ns) {
        if (!report_delete(sv)) {
            return false;
        }
        return report_match(sv, old_offset + s, suffix);
    }
    return push_match(sv, old_offset + s, suffix) &&
           push_solve(sv, TASK_MIDDLESNAKE, old_offset + p, s - p, new_offset + p, ns - p, budget);
}

/* Report the common prefix and solve the rest; no suffix is looked for. */
static bool execution_trim_prefix_and_diff(solver *sv, int64_t old_offset, int64_t old_length,
                                           int64_t new_offset, int64_t new_length, int32_t budget) {
    int64_t p = prefix_length(sv, old_offset, old_length, new_offset, new_length);
    if (!report_match(sv, old_offset, p)) {
        return false;
    }
    if (p == old_length) {
        return report_insert(sv, new_offset + old_length, new_length - old_length);
    }
    if (p == new_length) {
        return report_delete(sv);
    }
    return push_solve(sv, TASK_MIDDLESNAKE, old_offset + p, old_length - p, new_offset + p,
                      new_length - p, budget);
}

/* Prefix, then the suffix and the middle; always with the full budget. */
static bool diff_step(solver *sv, int64_t old_offset, int64_t old_length, int64_t new_offset,
                      int64_t new_length) {
    int64_t p = prefix_length(sv, old_offset, old_length, new_offset, new_length);
    if (!report_match(sv, old_offset, p)) {
        return false;
    }
    return execution_trim_suffix_and_diff(sv, old_offset, old_length, new_offset, new_length, p,
                                          sv->e->cost_limit);
}

/*
 * Split at the snake on diagonal k from x_start to x_end: the part before it
 * and the part after it each get a fresh search with the full budget.
 */
static bool split_at_snake(solver *sv, int64_t old_offset, int64_t old_length, int64_t new_offset,
                           int64_t new_length, int64_t x_start, int64_t x_end, int64_t k) {
    int32_t limit = sv->e->cost_limit;
    return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + x_end, old_length - x_end,
                      new_offset + x_end + k, new_length - x_end - k, limit) &&
           push_match(sv, old_offset + x_start, x_end - x_start) &&
           solver_push(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, x_start, new_offset, x_start + k,
                       0, limit);
}

/* ------------------------------------------------------------------------ */
/* Bail-out and bounded diff.                                                */

/*
 * The search ran out of budget.  Split where it got furthest: at the better
 * frontier point when the frontiers crossed, else around the gap between
 * them.  A point at an end of the old range and near an end of the new one
 * (or the other way round) would leave one piece nearly as large as the
 * whole, so such a split goes through the middle of the longer side instead.
 */
static bool bail_step(solver *sv, int64_t old_offset, int64_t old_length, int64_t new_offset,
                      int64_t new_length, const execution_search_frontier &f, int32_t budget) {
    execution *e = sv->e;
    int32_t limit = e->cost_limit;
    if (f.rx <= f.fx || f.ry <= f.fy) {
        bool forward_wins = old_length + new_length - f.rx - f.ry <= f.fx + f.fy;
        int64_t px = forward_wins ? f.fx : f.rx;
        int64_t py = forward_wins ? f.fy : f.ry;
        int32_t half = budget / 2;
        int64_t py_edge = py < new_length - py ? py : new_length - py;
        int64_t px_edge = px < old_length - px ? px : old_length - px;
        if (old_length <= new_length && (px == 0 || px == old_length) &&
            BAIL_EDGE_FRACTION * py_edge <= new_length) {
            int64_t h = new_length / 2;
            return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + px, old_length - px,
                              new_offset + h, new_length - h, half) &&
                   push_solve(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, px, new_offset, h, half);
        }
        if (old_length > new_length && (py == 0 || py == new_length) &&
            BAIL_EDGE_FRACTION * px_edge <= old_length) {
            int64_t h = old_length / 2;
            return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + h, old_length - h,
                              new_offset + py, new_length - py, half) &&
                   push_solve(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, h, new_offset, py, half);
        }
        return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + px, old_length - px,
                          new_offset + py, new_length - py, limit) &&
               push_solve(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, px, new_offset, py, limit);
    }
    return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + f.rx, old_length - f.rx,
                      new_offset + f.ry, new_length - f.ry, limit) &&
           solver_push(sv, TASK_BOUNDED_DIFF, old_offset + f.fx, f.rx - f.fx, new_offset + f.fy,
                       f.ry - f.fy, static_cast<int32_t>(old_length), budget) &&
           push_solve(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, f.fx, new_offset, f.fy, limit);
}

/*
 * The gap between two frontiers that did not meet.  A gap that is small
 * next to the enclosing comparison is searched afresh; a large one is halved
 * while budget remains; with none left, only its middle halves are compared
 * and the outer quarters are replaced outright.
 */
static bool bounded_diff_step(solver *sv, int64_t old_offset, int64_t old_length,
                              int64_t new_offset, int64_t new_length, int64_t reference_length,
                              int32_t budget) {
    int64_t area_limit = reference_length * reference_length / 2 + BOUNDED_AREA_ALLOWANCE;
    if (old_length > BOUNDED_MIN_SEARCH_LENGTH && new_length > BOUNDED_MIN_SEARCH_LENGTH &&
        old_length * new_length < area_limit) {
        int32_t search_budget = budget > BOUNDED_MIN_BUDGET ? budget : BOUNDED_MIN_BUDGET;
        return push_solve(sv, TASK_MIDDLESNAKE, old_offset, old_length, new_offset, new_length,
                          search_budget);
    }
    if (budget > 0) {
        int64_t ho = old_length / 2;
        int64_t hn = new_length / 2;
        return push_solve(sv, TASK_TRIM_PREFIX_AND_DIFF, old_offset + ho, old_length - ho,
                          new_offset + hn, new_length - hn, budget >> 1) &&
               push_solve(sv, TASK_TRIM_SUFFIX_AND_DIFF, old_offset, ho, new_offset, hn,
                          budget >> 1);
    }
    int64_t q = new_length / 4;
    int64_t hn = new_length / 2;
    return report_insert(sv, new_offset, q) && report_delete(sv) &&
           solver_push(sv, TASK_DELETE, 0, 0, 0, 0, 0, 0) &&
           push_insert(sv, new_offset + q + hn, new_length - q - hn) &&
           push_solve(sv, TASK_DIFF, old_offset + old_length / 4, old_length / 2, new_offset + q,
                      hn, 0);
}

/* ------------------------------------------------------------------------ */
/* The middle-snake search.                                                  */

/*
 * Forward and reverse searches in lockstep until a path of one meets a path
 * of the other on a diagonal; then split at the snake found there, or, when
 * the budget ran out first, where the searches got furthest.
 */
static bool middlesnake_step(solver *sv, int64_t old_offset, int64_t old_length, int64_t new_offset,
                             int64_t new_length, int32_t step_budget) {
    const execution *e = sv->e;
    execution_search_input in = {sv->old_data + old_offset,
                                 sv->new_data + new_offset,
                                 static_cast<int64_t>(e->old_value->len) - old_offset,
                                 static_cast<int64_t>(e->new_value->len) - new_offset,
                                 old_length,
                                 new_length};
    execution_search_outcome out;
    if (!execution_search_run(e->storage, &sv->arrays, &in, step_budget, &out)) {
        return false;
    }
    if (out.met) {
        return split_at_snake(sv, old_offset, old_length, new_offset, new_length, out.x_start,
                              out.x_end, out.diagonal);
    }
    return bail_step(sv, old_offset, old_length, new_offset, new_length, out.frontier, out.budget);
}

/* ------------------------------------------------------------------------ */
/* The driver loop.                                                          */

static bool run_task(solver *sv, const task *t) {
    switch (t->kind) {
    case TASK_TRIM_PREFIX_AND_DIFF:
        return execution_trim_prefix_and_diff(sv, t->old_offset, t->old_length, t->new_offset,
                                              t->new_length, t->budget);
    case TASK_TRIM_SUFFIX_AND_DIFF:
        return execution_trim_suffix_and_diff(sv, t->old_offset, t->old_length, t->new_offset,
                                              t->new_length, t->extra, t->budget);
    case TASK_DIFF:
        return diff_step(sv, t->old_offset, t->old_length, t->new_offset, t->new_length);
    case TASK_MIDDLESNAKE:
        return middlesnake_step(sv, t->old_offset, t->old_length, t->new_offset, t->new_length,
                                t->budget);
    case TASK_BOUNDED_DIFF:
        return bounded_diff_step(sv, t->old_offset, t->old_length, t->new_offset, t->new_length,
                                 t->extra, t->budget);
    case TASK_MATCH:
        return report_match(sv, t->old_offset, t->old_length);
    case TASK_INSERT:
        return report_insert(sv, t->new_offset, t->new_length);
    case TASK_DELETE:
        return report_delete(sv);
    }
    return false;
}

/* Runs what the first step scheduled, and all it schedules in turn. */
static bool solver_finish(solver *sv, bool started) {
    bool ok = started;
    while (ok && sv->count > 0) {
        task t = sv->tasks[--sv->count];
        ok = run_task(sv, &t);
    }
    solver_release(sv);
    return ok;
}

static bool solve(execution *e, enum task_kind kind, int32_t old_offset, int32_t old_length,
                  int32_t new_offset, int32_t new_length, int32_t extra, int32_t budget) {
    solver sv;
    solver_init(&sv, e);
    return solver_finish(
        &sv, solver_push(&sv, kind, old_offset, old_length, new_offset, new_length, extra, budget));
}

/* ------------------------------------------------------------------------ */
/* Exported operations.                                                      */

execution *execution_create(const buf *old_value, const buf *new_value,
                            coallescing_script *coalescing, int32_t storage_allowance,
                            int32_t cost_limit) {
    execution *e = static_cast<execution *>(calloc(1, sizeof(execution)));
    if (e == nullptr) {
        return nullptr;
    }
    e->storage = storage_create(storage_allowance);
    if (e->storage == nullptr) {
        free(e);
        return nullptr;
    }
    e->old_value = old_value;
    e->new_value = new_value;
    e->coalescing = coalescing;
    e->cost_limit = cost_limit;
    return e;
}

void execution_free(execution *e) {
    if (e == nullptr) {
        return;
    }
    storage_free(e->storage);
    free(e);
}

/*
 * The cheapest comparison: common prefix and suffix, and whatever lies
 * between them as one insertion and one deletion.
 */
bool execution_trim_prefix_and_suffix(execution *e, int32_t old_offset, int32_t old_length,
                                      int32_t new_offset, int32_t new_length) {
    solver sv;
    solver_init(&sv, e);
    int64_t p = prefix_length(&sv, old_offset, old_length, new_offset, new_length);
    if (!report_match(&sv, old_offset, p)) {
        return false;
    }
    int64_t suffix = suffix_length(&sv, old_offset, old_length, new_offset, new_length, p);
    int64_t s = int64_t{old_length} - suffix;
    int64_t ns = int64_t{new_length} - suffix;
    if (s == p) {
        if (!report_insert(&sv, new_offset + p, ns - p)) {
            return false;
        }
    } else {
        if (ns != p && !report_insert(&sv, new_offset + p, ns - p)) {
            return false;
        }
        if (!report_delete(&sv)) {
            return false;
        }
    }
    return report_match(&sv, old_offset + s, suffix);
}

/* The step budget argument is not consulted: the search gets cost_limit. */
bool execution_diff(execution *e, int32_t old_offset, int32_t old_length, int32_t new_offset,
                    int32_t new_length, int32_t step_budget) {
    (void)step_budget;
    return solve(e, TASK_DIFF, old_offset, old_length, new_offset, new_length, 0, 0);
}

bool execution_middlesnake(execution *e, int32_t old_offset, int32_t old_length, int32_t new_offset,
                           int32_t new_length, int32_t step_budget) {
    return solve(e, TASK_MIDDLESNAKE, old_offset, old_length, new_offset, new_length, 0,
                 step_budget);
}

bool execution_recurse(execution *e, int32_t old_offset, int32_t old_length, int32_t new_offset,
                       int32_t new_length, int32_t snake_start, int32_t snake_end,
                       int32_t diagonal) {
    solver sv;
    solver_init(&sv, e);
    return solver_finish(&sv, split_at_snake(&sv, old_offset, old_length, new_offset, new_length,
                                             snake_start, snake_end, diagonal));
}

bool execution_bail(execution *e, int32_t old_offset, int32_t old_length, int32_t new_offset,
                    int32_t new_length, int32_t forward_corner, int32_t reverse_corner,
                    int32_t step_budget) {
    solver sv;
    solver_init(&sv, e);
    execution_search_frontier f = execution_search_frontier_points(
        e->storage, old_length, new_length, forward_corner, reverse_corner);
    return solver_finish(
        &sv, bail_step(&sv, old_offset, old_length, new_offset, new_length, f, step_budget));
}

/* The enclosing comparison's new length has no say in how a gap is solved. */
bool execution_bounded_diff(execution *e, int32_t old_offset, int32_t old_length,
                            int32_t new_offset, int32_t new_length, int32_t reference_length,
                            int32_t reference_new_length, int32_t step_budget) {
    (void)reference_new_length;
    return solve(e, TASK_BOUNDED_DIFF, old_offset, old_length, new_offset, new_length,
                 reference_length, step_budget);
}

TOVAREL_END_DECLS
