/*
 * diff_compact_match.cpp - a greedy match finder with one step of lazy
 * evaluation, over the old value and the new value's own past.
 *
 * At each position of the new value it weighs three kinds of candidate:
 * the recent shifts (the compact form's repeat codes, nearly free), the
 * old value's positions with the same 5-byte window (a 4-way table filled
 * once), and the new value's earlier positions with that window (a hash
 * chain over a bounded window).  Each candidate's worth is the literal
 * bits its length saves less the bits of its command and source; the best
 * is taken, unless the next position offers a better one.
 *
 * Memory is bounded whatever the sizes (DIFF_COMPACT_MATCH_MAX_TABLES): a
 * large old value is indexed at every k-th position, which still finds
 * every long match (some position of it is indexed; the rest is found by
 * extending backward), and the chain over the new value reaches back 4 Mi
 * positions.
 */
#include "diff_compact_match.h"

#include <algorithm>
#include <cmath>

#include <cstdlib>
#include <cstring>

#include "diff_compact_format.hpp"

namespace {

using namespace tovarel::compact;

constexpr uint32_t WINDOW = 5; /* bytes hashed */
constexpr uint32_t LOAD = 8;   /* bytes read to hash them */
constexpr uint64_t WINDOW_MASK = (uint64_t{1} << (8 * WINDOW)) - 1;
constexpr uint64_t HASH_MULTIPLIER = 0x9E3779B97F4A7C15ULL;
constexpr uint32_t MIN_REPEAT_MATCH = 3;

/* Positions per bucket of the old value's table: many for an old value of
 * up to DEEP_BELOW bytes, where the search is cheap and text gains most
 * from it (a common phrase has many places, and the longest match lies
 * among them), few beyond, where the table is larger than the caches and
 * each way is another miss. */
constexpr int DEEP_WAYS = 16;
constexpr int SHALLOW_WAYS = 4;
constexpr int SHALLOW_WAYS_LOG = 2;
constexpr int DEEP_WAYS_LOG = 4;
constexpr uint64_t DEEP_BELOW = 2 << 20;
constexpr int MIN_BITS = 10;
constexpr int OLD_MAX_BITS = 23;   /* slots: 32 MiB */
constexpr int HEAD_MAX_BITS = 20;  /* 4 MiB */
constexpr int CHAIN_MAX_BITS = 22; /* 16 MiB, and the reach back */
constexpr int CHAIN_DEPTH = 16;

/* Samples between asking for a bucket of the old value's table and
 * filling it. */
constexpr uint64_t PREFETCH_AHEAD = 16;
/* A match this long is taken at once; longer searches rarely beat it. */
constexpr uint32_t GOOD_ENOUGH = 256;
/* Matches shorter than this are weighed against the next position's. */
constexpr uint32_t LAZY_BELOW = 64;
/* Within a match, positions are entered in the chain one in this many
 * once past its first bytes: long matches need few entries to be found
 * again, and entering all of a 64 MiB copy would cost more than the rest. */
constexpr uint32_t ENTER_ALL_BELOW = 64;
constexpr uint32_t ENTER_STEP = 16;
/* Literal runs are crossed faster the longer they get: one more byte of
 * step every 2^SKIP_SHIFT literals, up to MAX_STEP. */
constexpr uint32_t SKIP_SHIFT = 7;
constexpr uint32_t MAX_STEP = 32;

/* The cost model, in sixteenths of a bit: what a command costs besides
 * its source, and its source by kind (a code, then the distance's bits).
 * A literal costs what the new value's bytes carry on average, its
 * order-0 entropy, within [MIN_LITERAL, MAX_LITERAL]: about 4.5 bits in
 * source text, 6 to 7 in machine code, so a 5-byte copy from far away
 * pays in code and not in text. */
constexpr int64_t BIT = 16;
constexpr int64_t COMMAND_COST = 8 * BIT;
constexpr int64_t REPEAT_COST = 2 * BIT;
constexpr int64_t EXPLICIT_COST = 6 * BIT;
constexpr int64_t BEHIND_COST = 4 * BIT;
constexpr int64_t MIN_LITERAL = 2 * BIT;
constexpr int64_t MAX_LITERAL = 8 * BIT;

uint64_t load64(const uint8_t *at) {
    uint64_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

uint32_t load32(const uint8_t *at) {
    uint32_t word;
    memcpy(&word, at, sizeof word);
    return word;
}

uint32_t hash_of(const uint8_t *at, int bits) {
    return static_cast<uint32_t>(((load64(at) & WINDOW_MASK) * HASH_MULTIPLIER) >> (64 - bits));
}

int64_t bit_length(uint64_t value) {
    return value == 0 ? 0 : 64 - __builtin_clzll(value);
}

/* How many bytes from a and b on are equal, at most limit. */
uint64_t common_length(const uint8_t *a, const uint8_t *b, uint64_t limit) {
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(a + n) ^ load64(b + n);
        if (differ != 0) {
            return n + static_cast<uint64_t>(__builtin_ctzll(differ) / 8);
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) {
        n++;
    }
    return n;
}

/* Table sizes in bits for a count of positions: the next power of two,
 * within [MIN_BITS, most]. */
int bits_for(uint64_t count, int most) {
    int bits = MIN_BITS;
    while (bits < most && (uint64_t{1} << bits) < count) {
        bits++;
    }
    return bits;
}

struct candidate {
    uint64_t source = 0; /* unified: old value, then new value */
    uint64_t length = 0;
    int64_t gain = 0;
};

struct matcher {
    const uint8_t *old_bytes;
    uint64_t old_length;
    const uint8_t *new_bytes;
    uint64_t new_length;

    /* Old positions + 1 (0: empty), `ways` per bucket, latest first. */
    uint32_t *old_slots = nullptr;
    int old_bits = 0;
    int ways = SHALLOW_WAYS;
    uint64_t old_stride = 1;
    /* New positions + 1: the latest per hash, and each one's predecessor. */
    uint32_t *heads = nullptr;
    uint32_t *chain = nullptr;
    int head_bits = 0;
    uint64_t chain_mask = 0;

    source_state state;
    int64_t literal_cost = MAX_LITERAL;
    /* Positions below this are in the chain already. */
    uint64_t entered = 0;

    matcher(const buf *old_value, const buf *new_value)
        : old_bytes(old_value->data), old_length(old_value->len), new_bytes(new_value->data),
          new_length(new_value->len) {}
    matcher(const matcher &) = delete;
    matcher &operator=(const matcher &) = delete;

    ~matcher() {
        free(old_slots);
        free(heads);
        free(chain);
    }

    bool allocate() {
        uint64_t old_positions = old_length >= LOAD ? old_length - LOAD + 1 : 0;
        bool deep = old_length <= DEEP_BELOW;
        ways = deep ? DEEP_WAYS : SHALLOW_WAYS;
        old_bits = bits_for(old_positions / static_cast<uint64_t>(ways),
                            OLD_MAX_BITS - (deep ? DEEP_WAYS_LOG : SHALLOW_WAYS_LOG));
        uint64_t slots = static_cast<uint64_t>(ways) << old_bits;
        old_stride = std::max<uint64_t>(1, (old_positions + slots - 1) / slots);
        head_bits = bits_for(new_length, HEAD_MAX_BITS);
        int chain_bits = bits_for(new_length, CHAIN_MAX_BITS);
        chain_mask = (uint64_t{1} << chain_bits) - 1;
        old_slots = static_cast<uint32_t *>(calloc(slots, sizeof(uint32_t)));
        heads = static_cast<uint32_t *>(calloc(size_t{1} << head_bits, sizeof(uint32_t)));
        chain = static_cast<uint32_t *>(calloc(chain_mask + 1, sizeof(uint32_t)));
        return old_slots != nullptr && heads != nullptr && chain != nullptr;
    }

    void index_old() {
        if (old_length < LOAD) {
            return;
        }
        // Each position takes the way its index picks, so a run of
        // positions with one window (a run of one byte) fills every way
        // in turn instead of shifting the bucket at each step.  The
        // bucket of a position PREFETCH_AHEAD samples on is asked for
        // early: the table is mostly beyond the caches.
        uint64_t last = old_length - LOAD;
        uint64_t ahead = PREFETCH_AHEAD * old_stride;
        for (uint64_t p = 0; p <= last; p += old_stride) {
            if (p + ahead <= last) {
                __builtin_prefetch(bucket_of(old_bytes + p + ahead), 1);
            }
            uint64_t way = (p / old_stride) & static_cast<uint64_t>(ways - 1);
            bucket_of(old_bytes + p)[way] = static_cast<uint32_t>(p + 1);
        }
    }

    uint32_t *bucket_of(const uint8_t *window) const {
        return old_slots + uint64_t{hash_of(window, old_bits)} * static_cast<uint64_t>(ways);
    }

    /* Puts position t in the chain, once. */
    void enter(uint64_t t) {
        if (t < entered) {
            return;
        }
        entered = t + 1;
        uint32_t &head = heads[hash_of(new_bytes + t, head_bits)];
        chain[t & chain_mask] = head;
        head = static_cast<uint32_t>(t + 1);
    }

    /* What a copy's source costs, by the code the writer will use. */
    int64_t source_cost(uint64_t source, uint64_t target) const {
        auto shift = static_cast<int64_t>(source - target);
        for (uint32_t k = 0; k < REPEATS; k++) {
            if (state.shift[k] == shift) {
                return REPEAT_COST + k * BIT;
            }
        }
        if (source >= old_length) {
            return BEHIND_COST + BIT * bit_length(target - (source - old_length));
        }
        return EXPLICIT_COST +
               BIT * bit_length(zigzag(static_cast<int64_t>(source - state.old_end)));
    }

    /* The equal bytes at a unified source for target t, 0 if it is none. */
    uint64_t length_at(uint64_t source, uint64_t t) const {
        uint64_t limit = new_length - t;
        if (source < old_length) {
            return common_length(old_bytes + source, new_bytes + t,
                                 std::min(limit, old_length - source));
        }
        uint64_t s = source - old_length;
        return s < t ? common_length(new_bytes + s, new_bytes + t, limit) : 0;
    }

    void consider(uint64_t source, uint64_t t, candidate &best) const {
        uint64_t length = length_at(source, t);
        if (length < MIN_REPEAT_MATCH) {
            return;
        }
        int64_t gain =
            static_cast<int64_t>(length) * literal_cost - COMMAND_COST - source_cost(source, t);
        if (gain > best.gain) {
            best = {source, length, gain};
        }
    }

    /* The best copy for position t (gain 0: none worth it). */
    candidate search(uint64_t t) const {
        candidate best;
        for (int64_t shift : state.shift) {
            consider(t + static_cast<uint64_t>(shift), t, best);
        }
        if (best.length >= GOOD_ENOUGH) {
            return best;
        }
        if (old_length >= LOAD) {
            const uint32_t *bucket = bucket_of(new_bytes + t);
            uint32_t window = load32(new_bytes + t);
            for (int way = 0; way < ways; way++) {
                // Most ways hold another window of the same hash, or one
                // that cannot beat the best: one load each turns them away.
                uint64_t p = bucket[way] - uint64_t{1};
                uint64_t past = t + best.length;
                if (bucket[way] != 0 && load32(old_bytes + p) == window &&
                    (best.length < 4 || past >= new_length || p + best.length >= old_length ||
                     old_bytes[p + best.length] == new_bytes[past])) {
                    consider(p, t, best);
                }
            }
        }
        uint32_t s = heads[hash_of(new_bytes + t, head_bits)];
        for (int depth = 0; depth < CHAIN_DEPTH && s != 0 && best.length < GOOD_ENOUGH; depth++) {
            uint64_t earlier = s - 1;
            if (t - earlier > chain_mask) {
                break;
            }
            // An earlier position that differs just past the best length
            // cannot be longer, and costs more than the repeats that the
            // best usually is: it is passed over unmeasured.
            uint64_t past = t + best.length;
            if (best.length < 4 || past >= new_length ||
                new_bytes[earlier + best.length] == new_bytes[past]) {
                consider(old_length + earlier, t, best);
            }
            s = chain[earlier & chain_mask];
        }
        return best;
    }

    /* Records the copy's source in the repeat state, as the writer will. */
    void took(uint64_t source, uint64_t target, uint64_t length) {
        auto shift = static_cast<int64_t>(source - target);
        uint32_t k = 0;
        while (k < REPEATS && state.shift[k] != shift) {
            k++;
        }
        if (k < REPEATS) {
            state.reuse(k);
        } else {
            state.remember(shift);
        }
        state.old_end = source + length;
    }

    /* The new value's order-0 entropy per byte, the cost of a literal. */
    void estimate_literal_cost() {
        uint64_t counts[256] = {};
        for (uint64_t i = 0; i < new_length; i++) {
            counts[new_bytes[i]]++;
        }
        double bits = 0;
        for (uint64_t count : counts) {
            if (count > 0) {
                double p = static_cast<double>(count) / static_cast<double>(new_length);
                bits -= p * std::log2(p);
            }
        }
        literal_cost = std::clamp(static_cast<int64_t>(bits * BIT), MIN_LITERAL, MAX_LITERAL);
    }

    bool run(diff_compact_parse *parse) {
        index_old();
        estimate_literal_cost();
        uint64_t literal_start = 0;
        uint64_t t = 0;
        while (t + LOAD <= new_length) {
            candidate best = search(t);
            if (best.gain <= 0) {
                enter(t);
                t += std::min<uint64_t>(MAX_STEP, 1 + ((t - literal_start) >> SKIP_SHIFT));
                continue;
            }
            // One step of lazy evaluation: a better copy one byte on is
            // worth the literal it leaves behind.
            while (best.length < LAZY_BELOW && t + 1 + LOAD <= new_length) {
                enter(t);
                candidate next = search(t + 1);
                if (next.gain <= best.gain + literal_cost) {
                    break;
                }
                best = next;
                t++;
            }
            // The copy reaches back over equal literal bytes.
            while (t > literal_start && best.source > 0 && best.source != old_length &&
                   source_byte(best.source - 1) == new_bytes[t - 1]) {
                best.source--;
                t--;
                best.length++;
            }
            if (!diff_compact_parse_add(parse, t, best.source, best.length)) {
                return false;
            }
            took(best.source, t, best.length);
            uint64_t end = t + best.length;
            for (uint64_t at = t; at < end && at + LOAD <= new_length;
                 at += at - t < ENTER_ALL_BELOW ? 1 : ENTER_STEP) {
                enter(at);
            }
            t = end;
            literal_start = end;
        }
        return true;
    }

    uint8_t source_byte(uint64_t source) const {
        return source < old_length ? old_bytes[source] : new_bytes[source - old_length];
    }
};

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_match(diff_compact_parse *parse, const buf *old_value, const buf *new_value) {
    matcher m(old_value, new_value);
    if (!m.allocate() || !m.run(parse)) {
        diff_compact_parse_release(parse);
        return false;
    }
    return true;
}

TOVAREL_END_DECLS
