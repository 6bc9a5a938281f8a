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
#include <iterator>

#include <atomic>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "buf_compare.hpp"
#include "diff_compact_format.hpp"
#include "diff_compact_table_memory.h"
#include "work_pool.h"

namespace {

using namespace tovarel::compact;

constexpr uint32_t WINDOW = 5; /* bytes hashed */
constexpr uint32_t LOAD = 8;   /* bytes read to hash them */
constexpr uint64_t WINDOW_MASK = (uint64_t{1} << (8 * WINDOW)) - 1;
/* The old value's table of a search of the whole value of compiled code
 * is keyed by all LOAD bytes: there the 5-byte windows of common
 * instructions and zero runs each had hundreds of places, whose ways the
 * search tested and mostly measured at every position for copies too
 * short to pay from far away, while copies of 5 to 7 bytes are mostly at
 * a recent shift, found without the table (a 2 MB module: 4% fewer
 * instructions and a delta 0.4% smaller, a 30 MB library 0.6% smaller, a
 * 0.2 MB one 0.6% larger).  Around anchors, where the table holds one
 * position in eight, a copy must then be longer by the same 8 bytes to be
 * found, and a 3.5 MB module came out 2% larger. */
constexpr uint64_t LONG_WINDOW_MASK = ~uint64_t{0};
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
/* A deep table for a search of the whole value of compiled code holds
 * half as many ways in twice as many buckets: keyed by the long window
 * (LONG_WINDOW_MASK), a bucket gathers few windows of code, and testing
 * 16 ways found the same copies at twice the cost (modules of 0.2 and
 * 2 MB: 3% fewer instructions, deltas 0.2% smaller and 0.2% larger). */
constexpr int COMPILED_WAYS = 8;
constexpr int COMPILED_WAYS_LOG = 3;
constexpr uint64_t DEEP_BELOW = 2 << 20;
constexpr int MIN_BITS = 10;
constexpr int SPARSE_SHIFT = 3;
constexpr int THIN_SHIFT = 1;
/* From THINNER_FROM bytes of old value on, such a table holds one
 * position in four (THINNER_SHIFT): at one in two it outgrew the second
 * level cache, and each bucket test was a miss (a 2 MB module: 8% less CPU
 * time, 6% fewer instructions, for a delta 0.8% larger; a 0.2 MB one,
 * whose table fits, came out 3.8% larger for 3% fewer). */
constexpr uint64_t THINNER_FROM = 1 << 20;
constexpr int THINNER_SHIFT = 2;
constexpr int OLD_MAX_BITS = 23; /* slots: 32 MiB */
/* A search of the whole value of compiled code past DEEP_BELOW keeps half
 * as many slots (16 MiB): the table of long windows still finds every copy
 * twice the stride longer than the window, and half the table's misses
 * and its fill are saved (a 30 MB library: 7 to 11% less wall time in
 * alternated runs for a delta 1.4% larger, a trade of bytes for time the
 * library's size leaves room for). */
constexpr int CODE_OLD_MAX_BITS = 22;
/* The chain's heads: for a search of the whole value, one per position
 * up to 4 Mi of them, as many as the chain reaches back.  With a quarter
 * of that, each head of a large value gathered four windows that share its
 * hash, and the search walked and measured the others' entries, a cache
 * miss each, before its own: on a 30 MB library, 20% of the compact
 * form's time, for no smaller a delta.  A search around anchors enters one
 * position in ENTER_STEP of the copies that carry most of the value, and
 * keeps the quarter: more heads there only cost memory to clear. */
constexpr int HEAD_MAX_BITS = 22;        /* 16 MiB */
constexpr int HEAD_AROUND_MAX_BITS = 20; /* 4 MiB */
/* A search of compiled code against an old value, of a new value below
 * FAR_CHAIN_FROM bytes, sizes its heads and its chain for an eighth of the
 * positions it reaches (CODE_TABLE_SHIFT).  It enters one position in
 * ENTER_NEAR_STEP of a copy's first bytes and fewer beyond (around
 * anchors, one in ENTER_STEP of theirs), and walks few steps, so a head
 * shared by a few windows costs little; its copies from the new value
 * mostly come from near by, within the shorter reach of the chain, the
 * old value's table finding the rest.  Tables an eighth as large are
 * missed far less often in the caches, where such a search spends most of
 * its time.  Searched whole, a 2 MB module: 34% fewer misses of a 2.5 MiB
 * cache, 3% fewer instructions and about 11% less wall time in alternated
 * runs, for a delta 0.2% smaller; a 0.2 MB one 2 bytes larger and about a
 * third faster.  Around anchors, new builds of 0.8 to 5.8 MB: deltas as
 * large or up to 0.05% smaller, 2 to 13% fewer misses.  A quarter and a
 * half gave the same sizes within 0.05% for fewer misses saved; a
 * sixteenth, deltas up to 1.2% larger.  Not for a larger value (a 30 MB
 * library came out 0.7% larger at an eighth), nor for the writer's
 * streams searched against nothing, whose copies all come from the
 * chain. */
constexpr int CODE_TABLE_SHIFT = 3;
constexpr int CHAIN_MAX_BITS = 22; /* 16 MiB, and the reach back */
/* Earlier positions tried per search: CHAIN_DEPTH, or FAR_CHAIN_DEPTH
 * for a new value of FAR_CHAIN_FROM bytes or more, whose chain lies beyond
 * the caches and where each step back is a miss: on a 30 MB library
 * between interpreter versions, 16% less CPU time for a delta 0.35%
 * larger at 8 steps, and 8% less again for 0.4% more at 4.  Below that
 * the steps cost instructions only (the same halving saved 1.6% of them
 * on mid-size binaries, for 0.4% larger deltas), and the deeper search is
 * kept. */
/* A search of the whole value of compiled code takes FAR_CHAIN_DEPTH
 * at any size: its table of long windows finds the copies from the old
 * value that the deeper chain had found among the value's own repeats
 * (a 2 MB module: 4% fewer instructions for a delta 0.4% larger, a 0.2 MB
 * one 1% fewer, no larger).  Not the writer's streams searched against
 * nothing, whose copies all come from the chain. */
constexpr int CHAIN_DEPTH = 16;
constexpr int FAR_CHAIN_DEPTH = 4;
/* And FAR_CODE_CHAIN_DEPTH for such a search of FAR_CHAIN_FROM bytes or
 * more, where the steps are misses that the long windows' table no longer
 * needs to make up for: the 30 MB library 5% less CPU time for a delta
 * 0.15% larger (mid-size modules: 0.5 to 0.9% fewer instructions for 0.2
 * to 0.3% larger, not taken). */
constexpr int FAR_CODE_CHAIN_DEPTH = 3;
constexpr uint64_t FAR_CHAIN_FROM = 8 << 20;

/* Samples between asking for a bucket of the old value's table and
 * filling it, for a table larger than CACHED_TABLE bytes: a smaller one
 * stays in the caches, where the request would only cost a second hash. */
constexpr uint64_t PREFETCH_AHEAD = 16;
constexpr uint64_t CACHED_TABLE = 1 << 20;
/* Each slot of the old value's table holds a position and, in the bits
 * the position leaves free, a tag of the window's hash.  Most ways of a
 * bucket hold another window of the same bucket: the tag turns nearly all
 * of them away without the cache miss of reading the old value there. */
constexpr int SLOT_BITS = 32;
/* A match this long is taken at once; longer searches rarely beat it. */
constexpr uint32_t GOOD_ENOUGH = 256;
/* Matches shorter than this are weighed against the next position's,
 * unless the match is at a recent shift in a search of the whole value:
 * there its source costs a few bits, and a copy one byte on rarely saved
 * the literal it leaves behind (compiled code, where most matches are
 * repeats: 6% fewer instructions for deltas no larger).  Not in the gaps
 * between anchors, where the recent shifts are the anchors' and a short
 * copy at one of them often stops just before a longer one from elsewhere
 * (a 5.8 MB module: 1.2% larger without the step there). */
constexpr uint32_t LAZY_BELOW = 64;
/* In a value whose literals cost at least COMPILED_LITERAL (compiled
 * code: 5.5 to 7 bits a byte, source text 4 to 5), a match at a recent
 * shift of QUICK_REPEAT bytes or more is taken without looking at the old
 * value's table or the chain: code moved by a shift matches there in
 * stretches cut by a changed address, and the search at each of them
 * found little better (modules of 0.2 and 2 MB: 10% fewer instructions,
 * deltas as large; 8 bytes saved less, 4 cost 0.3% in size).  In text a
 * longer copy from elsewhere often beats it. */
constexpr uint64_t QUICK_REPEAT = 6;
/* Within a match, positions are entered in the chain one in this many
 * once past its first bytes: long matches need few entries to be found
 * again, and entering all of a 64 MiB copy would cost more than the rest. */
constexpr uint32_t ENTER_ALL_BELOW = 64;
constexpr uint32_t ENTER_STEP = 16;
/* In compiled code the first bytes of a match are entered one in
 * ENTER_NEAR_STEP: a later copy of them is still found one byte on and
 * reaches back over the byte missed, and the chains hold half as many
 * entries to walk, each a cache miss in a large value (a 30 MB library:
 * 12% less CPU time for a delta 0.7% larger; a 2 MB module: 2% fewer
 * instructions for 0.4%).  Source text, whose copies are found among more
 * places, keeps them all. */
constexpr uint64_t ENTER_NEAR_STEP = 2;
/* Literal runs are crossed faster the longer they get: one more byte of
 * step every 2^SKIP_SHIFT literals, up to MAX_STEP. */
constexpr uint32_t SKIP_SHIFT = 7;
constexpr uint32_t MAX_STEP = 32;
/* A new value of this many bytes or more is searched in MAX_PARTS parts at
 * once, on as many threads as there are cores (one thread works them in
 * turn to the same copies).  Each part but the first starts its chain
 * with the PRIME_BEHIND bytes before it, as far as the chain reaches back
 * (with 1 MiB, the library of an interpreter, 30 MB, between two versions
 * came out 0.2% larger with the seam than without), the last PRIME_DENSE
 * of them all entered. */
constexpr uint64_t SPLIT_FROM = 512 << 10;
constexpr uint32_t MAX_PARTS = 2;
constexpr uint64_t PRIME_BEHIND = uint64_t{1} << CHAIN_MAX_BITS;
constexpr uint64_t PRIME_DENSE = 64 << 10;
/* Beyond PRIME_DENSE a search of the whole value primes one position in
 * PRIME_WHOLE_STEP: entering all of the part before (a million positions
 * of a 2 MB module, each a write to a head beyond the caches) cost 3.5% of
 * its compact delta's instructions, and a copy of the part before is still
 * found within the few bytes after a sampled position and reaches back
 * over them (that module's delta 0.01% larger, the 30 MB library's 0.07%;
 * one in 16: 4.3% of the instructions, for 0.04% and 0.23%). */
constexpr uint64_t PRIME_WHOLE_STEP = 4;

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
constexpr int64_t COMPILED_LITERAL = 5 * BIT;
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

/* Set by _diff_compact_match_force_scalar: the bucket's ways are then
 * tested one by one, the oracle of the vector test. */
std::atomic<bool> scalar_ways{false};

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

/*
 * The old value's table: its positions by the hash of their window, `ways`
 * per bucket, built once and then only read, by every part's search.
 */
struct old_table {
    const uint8_t *old_bytes;
    uint64_t old_length;

