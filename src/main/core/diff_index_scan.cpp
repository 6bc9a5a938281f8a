/*
 * diff_index_scan.cpp - scans the new value front to back and chooses, at
 * each position, where in the old value the stretch from there is copied.
 *
 * The candidates at a position are first those the usual edits leave
 * behind the last copy (its diagonal after replaced bytes, the old bytes
 * right after it after inserted ones, old bytes a little further on after
 * deleted ones), the diagonal of the last long copy, and the longest run
 * for a run.  They cost no probe of the index.  When none of them is long
 * enough, one near bucket gives the latest few places of the 8-byte window
 * and, where the window passes the deep chains' content test, its chain
 * gives the places of the window's fingerprint.
 *
 * The work per position is bounded by a constant: a handful of fixed
 * candidates, one near bucket, and a deep chain only where the window was
 * sampled and only as deep as the level allows.  Where nothing long
 * matches, that is one near probe and at most one chain head, since a
 * window found nowhere in the old value has an empty chain unless another
 * window shares its fingerprint.
 *
 * Each candidate is verified and extended forward and backward; the one
 * that takes the parse furthest for the cheapest copy pair wins, unless one
 * of the next few positions offers a better one (lazy matching).  Most
 * candidates cannot beat the best one found so far; a bound on their score
 * and one comparison turn them away unmeasured (bounded_check), with the
 * verdicts of the plain check, which the tests run against it.
 *
 * Backward extension is what makes sampling and skipping cheap: a match
 * whose start was not indexed, or was stepped over, is still found from
 * any indexed window inside it and then grown back to its true start.  The
 * last copy stays pending until the next is chosen, so that a short one
 * can be taken over by a longer match that reaches back across it.
 */
#include "diff_index_scan.h"

#include <type_traits>

#include "cbor_generator.h"
#include "diff_index_compare.h"

