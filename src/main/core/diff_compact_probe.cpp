/*
 * diff_compact_probe.cpp - the quick estimate of a new value's literal
 * share, from sampled windows (see diff_compact_probe.h).
 *
 * The old value's windows are read at every STRIDE-th position only, into
 * a small table of their positions; a sample position of the new value
 * then tries the STRIDE windows that start there, one of which lines up
 * with the old value's grid wherever an exact copy of STRIDE + WINDOW
 * bytes or more covers it.  A position that none of them matches is
 * compared along the diagonal of the last match found: between two builds
 * of the same code the addresses inside the code change every few bytes,
 * the exact copies are shorter than the windows, and yet the index method
 * copies nearly all of it along that diagonal.  Reading 1/64 of the old
 * value's windows and a few windows at 512 places of the new one costs
 * 0.1 ms to 2.7 ms on compiled modules of 0.2 MB to 10 MB, where the
 * index stage, which reads every window of both, takes 3 ms to 33 ms.
 */
#include "diff_compact_probe.h"

#include <cstdlib>

#include "buf_compare.hpp"

namespace {

/* Bytes of a window: long enough that a match is rarely chance (8-byte
 * strings of machine code recur all over a binary), short enough that the
 * copies between two builds of the same code are still seen. */
constexpr uint64_t WINDOW = 16;

/* The grid of the old value's windows, made coarser for large old values
 * so that the table keeps at most MAX_ENTRIES windows (8 MiB); past
 * MAX_STRIDE (old values over 128 MiB) the probe does not run, and the
 * index stage always does.  Grids of 16 and 32 cost two and four times
 * the time for readings within 0.05 of this one's on the pairs measured:
 * the diagonal finds what the coarser grid misses. */
constexpr uint64_t FIRST_STRIDE = 64;
constexpr uint64_t MAX_STRIDE = 128;
constexpr uint64_t MAX_ENTRIES = 1 << 20;

/* Four positions to a bucket, a bucket for each two windows: a window is
 * seldom pushed out by later ones (with one slot for each window, a tenth
 * of the copied positions of a value under a few edits went unseen). */
constexpr int WAYS = 4;
constexpr uint64_t WINDOWS_PER_BUCKET = 2;

/* Windows whose buckets are fetched before any of them is entered: a
 * large old value's table misses the cache at every entry. */
constexpr uint64_t BLOCK = 64;

/* A point for each this many bytes of the new value, up to
 * DIFF_COMPACT_PROBE_POINTS: each point may read STRIDE windows and a
 * diagonal, some thousand instructions, which keeps the new value's side
 * of the probe to a few instructions a byte, against some fifty that the
 * index stage spends on a value of 200 KB; 512 points or more read the
 * literal share within a few hundredths. */
constexpr uint64_t BYTES_PER_POINT = 256;

/* Along the last match's diagonal, a position counts as copied where at
 * least DIAGONAL_EQUAL of the DIAGONAL_SPAN bytes from it are equal: code
 * under changed addresses keeps 80% to 95% of them, unrelated bytes of a
 * small alphabet (text, machine code) under a tenth. */
constexpr uint64_t DIAGONAL_SPAN = 64;
constexpr uint64_t DIAGONAL_EQUAL = 32;

/* A slot's grid index, from 1 up (at most MAX_ENTRIES + 1), and its tag:
 * bits of the hash that neither pick the bucket nor the slot a full
 * bucket gives up. */
constexpr unsigned INDEX_BITS = 21;
constexpr uint32_t INDEX_MASK = (1u << INDEX_BITS) - 1;
constexpr unsigned TAG_SHIFT = 8;
constexpr unsigned REPLACE_SHIFT = 4;
static_assert((MAX_ENTRIES + 1) <= INDEX_MASK);

uint32_t tag_of(uint64_t hash) {
    // The top bit always set: no tag is that of an empty slot.
    return (static_cast<uint32_t>(hash >> TAG_SHIFT) & ~INDEX_MASK) | 1u << 31;
}

/* A diagonal not yet known. */
constexpr int64_t NO_DIAGONAL = INT64_MIN;

/* A hash of the WINDOW bytes at p whose high bits, which depend on all
 * of the product's factor, pick the bucket.  The words are read
 * little-endian, as the rest of the core reads them, so that the probe's
 * verdict, and with it the delta, is the same on every host. */
uint64_t window_hash(const uint8_t *p) {
    return (buf_load_little(p) ^ buf_load_little(p + 8) * 0xC2B2AE3D27D4EB4FULL) *
           0x9E3779B97F4A7C15ULL;
}

bool same_window(const uint8_t *a, const uint8_t *b) {
    return buf_load_little(a) == buf_load_little(b) &&
           buf_load_little(a + 8) == buf_load_little(b + 8);
}

struct window_table {
    /* Each slot holds a grid index plus one in its low INDEX_BITS bits
     * (0 marks an empty slot) and a tag of the window's hash above: most
     * slots of a bucket hold other windows, and the tag turns them away
     * without reading the old value there, a cache miss each on a large
     * value. */
    uint32_t *slots = nullptr;
    int bits = 0;