    /* Old positions / stride + 1 (0: empty) above tag_bits bits of tag;
     * a table of a large page or more starts on one, so that a deep bucket
     * is one cache line and a shallow one never two. */
    uint32_t *slots = nullptr;
    int bits = 0;
    int ways = SHALLOW_WAYS;
    uint64_t stride = 1;
    /* The bytes of a window hashed: WINDOW, or all LOAD of them in a
     * search of the whole value of compiled code (LONG_WINDOW_MASK). */
    uint64_t window_mask = WINDOW_MASK;
    int tag_bits = 0;
    uint32_t tag_mask = 0;

    explicit old_table(const buf *old_value)
        : old_bytes(old_value->data), old_length(old_value->len) {}
    old_table(const old_table &) = delete;
    old_table &operator=(const old_table &) = delete;
    ~old_table() { diff_compact_table_give(DIFF_COMPACT_TABLE_OLD, slots, slot_bytes()); }

    size_t slot_bytes() const { return (static_cast<size_t>(ways) << bits) * sizeof(uint32_t); }

    uint64_t positions() const { return old_length >= LOAD ? old_length - LOAD + 1 : 0; }

    /* `sparse`: for a search of the gaps between anchors only, a table of
     * an eighth of the slots (SPARSE_SHIFT), and so one position in eight
     * of a large old value: a match still is found once it is at least
     * that much longer than the window, and the table, whose filling took
     * as long as the search itself where the gaps are a tenth of the new
     * value, costs an eighth.  Against half the slots, new builds of
     * mid-size modules (0.8 to 5.8 MB) came out 1% larger in total for 12%
     * fewer instructions.  `compiled`: for a search of the whole value of
     * compiled code, a deep table of half the slots (THIN_SHIFT), and so
     * one position in two: the short matches of code are still found a
     * byte on and reach back, and the fill and the bucket tests cost half
     * (modules of 0.2 and 2 MB: 5% and 7% fewer instructions, deltas 2.7%
     * and 0.3% larger).  Not for a larger old value, whose table already
     * holds one position in several: a 30 MB library came out 1.2% larger
     * at half of them again. */
    bool allocate(bool sparse, bool compiled) {
        // An old value with no window (the writer's nested streams are
        // searched against nothing) is never probed: clearing a table of
        // the least size for it was a tenth of those searches' work.
        if (positions() == 0) {
            return true;
        }
        bool deep = old_length <= DEEP_BELOW;
        bool whole_code = compiled && !sparse;
        int ways_log = !deep ? SHALLOW_WAYS_LOG : whole_code ? COMPILED_WAYS_LOG : DEEP_WAYS_LOG;
        ways = 1 << ways_log;
        int most_bits = whole_code && !deep ? CODE_OLD_MAX_BITS : OLD_MAX_BITS;
        bits = bits_for(positions() / static_cast<uint64_t>(ways), most_bits - ways_log);
        int thinned = sparse                                           ? SPARSE_SHIFT
                      : compiled && deep && old_length >= THINNER_FROM ? THINNER_SHIFT
                      : compiled && deep                               ? THIN_SHIFT
                                                                       : 0;
        window_mask = whole_code ? LONG_WINDOW_MASK : WINDOW_MASK;
        bits = std::max(MIN_BITS, bits - thinned);
        uint64_t count = static_cast<uint64_t>(ways) << bits;
        stride = std::max<uint64_t>(1, (positions() + count - 1) / count);
        int position_bits = static_cast<int>(bit_length(positions() / stride + 1));
        tag_bits = std::min(SLOT_BITS - position_bits, 64 - bits);
        tag_mask = static_cast<uint32_t>((uint64_t{1} << tag_bits) - 1);
        slots = static_cast<uint32_t *>(diff_compact_table_take(
            DIFF_COMPACT_TABLE_OLD, static_cast<size_t>(count) * sizeof(uint32_t)));
        return slots != nullptr;
    }

