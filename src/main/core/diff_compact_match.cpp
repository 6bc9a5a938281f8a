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

constexpr int OLD_WAYS = 4;
constexpr int MIN_BITS = 10;
constexpr int OLD_MAX_BITS = 23;   /* slots: 32 MiB */
constexpr int HEAD_MAX_BITS = 20;  /* 4 MiB */
constexpr int CHAIN_MAX_BITS = 22; /* 16 MiB, and the reach back */
constexpr int CHAIN_DEPTH = 16;

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

/* The cost model, in bits: what a literal costs, what a command costs
 * besides its source, and its source by kind. */
constexpr int64_t LITERAL_BITS = 6;
constexpr int64_t COMMAND_BITS = 8;
constexpr int64_t REPEAT_BITS = 2;
constexpr int64_t EXPLICIT_BITS = 6;
constexpr int64_t BEHIND_BITS = 4;

uint64_t load64(const uint8_t *at) {
    uint64_t word;
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

    /* Old positions + 1 (0: empty), OLD_WAYS per bucket, latest first. */
    uint32_t *old_slots = nullptr;
    int old_bits = 0;
    uint64_t old_stride = 1;
    /* New positions + 1: the latest per hash, and each one's predecessor. */
    uint32_t *heads = nullptr;
    uint32_t *chain = nullptr;
    int head_bits = 0;
    uint64_t chain_mask = 0;

    source_state state;
    /* Positions below this are in the chain already. */
    uint64_t entered = 0;

    ~matcher() {
        free(old_slots);
        free(heads);
        free(chain);
    }

    bool allocate() {
        uint64_t old_positions = old_length >= LOAD ? old_length - LOAD + 1 : 0;
        old_bits = bits_for(old_positions / OLD_WAYS, OLD_MAX_BITS - 2);
        uint64_t slots = uint64_t{OLD_WAYS} << old_bits;
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
        for (uint64_t p = 0; p + LOAD <= old_length; p += old_stride) {
            uint32_t *bucket = old_slots + (uint64_t{hash_of(old_bytes + p, old_bits)} * OLD_WAYS);
            memmove(bucket + 1, bucket, (OLD_WAYS - 1) * sizeof(uint32_t));
            bucket[0] = static_cast<uint32_t>(p + 1);
        }
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

    /* The bits a copy's source costs, by the code the writer will use. */
    int64_t source_bits(uint64_t source, uint64_t target) const {
        auto shift = static_cast<int64_t>(source - target);
        for (uint32_t k = 0; k < REPEATS; k++) {
            if (state.shift[k] == shift) {
                return REPEAT_BITS + k;
            }
        }
        if (source >= old_length) {
            return BEHIND_BITS + bit_length(target - (source - old_length));
        }
        return EXPLICIT_BITS + bit_length(zigzag(static_cast<int64_t>(source - state.old_end)));
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
            static_cast<int64_t>(length) * LITERAL_BITS - COMMAND_BITS - source_bits(source, t);
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
            const uint32_t *bucket =
                old_slots + (uint64_t{hash_of(new_bytes + t, old_bits)} * OLD_WAYS);
            for (int way = 0; way < OLD_WAYS && bucket[way] != 0; way++) {
                consider(bucket[way] - 1, t, best);
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

    bool run(diff_compact_parse *parse) {
        index_old();
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
                if (next.gain <= best.gain + LITERAL_BITS) {
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
    matcher m{old_value->data,
              old_value->len,
              new_value->data,
              new_value->len,
              nullptr,
              0,
              1,
              nullptr,
              nullptr,
              0,
              0,
              {},
              0};
    if (!m.allocate() || !m.run(parse)) {
        diff_compact_parse_release(parse);
        return false;
    }
    return true;
}

TOVAREL_END_DECLS