    ~window_table() { free(slots); }

    bool allocate(uint64_t entries) {
        bits = 1;
        while ((WINDOWS_PER_BUCKET << bits) < entries) {
            bits++;
        }
        slots = static_cast<uint32_t *>(calloc(WAYS << bits, sizeof(uint32_t)));
        return slots != nullptr;
    }
    uint32_t *bucket(uint64_t hash) const { return slots + WAYS * (hash >> (64 - bits)); }

    /* Into the first free slot; a full bucket gives up a slot chosen by
     * the hash. */
    void enter(uint64_t hash, uint64_t index) {
        uint32_t *b = bucket(hash);
        uint32_t slot = static_cast<uint32_t>(index + 1) | tag_of(hash);
        for (int w = 0; w < WAYS; w++) {
            if (b[w] == 0) {
                b[w] = slot;
                return;
            }
        }
        b[(hash >> REPLACE_SHIFT) % WAYS] = slot;
    }
};

/* The old value's grid: the smallest stride from FIRST_STRIDE up that
 * keeps the table within MAX_ENTRIES, or 0 where none does. */
uint64_t stride_for(uint64_t old_length) {
    uint64_t stride = FIRST_STRIDE;
    while (old_length / stride > MAX_ENTRIES) {
        stride *= 2;
    }
    return stride <= MAX_STRIDE ? stride : 0;
}

/* The probe's reading of both values. */
struct probe {
    const uint8_t *old_bytes;
    uint64_t old_length;
    const uint8_t *new_bytes;
    uint64_t new_length;
    uint64_t stride;
    window_table table;

    void enter_old() {
        // The hashes of a block of windows are taken first and their
        // buckets fetched, then the block is entered.
        uint64_t entries = (old_length - WINDOW) / stride + 1;
        uint64_t hashes[BLOCK];
        for (uint64_t first = 0; first < entries; first += BLOCK) {
            uint64_t count = entries - first < BLOCK ? entries - first : BLOCK;
            for (uint64_t i = 0; i < count; i++) {
                hashes[i] = window_hash(old_bytes + (first + i) * stride);
                __builtin_prefetch(table.bucket(hashes[i]), 1);
            }
            for (uint64_t i = 0; i < count; i++) {
                table.enter(hashes[i], first + i);
            }
        }
    }

    /* The diagonal (old position minus new) of a window of the old grid
     * equal to the new value's window at `at`, or NO_DIAGONAL. */
    int64_t match(uint64_t at) const {
        const uint8_t *window = new_bytes + at;
        uint64_t hash = window_hash(window);
        const uint32_t *b = table.bucket(hash);
        uint32_t tag = tag_of(hash);
        // Most windows tried find no tag at all: the four slots are tested
        // at once, without a branch each (a mispredicted branch per slot
        // made up most of the probe's time on a 0.2 MB module).
        bool any = false;
        for (int w = 0; w < WAYS; w++) {
            any |= (b[w] & ~INDEX_MASK) == tag;
        }
        if (!any) {
            return NO_DIAGONAL;
        }
        for (int w = 0; w < WAYS; w++) {
            if ((b[w] & ~INDEX_MASK) == tag) {
                uint64_t from = ((b[w] & INDEX_MASK) - 1) * stride;
                if (same_window(old_bytes + from, window)) {
                    return static_cast<int64_t>(from) - static_cast<int64_t>(at);
                }
            }
        }
        return NO_DIAGONAL;
    }