    /*
     * Enters the sampled positions whose way lies in the `half`-th half of
     * the ways (0 or 1), so that two threads can fill the table at once:
     * each slot is written by one of them only, in the order of positions,
     * and so ends holding what one thread would have left there.
     */
    void fill(int half) {
        if (old_length < LOAD) {
            return;
        }
        bool beyond_caches =
            (static_cast<uint64_t>(ways) << bits) * sizeof(uint32_t) > CACHED_TABLE;
        if (scalar_ways.load(std::memory_order_relaxed)) {
            if (beyond_caches) {
                fill_ways<true>(half);
            } else {
                fill_ways<false>(half);
            }
            return;
        }
        switch (ways) {
        case DEEP_WAYS:
            fill_groups<DEEP_WAYS>(half, beyond_caches);
            break;
        case COMPILED_WAYS:
            fill_groups<COMPILED_WAYS>(half, beyond_caches);
            break;
        default:
            fill_groups<SHALLOW_WAYS>(half, beyond_caches);
            break;
        }
    }

    /* What both fills read of the table, as locals: the stores into the
     * table could alias the members, and the compiler otherwise reloads
     * each one for every sample. */
    struct fill_locals {
        const uint8_t *bytes;
        uint32_t *table;
        uint64_t step;
        int bucket_shift;
        int tag_shift;
        uint32_t tags;
        uint64_t samples;
        uint64_t mask;

