/*
 * diff_compact_approx.cpp - extending exact copies into approximate ones.
 *
 * Every choice here weighs bytes by what they cost in the compact form.
 * A literal costs its Huffman code, 4 to 7 bits.  Inside a copy an equal
 * byte costs almost nothing (it lengthens a run of zero differences) and
 * a differing one costs its difference's code and the next run's length,
 * 8 to 12 bits.  So a stretch is worth copying when somewhat more than
 * half of it matches: each match scores MATCH_GAIN, each mismatch loses
 * MISMATCH_COST, and a copy's reach is the prefix of best score.  A scan
 * stops once its score has fallen GIVE_UP below the best, which keeps the
 * work linear: each literal byte is looked at a few times at most.
 */
#include "diff_compact_approx.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "buf_compare.hpp"
#include "work_pool.h"

namespace {

constexpr int64_t MATCH_GAIN = 2;
constexpr int64_t MISMATCH_COST = 3;
constexpr int64_t GIVE_UP = 96;
/* A new copy in a literal stretch must also pay for its command, about
 * three bytes' worth of literals. */
constexpr int64_t NEW_COPY_SCORE = 24;
/* Literal stretches shorter than this are left alone: no copy in them
 * could pay for its command. */
constexpr uint64_t SHORTEST_STRETCH = 8;
/* A copy shorter than this gives way to the previous copy's shift when
 * that shift matches across it and the gap before it. */
constexpr uint64_t ABSORB_BELOW = 32;
/* How many recent shifts a literal stretch is tried against. */
constexpr int RECENT_SHIFTS = 4;
/* A gap shorter than this between two copies at one shift is always
 * bridged: even all of its bytes differing cannot bring NEW_COPY_SCORE to
 * zero. */
constexpr uint64_t ALWAYS_BRIDGED_BELOW = (NEW_COPY_SCORE + MISMATCH_COST - 1) / MISMATCH_COST;
/* A literal stretch shorter than this is never filled: it is below
 * SHORTEST_STRETCH, or too short for even all of its bytes matching to
 * reach NEW_COPY_SCORE. */
constexpr uint64_t NEVER_FILLED_BELOW = std::max(
    SHORTEST_STRETCH, static_cast<uint64_t>((NEW_COPY_SCORE + MATCH_GAIN - 1) / MATCH_GAIN));

struct values {
    const uint8_t *old_bytes;
    uint64_t old_length;
    const uint8_t *new_bytes;
    uint64_t new_length;
};

struct reach {
    uint64_t length;
    int64_t score;
};

int64_t score_of(bool equal) {
    return equal ? MATCH_GAIN : -MISMATCH_COST;
}

/* Set by the test hook: every score is taken a byte at a time, by the
 * loops that the word-wise ones below must agree with. */
bool force_scalar = false;

/* How far a copy at `shift` pays going forward from new position `from`,
 * without passing `limit`: the plain loop, a byte at a time. */
reach reach_forward_scalar(const values &v, uint64_t from, uint64_t limit, int64_t shift) {
    uint64_t source = from + static_cast<uint64_t>(shift);
    if (source >= v.old_length || from >= limit) {
        return {0, 0};
    }
    uint64_t most = std::min(limit - from, v.old_length - source);
    reach best = {0, 0};
    int64_t score = 0;
    for (uint64_t i = 0; i < most; i++) {
        score += score_of(v.new_bytes[from + i] == v.old_bytes[source + i]);
        if (score > best.score) {
            best = {i + 1, score};
        } else if (score < best.score - GIVE_UP) {
            break;
        }
    }
    return best;
}

/* The same going backward from `end` (exclusive), not below `floor`. */
reach reach_backward_scalar(const values &v, uint64_t end, uint64_t floor, int64_t shift) {
    uint64_t source_end = end + static_cast<uint64_t>(shift);
    if (end <= floor || source_end > v.old_length) {
        return {0, 0};
    }
    uint64_t most = std::min(end - floor, source_end);
    reach best = {0, 0};
    int64_t score = 0;
    for (uint64_t i = 1; i <= most; i++) {
        score += score_of(v.new_bytes[end - i] == v.old_bytes[source_end - i]);
        if (score > best.score) {
            best = {i, score};
        } else if (score < best.score - GIVE_UP) {
            break;
        }
    }
    return best;
}

/* Mismatches in a row after which a scan that stands `score` above its
 * best less GIVE_UP gives up: the first count that takes it below. */
uint64_t mismatches_to_give_up(int64_t score, int64_t best) {
    return static_cast<uint64_t>((score - best + GIVE_UP) / MISMATCH_COST) + 1;
}

/*
 * reach_forward_scalar and reach_backward_scalar a run at a time: over a
 * run of equal bytes the score only rises, so the best prefix is the
 * run's end where it beats the best so far; over a run of mismatches it
 * only falls and the best stays, so all that matters is whether the run
 * takes the score past GIVE_UP, which bounds how far the run is measured.
 * Copies are mostly long runs of equal bytes between single differing
 * ones, which the byte loops scored one at a time.  equal_run(i, n) and
 * unequal_run(i, n) measure the run that starts i bytes into the scan, at
 * most n bytes, in the scan's direction.
 */
template <typename Equal, typename Unequal>
reach reach_by_runs(uint64_t most, Equal equal_run, Unequal unequal_run) {
    reach best = {0, 0};
    int64_t score = 0;
    uint64_t i = 0;
    while (true) {
        uint64_t equal = equal_run(i, most - i);
        i += equal;
        score += MATCH_GAIN * static_cast<int64_t>(equal);
        if (score > best.score) {
            best = {i, score};
        }
        if (i == most) {
            return best;
        }
        uint64_t cap = std::min(most - i, mismatches_to_give_up(score, best.score));
        uint64_t unequal = unequal_run(i, cap);
        i += unequal;
        score -= MISMATCH_COST * static_cast<int64_t>(unequal);
        if (score < best.score - GIVE_UP || i == most) {
            return best;
        }
    }
}

reach reach_forward(const values &v, uint64_t from, uint64_t limit, int64_t shift) {
    if (force_scalar) {
        return reach_forward_scalar(v, from, limit, shift);
    }
    uint64_t source = from + static_cast<uint64_t>(shift);
    if (source >= v.old_length || from >= limit) {
        return {0, 0};
    }
    const uint8_t *fresh = v.new_bytes + from;
    const uint8_t *old = v.old_bytes + source;
    return reach_by_runs(
        std::min(limit - from, v.old_length - source),
        [&](uint64_t i, uint64_t n) { return buf_common_prefix(fresh + i, old + i, n); },
        [&](uint64_t i, uint64_t n) { return buf_unequal_prefix(fresh + i, old + i, n); });
}

reach reach_backward(const values &v, uint64_t end, uint64_t floor, int64_t shift) {
    if (force_scalar) {
        return reach_backward_scalar(v, end, floor, shift);
    }
    uint64_t source_end = end + static_cast<uint64_t>(shift);
    if (end <= floor || source_end > v.old_length) {
        return {0, 0};
    }
    const uint8_t *fresh = v.new_bytes + end;
    const uint8_t *old = v.old_bytes + source_end;
    return reach_by_runs(
        std::min(end - floor, source_end),
        [&](uint64_t i, uint64_t n) { return buf_common_suffix(fresh - i, old - i, n); },
        [&](uint64_t i, uint64_t n) { return buf_unequal_suffix(fresh - i, old - i, n); });
}

int64_t shift_of(const diff_compact_copy &copy) {
    return static_cast<int64_t>(copy.source - copy.target);
}

/*
 * Where two copies that both reach into [low, high) should meet: the
 * point that gives each byte of the overlap to the copy it matches
 * better, as far as one cut can.
 */
uint64_t best_meeting(const values &v, uint64_t low, uint64_t high, int64_t before, int64_t after) {
    uint64_t best = low;
    int64_t gain = 0;
    int64_t best_gain = 0;
    for (uint64_t at = low; at < high; at++) {
        uint8_t byte = v.new_bytes[at];
        gain += score_of(byte == v.old_bytes[at + static_cast<uint64_t>(before)]) -
                score_of(byte == v.old_bytes[at + static_cast<uint64_t>(after)]);
        if (gain > best_gain) {
            best_gain = gain;
            best = at + 1;
        }
    }
    return best;
}

/* Whether one copy at `shift` should span [low, high) to join the copies
 * on either side: what its mismatches cost must stay below the command
 * that joining saves. */
bool worth_bridging_scalar(const values &v, uint64_t low, uint64_t high, int64_t shift) {
    int64_t score = NEW_COPY_SCORE;
    for (uint64_t at = low; at < high && score > 0; at++) {
        score += score_of(v.new_bytes[at] == v.old_bytes[at + static_cast<uint64_t>(shift)]);
    }
    return score > 0;
}

/* worth_bridging_scalar a run at a time: the answer turns on whether some
 * run of mismatches takes the score to zero, and a run longer than that
 * needs no measuring. */
bool worth_bridging(const values &v, uint64_t low, uint64_t high, int64_t shift) {
    if (force_scalar) {
        return worth_bridging_scalar(v, low, high, shift);
    }
    const uint8_t *fresh = v.new_bytes + low;
    const uint8_t *old = v.old_bytes + (low + static_cast<uint64_t>(shift));
    uint64_t most = high - low;
    int64_t score = NEW_COPY_SCORE;
    uint64_t i = 0;
    while (i < most) {
        uint64_t equal = buf_common_prefix(fresh + i, old + i, most - i);
        i += equal;
        score += MATCH_GAIN * static_cast<int64_t>(equal);
        if (i == most) {
            break;
        }
        // The score is positive here: it takes this many mismatches to
        // bring it to zero or below.
        auto to_zero = static_cast<uint64_t>((score + MISMATCH_COST - 1) / MISMATCH_COST);
        uint64_t unequal = buf_unequal_prefix(fresh + i, old + i, std::min(most - i, to_zero));
        i += unequal;
        score -= MISMATCH_COST * static_cast<int64_t>(unequal);
        if (score <= 0) {
            return false;
        }
    }
    return score > 0;
}

/* The distinct shifts of the latest copies, most recent first. */
struct recent {
    int64_t shift[RECENT_SHIFTS] = {};
    int count = 0;

