/*
 * execution_search_plain.cpp - the plain middle-snake search: the forward
 * and reverse searches in lockstep on the storage's interleaved slots, one
 * diagonal at a time.  It is what runs when the lengths are too large for
 * the fast paths' int32 lanes, and the oracle those paths are tested
 * against.
 */
#include "execution_search_shared.hpp"

/*
 * Which pass looks for the meeting is fixed by bits of delta (not by its
 * parity): either choice finds a valid split, and this choice decides which
 * one.  Values are stored unclamped; the slides never read outside the
 * ranges.
 */
bool execution_search_plain(storage *st, const execution_search_input *in, int32_t step_budget,
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