        uint64_t hash(const uint8_t *window) const {
            return (load64(window) & mask) * HASH_MULTIPLIER;
        }
    };

    fill_locals locals() const {
        return {old_bytes,
                slots,
                stride,
                64 - bits,
                64 - bits - tag_bits,
                tag_mask,
                (positions() + stride - 1) / stride,
                window_mask};
    }

    template <int width> void fill_groups(int half, bool beyond_caches) const {
        if (beyond_caches) {
            fill_fast<true, width>(half);
        } else {
            fill_fast<false, width>(half);
        }
    }

    /*
     * fill_ways' loop for a bucket of `width` ways known when compiled, to
     * the same table: the samples of a half taken a group of width / 2 at
     * a time in a loop the compiler unrolls, the window read through a
     * pointer that steps by the stride, the sample's way and position
     * counted along rather than derived from its index.  The general loop
     * spent 47 instructions a sample, the fill an eighth of the compact
     * delta of a 2 MB module.  fill_ways stays as the oracle of this loop
     * (_diff_compact_match_force_scalar).
     */
    template <bool ask_ahead, int width> void fill_fast(int half) const {
        constexpr uint64_t span = width / 2;
        static_assert(PREFETCH_AHEAD % width == 0,
                      "the sample PREFETCH_AHEAD on must fall in the same way");
        const fill_locals l = locals();
        const uint32_t one = uint32_t{1} << tag_bits;
        const uint64_t start = static_cast<uint64_t>(half) * span;
        const uint64_t ahead_bytes = PREFETCH_AHEAD * l.step;
        uint64_t pending[PREFETCH_AHEAD];
        if constexpr (ask_ahead) {
            for (uint64_t q = start; q < l.samples && q < start + PREFETCH_AHEAD;) {
                pending[q % PREFETCH_AHEAD] = l.hash(l.bytes + q * l.step);
                q++;
                q += q % width == (start + span) % width ? width - span : 0;
            }
        }
        for (uint64_t group = 0; group + start < l.samples; group += width) {
            const uint8_t *at = l.bytes + (group + start) * l.step;
            // Position + 1 of the group's first sample, above the tag.
            uint32_t position = static_cast<uint32_t>(group + start + 1) * one;
            uint64_t end = std::min<uint64_t>(span, l.samples - group - start);
            for (uint64_t k = 0; k < end; k++) {
                uint64_t q = group + start + k;
                uint64_t hash = 0;
                if constexpr (ask_ahead) {
                    hash = pending[q % PREFETCH_AHEAD];
                    if (q + PREFETCH_AHEAD < l.samples) {
                        uint64_t later = l.hash(at + ahead_bytes);
                        __builtin_prefetch(l.table + (later >> l.bucket_shift) * width, 1);
                        pending[q % PREFETCH_AHEAD] = later;
                    }
                } else {
                    hash = l.hash(at);
                }
                l.table[(hash >> l.bucket_shift) * width + start + k] =
                    position | (static_cast<uint32_t>(hash >> l.tag_shift) & l.tags);
                at += l.step;
                position += one;
            }
        }
    }

    /*
     * fill's plain loop.  Each position takes the way its index picks, so a run
     * of positions with one window (a run of one byte) fills every way in
     * turn instead of shifting the bucket at each step.  With `ask_ahead`
     * (a table mostly beyond the caches) the bucket of the sample
     * PREFETCH_AHEAD on is asked for early, and the hash computed for that
     * is kept until its turn: hashing each sample twice, once to ask and
     * once to store, took a third of the fill's instructions.
     */
    template <bool ask_ahead> void fill_ways(int half) const {
        static_assert(PREFETCH_AHEAD % DEEP_WAYS == 0 && PREFETCH_AHEAD % COMPILED_WAYS == 0 &&
                          PREFETCH_AHEAD % SHALLOW_WAYS == 0,
                      "the sample PREFETCH_AHEAD on must fall in the same half of the ways");
        const fill_locals l = locals();
        const uint8_t *bytes = l.bytes;
        uint32_t *table = l.table;
        const uint64_t step = l.step;
        const int bucket_shift = l.bucket_shift;
        const int tag_shift = l.tag_shift;
        const int position_shift = tag_bits;
        const uint32_t tags = l.tags;
        const auto width = static_cast<uint64_t>(ways);
        const uint64_t way_mask = width - 1;
        const uint64_t samples = l.samples;
        const uint64_t span = width / 2;
        const uint64_t start = static_cast<uint64_t>(half) * span;
        auto window_hash = [&l](const uint8_t *window) { return l.hash(window); };
        uint64_t pending[PREFETCH_AHEAD];
        // This half's samples in order: span of them, then span skipped.
        // One loop over them rather than one per group: with the 4 ways
        // of a large old value a group holds 2 samples, and the loop's
        // own work had cost as much as the samples'.
        for (uint64_t q = start; q < samples;) {
            uint64_t hash = 0;
            if constexpr (ask_ahead) {
                hash = q >= start + PREFETCH_AHEAD ? pending[q % PREFETCH_AHEAD]
                                                   : window_hash(bytes + q * step);
                uint64_t later = q + PREFETCH_AHEAD;
                if (later < samples) {
                    uint64_t later_hash = window_hash(bytes + later * step);
                    __builtin_prefetch(table + (later_hash >> bucket_shift) * width, 1);
                    pending[later % PREFETCH_AHEAD] = later_hash;
                }
            } else {
                hash = window_hash(bytes + q * step);
            }
            table[(hash >> bucket_shift) * width + (q & way_mask)] =
                static_cast<uint32_t>((q + 1) << position_shift) |
                (static_cast<uint32_t>(hash >> tag_shift) & tags);
            q++;
            q += (q & way_mask) == ((start + span) & way_mask) ? width - span : 0;
        }
    }