    void note(int64_t fresh) {
        int at = 0;
        while (at < count && shift[at] != fresh) {
            at++;
        }
        if (at == count) {
            count = std::min(count + 1, RECENT_SHIFTS);
            at = count - 1;
        }
        for (int i = at; i > 0; i--) {
            shift[i] = shift[i - 1];
        }
        shift[0] = fresh;
    }
};

struct extender {
    values v;
    diff_compact_parse out = {nullptr, 0, 0};
    recent shifts;

    diff_compact_copy *last() { return out.count > 0 ? &out.copies[out.count - 1] : nullptr; }

    bool from_old(const diff_compact_copy &copy) const { return copy.source < v.old_length; }

    bool push(const diff_compact_copy &copy) {
        diff_compact_copy *previous = last();
        // The same shift at the old value's end may carry on into the new
        // value: the two copies are then of different kinds and stay apart.
        if (previous != nullptr && previous->target + previous->length == copy.target &&
            shift_of(*previous) == shift_of(copy) && from_old(*previous) == from_old(copy)) {
            previous->length += copy.length;
            return true;
        }
        if (from_old(copy)) {
            shifts.note(shift_of(copy));
        }
        return diff_compact_parse_add(&out, copy.target, copy.source, copy.length);
    }

    /* The first position from `start` on, before `to` and the old value's
     * end at `shift`, whose byte matches there. */
    uint64_t past_mismatches(uint64_t start, uint64_t to, int64_t shift) const {
        if (force_scalar) {
            while (start < to && start + static_cast<uint64_t>(shift) < v.old_length &&
                   v.new_bytes[start] != v.old_bytes[start + static_cast<uint64_t>(shift)]) {
                start++;
            }
            return start;
        }
        uint64_t source = start + static_cast<uint64_t>(shift);
        if (start >= to || source >= v.old_length) {
            return start;
        }
        uint64_t most = std::min(to - start, v.old_length - source);
        return start + buf_unequal_prefix(v.new_bytes + start, v.old_bytes + source, most);
    }