namespace diff_index {
namespace {

/* Chain links tried at the positions the scan stops at and at those a
 * short match looks ahead to: more while the chains hold every window (the
 * old value is small and its tables stay in cache), fewer once they are
 * sampled.  Text repeats its phrases hundreds of times, and the longest
 * match for a phrase is often far down its chain.  A look-ahead only has
 * to beat the match in hand, and its links, a chase through memory where
 * each waits for the one before, were the dearer half of a text pair's
 * scan: 32 links there (and 128 where the scan stops) took 9% off the real
 * pairs' instructions for 0.02% on their deltas, with LAZY_BELOW at 48.
 * Once a match is in hand, the walk takes the chain of a later window
 * (BEYOND_BEST), which holds few places that do not beat it: with those
 * walks, 64 links where the scan stops rather than 128 took 5% off
 * typing.py 3.10's pair for 0.16% on the real pairs' deltas.  Sampled
 * chains are probed at one position in deep_mask + 1 only; 32
 * links there gave the compiled modules' pairs 0.1% larger deltas than 64
 * for 3 to 9% fewer instructions on the mid-size ones, and a shared
 * library under 1000 edits the same delta. */
constexpr int32_t FULL_CHAIN_DEPTH = 64;
/* The levels above 0 divide the depth the full chains had before, which
 * their single link or two at level 3 need: there the search has no
 * look-ahead, and half the links made level 3's real deltas 5% larger for
 * no fewer instructions. */
constexpr int32_t FULL_LEVELED_CHAIN_DEPTH = 128;
constexpr int32_t FULL_LOOKAHEAD_CHAIN_DEPTH = 32;
constexpr int32_t SAMPLED_CHAIN_DEPTH = 32;

/* Compiled code is no text: its windows repeat by chance, as common
 * instruction bytes, and the longest match for one is seldom far down its
 * chain.  Where the scan stops at a window that looks compiled, the full
 * chains are walked FULL_COMPILED_CHAIN_DEPTH links deep: on the array
 * module's pair, 32 links rather than 128 took 17% off its instructions
 * for a 0.3% larger delta (64 links: 10% for 0.08%), and 8 links rather
 * than 32 at the positions looked ahead to from there 5% more for 0.04%. */
constexpr int32_t FULL_COMPILED_CHAIN_DEPTH = 32;
constexpr int32_t FULL_COMPILED_LOOKAHEAD_CHAIN_DEPTH = 8;

/* A search stops once a match this long is found: past it a longer one
 * saves little, and unchanged stretches, where every position the scan
 * stops at has one, would pay the whole depth. */
constexpr uint64_t GOOD_ENOUGH = 128;

/* Before a match shorter than this is taken, the next FULL_LOOKAHEAD
 * positions are tried too, or SAMPLED_LOOKAHEAD once the tables are
 * sampled: a longer match found from a later sampled window then still
 * wins (on a shared library under 1000 edits, 4 gave 0.6% smaller deltas
 * than 2).  Where the chains hold every window, one position is enough
 * for text since the look-ahead walks the chain of a later window: a
 * second one cost another 6% of typing.py 3.10's pair for 0.3% smaller
 * deltas on the real pairs.  A match of 48 bytes or more in text is
 * nearly always the one the look-ahead would keep: 48 rather than 64 left
 * the real pairs' deltas as small and looked ahead less. */
constexpr uint64_t LAZY_BELOW = 48;
constexpr uint32_t FULL_LOOKAHEAD = 1;
constexpr uint32_t SAMPLED_LOOKAHEAD = 4;

/* How far past the end of the last copy a deletion is looked for in the
 * old value, and how many of the windows found there are tried.  Only a
 * copy of NEARBY_AFTER bytes or more is followed so: a shorter one is
 * mostly a chance match from elsewhere, in compiled code nearly every
 * copy, and the old bytes after it have nothing to do with the new ones
 * (on a shared library's pair the search cost 3% of the scan and found
 * next to nothing after such copies). */
constexpr uint64_t NEARBY_REACH = 32;
constexpr int32_t NEARBY_HITS = 4;
constexpr uint64_t NEARBY_AFTER = 32;

/* While no match turns up the scan steps further and further: one more
 * byte per 2^skip_shift bytes without a match, up to MAX_SKIP, so that no
 * match longer than MAX_SKIP + WINDOW is stepped over whole.  Whatever a
 * step jumps over is recovered by backward extension once a match is
 * found. */
constexpr uint32_t SKIP_SHIFT = 7;
constexpr uint64_t MAX_SKIP = 256;

/* In compiled code a copy shorter than SURE_COPY is mostly a chance match
 * of common instruction bytes, and a pair under a new release is made of
 * little else where it changed: the step after a miss there grows from the
 * end of the last copy of SURE_COPY bytes or more, across the short ones.
 * Where the chains hold every window (the small modules) this took 37% off
 * a module's scan for a 4.6% larger delta; text keeps its short copies,
 * phrases worth taking (the same rule cost the real pairs 1.4%), and so do
 * the sampled chains of larger modules (at 12 bytes the rule made the
 * largest module's delta 1% larger).  The sampled chains of an old value
 * under MID_COMPILED_BELOW take it with SAMPLED_SURE_COPY: there a copy
 * of 14 bytes or more is mostly a real one, and the rule took 27% off
 * _decimal's pair and 3% off numpy's random generator for 1.9% and 0.8%
 * on their deltas (16 bytes: 35% off _decimal's for 3.1%). */
constexpr uint64_t SURE_COPY = 24;
constexpr uint64_t SAMPLED_SURE_COPY = 14;

/* Among the compiled bytes of an old value under MID_COMPILED_BELOW, the
 * step after a miss starts at MID_COMPILED_STEP bytes rather than one: a
 * match found from the next window grows back over the byte stepped over,
 * and what is lost is an 8-byte copy that starts there, or a sampled
 * window of a longer one that has no other.  The mid-size modules
 * of a new release change a few bytes every few dozen, nearly every
 * position the scan stops at there is a miss, and this took 8 to 22% off
 * their pairs' instructions (array module, numpy's random generator,
 * _decimal) for 1.2 to 1.6% larger deltas.  The step there also grows
 * twice as soon (MID_COMPILED_SHIFT_LESS): another 6 to 8% off the array
 * module's and _decimal's pairs for 1.4% and 0.7% on their deltas.
 * Larger values are left as they are: a shared library's delta grew by
 * 1.2 to 1.3% for either.  So is an old value indexed on a grid, which
 * the trial found unrelated to the new one: its rare indexed windows are
 * met only at the very positions that line up with them, and a block of
 * it amid new bytes was missed more often with the sparser steps. */
constexpr uint64_t MID_COMPILED_BELOW = 2ULL << 20;
constexpr uint64_t MID_COMPILED_STEP = 2;
constexpr uint32_t MID_COMPILED_SHIFT_LESS = 1;

/* Whether a window looks like compiled code rather than text: it holds a
 * zero byte or one with its high bit set (SWAR: a zero byte sets its high
 * bit in w - 0x01.. & ~w). */
bool looks_compiled(uint64_t window) {
    const uint64_t high = 0x8080808080808080ULL;
    return ((window | ((window - BYTE_SPREAD) & ~window)) & high) != 0;
}

/* A copy of `length` bytes from old_start to new_start, and how far the
 * parse gets with it (see consider). */
struct match {
    uint64_t new_start;
    uint64_t old_start;
    uint64_t length;
    int64_t score;
};

constexpr match NO_MATCH = {0, 0, 0, INT64_MIN};

/* The longest lengths whose head takes one byte, and two. */
constexpr uint64_t ONE_BYTE_HEAD_MOST = 23;
constexpr uint64_t TWO_BYTE_HEAD_MOST = 255;

int64_t copy_cost(uint64_t old_start, uint64_t length) {
    return cbor_head_size(old_start) + cbor_head_size(length);
}

int64_t copy_cost(const match &m) {
    return copy_cost(m.old_start, m.length);
}

/* cbor_head_size(offset) or less, exact from 256 to 2^32 - 1, where the
 * offsets of all but the smallest values fall: the fast check needs only
 * a bound, and works one out for every candidate it measures. */
int64_t offset_head_least(uint64_t offset) {
    return 1 + 2 * static_cast<int64_t>(offset > 0xFF) + 2 * static_cast<int64_t>(offset > 0xFFFF);
}

/*
 * Where the parse stands: the last copy found, which is still pending (it
 * has not been recorded yet), and the literal bytes before it.  A short
 * pending copy may be taken over by a later match that extends back across
 * all of it; a long one only gives up bytes at its end.
 */
struct parse {
    match pending;          /* length 0 while there is none */
    uint64_t literal_start; /* first literal byte before the pending copy */
    uint64_t reach;         /* backward extension stops here */
    int64_t diagonal;       /* of the pending copy: old position - new position */
    int64_t anchor;         /* of the last copy of LAZY_BELOW bytes or more; 0 before one */
    int64_t drop_earns;     /* copy_cost of the pending copy while droppable, else -1 */
    uint64_t sure_end;      /* of the last copy of sure_copy bytes or more */
    uint64_t sure_copy;     /* SURE_COPY or SAMPLED_SURE_COPY */
    uint64_t new_end() const { return pending.new_start + pending.length; }
    uint64_t old_end() const { return pending.old_start + pending.length; }
    bool droppable() const { return pending.length != 0 && pending.length < LAZY_BELOW; }
};

/* The scan's view of both values; end stands for the new value's end. */
struct scan {
    const old_index *index;
    const uint8_t *new_bytes;
    uint64_t end;
    scan_counts *counts;
    bool every_window; /* the deep chains hold every window but runs' rests */
};

/* What the walk at the position before is known to have tried: every old
 * position from `from` on whose window is that position's, and, unless
 * chain_end is 0, whose window ending at new position chain_end lines up
 * too (the walk then took that window's chain). */
struct tried_walk {
    uint64_t from;
    uint64_t chain_end;
};

/* No walk is known to have tried any old position. */
constexpr uint64_t NONE_TRIED = UINT64_MAX;
constexpr tried_walk NONE_KNOWN = {NONE_TRIED, 0};

/* Once a match is in hand, a candidate that does not reach past its end
 * beats it only by a cheaper head, and one that does also matches the
 * window that ends BEYOND_BEST bytes past that end.  Where the chains hold
 * every window, the walk then takes that window's chain rather than the
 * one at the position searched: in text the window at the position is
 * often a common one (indentation and a keyword), whose chain is mostly
 * places where the phrase ends sooner, while the later window's chain
 * holds only those that go on, and the same number of links reaches more
 * of them.  On the real pairs this made the deltas 0.7% smaller, and took
 * 15% off the instructions of typing.py 3.10's pair and 7% off the array
 * module's (its delta 0.0%); the window that ends at the best's end gave
 * 0.2% smaller deltas, two bytes past it 0.5%. */
constexpr uint64_t BEYOND_BEST = 1;

uint64_t least(uint64_t a, uint64_t b) {
    return a < b ? a : b;
}

/* What gap literal bytes between two copies cost in the delta: the bytes
 * and the head of their insertion.  A copy that leaves a gap after the
 * pending one pays the head too: of two matches that reach as far for the
 * same pair, the one that starts right after the pending copy is a byte
 * or more shorter in the delta (0.06% off the real pairs' deltas). */
int64_t gap_cost(uint64_t gap) {
    return static_cast<int64_t>(gap) + cbor_head_size(gap);
}

/* The score of a copy of m's extent at the parse: where the parse stands
 * after it, in bytes of the new value, less what it paid since the pending
 * copy (the copy pair and the literal bytes in between); a copy that takes
 * over the pending one earns its pair and the literal bytes before it
 * back.  Scores of matches through different positions compare directly. */
int64_t score_of(const match &m, const parse &at) {
    int64_t score = static_cast<int64_t>(m.new_start + m.length) - copy_cost(m);
    if (m.new_start > at.new_end()) {
        score -= gap_cost(m.new_start - at.new_end());
    } else if (at.droppable() && m.new_start <= at.pending.new_start) {
        score += copy_cost(at.pending) + static_cast<int64_t>(at.pending.new_start - m.new_start);
    }
    return score;
}

/* Verifies old position q against new position p, extends it both ways
 * and keeps it in best if it scores higher. */
template <uint64_t (*Extend)(const uint8_t *, const uint8_t *, uint64_t)>
void consider(const scan &s, uint64_t q, uint64_t p, const parse &at, match &best) {
    const old_index &index = *s.index;
    uint64_t room = least(index.old_length - q, s.end - p);
    uint64_t forward = Extend(index.old_bytes + q, s.new_bytes + p, room);
    if (forward == 0) {
        return;
    }
    uint64_t back_room = least(q, p - at.reach);
    uint64_t backward = buf_common_suffix(index.old_bytes + q, s.new_bytes + p, back_room);
    match m{p - backward, q - backward, forward + backward, 0};
    if (m.length < MIN_MATCH) {
        return;
    }
    m.score = score_of(m, at);
    if (m.score > best.score) {
        best = m;
    }
}

/* The plain check of the candidates at new position p: consider itself.
 * It is the oracle of bounded_check, which the tests run against it. */
struct plain_check {
    const scan &s;
    const parse &at;
    uint64_t p;
    plain_check(const scan &view, const parse &where, uint64_t position)
        : s(view), at(where), p(position) {}
    static constexpr auto extend = buf_common_prefix;
    static constexpr bool skip_tried = false;
    static constexpr bool quick_misses = false;
    static constexpr bool asks_ahead = false;
    void operator()(uint64_t q, match &best) const { consider<extend>(s, q, p, at, best); }
    void fixed(uint64_t q, match &best) const { consider<extend>(s, q, p, at, best); }
};

/*
 * consider's verdicts on candidates whose window equals p's, reached with
 * less work.  Backward extension alone decides where a copy starts, and so
 * what its start pays or earns in the score; the copy pair costs its
 * offset's head and at least one byte more.  A candidate that extends
 * forward by fewer than `need` bytes therefore scores no higher than the
 * best, and one comparison of the 8 bytes that end there turns most
 * candidates away before their forward extension is measured.
 *
 * Every verdict, score and tie is consider's: a candidate turned away
 * would not have replaced the best, so the best, and with it the stop at
 * good_enough, is what consider leaves.
 */
struct bounded_check {
    const scan &s;
    uint64_t p;
    const uint8_t *new_at;
    uint64_t back_limit; /* backward extension stops at at.reach */
    uint64_t new_room;
    uint64_t end_before;  /* where the pending copy ends */
    uint64_t take_over;   /* a start at or before this drops the pending copy */
    int64_t pending_cost; /* what dropping it earns back besides its bytes */
    uint64_t word_before; /* the 8 bytes before p, when p has them */

