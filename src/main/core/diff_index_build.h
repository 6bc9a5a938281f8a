/*
 * diff_index_build.h - the index of the old value that the index method's
 * scan searches.  Internal to the index method's sources (C++ only).
 *
 * The deep chains link the positions of each 8-byte window's fingerprint,
 * latest first: the scan walks them for the longest match, which in text
 * is often far down the chain.  While the old value is small enough for
 * the chains to hold every window, they are the whole index.
 *
 * Beyond that, each table takes only the windows that pass a content test
 * of its own (one in deep_mask + 1), and a near table is added: buckets of
 * NEAR_WAYS positions in half a cache line, the latest windows of the
 * bucket's hash (one in near_mask + 1 of them), each with a tag of its
 * window, so that the old value's bytes are only read for a window that is
 * there.  The test looks at the window only, so the scan probes a table at
 * exactly the new positions whose windows the build would have put there:
 * one hash decides, and no probe, a cache miss on a large value, is spent
 * on a window that cannot be there.  Positions sampled by position would
 * have to be probed at every new position to meet each match's samples.
 *
 * Entries hold a position shifted right by `grid` bits (0 below 4 GiB),
 * plus one in the near table, so that 0 marks an empty slot there and the
 * tables stay 32-bit for values of any size.
 */
#ifndef TOVAREL_DIFF_INDEX_BUILD_H
#define TOVAREL_DIFF_INDEX_BUILD_H

#include <stddef.h>
#include <stdint.h>

namespace diff_index {

/* Bytes in a window, and the shortest stretch worth a copy. */
constexpr uint64_t WINDOW = 8;
constexpr uint64_t MIN_MATCH = 8;

constexpr uint32_t NEAR_WAYS = 4;

/* The line size of the caches: what the reads ahead ask for, and what two
 * threads must not both write. */
constexpr size_t CACHE_LINE = 64;

/* From this size on, an old value whose windows the chains cannot all
 * hold is read at one position in 2^SPARSE_GRID only, while the near test
 * still takes a window every SPARSE_SPACING_MOST bytes or fewer there.
 * Reading and hashing every window of it cost more than the rest of a diff
 * with few edits, and a long match still holds many windows of the grid:
 * one indexed window inside it is enough, since backward extension finds
 * its start.  But each part of the new value's scan starts a little before
 * the part with no copy in hand, and finds its first one only at a stop
 * whose window the near table took, the stops growing further apart as it
 * misses: past 1 GiB, where the index gets an eighth of the old value, the
 * near test takes one window in 128, one in 512 bytes on the grid, and 3
 * GiB of random bytes under 100 edits left 15% of the new value to
 * literals (a delta of 464 MB, against 2 KB with every window read).  The
 * near test of 64 MiB takes one window in 16, and it is read on the grid.
 * Smaller values, compiled binaries among them, keep every window unless a
 * trial shows that they need not (see diff_index.cpp). */
constexpr uint64_t SPARSE_FROM = 32ULL << 20;
constexpr int SPARSE_GRID = 2;
constexpr uint64_t SPARSE_SPACING_MOST = 128;

/* The windows of an old value of old_length bytes, a window or more, that
 * start at the positions of the grid, k << grid. */
inline uint64_t grid_windows(uint64_t old_length, int grid) {
    return ((old_length - WINDOW) >> grid) + 1;
}

/* A bucket: the positions' entries, latest first, then their tags. */
struct near_bucket_slots {
    uint32_t entry[NEAR_WAYS];
    uint32_t tag[NEAR_WAYS];
};

constexpr uint64_t FINGERPRINT_MULTIPLIER = 0x9E3779B97F4A7C15ULL;

constexpr uint64_t SAMPLE_MULTIPLIER = 0xD6E8FEB86659FD93ULL;

/* The content tests read the top bits of a product of their own, the near
 * table's from bit 52 down and the deep chains' from bit 40 down. */
constexpr int NEAR_SAMPLE_SHIFT = 52;
constexpr int DEEP_SAMPLE_SHIFT = 40;

/* The product both tables' slots are taken from. */
inline uint64_t window_product(uint64_t window) {
    return window * FINGERPRINT_MULTIPLIER;
}

inline uint64_t sample_product(uint64_t window) {
    return window * SAMPLE_MULTIPLIER;
}

inline bool near_sampled(uint64_t sample, uint64_t mask) {
    return ((sample >> NEAR_SAMPLE_SHIFT) & mask) == 0;
}

inline uint64_t near_bucket(uint64_t product, int bits) {
    return product >> (64 - bits);
}

/* The tag of a window: all of its bytes folded into 32 bits, so that two
 * windows of one bucket with equal tags are nearly always equal. */
inline uint32_t near_tag(uint64_t window) {
    return static_cast<uint32_t>(window ^ (window >> 32));
}

inline bool deep_sampled(uint64_t sample, uint64_t mask) {
    return ((sample >> DEEP_SAMPLE_SHIFT) & mask) == 0;
}

/* The same tests as masks of the product itself, for loops over every
 * window: the product has none of the mask's bits exactly where the test
 * takes the window (the bits of a mask beyond the product's top fall off
 * both ways), and the shift is saved at each window. */
inline uint64_t near_product_mask(uint64_t mask) {
    return mask << NEAR_SAMPLE_SHIFT;
}
inline uint64_t deep_product_mask(uint64_t mask) {
    return mask << DEEP_SAMPLE_SHIFT;
}
inline bool product_passes(uint64_t sample, uint64_t product_mask) {
    return (sample & product_mask) == 0;
}

inline uint64_t deep_fingerprint(uint64_t product, int bits) {
    return product >> (64 - bits);
}

/* The top 32 bits of a window's product, which give its deep fingerprint
 * at every width the chains take (a head table of at most 2^32 slots):
 * the fill keeps them with each sample, so that linking the chains reads
 * no window of the old value again. */
inline uint32_t fingerprint_bits(uint64_t product) {
    return static_cast<uint32_t>(product >> 32);
}
inline uint64_t fingerprint_from_bits(uint32_t top, int bits) {
    return top >> (32 - bits);
}

/* A block of the index's memory, with its size in bytes. */
struct index_block {
    void *data = nullptr;
    size_t size = 0;
};

struct old_index {
    const uint8_t *old_bytes;
    uint64_t old_length;
    int grid; /* entries hold position >> grid */