    /* Covers what it can of the literal stretch [from, to) with copies at
     * recent shifts, front to back. */
    bool fill(uint64_t from, uint64_t to) {
        while (to - from >= SHORTEST_STRETCH) {
            reach best = {0, 0};
            int64_t best_shift = 0;
            uint64_t best_start = from;
            for (int i = 0; i < shifts.count; i++) {
                int64_t shift = shifts.shift[i];
                uint64_t start = from;
                // Leading mismatches would only be literals inside the copy.
                start = past_mismatches(start, to, shift);
                reach r = reach_forward(v, start, to, shift);
                if (r.score > best.score) {
                    best = r;
                    best_shift = shift;
                    best_start = start;
                }
            }
            if (best.score < NEW_COPY_SCORE) {
                return true;
            }
            if (!push({best_start, best_start + static_cast<uint64_t>(best_shift), best.length})) {
                return false;
            }
            from = best_start + best.length;
        }
        return true;
    }

    /*
     * What bridge(next) does where the answer needs no scoring, true when
     * it took `next` in so; false to leave it to bridge.  Two cases are
     * most of the copies of compiled code: a repeat from the new value
     * itself after another one or at the start (three copies in four of a
     * 2 MB module's), with a gap too short to fill, which is taken in as
     * it is; and the next piece of code at the same shift after a gap too
     * short for mismatches to outweigh a command (most of a new build's),
     * which joins the previous copy.  bridge weighed each with its full
     * round of tests, for nothing.
     */
    bool settled(const diff_compact_copy &next, bool &ok) {
        diff_compact_copy *previous = last();
        uint64_t low = previous != nullptr ? previous->target + previous->length : 0;
        uint64_t gap = next.target - low;
        if (!from_old(next)) {
            if (gap >= NEVER_FILLED_BELOW || (previous != nullptr && from_old(*previous))) {
                return false;
            }
            ok = push(next);
            return true;
        }
        if (previous == nullptr || !from_old(*previous) || gap >= ALWAYS_BRIDGED_BELOW ||
            shift_of(*previous) != shift_of(next)) {
            return false;
        }
        previous->length += gap + next.length;
        ok = true;
        return true;
    }

