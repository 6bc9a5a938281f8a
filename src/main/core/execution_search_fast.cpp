/*
 * execution_search_fast.cpp - the fast middle-snake search: the same search
 * as the plain one, step for step, on private arrays of its own (one
 * contiguous array per direction and parity of the diagonal), so that its
 * passes read their neighbours and write their values with unit stride,
 * several diagonals per instruction.
 *
 * The search is handed its path's kernels at its entry and only calls
 * them; the two choices it still makes per pass are about the pass, not
 * the processor: a narrow pass runs one diagonal at a time, and a
 * direction whose windowed probe serves too few lanes takes its path's
 * gathering passes for a while.  It copies its values back into the
 * storage when it ends, so the bail-out and any caller that looks at the
 * storage find what the plain search would have left.
 */
#include "execution_search_kernels.hpp"

#include <cstdlib>

/* Private array entries kept beyond the farthest diagonal a step reads, so
 * that a block of lanes straddling the edge of the tested range loads from
 * inside the arrays. */
static const int64_t ARRAY_MARGIN = 32;
/* Passes over at most this many diagonals run one diagonal at a time. */
static const int64_t NARROW_PASS = 4;
/* Diagonals around 0 that a fresh search sets to the fill values. */
static const int64_t FIRST_FILLED = 2;

/* ------------------------------------------------------------------------ */
/* The private arrays.                                                        */

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
/* Choosing a pass's kernel.                                                 */

/*
 * Most searches of a large comparison end within a few steps, and their
 * passes fill a small part of one wide block; one diagonal at a time is
 * cheaper there than the block's setup.
 */
static inline bool run_forward(execution_search_pass_kernel kernel, const pass *c, int64_t j_lo,
                               int64_t j_hi, meeting *m) {
    if (j_hi - j_lo < NARROW_PASS) {
        return forward_pass_scalar(c, j_lo, j_hi, m);
    }
    return kernel(c, j_lo, j_hi, m);
}

static inline bool run_reverse(execution_search_pass_kernel kernel, const pass *c, int64_t j_lo,
                               int64_t j_hi, meeting *m) {
    if (j_hi - j_lo < NARROW_PASS) {
        return reverse_pass_scalar(c, j_lo, j_hi, m);
    }
    return kernel(c, j_lo, j_hi, m);
}

/*
 * Which kernel one direction's next pass takes.  The windowed probe pays
 * for its window loads and permutations only when the window serves most
 * of the lanes; where the slides of neighbouring diagonals have carried
 * them far apart (values with many small edits), every block gathers
 * anyway, and the gathering kernel without the window runs those passes
 * faster.  A windowed pass tallies how many lanes its window served; when
 * that is under half, the next passes of that direction gather, and every
 * few passes a windowed one looks again.  Kernels without a window tally
 * nothing, so they never switch.
 */
typedef struct probe_choice {
    int32_t gathering_left; /* passes still to take the gathering kernel */
    window_tally tally;
} probe_choice;

/* Passes a direction gathers before it tries the window again. */
static const int32_t GATHERING_PASSES = 7;
/* Lanes a windowed pass must have probed before its tally decides. */
static const int64_t TALLY_MINIMUM = 64;

static inline execution_search_pass_kernel pass_kernel(execution_search_pass_kernel windowed,
                                                       execution_search_pass_kernel gathering,
                                                       probe_choice *choice) {
    choice->tally = window_tally{0, 0};
    if (choice->gathering_left > 0) {
        choice->gathering_left--;
        return gathering;
    }
    return windowed;
}

static inline void pass_done(probe_choice *choice) {
    if (choice->tally.probed >= TALLY_MINIMUM && 2 * choice->tally.served < choice->tally.probed) {
        choice->gathering_left = GATHERING_PASSES;
    }
}

static int32_t clamp_room(int64_t room) {
    return room > INT32_MAX ? INT32_MAX : static_cast<int32_t>(room);
}

/* ------------------------------------------------------------------------ */
/* The search.                                                               */

/*
 * Before step n + 1 the arrays hold the fill values on diagonals +-(n + 2),
 * the farthest that step reads, exactly as the storage's extension would
 * have left them.
 */
bool execution_search_fast(storage *st, execution_search_arrays *ar,
                           const execution_search_input *in, int32_t step_budget,
                           const execution_search_kernels *kernels, execution_search_outcome *out) {
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
            run_forward(pass_kernel(kernels->forward, kernels->forward_gathering, &forward_choice),
                        &c, (-fc - p) / 2, (rc - p) / 2, &m);
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
            run_reverse(pass_kernel(kernels->reverse, kernels->reverse_gathering, &reverse_choice),
                        &c, (-rc - p) / 2, (fc - p) / 2, &m);
        pass_done(&reverse_choice);
        count_visits(-rc, met ? m.k + delta : fc);
        if (met) {
            write_back(ar, st, d, d);
            record_meeting(out, m.x_start, m.x_end, m.k);
            return true;
        }

        auto frontier = [&] { return kernels->frontier(ar, old_length, new_length, fc, rc); };
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