    /* The 64-bit hash of the window at `window`: its top bits pick the
     * bucket, the bits below them the tag. */
    uint64_t window_hash(const uint8_t *window) const {
        return (load64(window) & window_mask) * HASH_MULTIPLIER;
    }

    /* The bucket from the hash's top bits, the tag from the bits below. */
    uint32_t *bucket_at(uint64_t hash) const {
        return slots + (hash >> (64 - bits)) * static_cast<uint64_t>(ways);
    }

    uint32_t tag_of(uint64_t hash) const {
        return static_cast<uint32_t>(hash >> (64 - bits - tag_bits)) & tag_mask;
    }

    uint32_t *bucket_of(const uint8_t *window) const { return bucket_at(window_hash(window)); }

    /* The ways of a bucket that hold a position under `tag`, as bit i for
     * way i.  Nearly every way holds another window of the bucket or is
     * empty: a search of a value below DEEP_BELOW spent a third of its
     * instructions testing its 16 ways one by one, which four vector
     * compares do at once (ways is a multiple of four).  An empty slot is
     * 0: a position is stored plus one. */
    uint32_t ways_with(const uint32_t *bucket, uint32_t tag, bool scalar) const {
        uint32_t found = 0;
#if defined(__SSE2__)
        if (!scalar) {
            const __m128i mask = _mm_set1_epi32(static_cast<int>(tag_mask));
            const __m128i wanted = _mm_set1_epi32(static_cast<int>(tag));
            const __m128i empty = _mm_setzero_si128();
            for (int way = 0; way < ways; way += 4) {
                __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bucket + way));
                __m128i hit = _mm_andnot_si128(_mm_cmpeq_epi32(lanes, empty),
                                               _mm_cmpeq_epi32(_mm_and_si128(lanes, mask), wanted));
                found |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(hit))) << way;
            }
            return found;
        }
#endif
        for (int way = 0; way < ways; way++) {
            uint32_t slot = bucket[way];
            if ((slot & tag_mask) == tag && slot != 0) {
                found |= uint32_t{1} << way;
            }
        }
        return found;
    }
};

/* The part of the new value that one search covers: copies start in
 * [begin, end) and end by `end`. */
struct part_range {
    uint64_t begin;
    uint64_t end;
};

struct matcher {
    const old_table &old;
    const uint8_t *old_bytes;
    uint64_t old_length;
    const uint8_t *new_bytes;
    uint64_t new_length;
    part_range range;
    /* Copies taken as they are; the search covers only what they leave. */
    const diff_compact_parse &anchors;

    /* New positions + 1: the latest per hash, and each one's predecessor. */
    uint32_t *heads = nullptr;
    uint32_t *chain = nullptr;
    int head_bits = 0;
    uint64_t chain_mask = 0;
    int chain_depth;
    /* QUICK_REPEAT in compiled code, else never. */
    uint64_t quick_repeat;
    /* ENTER_NEAR_STEP in compiled code, else 1. */
    uint64_t enter_near;
    bool scalar = scalar_ways.load(std::memory_order_relaxed);

    source_state state;
    int64_t literal_cost;
    /* Positions below this are in the chain already. */
    uint64_t entered;

    matcher(const old_table &table, const buf *new_value, part_range part,
            const diff_compact_parse &fixed, int64_t literal)
        : old(table), old_bytes(table.old_bytes), old_length(table.old_length),
          new_bytes(new_value->data), new_length(new_value->len), range(part), anchors(fixed),
          chain_depth(depth_for(new_value->len, literal >= COMPILED_LITERAL && fixed.count == 0 &&
                                                    table.positions() > 0)),
          quick_repeat(literal >= COMPILED_LITERAL ? QUICK_REPEAT : UINT64_MAX),
          enter_near(literal >= COMPILED_LITERAL ? ENTER_NEAR_STEP : 1), literal_cost(literal),
          entered(first_entered(part)) {}
    /* The chain's depth for a new value of `length` bytes; `whole_code`:
     * a search of the whole value of compiled code against an old one. */
    static int depth_for(uint64_t length, bool whole_code) {
        if (length >= FAR_CHAIN_FROM) {
            return whole_code ? FAR_CODE_CHAIN_DEPTH : FAR_CHAIN_DEPTH;
        }
        return whole_code ? FAR_CHAIN_DEPTH : CHAIN_DEPTH;
    }
    matcher(const matcher &) = delete;
    matcher &operator=(const matcher &) = delete;

    ~matcher() {
        diff_compact_table_give(DIFF_COMPACT_TABLE_HEADS, heads, head_bytes());
        diff_compact_table_give(DIFF_COMPACT_TABLE_CHAIN, chain, chain_bytes());
    }