    /* Settles the literal stretch before `next` (or, without one, the
     * tail of the new value) and then takes `next` in. */
    bool bridge(const diff_compact_copy *next) {
        diff_compact_copy *previous = last();
        uint64_t low = previous != nullptr ? previous->target + previous->length : 0;
        uint64_t high = next != nullptr ? next->target : v.new_length;
        diff_compact_copy following = next != nullptr ? *next : diff_compact_copy{0, 0, 0};
        // Copies from the new value itself are left as the matcher found
        // them: neighbours may reach up to them, not they into neighbours.
        if (previous != nullptr && !from_old(*previous)) {
            previous = nullptr;
        }
        bool next_from_old = next != nullptr && from_old(*next);
        if (previous != nullptr && next != nullptr && next->length < ABSORB_BELOW &&
            shift_of(*previous) != shift_of(*next)) {
            // A short copy from elsewhere that the previous copy's shift
            // covers nearly as well: one long approximate copy instead of
            // three commands, and the shift stays the repeated one.
            uint64_t end = next->target + next->length;
            if (reach_forward(v, low, end, shift_of(*previous)).length == end - low) {
                previous->length = end - previous->target;
                return true;
            }
        }
        uint64_t forward = 0;
        if (previous != nullptr && next_from_old && shift_of(*previous) == shift_of(following) &&
            worth_bridging(v, low, high, shift_of(following))) {
            // One copy across the gap saves a command: the usual case of a
            // changed address between two stretches of moved code.
            previous->length += high - low + following.length;
            return true;
        }
        if (previous != nullptr) {
            forward = reach_forward(v, low, high, shift_of(*previous)).length;
        }
        uint64_t backward = 0;
        if (next_from_old) {
            backward = reach_backward(v, high, low, shift_of(following)).length;
        }
        if (forward + backward > high - low) {
            uint64_t meet = best_meeting(v, high - backward, low + forward, shift_of(*previous),
                                         shift_of(following));
            forward = meet - low;
            backward = high - meet;
        }
        if (previous != nullptr) {
            previous->length += forward;
        }
        following.target -= backward;
        following.source -= backward;
        following.length += backward;
        if (!fill(low + forward, high - backward)) {
            return false;
        }
        return next == nullptr || following.length == 0 || push(following);
    }
};

/* Takes in copies [from, to) of the parse, as the serial pass does. */
bool take_in(extender &work, const diff_compact_parse &parse, uint64_t from, uint64_t to) {
    for (uint64_t i = from; i < to; i++) {
        bool ok = true;
        if (!force_scalar && work.settled(parse.copies[i], ok)) {
            if (!ok) {
                return false;
            }
            continue;
        }
        if (!work.bridge(&parse.copies[i])) {
            return false;
        }
    }
    return true;
}

/*
 * Parses of split_from copies or more are extended in two halves at once.
 * What bridge does with a copy depends only on the copy, the last copy
 * taken in and the recent shifts, so a second pass that starts a little
 * before the middle from nothing soon holds the same state as the first
 * pass there would, and from the first copy where the two agree, its
 * output is the first pass's, byte for byte.  The first pass does its
 * half, then walks on past the middle comparing its state with the second
 * pass's before each copy, and joins the second pass's output at the
 * first agreement; where none comes within SYNC_MARKS marks it carries on
 * alone, as the serial pass.  The pass took 4% to 8% of the compact
 * delta of compiled code, on one core while the other waited.
 */
/* Below this many copies the helper's wake, the second pass's warm-up
 * and the join cost about what the halves save: a 10 K to 19 K-copy parse
 * of three modules took 0.1 to 0.15 ms longer in halves on a loaded
 * machine, of a 0.1 to 0.6 ms pass, while one of 118 K copies took
 * 2.3 ms in halves against 3.6 ms in one pass at best. */
uint64_t split_from = 65536;
/* The second pass starts before the middle so that by then its last copy
 * and recent shifts are those of the first pass: at least WARM_UP copies
 * before, and further back until the copies from the old value there hold
 * WARM_SHIFTS distinct shifts (some of them may be absorbed and never
 * noted), which on a module of compiled code can be a thousand copies
 * back, one shift holding for long; never more than a WARM_UP_SHARE of the
 * parse. */
constexpr uint64_t WARM_UP = 64;
constexpr int WARM_SHIFTS = RECENT_SHIFTS + 2;
constexpr uint64_t WARM_UP_SHARE_SHIFT = 3;
/* The second pass marks its state before every MARK_EVERY-th copy from
 * the middle on, SYNC_MARKS times: on a module of compiled code the two
 * passes' recent shifts can take thousands of copies to agree, the
 * oldest of them noted long before, and once the passes agree they do so
 * at every copy after, so a join found at a mark is at most MARK_EVERY
 * copies late. */
constexpr uint64_t MARK_EVERY = 16;
constexpr uint64_t SYNC_MARKS = 4096;

/* Where the second pass starts; see above. */
uint64_t warm_start(const diff_compact_parse &parse, uint64_t middle, uint64_t old_length) {
    int64_t seen[WARM_SHIFTS] = {};
    int distinct = 0;
    uint64_t start = middle;
    uint64_t farthest = parse.count >> WARM_UP_SHARE_SHIFT;
    while (start > 0 && middle - start < farthest &&
           (distinct < WARM_SHIFTS || middle - start < WARM_UP)) {
        start--;
        const diff_compact_copy &copy = parse.copies[start];
        if (copy.source >= old_length || distinct == WARM_SHIFTS) {
            continue;
        }
        int64_t shift = shift_of(copy);
        int k = 0;
        while (k < distinct && seen[k] != shift) {
            k++;
        }
        if (k == distinct) {
            seen[distinct++] = shift;
        }
    }
    return start;
}

/* What decides the rest of a pass: its last copy and recent shifts, and
 * how many copies it had put out then. */
struct mark {
    diff_compact_copy last;
    recent shifts;
    uint64_t count;
};

mark mark_of(const extender &work) {
    mark m = {{0, 0, 0}, work.shifts, work.out.count};
    if (work.out.count > 0) {
        m.last = work.out.copies[work.out.count - 1];
    }
    return m;
}

bool agree(const mark &a, const mark &b) {
    if ((a.count == 0) != (b.count == 0) || a.shifts.count != b.shifts.count ||
        a.last.target != b.last.target || a.last.source != b.last.source ||
        a.last.length != b.last.length) {
        return false;
    }
    for (int i = 0; i < a.shifts.count; i++) {
        if (a.shifts.shift[i] != b.shifts.shift[i]) {
            return false;
        }
    }
    return true;
}

struct halves {
    const diff_compact_parse *parse;
    uint64_t middle;
    extender first;
    extender second;
    mark *marks;
    uint64_t marked;
    bool ok[2];
};

/* A pool task: the first half (0), or the second pass (1), marking its
 * state before each copy of the window after the middle. */
void run_half(void *context, uint32_t i) {
    auto &h = *static_cast<halves *>(context);
    if (i == 0) {
        h.ok[0] = take_in(h.first, *h.parse, 0, h.middle);
        return;
    }
    uint64_t start = warm_start(*h.parse, h.middle, h.first.v.old_length);
    bool ok = take_in(h.second, *h.parse, start, h.middle);
    uint64_t j = h.middle;
    for (uint64_t k = 0; ok && k < SYNC_MARKS && j < h.parse->count; k++) {
        h.marks[k] = mark_of(h.second);
        h.marked = k + 1;
        uint64_t next = std::min(h.parse->count, j + MARK_EVERY);
        ok = take_in(h.second, *h.parse, j, next);
        j = next;
    }
    h.ok[1] = ok && take_in(h.second, *h.parse, j, h.parse->count) && h.second.bridge(nullptr);
}

/* Appends copies [from, end) of `tail` to `out`. */
bool append(diff_compact_parse &out, const diff_compact_parse &tail, uint64_t from) {
    uint64_t n = tail.count - from;
    while (out.capacity - out.count < n) {
        if (!diff_compact_parse_grow(&out)) {
            return false;
        }
    }
    if (n > 0) {
        memcpy(out.copies + out.count, tail.copies + from, n * sizeof(diff_compact_copy));
    }
    out.count += n;
    return true;
}

/* The first pass walking on from the middle: joined to the second pass's
 * output at the first agreement, or alone to the end; true on success,
 * with the result in h.first.out. */
bool join_halves(halves &h) {
    const diff_compact_parse &parse = *h.parse;
    uint64_t j = h.middle;
    if (h.ok[1]) {
        for (uint64_t k = 0; k < h.marked; k++) {
            const mark &theirs = h.marks[k];
            if (agree(mark_of(h.first), theirs)) {
                // The agreed last copy is the second pass's: it may have
                // grown since.
                uint64_t has_last = theirs.count > 0 ? 1 : 0;
                h.first.out.count -= has_last;
                return append(h.first.out, h.second.out, theirs.count - has_last);
            }
            uint64_t next = std::min(parse.count, j + MARK_EVERY);
            if (!take_in(h.first, parse, j, next)) {
                return false;
            }
            j = next;
        }
    }
    return take_in(h.first, parse, j, parse.count) && h.first.bridge(nullptr);
}

bool extend_in_halves(diff_compact_parse *parse, const values &v, diff_compact_parse &out) {
    auto *marks = static_cast<mark *>(malloc(SYNC_MARKS * sizeof(mark)));
    if (marks == nullptr) {
        return false;
    }
    halves h = {parse, parse->count / 2, {}, {}, marks, 0, {false, false}};
    h.first.v = v;
    // Room for about the whole result at once, where the second pass's
    // copies are joined: grown a doubling at a time from half, the list of
    // a 30 MB library's 2.6 M copies was copied whole once more on the
    // caller's thread.  Where the room cannot be had, the list grows as
    // it needs to.
    while (h.first.out.capacity < parse->count && diff_compact_parse_grow(&h.first.out)) {
    }
    h.second.v = v;
    work_pool_run(1, 2, run_half, &h);
    bool ok = h.ok[0] && join_halves(h);
    free(marks);
    diff_compact_parse_release(&h.second.out);
    if (!ok) {
        diff_compact_parse_release(&h.first.out);
        return false;
    }
    out = h.first.out;
    return true;
}

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_approx_extend(diff_compact_parse *parse, const buf *old_value,
                                const buf *new_value) {
    values v = {old_value->data, old_value->len, new_value->data, new_value->len};
    diff_compact_parse out = {nullptr, 0, 0};
    if (!force_scalar && parse->count >= split_from && work_pool_cores() > 1) {
        if (!extend_in_halves(parse, v, out)) {
            return false;
        }
    } else {
        extender work;
        work.v = v;
        if (!take_in(work, *parse, 0, parse->count) || !work.bridge(nullptr)) {
            diff_compact_parse_release(&work.out);
            return false;
        }
        out = work.out;
    }
    diff_compact_parse_release(parse);
    *parse = out;
    return true;
}

void _diff_compact_approx_force_scalar(bool scalar) {
    force_scalar = scalar;
}

void _diff_compact_approx_split_from(uint64_t copies) {
    split_from = copies;
}

TOVAREL_END_DECLS