    static constexpr auto extend = extend_forward_wide;
    static constexpr bool skip_tried = true;
    static constexpr bool quick_misses = true;
    static constexpr bool asks_ahead = true;

    bounded_check(const scan &view, const parse &where, uint64_t position)
        : s(view), p(position), new_at(view.new_bytes + position),
          back_limit(position - where.reach), new_room(view.end - position),
          end_before(where.new_end()), take_over(where.pending.new_start),
          pending_cost(where.drop_earns),
          word_before(position >= 8 ? load64(view.new_bytes + position - 8) : 0) {}

    /* What a copy that starts at new_start pays or earns in its score
     * besides its own bytes and pair: score_of's terms. */
    __attribute__((always_inline)) int64_t earned(uint64_t new_start) const {
        if (new_start > end_before) {
            return -gap_cost(new_start - end_before);
        }
        if (pending_cost >= 0 && new_start <= take_over) {
            return pending_cost + static_cast<int64_t>(take_over - new_start);
        }
        return 0;
    }

    /* buf_common_suffix from q and p, back_room > 0 bytes at most.  Most
     * candidates differ within the 8 bytes before them, which one
     * comparison with the word before p tells when q has a whole word
     * before it too. */
    __attribute__((always_inline)) uint64_t extend_back(uint64_t q, const uint8_t *old_at,
                                                        uint64_t back_room) const {
        if (q < 8 || p < 8) {
            return buf_common_suffix(old_at, new_at, back_room);
        }
        uint64_t same = same_high(load64(old_at - 8) ^ word_before);
        if (same < 8 || back_room <= 8) {
            return least(same, back_room);
        }
        return 8 + buf_common_suffix(old_at - 8, new_at - 8, back_room - 8);
    }