    /* Whether the bytes from `at` mostly equal the old value's along
     * `diagonal`. */
    bool along(uint64_t at, int64_t diagonal) const {
        if (diagonal == NO_DIAGONAL || static_cast<int64_t>(at) + diagonal < 0) {
            return false;
        }
        uint64_t from = at + static_cast<uint64_t>(diagonal);
        if (from + DIAGONAL_SPAN > old_length || at + DIAGONAL_SPAN > new_length) {
            return false;
        }
        uint64_t equal = 0;
        for (uint64_t i = 0; i < DIAGONAL_SPAN; i++) {
            equal += old_bytes[from + i] == new_bytes[at + i];
        }
        return equal >= DIAGONAL_EQUAL;
    }
};

/* How a probe samples: the old value's grid made `grid_scale` times
 * coarser, at most `most_points` points, and whether a point tries the
 * last match's diagonal before its windows. */
struct sampling {
    uint64_t grid_scale;
    uint64_t most_points;
    bool diagonal_first;
};

diff_compact_probe_result probe_with(const buf *old_value, const buf *new_value,
                                     const sampling &plan) {
    diff_compact_probe_result none = {0, 0};
    uint64_t stride = stride_for(old_value->len) * plan.grid_scale;
    uint64_t points = new_value->len / BYTES_PER_POINT;
    points = points < plan.most_points ? points : plan.most_points;
    if (stride == 0 || old_value->len < WINDOW || new_value->len < WINDOW + stride || points == 0) {
        return none;
    }
    probe p = {old_value->data, old_value->len, new_value->data, new_value->len, stride, {}};
    if (!p.table.allocate((old_value->len - WINDOW) / stride + 1)) {
        return none;
    }
    p.enter_old();
    // The last point's windows end at the value's end at most.
    uint64_t span = new_value->len - WINDOW - stride + 1;
    uint64_t copied = 0;
    int64_t diagonal = NO_DIAGONAL;
    for (uint64_t k = 0; k < points; k++) {
        uint64_t at = k * span / points;
        if (plan.diagonal_first && p.along(at, diagonal)) {
            copied++;
            continue;
        }
        int64_t found = NO_DIAGONAL;
        for (uint64_t j = 0; j < stride && found == NO_DIAGONAL; j++) {
            found = p.match(at + j);
        }
        if (found != NO_DIAGONAL) {
            diagonal = found;
            copied++;
        } else if (!plan.diagonal_first && p.along(at, diagonal)) {
            copied++;
        }
    }
    return {points, copied};
}

/* The coarse probe's grid (every 512th window of the old value, or
 * coarser) and its points: an eighth of the fine probe's table, which on
 * a 10 MB old value is most of the fine probe's 2.6 ms, and a quarter of
 * its points.  They try the diagonal first: between two builds of the
 * same code it holds at nearly every point, and the 512 windows a point
 * may try are then not read at all. */
constexpr uint64_t COARSE_GRID_SCALE = 8;
constexpr uint64_t COARSE_POINTS = DIFF_COMPACT_PROBE_POINTS / 4;

} // namespace

diff_compact_probe_result diff_compact_probe_literals(const buf *old_value, const buf *new_value) {
    return probe_with(old_value, new_value, {1, DIFF_COMPACT_PROBE_POINTS, false});
}

diff_compact_probe_result diff_compact_probe_coarse(const buf *old_value, const buf *new_value) {
    return probe_with(old_value, new_value, {COARSE_GRID_SCALE, COARSE_POINTS, true});
}