    size_t head_bytes() const { return (size_t{1} << head_bits) * sizeof(uint32_t); }
    size_t chain_bytes() const { return static_cast<size_t>(chain_mask + 1) * sizeof(uint32_t); }

    /* A later part's chain starts PRIME_BEHIND bytes before its range, so
     * that it finds what lies just behind it as the part before would. */
    static uint64_t first_entered(part_range part) {
        return part.begin > PRIME_BEHIND ? part.begin - PRIME_BEHIND : 0;
    }

    bool allocate() {
        uint64_t reach = range.end - first_entered(range);
        if (literal_cost >= COMPILED_LITERAL && old.positions() > 0 &&
            new_length < FAR_CHAIN_FROM) {
            reach >>= CODE_TABLE_SHIFT;
        }
        head_bits = bits_for(reach, anchors.count > 0 ? HEAD_AROUND_MAX_BITS : HEAD_MAX_BITS);
        int chain_bits = bits_for(reach, CHAIN_MAX_BITS);
        chain_mask = (uint64_t{1} << chain_bits) - 1;
        heads = static_cast<uint32_t *>(
            diff_compact_table_take(DIFF_COMPACT_TABLE_HEADS, head_bytes()));
        // Left uncleared: an entry is read only for a position the chain
        // reaches back to, which was entered, and so written, before.
        chain = static_cast<uint32_t *>(
            diff_compact_table_take_uncleared(DIFF_COMPACT_TABLE_CHAIN, chain_bytes()));
        return heads != nullptr && chain != nullptr;
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

    /* The equal bytes at a unified source for target t, 0 if it is none;
     * a copy ends by the end of its part. */
    uint64_t length_at(uint64_t source, uint64_t t) const {
        uint64_t limit = range.end - t;
        if (source < old_length) {
            return buf_common_prefix(old_bytes + source, new_bytes + t,
                                     std::min(limit, old_length - source));
        }
        uint64_t s = source - old_length;
        return s < t ? buf_common_prefix(new_bytes + s, new_bytes + t, limit) : 0;
    }

    /* Whether the source's first MIN_REPEAT_MATCH bytes equal t's: most
     * candidates (the repeats, the chain's entries of other windows with
     * the same hash) fail within them, and this turns them away without
     * a call to measure the whole match. */
    bool starts_alike(uint64_t source, uint64_t t) const {
        if (range.end - t < MIN_REPEAT_MATCH) {
            return false;
        }
        const uint8_t *from = nullptr;
        if (source < old_length) {
            if (old_length - source < MIN_REPEAT_MATCH) {
                return false;
            }
            from = old_bytes + source;
        } else {
            uint64_t s = source - old_length;
            if (s >= t) {
                return false;
            }
            from = new_bytes + s;
        }
        return memcmp(from, new_bytes + t, MIN_REPEAT_MATCH) == 0;
    }

    void consider(uint64_t source, uint64_t t, candidate &best) const {
        if (!starts_alike(source, t)) {
            return;
        }
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

    /* Asks for the bucket and the chain's head of position t, which are
     * mostly beyond the caches, ahead of its search. */
    void prefetch(uint64_t t) const {
        if (loadable(t)) {
            if (old_length >= LOAD) {
                __builtin_prefetch(old.bucket_of(new_bytes + t));
            }
            __builtin_prefetch(&heads[hash_of(new_bytes + t, head_bits)]);
        }
    }

    /* Asks for the chain's entry of head or entry `s` (a position + 1, 0:
     * none) and for the new value's bytes there. */
    void ask_chain(uint32_t s) const {
        if (s != 0) {
            __builtin_prefetch(&chain[(s - 1) & chain_mask]);
            __builtin_prefetch(new_bytes + (s - 1));
        }
    }

    /* The best copy for position t (gain 0: none worth it).  The search
     * at `ahead`, the next one should this find nothing worth it (t + 1 in
     * the lazy step, further on across a literal run), is asked for first:
     * asked for at t + 1 only, a search stepping over a long literal run
     * would find its bucket beyond the caches every time. */
    candidate search(uint64_t t, uint64_t ahead, const candidate &floor = {}) const {
        prefetch(ahead);
        // The chain's first entry and the bytes it points to are asked
        // for before the repeats and the bucket are weighed: in a large
        // value each is a miss, and the chain's walk had waited for them
        // one after the other.
        uint32_t s = heads[hash_of(new_bytes + t, head_bits)];
        ask_chain(s);
        candidate best = floor;
        for (int64_t shift : state.shift) {
            consider(t + static_cast<uint64_t>(shift), t, best);
        }
        if (best.length >= GOOD_ENOUGH || (best.length >= quick_repeat && best.gain > floor.gain)) {
            return best;
        }
        if (old_length >= LOAD) {
            uint64_t hash = old.window_hash(new_bytes + t);
            const uint32_t *bucket = old.bucket_at(hash);
            uint32_t tag = old.tag_of(hash);
            uint32_t window = load32(new_bytes + t);
            // Most ways hold another window of the same bucket, or one
            // that cannot beat the best: the tag turns the first away, one
            // load each the rest.  The ways are visited in order, so the
            // best is the same with the vector test as without.
            for (uint32_t hits = old.ways_with(bucket, tag, scalar); hits != 0; hits &= hits - 1) {
                uint32_t slot = bucket[__builtin_ctz(hits)];
                uint64_t p = ((slot >> old.tag_bits) - uint64_t{1}) * old.stride;
                uint64_t past = t + best.length;
                if (load32(old_bytes + p) == window &&
                    (best.length < 4 || past >= range.end || p + best.length >= old_length ||
                     old_bytes[p + best.length] == new_bytes[past])) {
                    consider(p, t, best);
                }
            }
        }
        for (int depth = 0; depth < chain_depth && s != 0 && best.length < GOOD_ENOUGH; depth++) {
            uint64_t earlier = s - 1;
            if (t - earlier > chain_mask) {
                break;
            }
            // The next entry is read, and its own asked for, before this
            // one is measured, so that the two misses overlap.
            s = chain[earlier & chain_mask];
            if (depth + 1 < chain_depth) {
                ask_chain(s);
            }
            // An earlier position that differs just past the best length
            // cannot be longer, and costs more than the repeats that the
            // best usually is: it is passed over unmeasured.
            uint64_t past = t + best.length;
            if (best.length < 4 || past >= range.end ||
                new_bytes[earlier + best.length] == new_bytes[past]) {
                consider(old_length + earlier, t, best);
            }
        }
        return best;
    }

    /* Whether a copy from `source` to t is at one of the recent shifts. */
    bool at_repeat(uint64_t source, uint64_t t) const {
        auto shift = static_cast<int64_t>(source - t);
        return std::find(std::begin(state.shift), std::end(state.shift), shift) !=
               std::end(state.shift);
    }

    /* What a copy one byte after `best` must beat to be taken instead:
     * its gain must exceed best's by a literal, and no copy of at most
     * the floor's length can, whatever its source costs (the cheapest is
     * a repeat), so the search passes over those unmeasured.  Searched
     * from nothing, the next position measured most of them, at twice
     * the cost of a search elsewhere, and the candidates it kept on the
     * way pruned less well: the floor also found better copies (deltas
     * 0.5% smaller). */
    candidate lazy_floor(const candidate &best) const {
        int64_t bar = best.gain + literal_cost;
        auto length = static_cast<uint64_t>((bar + COMMAND_COST + REPEAT_COST) / literal_cost);
        return {0, length, bar};
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

    /* A window of LOAD bytes at t lies inside the new value: where a
     * search or an entry in the chain can start. */
    bool loadable(uint64_t t) const { return t + LOAD <= new_length; }

    /* Adds a copy to the parse and the repeat state, and enters its first
     * positions and a sample of the rest in the chain. */
    bool take(diff_compact_parse *parse, uint64_t t, uint64_t source, uint64_t length) {
        if (!diff_compact_parse_add(parse, t, source, length)) {
            return false;
        }
        took(source, t, length);
        uint64_t end = t + length;
        prefetch(end);
        for (uint64_t at = t; at < end && loadable(at);
             at += at - t < ENTER_ALL_BELOW ? enter_near : ENTER_STEP) {
            enter(at);
        }
        return true;
    }

    /* The first anchor that ends past t. */
    uint64_t anchor_after(uint64_t t) const {
        uint64_t low = 0;
        uint64_t high = anchors.count;
        while (low < high) {
            uint64_t middle = low + (high - low) / 2;
            const diff_compact_copy &copy = anchors.copies[middle];
            if (copy.target + copy.length <= t) {
                low = middle + 1;
            } else {
                high = middle;
            }
        }
        return low;
    }

    bool run(diff_compact_parse *parse) {
        // Around anchors the part before enters a sample of nearly all
        // its positions, being inside copies, and the priming does much
        // the same: every position near the seam, a sample further back.
        // A whole search enters most positions; its priming enters a
        // sample of them (PRIME_WHOLE_STEP) beyond the seam's stretch.
        uint64_t sample = anchors.count > 0 ? ENTER_STEP : PRIME_WHOLE_STEP;
        for (uint64_t at = first_entered(range); at < range.begin && loadable(at);
             at += range.begin - at <= PRIME_DENSE ? 1 : sample) {
            enter(at);
        }
        uint64_t literal_start = range.begin;
        uint64_t t = range.begin;
        uint64_t next = anchor_after(t);
        while (t < range.end) {
            while (next < anchors.count &&
                   anchors.copies[next].target + anchors.copies[next].length <= t) {
                next++;
            }
            uint64_t gap_end = range.end;
            if (next < anchors.count) {
                // An anchor is taken as it is, from wherever the search
                // has got to in it, up to the end of the part.
                const diff_compact_copy &anchor = anchors.copies[next];
                if (anchor.target <= t) {
                    uint64_t end = std::min(anchor.target + anchor.length, range.end);
                    if (!take(parse, t, anchor.source + (t - anchor.target), end - t)) {
                        return false;
                    }
                    t = end;
                    literal_start = end;
                    continue;
                }
                gap_end = std::min(anchor.target, range.end);
            }
            if (!loadable(t)) {
                break;
            }
            uint64_t step = std::min<uint64_t>(MAX_STEP, 1 + ((t - literal_start) >> SKIP_SHIFT));
            candidate best = search(t, t + step);
            if (best.gain <= 0) {
                enter(t);
                t = std::min(gap_end, t + step);
                continue;
            }
            // The search after this copy is asked for now, not once the
            // copy is taken: the lazy step and the entering of the copy's
            // positions are the time its bucket and head need to arrive.
            prefetch(t + best.length);
            // One step of lazy evaluation: a better copy one byte on is
            // worth the literal it leaves behind.
            while (best.length < LAZY_BELOW && (anchors.count > 0 || !at_repeat(best.source, t)) &&
                   t + 1 < gap_end && loadable(t + 1)) {
                enter(t);
                candidate later = search(t + 1, t + 2, lazy_floor(best));
                if (later.gain <= best.gain + literal_cost) {
                    break;
                }
                best = later;
                t++;
            }
            // The copy reaches back over equal literal bytes.
            while (t > literal_start && best.source > 0 && best.source != old_length &&
                   source_byte(best.source - 1) == new_bytes[t - 1]) {
                best.source--;
                t--;
                best.length++;
            }
            if (!take(parse, t, best.source, best.length)) {
                return false;
            }
            t += best.length;
            literal_start = t;
        }
        return true;
    }

    uint8_t source_byte(uint64_t source) const {
        return source < old_length ? old_bytes[source] : new_bytes[source - old_length];
    }
};

/* A new value longer than COST_SAMPLE_BLOCKS * COST_SAMPLE_BLOCK bytes
 * has its literal cost taken from that many blocks spread evenly over it:
 * 64 KiB give the order-0 entropy to a few hundredths of a bit, finer than
 * the cost's sixteenths matter, where counting every byte took 3.5% of a
 * 3.5 MB module's compact delta. */
constexpr uint64_t COST_SAMPLE_BLOCKS = 256;
constexpr uint64_t COST_SAMPLE_BLOCK = 256;

/* The new value's order-0 entropy per byte, the cost of a literal. */
int64_t literal_cost_of(const buf *new_value) {
    double bits = diff_compact_entropy_bits(new_value, COST_SAMPLE_BLOCKS, COST_SAMPLE_BLOCK);
    return std::clamp(static_cast<int64_t>(bits * BIT), MIN_LITERAL, MAX_LITERAL);
}

/* What the threads of one call share: the table, and each part's copies. */
struct shared_work {
    old_table *table;
    const buf *new_value;
    const diff_compact_parse *anchors;
    int64_t literal_cost;
    uint32_t parts;
    diff_compact_parse found[MAX_PARTS];
    bool ok[MAX_PARTS];
};

/* A pool task: one half of the ways of the old value's table. */
void fill_half(void *context, uint32_t half) {
    static_cast<shared_work *>(context)->table->fill(static_cast<int>(half));
}

/* A pool task: the copies of part i of the new value, into found[i]. */
void search_part(void *context, uint32_t i) {
    shared_work &work = *static_cast<shared_work *>(context);
    uint64_t length = work.new_value->len;
    part_range range = {length * i / work.parts, length * (i + 1) / work.parts};
    matcher m(*work.table, work.new_value, range, *work.anchors, work.literal_cost);
    work.ok[i] = m.allocate() && m.run(&work.found[i]);
}

/* Threads for the match finder: one per core, at most one per part. */
int helpers_for(uint32_t parts) {
    return static_cast<int>(std::min<unsigned>(work_pool_cores(), parts)) - 1;
}

} // namespace

TOVAREL_BEGIN_DECLS

bool diff_compact_match_around(diff_compact_parse *parse, const buf *old_value,
                               const buf *new_value, const diff_compact_parse *anchors) {
    old_table table(old_value);
    int64_t literal_cost = literal_cost_of(new_value);
    if (!table.allocate(anchors->count > 0, literal_cost >= COMPILED_LITERAL)) {
        return false;
    }
    shared_work work = {&table, new_value, anchors, literal_cost, 1, {}, {}};
    work.parts = new_value->len >= SPLIT_FROM ? MAX_PARTS : 1;
    // Filling the table is worth a second thread once the old value is as
    // large as a value worth splitting.
    work_pool_run(old_value->len >= SPLIT_FROM ? helpers_for(2) : 0, 2, fill_half, &work);
    work_pool_run(helpers_for(work.parts), work.parts, search_part, &work);
    bool ok = true;
    for (uint32_t i = 0; i < work.parts; i++) {
        for (uint64_t c = 0; ok && work.ok[i] && c < work.found[i].count; c++) {
            const diff_compact_copy &copy = work.found[i].copies[c];
            ok = diff_compact_parse_add(parse, copy.target, copy.source, copy.length);
        }
        ok = ok && work.ok[i];
        diff_compact_parse_release(&work.found[i]);
    }
    if (!ok) {
        diff_compact_parse_release(parse);
    }
    return ok;
}

double diff_compact_entropy_bits(const buf *value, uint64_t blocks, uint64_t block) {
    uint64_t counts[256] = {};
    uint64_t counted = 0;
    auto count_span = [&](uint64_t from, uint64_t length) {
        for (uint64_t i = from; i < from + length; i++) {
            counts[value->data[i]]++;
        }
        counted += length;
    };
    if (value->len <= blocks * block) {
        count_span(0, value->len);
    } else {
        uint64_t spacing = value->len / blocks;
        for (uint64_t b = 0; b < blocks; b++) {
            count_span(b * spacing, block);
        }
    }
    double bits = 0;
    for (uint64_t count : counts) {
        if (count > 0) {
            double share = static_cast<double>(count) / static_cast<double>(counted);
            bits -= share * std::log2(share);
        }
    }
    return bits;
}

void _diff_compact_match_force_scalar(bool scalar) {
    scalar_ways.store(scalar, std::memory_order_relaxed);
}

bool diff_compact_match(diff_compact_parse *parse, const buf *old_value, const buf *new_value) {
    const diff_compact_parse none = {nullptr, 0, 0};
    return diff_compact_match_around(parse, old_value, new_value, &none);
}

TOVAREL_END_DECLS