    __attribute__((always_inline)) void operator()(uint64_t q, match &best) const {
        const old_index &index = *s.index;
        const uint8_t *old_at = index.old_bytes + q;
        uint64_t room = least(index.old_length - q, new_room);
        uint64_t back_room = least(q, back_limit);
        uint64_t backward = back_room == 0 ? 0 : extend_back(q, old_at, back_room);
        uint64_t new_start = p - backward, old_start = q - backward;
        int64_t gain = earned(new_start);
        if (best.length != 0) {
            int64_t need =
                best.score - static_cast<int64_t>(p) - gain + offset_head_least(old_start) + 2;
            if (need > static_cast<int64_t>(room)) {
                return;
            }
            if (need > static_cast<int64_t>(WINDOW) &&
                load64(old_at + need - WINDOW) != load64(new_at + need - WINDOW)) {
                return;
            }
        }
        uint64_t forward = WINDOW + extend(old_at + WINDOW, new_at + WINDOW, room - WINDOW);
        match m{new_start, old_start, forward + backward, 0};
        m.score = static_cast<int64_t>(p + forward) - copy_cost(m) + gain;
        if (m.score > best.score) {
            best = m;
        }
    }

    /*
     * consider's verdict on a fixed candidate (one that needs no index) at
     * old position q < the old value's length, whose window need not equal
     * p's.  Most differ at their first byte; most of the rest within the
     * first word, which then gives the forward extension at once, and a
     * copy too short even with all the backward extension it has room for
     * is turned away before that is measured.  Inline and with these
     * shortcuts, the fixed candidates cost a third of what consider's call
     * did at a position the scan stops at.
     */
    __attribute__((always_inline)) void fixed(uint64_t q, match &best) const {
        const old_index &index = *s.index;
        const uint8_t *old_at = index.old_bytes + q;
        if (*old_at != *new_at) {
            return;
        }
        uint64_t room = least(index.old_length - q, new_room);
        uint64_t forward;
        if (room >= WINDOW) {
            uint64_t differ = load64(old_at) ^ load64(new_at);
            forward = differ != 0
                          ? same_low(differ)
                          : WINDOW + extend(old_at + WINDOW, new_at + WINDOW, room - WINDOW);
        } else {
            forward = buf_common_prefix(old_at, new_at, room);
        }
        uint64_t back_room = least(q, back_limit);
        if (forward + back_room < MIN_MATCH) {
            return;
        }
        uint64_t backward = back_room == 0 ? 0 : extend_back(q, old_at, back_room);
        if (forward + backward < MIN_MATCH) {
            return;
        }
        uint64_t new_start = p - backward;
        match m{new_start, q - backward, forward + backward, 0};
        m.score = static_cast<int64_t>(p + forward) - copy_cost(m) + earned(new_start);
        if (m.score > best.score) {
            best = m;
        }
    }
};

/* Candidates right after a copy that need no index: old bytes skipped by a
 * deletion just after the pending copy.  A few are tried, nearest first. */
template <typename Check>
void consider_nearby(const scan &s, uint64_t p, const parse &at, uint64_t window, match &best) {
    const old_index &index = *s.index;
    if (index.old_length < WINDOW) {
        return;
    }
    uint64_t last_q = least(at.old_end() + NEARBY_REACH, index.old_length - WINDOW);
    int32_t hits = 0;
    for (uint64_t q = at.old_end() + 1; q <= last_q && hits < NEARBY_HITS; q++) {
        if (load64(index.old_bytes + q) == window) {
            consider<Check::extend>(s, q, p, at, best);
            hits++;
        }
    }
}

/* A run in the new value is copied from the longest run of its byte in the
 * old value, lined up so that backward extension covers the part of the
 * run before p. */
template <typename Check>
void consider_run(const scan &s, uint64_t p, const parse &at, uint8_t byte, match &best) {
    const old_index &index = *s.index;
    uint64_t length = index.run_length[byte];
    if (length < WINDOW) {
        return;
    }
    uint64_t before = run_backward(s.new_bytes + p, byte, p - at.reach);
    uint64_t offset = least(before, length - WINDOW);
    consider<Check::extend>(s, index.run_start[byte] + offset, p, at, best);
}

/*
 * The best match through new position p (which has a whole window left).
 * First the candidates that the usual edits leave: the pending copy's
 * diagonal (bytes replaced), the old bytes right after it (bytes inserted)
 * and, at the first byte after it, old bytes a little further on (bytes
 * deleted); then the diagonal of the last long copy.  The last long copy's
 * diagonal brings the parse back after a short copy from elsewhere: two
 * edits a few bytes apart leave a short stretch on the diagonal, and in a
 * small alphabet a deep chain finds a longer stretch by chance somewhere
 * else.  Then the near bucket and, where the window was sampled, depth
 * links of its deep chain.
 */
template <typename Check, bool Ahead>
match find(const scan &s, uint64_t p, const parse &at, const scan_settings &settings, int32_t depth,
           const match &seed, const tried_walk &known, tried_walk *tried, scan_counts &tally) {
    match best = seed;
    const old_index &index = *s.index;
    *tried = NONE_KNOWN;
    uint64_t probes = 0, candidates = 0;
    const Check check(s, at, p);
    int64_t q = static_cast<int64_t>(p) + at.diagonal;
    if (q >= 0 && q < static_cast<int64_t>(index.old_length)) {
        check.fixed(static_cast<uint64_t>(q), best);
    }
    if (static_cast<int64_t>(at.old_end()) != q && at.old_end() < index.old_length) {
        check.fixed(at.old_end(), best);
    }
    int64_t anchored = static_cast<int64_t>(p) + at.anchor;
    if (anchored != q && anchored != static_cast<int64_t>(at.old_end()) && anchored >= 0 &&
        anchored < static_cast<int64_t>(index.old_length)) {
        check.fixed(static_cast<uint64_t>(anchored), best);
    }
    uint64_t window = load64(s.new_bytes + p);
    if (p == at.new_end() && at.pending.length >= NEARBY_AFTER) {
        consider_nearby<Check>(s, p, at, window, best);
    }
    if (uniform(window)) {
        consider_run<Check>(s, p, at, static_cast<uint8_t>(window), best);
    }
    if (best.length >= settings.good_enough) {
        tally.positions++;
        return best;
    }
    const uint64_t last = index.old_length - WINDOW;
    uint64_t product = window_product(window);
    uint64_t sample = sample_product(window);
    if (index.near != nullptr && near_sampled(sample, index.near_mask)) {
        const near_bucket_slots &bucket = index.near[near_bucket(product, index.near_bits)];
        const uint32_t tag = near_tag(window);
        probes++;
        for (uint32_t way = 0; way < NEAR_WAYS && bucket.entry[way] != 0; way++) {
            uint64_t candidate = index.position(bucket.entry[way]);
            if (bucket.tag[way] == tag && candidate <= last &&
                load64(index.old_bytes + candidate) == window &&
                static_cast<int64_t>(candidate) != q) {
                candidates++;
                check(candidate, best);
            }
        }
    }
    if (deep_sampled(sample, index.deep_mask) && index.deep_samples != 0 &&
        best.length < settings.good_enough) {
        /* Looking ahead at p, a candidate q whose byte before equals new
         * byte p - 1 is candidate q - 1 of p - 1 grown by a byte: backward
         * extension gives it the same start, length and score, so it
         * cannot beat the best, which p - 1 left.  Where the walk at p - 1
         * is known to have tried q - 1 (from known.from on), the fast check
         * passes it by: in text most of a phrase's places are the places
         * of the phrase one byte before, and so were a third of the
         * candidates checked on a module's pair.  A walk that took a later
         * window's chain tried only the places where that window lines up
         * too, and q - 1 is one of them only if this walk takes the chain
         * of the same window. */
        uint64_t chain_end = p + WINDOW;
        uint64_t chained = window;
        uint64_t chained_product = product;
        if (best.length != 0 && s.every_window) {
            uint64_t beyond = least(best.new_start + best.length + BEYOND_BEST, s.end);
            if (beyond > p + WINDOW) {
                uint64_t later = load64(s.new_bytes + beyond - WINDOW);
                if (!uniform(later)) {
                    chain_end = beyond;
                    chained = later;
                    chained_product = window_product(later);
                }
            }
        }
        /* How far the window chained lies past p's: a chain entry at old
         * position e stands for candidate e - shift. */
        const uint64_t shift = chain_end - (p + WINDOW);
        const bool skip = Ahead && Check::skip_tried && known.from != NONE_TRIED &&
                          (known.chain_end == 0 || known.chain_end == chain_end) && p > at.reach;
        const uint64_t known_from = known.from;
        uint32_t link = index.deep_head[deep_fingerprint(chained_product, index.deep_bits)];
        uint64_t lowest = 0;
        /* Only a check can make the best long enough, so the walk tests
         * for that after one; the tables are read into locals, which the
         * checks' stores would otherwise make the loop read again.  Where
         * the chains hold every window, a sample is its position, and the
         * walk has a loop of its own without the lookup. */
        const uint32_t *const deep_at = index.deep_at;
        const uint32_t *const deep_link = index.deep_link;
        const uint8_t *const old_bytes = index.old_bytes;
        const int grid = index.grid;
        int32_t links = 0;
        /* A walk of a later window's chain (Shifted) reads entries that
         * stand for the candidates shift bytes before them: those before
         * shift stand for none, and the chain may hold other windows of the
         * same fingerprint. */
        auto walk = [&](auto position_of, auto shifted) __attribute__((always_inline)) {
            while (link != 0 && links < depth) {
                uint32_t taken = link - 1;
                uint64_t entry = position_of(taken);
                link = deep_link[taken];
                links++;
                lowest = entry;
                if constexpr (decltype(shifted)::value) {
                    if (entry < shift || load64(old_bytes + entry) != chained) {
                        continue;
                    }
                }
                uint64_t candidate = decltype(shifted)::value ? entry - shift : entry;
                if (load64(old_bytes + candidate) == window &&
                    static_cast<int64_t>(candidate) != q &&
                    !(skip && candidate > known_from &&
                      old_bytes[candidate - 1] == s.new_bytes[p - 1])) {
                    candidates++;
                    check(candidate, best);
                    if (best.length >= settings.good_enough) {
                        break;
                    }
                }
            }
        };
        auto at_entry = [](uint32_t taken) { return static_cast<uint64_t>(taken); };
        if (shift != 0) {
            walk(at_entry, std::true_type{});
        } else if (deep_at == nullptr && grid == 0) {
            walk(at_entry, std::false_type{});
        } else {
            walk(
                [&](uint32_t taken) {
                    return static_cast<uint64_t>(deep_at != nullptr ? deep_at[taken] : taken)
                           << grid;
                },
                std::false_type{});
        }
        probes += 1 + static_cast<uint64_t>(links);
        /* The chains list positions latest first: the walk has tried every
         * old position from lowest on whose window is the one chained, all
         * of them once it reached the chain's end.  Runs are chained by
         * their first window only.  Only a match found is looked ahead
         * from. */
        if (shift != 0) {
            *tried = tried_walk{link == 0 || lowest < shift ? 0 : lowest - shift, chain_end};
        } else if (best.length != 0 && s.every_window && !uniform(window)) {
            *tried = tried_walk{link == 0 ? 0 : lowest, 0};
        }
    }
    tally.positions++;
    tally.probes += probes;
    tally.candidates += candidates;
    return best;
}

/*
 * Whether find at p, a position the scan stops at, surely finds nothing,
 * told with less work where the chains hold every window: in rewritten
 * text most stops are misses (four in five on typing.py 3.10's pair), one
 * at nearly every new byte, and find spent about a hundred instructions on
 * each.  Sure when no fixed candidate has p's window or, with the byte
 * before, part of it (fixed turns those away), no nearby or run candidate
 * is tried, and none of the first `depth` links of p's chain has p's
 * window, which are the links find would walk: then find has nothing to
 * check.  Otherwise find decides.  Counts what find would have counted for
 * the miss.
 */
bool sure_miss(const scan &s, uint64_t p, const parse &at, uint64_t window, int32_t depth,
               scan_counts &tally) {
    const old_index &index = *s.index;
    const uint8_t *const old_bytes = index.old_bytes;
    const uint64_t old_length = index.old_length;
    const uint8_t first = static_cast<uint8_t>(window);
    const int64_t fixed[] = {static_cast<int64_t>(p) + at.diagonal,
                             static_cast<int64_t>(at.old_end()),
                             static_cast<int64_t>(p) + at.anchor};
    for (int64_t q : fixed) {
        if (q < 0 || q >= static_cast<int64_t>(old_length) || old_bytes[q] != first) {
            continue;
        }
        /* fixed also turns away a candidate that agrees with p's window
         * for fewer than all its bytes and not at the byte before. */
        const uint64_t from = static_cast<uint64_t>(q);
        if (old_length - from < WINDOW || load64(old_bytes + from) == window ||
            (from != 0 && p != at.reach && old_bytes[from - 1] == s.new_bytes[p - 1])) {
            return false;
        }
    }
    if ((p == at.new_end() && at.pending.length >= NEARBY_AFTER) || uniform(window) ||
        index.deep_samples == 0) {
        return false;
    }
    uint32_t link = index.deep_head[deep_fingerprint(window_product(window), index.deep_bits)];
    int32_t links = 0;
    for (; link != 0 && links < depth; links++) {
        if (load64(old_bytes + (link - 1)) == window) {
            return false;
        }
        link = index.deep_link[link - 1];
    }
    tally.positions++;
    tally.probes += 1 + static_cast<uint64_t>(links);
    return true;
}

/* Records the part of a copy from keep_from on. */
bool record(copy_list *out, const match &m, uint64_t keep_from) {
    uint64_t end = m.new_start + m.length;
    if (end <= keep_from) {
        return true;
    }
    uint64_t cut = m.new_start < keep_from ? keep_from - m.new_start : 0;
    return copies_push(out, copy{m.new_start + cut, m.old_start + cut, m.length - cut});
}

/*
 * Where next starts inside the pending copy kept, the new bytes they share
 * can go to either: chooses the border between them for the shortest heads.
 * The length heads grow at 24 and 256 bytes and the offset's head grows
 * with the border, so the cheapest border is the first one, the last one,
 * or one that brings next down to 255 or 23 bytes (0.16% off the real
 * pairs' deltas).
 */
void choose_border(match &kept, match &next) {
    const uint64_t first = next.new_start, next_end = next.new_start + next.length;
    const uint64_t last = least(kept.new_start + kept.length, next_end - 1);
    auto heads = [&](uint64_t border) {
        return cbor_head_size(border - kept.new_start) +
               cbor_head_size(next.old_start + (border - first)) +
               cbor_head_size(next_end - border);
    };
    uint64_t border = first;
    int cheapest = heads(first);
    const uint64_t tries[] = {last, next_end - TWO_BYTE_HEAD_MOST, next_end - ONE_BYTE_HEAD_MOST};
    for (uint64_t at : tries) {
        if (at > first && at <= last && heads(at) < cheapest) {
            border = at;
            cheapest = heads(at);
        }
    }
    kept.length = border - kept.new_start;
    next.old_start += border - first;
    next.length = next_end - border;
    next.new_start = border;
}

/*
 * Makes the match found the pending copy.  The one pending so far is
 * dropped when it starts at or before it, cut short when it starts inside
 * it (at the border choose_border picks), and recorded otherwise.
 */
bool advance(copy_list *out, parse &at, const match &found, uint64_t keep_from) {
    uint64_t literal_start = at.literal_start;
    match next = found;
    if (at.pending.length != 0 && next.new_start > at.pending.new_start) {
        match kept = at.pending;
        if (next.new_start < kept.new_start + kept.length) {
            choose_border(kept, next);
        }
        if (!record(out, kept, keep_from)) {
            return false;
        }
        literal_start = kept.new_start + kept.length;
    }
    at.pending = next;
    at.literal_start = literal_start;
    at.diagonal = static_cast<int64_t>(next.old_start) - static_cast<int64_t>(next.new_start);
    if (next.length >= LAZY_BELOW) {
        at.anchor = at.diagonal;
    }
    at.reach = at.droppable() ? literal_start : at.new_end();
    at.drop_earns = at.droppable() ? copy_cost(at.pending) : -1;
    if (next.length >= at.sure_copy) {
        at.sure_end = at.new_end();
    }
    return true;
}

/* Whether m lies on the diagonal of the pending copy or of the last long
 * copy. */
bool on_known_diagonal(const match &m, const parse &at) {
    int64_t diagonal = static_cast<int64_t>(m.old_start) - static_cast<int64_t>(m.new_start);
    return diagonal == at.diagonal || diagonal == at.anchor;
}

/*
 * After a miss, the scan asks for the near bucket of the window ASK_AHEAD
 * bytes past the position it steps to.  Where nothing matches, most of a
 * changed library, the scan steps a byte or two at a time, and stops at
 * that window a few dozen stops later.  The near table of a 30 MB library
 * is 16 MiB, far beyond the caches: the load of its bucket was a sixth of
 * the diff, where the library's first quarter, with a table of 4 MiB,
 * spent a third as much on it for each byte.  Asked for ahead, the whole
 * library took 8% less time and its quarter the same (24 and 64 bytes
 * ahead did no better).  Asking after a copy as well gained under 2%, and
 * a forecast of the exact stops, from the steps a miss takes, spent on
 * itself what it saved.  An earlier form asked at every search for the
 * buckets of the position and of the four after it, five products a stop
 * for one load mostly waited for anyway, and made sampled binaries 10 to
 * 20% slower.
 */
constexpr uint64_t ASK_AHEAD = 48;

/* The near bucket of the window ASK_AHEAD bytes past p, if the near test
 * takes that window: the scan asks for it itself, since a function that
 * only asks for memory has no effect the compiler keeps a call for. */
inline const near_bucket_slots *bucket_ahead(const scan &s, uint64_t p) {
    if (p + WINDOW + ASK_AHEAD > s.end) {
        return nullptr;
    }
    const old_index &index = *s.index;
    uint64_t later = load64(s.new_bytes + p + ASK_AHEAD);
    if (!near_sampled(sample_product(later), index.near_mask)) {
        return nullptr;
    }
    return &index.near[near_bucket(window_product(later), index.near_bits)];
}

template <typename Check>
bool scan_range(const scan &s, uint64_t begin, uint64_t keep_from, const scan_settings &settings,
                copy_list *out) {
    parse at{NO_MATCH, begin, begin, 0, 0, -1, begin, SURE_COPY};
    at.pending.new_start = begin;
    if (!s.every_window) {
        at.sure_copy = SAMPLED_SURE_COPY;
    }
    const bool mid_sized = s.index->old_length < MID_COMPILED_BELOW && s.index->grid == 0;
    uint64_t p = begin;
    /* Counted here and added up once: through the pointer every search
     * paid three stores for the tests' figures. */
    scan_counts tally{};
    struct add_up {
        const scan &view;
        const scan_counts &counted;
        ~add_up() {
            view.counts->positions += counted.positions;
            view.counts->probes += counted.probes;
            view.counts->candidates += counted.candidates;
        }
    } adding{s, tally};
    /* Decided once, in a local the loop keeps at hand: read through the
     * scan at each stop, the test cost the sampled indexes' scans, which
     * never take it, 1% more instructions on _decimal's pair (0.9% left;
     * a copy of the loop for each value made the compiler call the stops'
     * search instead of inlining it, which cost more). */
    const bool quick_misses = Check::quick_misses && s.every_window;
    /* Only a sampled index has a near table, and one too large for the
     * caches; the plain checks ask for nothing ahead. */
    const bool ahead_wanted = Check::asks_ahead && s.index->near != nullptr;
    while (s.end - begin >= WINDOW && p <= s.end - WINDOW) {
        tried_walk tried = NONE_KNOWN;
        /* The compiled depths differ from the others only where the
         * chains hold every window: elsewhere the window is not tested. */
        const uint64_t window = load64(s.new_bytes + p);
        const bool compiled_stop =
            settings.compiled_depth != settings.deep_depth && looks_compiled(window);
        const int32_t depth = compiled_stop ? settings.compiled_depth : settings.deep_depth;
        match best = quick_misses && sure_miss(s, p, at, window, depth, tally)
                         ? NO_MATCH
                         : find<Check, false>(s, p, at, settings, depth, NO_MATCH, NONE_KNOWN,
                                              &tried, tally);
        if (best.length == 0) {
            uint64_t missed_from = at.new_end();
            bool compiled = looks_compiled(window);
            if ((s.every_window || mid_sized) && at.sure_end < p && compiled) {
                missed_from = at.sure_end;
            }
            bool mid = compiled && mid_sized;
            uint64_t grown =
                (p - missed_from) >>
                (mid ? settings.skip_shift - MID_COMPILED_SHIFT_LESS : settings.skip_shift);
            uint64_t skip = least((mid ? MID_COMPILED_STEP : 1) + grown, MAX_SKIP);
            p += skip;
            if (ahead_wanted) {
                if (const near_bucket_slots *bucket = bucket_ahead(s, p)) {
                    __builtin_prefetch(bucket);
                }
            }
            continue;
        }
        /* A short match may hide a better one a few bytes on: one that
         * starts there, or one whose start was not sampled and which is
         * reached from its next indexed window, then grown back.  Not one
         * on the diagonal of the pending copy or of the last long one:
         * that is the alignment the edits left, cut short by a changed
         * byte, and the parse goes on along it.  Compiled code under
         * changed addresses is made of such stretches, and looking ahead
         * after each cost a sixth of the scan there for deltas 0.06%
         * smaller. */
        uint64_t ahead = on_known_diagonal(best, at) ? p : p + settings.lookahead;
        const int32_t lookahead_depth =
            compiled_stop ? settings.compiled_lookahead_depth : settings.lookahead_depth;
        for (uint64_t next_p = p + 1;
             best.length < LAZY_BELOW && next_p <= ahead && next_p <= s.end - WINDOW; next_p++) {
            /* Only a match that scores higher than the one in hand is of
             * use here: the search starts from it, so that the checks turn
             * away at once the candidates that cannot beat it, and stops
             * once it holds a match long enough. */
            best = find<Check, true>(s, next_p, at, settings, lookahead_depth, best, tried, &tried,
                                     tally);
        }
        if (!advance(out, at, best, keep_from)) {
            return false;
        }
        p = at.new_end();
    }
    return at.pending.length == 0 || record(out, at.pending, keep_from);
}

/*
 * Level 0 searches as deep as the chains were searched before levels came;
 * each level above divides the chain depths by LEVEL_DEPTH_DIVISOR (at
 * least one link), halves the length that ends a search, and grows the
 * step over misses sooner.  From level 3 on, a short match no longer looks
 * ahead.
 */
constexpr int32_t LEVEL_DEPTH_DIVISOR = 4;
constexpr int LOOKAHEAD_LEVELS = 2;

int32_t divided(int32_t depth, int level) {
    for (int k = 0; k < level; k++) {
        depth /= LEVEL_DEPTH_DIVISOR;
    }
    return depth < 1 ? 1 : depth;
}

} // namespace

scan_settings scan_settings_for(int level, const old_index &index) {
    bool full = index.near == nullptr;
    scan_settings settings{};
    const int32_t full_depth = level == 0 ? FULL_CHAIN_DEPTH : FULL_LEVELED_CHAIN_DEPTH;
    settings.deep_depth = divided(full ? full_depth : SAMPLED_CHAIN_DEPTH, level);
    settings.compiled_depth =
        full ? divided(FULL_COMPILED_CHAIN_DEPTH, level) : settings.deep_depth;
    settings.lookahead_depth =
        divided(full ? FULL_LOOKAHEAD_CHAIN_DEPTH : SAMPLED_CHAIN_DEPTH, level);
    settings.compiled_lookahead_depth =
        full ? divided(FULL_COMPILED_LOOKAHEAD_CHAIN_DEPTH, level) : settings.lookahead_depth;
    settings.lookahead =
        level <= LOOKAHEAD_LEVELS ? (full ? FULL_LOOKAHEAD : SAMPLED_LOOKAHEAD) : 0;
    settings.good_enough = GOOD_ENOUGH >> level;
    settings.skip_shift = SKIP_SHIFT - static_cast<uint32_t>(level);
    return settings;
}

bool index_scan(const old_index &index, const uint8_t *new_bytes, uint64_t begin,
                uint64_t keep_from, uint64_t end, const scan_settings &settings, bool plain,
                copy_list *out, scan_counts *counts) {
    scan_counts ignored{};
    bool every_window = index.near == nullptr && index.grid == 0 && index.deep_mask == 0;
    scan s{&index, new_bytes, end, counts != nullptr ? counts : &ignored, every_window};
    return plain ? scan_range<plain_check>(s, begin, keep_from, settings, out)
                 : scan_range<bounded_check>(s, begin, keep_from, settings, out);
}

} // namespace diff_index