    near_bucket_slots *near; /* null while the deep chains hold every window */
    int near_bits;
    uint64_t near_mask; /* one window in near_mask + 1 is taken */

    uint32_t *deep_head; /* 1 + the latest sample of each fingerprint; while
                          * the samples are collected, each one's bits of
                          * the deep test instead */
    uint32_t *deep_link; /* 1 + the sample before, with the same fingerprint;
                          * while the samples are collected, each one's
                          * fingerprint_bits instead */
    uint32_t *deep_at;   /* each sample's position >> grid; null when the
                          * chains hold every window: sample k is then
                          * position k << grid */
    uint32_t deep_samples;
    int deep_bits;
    uint64_t deep_mask; /* one window in deep_mask + 1 is sampled */

    /* The longest run of each byte value, of a whole window or more. */
    uint64_t run_start[256];
    uint64_t run_length[256];

    index_block blocks[4]; /* near table, deep head, links, positions */

    uint64_t position(uint32_t entry) const { return static_cast<uint64_t>(entry - 1) << grid; }
    uint64_t deep_position(uint32_t sample) const {
        return static_cast<uint64_t>(deep_at != nullptr ? deep_at[sample] : sample) << grid;
    }
};

/* Indexes old_length bytes at old_bytes within allowance bytes of tables,
 * on up to `threads` threads; the index is the same for any number.  An
 * old value too large for the chains to hold every window is read at one
 * position in 2^least_grid at least.  False only when memory runs out
 * (nothing is then left to free). */
bool index_build(old_index *index, const uint8_t *old_bytes, uint64_t old_length,
                 uint64_t allowance, int threads, int least_grid);

/* For index_build's parts: */

/* Records the run of one byte value whose window at position is uniform,
 * unless it is the rest of a run that ends at *run_end; says whether the
 * window is a run's first. */
bool index_run(old_index *index, uint64_t position, uint8_t byte, uint64_t *run_end);
/* Fills the near table, which it zeroes first, and collects the deep
 * samples, at most capacity of them, in deep_at, their fingerprint_bits in
 * deep_link and their test bits in deep_head (diff_index_fill.cpp).  False
 * when memory runs out. */
bool index_fill(old_index *index, uint32_t capacity, int threads);
/* Test hook: with plain set, later fills read the windows one at a time
 * instead of several at once, and chains are built as index_chain_force_plain
 * says (same tables). */
void index_fill_force_plain(bool plain);
/* Test hook: with plain set, later builds of every window's chains test
 * each window for a run as they link it (same tables). */
void index_chain_force_plain(bool plain);
void index_free(old_index *index);

} // namespace diff_index

#endif /* TOVAREL_DIFF_INDEX_BUILD_H */
