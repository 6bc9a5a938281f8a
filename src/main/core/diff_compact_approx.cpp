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

/* How far a copy at `shift` pays going forward from new position `from`,
 * without passing `limit`. */
reach reach_forward(const values &v, uint64_t from, uint64_t limit, int64_t shift) {
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
reach reach_backward(const values &v, uint64_t end, uint64_t floor, int64_t shift) {
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
bool worth_bridging(const values &v, uint64_t low, uint64_t high, int64_t shift) {
    int64_t score = NEW_COPY_SCORE;
    for (uint64_t at = low; at < high && score > 0; at++) {
        score += score_of(v.new_bytes[at] == v.old_bytes[at + static_cast<uint64_t>(shift)]);
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
                while (start < to && start + static_cast<uint64_t>(shift) < v.old_length &&
                       v.new_bytes[start] != v.old_bytes[start + static_cast<uint64_t>(shift)]) {
                    start++;
                }
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

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_approx_extend(diff_compact_parse *parse, const buf *old_value,
                                const buf *new_value) {
    extender work;
    work.v = {old_value->data, old_value->len, new_value->data, new_value->len};
    for (uint64_t i = 0; i < parse->count; i++) {
        if (!work.bridge(&parse->copies[i])) {
            diff_compact_parse_release(&work.out);
            return false;
        }
    }
    if (!work.bridge(nullptr)) {
        diff_compact_parse_release(&work.out);
        return false;
    }
    diff_compact_parse_release(parse);
    *parse = work.out;
    return true;
}

TOVAREL_END_DECLS
