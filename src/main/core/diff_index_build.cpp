/*
 * diff_index_build.cpp - builds the deep chains and, for large old values,
 * the near table (see diff_index_build.h) within a bound on their memory.
 *
 * While the chains can take every window within the allowance, they do,
 * and no near table is made.  Otherwise the near table gets NEAR_SHARE of
 * the allowance, and the densest rate that fills its buckets to NEAR_LOAD
 * entries on average: a crowded bucket then loses its oldest few, which
 * costs less than a sparser rate would.  The deep chains get the rest;
 * their test starts from the rate that would about fill it and is made
 * stricter, halving the samples kept so far, whenever they would overflow
 * it, so the bound holds however the content falls.
 *
 * Runs of one byte value would fill their bucket, or their chain, with
 * positions inside themselves: only the first window of a run is indexed,
 * and the longest run of each byte value is kept aside for the scan.
 */
#include "diff_index_build.h"

#include <stdlib.h>
#include <string.h>

#include "diff_index_compare.h"
#include "large_pages.hpp"

namespace diff_index {
namespace {

/* The near table's share of an allowance too small for every window: on
 * compiled code, more short matches gained more than deeper chains. */
constexpr uint64_t NEAR_SHARE = 3;
constexpr uint64_t NEAR_SHARE_OF = 4;

/* Entries per near bucket on average at the chosen rate. */
constexpr uint64_t NEAR_LOAD = 4;
constexpr uint64_t NEAR_BUCKET_BYTES = sizeof(near_bucket_slots);
constexpr int MIN_NEAR_BITS = 4;
constexpr int MIN_DEEP_BITS = 4;

/* Deep memory per sample: its link, its position and, with the head table
 * at most twice the samples, up to two head slots. */
constexpr uint64_t DEEP_BYTES_PER_SAMPLE = 16;
constexpr uint64_t MIN_DEEP_SAMPLES = 64;

/* Samples between asking for a table slot and using it, and the table
 * size from which that pays: a slot of a table far beyond the caches takes
 * longer to arrive than a few dozen samples take to build. */
constexpr uint64_t PREFETCH_AHEAD = 32;
constexpr uint64_t PREFETCH_ABOVE = 1 << 20;

/*
 * The tables' memory, kept by each thread from one call to the next, each
 * block up to KEEP_AT_MOST bytes.  Blocks of these sizes are ones the C
 * allocator may serve from fresh pages on every call and hand back to the
 * system at its end; a delta of two 100 KB values then spent two thirds of
 * its time in page faults.  A block is taken out of the cache while a call
 * uses it, so nested or concurrent calls never share one.
 */
constexpr size_t KEEP_AT_MOST = 2 << 20;
constexpr int KEPT_BLOCKS = 4;

struct kept_blocks {
    index_block block[KEPT_BLOCKS];
    ~kept_blocks() {
        for (index_block &kept : block) {
            free(kept.data);
        }
    }
};

thread_local kept_blocks kept;

/* A block of at least size bytes for slot, its first size bytes zeroed if
 * asked: the kept one if it is large enough, else a fresh one (from calloc
 * when zeroed, which maps zeroed pages without writing them). */
bool block_take(index_block *taken, int slot, size_t size, bool zeroed) {
    index_block &cached = kept.block[slot];
    if (cached.data != nullptr && cached.size >= size) {
        *taken = cached;
        cached = index_block{};
        if (zeroed) {
            memset(taken->data, 0, size);
        }
        return true;
    }
    taken->size = size;
    if (size < LARGE_PAGE) {
        taken->data = zeroed ? calloc(1, size) : malloc(size);
        return taken->data != nullptr;
    }
    /* A table read at random positions costs a page walk per probe with
     * small pages once it outgrows what the TLB maps; large pages, where
     * the system grants them, cover it with a few entries. */
    size_t rounded = large_pages_round(size);
    taken->data = rounded == 0 ? nullptr : large_pages_alloc(rounded);
    if (taken->data == nullptr) {
        return false;
    }
    if (zeroed) {
        memset(taken->data, 0, size);
    }
    return true;
}

/* Keeps the block if it is small enough and larger than the one kept. */
void block_give(index_block *given, int slot) {
    index_block &cached = kept.block[slot];
    if (given->data == nullptr || given->size > KEEP_AT_MOST ||
        (cached.data != nullptr && cached.size >= given->size)) {
        free(given->data);
    } else {
        free(cached.data);
        cached = *given;
    }
    *given = index_block{};
}

enum { NEAR_BLOCK, DEEP_HEAD_BLOCK, DEEP_LINK_BLOCK, DEEP_AT_BLOCK };

int bits_for(uint64_t count, int least) {
    int bits = least;
    while ((1ULL << bits) < count) {
        bits++;
    }
    return bits;
}

/* Links every window into the chain of its fingerprint, latest first, in
 * one pass: sample k is the window at k << grid, and a run's windows after
 * its first are left out of every chain.  Dense is set for grid 0, every
 * value under 4 GiB, which then saves a shift at each window. */
template <bool Prefetch, bool Dense> __attribute__((noinline)) void chain_all(old_index *index) {
    const uint8_t *old_bytes = index->old_bytes;
    const uint32_t samples = index->deep_samples;
    const int bits = index->deep_bits, grid = Dense ? 0 : index->grid;
    uint32_t *head = index->deep_head, *link = index->deep_link;
    uint64_t run_end = 0;
    for (uint32_t k = 0; k < samples; k++) {
        if (Prefetch && k + PREFETCH_AHEAD < samples) {
            uint64_t ahead =
                load64(old_bytes + (static_cast<uint64_t>(k + PREFETCH_AHEAD) << grid));
            __builtin_prefetch(&head[deep_fingerprint(window_product(ahead), bits)], 1);
        }
        uint64_t position = static_cast<uint64_t>(k) << grid;
        uint64_t window = load64(old_bytes + position);
        if (uniform(window) &&
            !index_run(index, position, static_cast<uint8_t>(window), &run_end)) {
            link[k] = 0;
            continue;
        }
        uint64_t f = deep_fingerprint(window_product(window), bits);
        link[k] = head[f];
        head[f] = k + 1;
    }
}

/* From this many windows on, chain_every takes the place of chain_all: its
 * walk of the uniform windows' chains costs a few thousand instructions
 * whatever the value's size, which the windows it saves a test on pay for
 * only once they are several thousand. */
constexpr uint32_t CHAIN_EVERY_FROM = 4096;

/* Set by the test hook: every window is chained by chain_all. */
bool plain_chains = false;

/*
 * Takes out of the chains every window of a run of one byte value after
 * the run's first, which chain_every linked with the rest, and records each
 * run with index_run's rule: what chain_all leaves, for grid 0.  A window
 * of byte b's run has the fingerprint of b repeated eight times, so the
 * chains of those 256 fingerprints hold every run's windows, latest first.
 * A uniform window is a run's first unless the byte before it is its byte
 * too (the window before is then uniform as well).  Two bytes may share a
 * fingerprint and their chain is then walked twice: the second walk finds
 * nothing left to take out, and records the same runs again.  Of runs
 * equally long the earliest is kept, as chain_all's forward pass keeps it.
 */
void unchain_runs(old_index *index) {
    const uint8_t *old_bytes = index->old_bytes;
    const uint64_t old_length = index->old_length;
    const int bits = index->deep_bits;
    uint32_t *head = index->deep_head, *link = index->deep_link;
    for (uint32_t value = 0; value < 256; value++) {
        const uint8_t byte = static_cast<uint8_t>(value);
        uint32_t *slot = &head[deep_fingerprint(window_product(byte * BYTE_SPREAD), bits)];
        while (*slot != 0) {
            const uint32_t k = *slot - 1;
            const uint64_t window = load64(old_bytes + k);
            if (!uniform(window)) {
                slot = &link[k];
                continue;
            }
            /* The chain meets a run at its last window and then holds
             * every window of it down to its first, one after the other:
             * the walk goes to the first at once, with the windows between
             * cut out, instead of through each, a load that waits for the
             * one before. */
            const uint8_t own = static_cast<uint8_t>(window);
            const uint32_t first = k - static_cast<uint32_t>(run_backward(old_bytes + k, own, k));
            if (first != k) {
                *slot = first + 1;
                memset(link + first + 1, 0, (k - first) * sizeof(uint32_t));
            }
            uint64_t length = run_forward(old_bytes + first, own, old_length - first);
            if (length >= index->run_length[own]) {
                index->run_start[own] = first;
                index->run_length[own] = length;
            }
            slot = &link[first];
        }
    }
}

/* Windows linked in one step of link_windows. */
constexpr uint32_t LINK_STEP = 4;

/* Links windows [from, to) of every window's chains, each under the
 * fingerprint the product of its window gives shifted right by `shift`.
 * Four at a time: the loop's own count, test and branch were a quarter of
 * its instructions.  The links of a step are made in order, since two of
 * its windows may share a fingerprint. */
inline void link_windows(old_index *index, uint32_t from, uint32_t to, int shift) {
    const uint8_t *old_bytes = index->old_bytes;
    uint32_t *head = index->deep_head, *link = index->deep_link;
    uint32_t k = from;
    for (; to - k >= LINK_STEP; k += LINK_STEP) {
        uint64_t f[LINK_STEP];
        for (uint32_t lane = 0; lane < LINK_STEP; lane++) {
            f[lane] = window_product(load64(old_bytes + k + lane)) >> shift;
        }
        for (uint32_t lane = 0; lane < LINK_STEP; lane++) {
            link[k + lane] = head[f[lane]];
            head[f[lane]] = k + lane + 1;
        }
    }
    for (; k < to; k++) {
        uint64_t f = window_product(load64(old_bytes + k)) >> shift;
        link[k] = head[f];
        head[f] = k + 1;
    }
}

/*
 * chain_all for grid 0 without its test for runs at each window: every
 * window is linked, and unchain_runs then takes out the runs' windows after
 * their first, from the few chains that can hold them.  The same chains and
 * runs; the test and its branch were a third of the instructions of a pass
 * that was two thirds of a small text pair's diff, most of whose windows
 * are no run.
 */
template <bool Prefetch> __attribute__((noinline)) void chain_every(old_index *index) {
    const uint8_t *old_bytes = index->old_bytes;
    const uint32_t samples = index->deep_samples;
    const int shift = 64 - index->deep_bits;
    uint32_t *head = index->deep_head, *link = index->deep_link;
    if (!Prefetch) {
        link_windows(index, 0, samples, shift);
    } else {
        for (uint32_t k = 0; k < samples; k++) {
            if (k + PREFETCH_AHEAD < samples) {
                uint64_t ahead = load64(old_bytes + k + PREFETCH_AHEAD);
                __builtin_prefetch(&head[window_product(ahead) >> shift], 1);
            }
            uint64_t f = window_product(load64(old_bytes + k)) >> shift;
            link[k] = head[f];
            head[f] = k + 1;
        }
    }
    unchain_runs(index);
}

/* Links every sample into the chain of its fingerprint, latest first.
 * Each sample's link slot holds its fingerprint_bits until then: the
 * samples' windows, one every few hundred bytes of a large value, missed
 * the caches at every sample when they were read again here, and this
 * pass, on the calling thread alone, took a tenth of a 64 MiB diff. */
template <bool Prefetch> __attribute__((noinline)) void deep_link(old_index *index) {
    const uint32_t samples = index->deep_samples;
    const int bits = index->deep_bits;
    uint32_t *head = index->deep_head, *link = index->deep_link;
    for (uint32_t k = 0; k < samples; k++) {
        if (Prefetch && k + PREFETCH_AHEAD < samples) {
            __builtin_prefetch(&head[fingerprint_from_bits(link[k + PREFETCH_AHEAD], bits)], 1);
        }
        uint64_t f = fingerprint_from_bits(link[k], bits);
        link[k] = head[f];
        head[f] = k + 1;
    }
}

bool take(old_index *index, int slot, size_t size, bool zeroed) {
    return block_take(&index->blocks[slot], slot, size, zeroed);
}

/* Room for the links of `samples` samples (and one more slot, so that
 * the block is never empty). */
bool take_links(old_index *index, uint64_t samples) {
    if (!take(index, DEEP_LINK_BLOCK, samples * sizeof(uint32_t) + sizeof(uint32_t), false)) {
        return false;
    }
    index->deep_link = static_cast<uint32_t *>(index->blocks[DEEP_LINK_BLOCK].data);
    return true;
}

/* The head table of up to `samples` samples, its slots not zeroed. */
bool take_heads(old_index *index, uint64_t samples) {
    size_t size = (static_cast<size_t>(1) << bits_for(samples, MIN_DEEP_BITS)) * sizeof(uint32_t);
    if (!take(index, DEEP_HEAD_BLOCK, size, false)) {
        return false;
    }
    index->deep_head = static_cast<uint32_t *>(index->blocks[DEEP_HEAD_BLOCK].data);
    return true;
}

/* Makes the chains' head table and links the samples: every window when
 * all is set (the links are made here), else those collected, whose link
 * slots hold their fingerprint_bits, in a head table taken for the
 * capacity. */
bool chain(old_index *index, bool all) {
    /* At most 2^32 slots: the samples are fewer than UINT32_MAX, and
     * fingerprint_bits gives fingerprints of up to 32 bits. */
    index->deep_bits = bits_for(index->deep_samples, MIN_DEEP_BITS);
    size_t head_size = (static_cast<size_t>(1) << index->deep_bits) * sizeof(uint32_t);
    if (all &&
        (!take_heads(index, index->deep_samples) || !take_links(index, index->deep_samples))) {
        index_free(index);
        return false;
    }
    memset(index->deep_head, 0, head_size);
    bool prefetch = head_size > PREFETCH_ABOVE;
    if (all) {
        if (index->grid == 0 && index->deep_samples >= CHAIN_EVERY_FROM && !plain_chains) {
            prefetch ? chain_every<true>(index) : chain_every<false>(index);
        } else if (index->grid == 0) {
            prefetch ? chain_all<true, true>(index) : chain_all<false, true>(index);
        } else {
            prefetch ? chain_all<true, false>(index) : chain_all<false, false>(index);
        }
    } else {
        prefetch ? deep_link<true>(index) : deep_link<false>(index);
    }
    return true;
}

} // namespace

/*
 * A run of one byte value starts at position (whose window is uniform)
 * unless it is the rest of a run already seen, which ends at *run_end.
 * Records the run if it is the longest of its byte and says whether the
 * window is a run's first.
 */
bool index_run(old_index *index, uint64_t position, uint8_t byte, uint64_t *run_end) {
    if (position < *run_end) {
        return false;
    }
    const uint8_t *at = index->old_bytes + position;
    uint64_t start = position - run_backward(at, byte, position - *run_end);
    *run_end = position + run_forward(at, byte, index->old_length - position);
    if (*run_end - start > index->run_length[byte]) {
        index->run_start[byte] = start;
        index->run_length[byte] = *run_end - start;
    }
    return true;
}

bool index_build(old_index *index, const uint8_t *old_bytes, uint64_t old_length,
                 uint64_t allowance, int threads, int least_grid) {
    *index = old_index{};
    index->old_bytes = old_bytes;
    index->old_length = old_length;
    index->near_mask = 0;
    index->near_bits = MIN_NEAR_BITS;
    index->deep_bits = MIN_DEEP_BITS;
    while ((old_length >> index->grid) >= UINT32_MAX) {
        index->grid++;
    }
    if (old_length < WINDOW) {
        return true;
    }
    uint64_t positions = grid_windows(old_length, index->grid);
    /* The content tests' rates are those of the grid that the entries'
     * width asks for, and a sparser grid for a large value only leaves the
     * tables emptier.  A grid the caller asks for takes the rates of its
     * own positions instead: both thinnings at once would leave an indexed
     * window only every few hundred bytes, and a scan that steps further
     * over misses as it goes would walk past most of them. */
    uint64_t rate_positions = positions;
    const bool sampled = positions * DEEP_BYTES_PER_SAMPLE > allowance;
    if (sampled && index->grid < least_grid) {
        index->grid = least_grid;
        positions = grid_windows(old_length, index->grid);
        rate_positions = positions;
    }

    /* The near table, when the chains cannot take every window: as many
     * buckets as its share holds, and the densest rate that fills them. */
    uint64_t share = 0;
    if (sampled) {
        share = allowance / NEAR_SHARE_OF * NEAR_SHARE;
        int most_bits = MIN_NEAR_BITS;
        while ((NEAR_BUCKET_BYTES << (most_bits + 1)) <= share && most_bits < 40) {
            most_bits++;
        }
        while ((index->near_mask + 1) * (NEAR_LOAD << most_bits) < rate_positions) {
            index->near_mask = index->near_mask * 2 + 1;
        }
        if (old_length >= SPARSE_FROM && index->grid < SPARSE_GRID &&
            ((index->near_mask + 1) << SPARSE_GRID) <= SPARSE_SPACING_MOST) {
            index->grid = SPARSE_GRID;
            positions = grid_windows(old_length, index->grid);
        }
        uint64_t near_samples = positions / (index->near_mask + 1) + 1;
        int bits = bits_for((near_samples + NEAR_LOAD - 1) / NEAR_LOAD, MIN_NEAR_BITS);
        index->near_bits = bits < most_bits ? bits : most_bits;
        size_t near_size = (static_cast<size_t>(1) << index->near_bits) * NEAR_BUCKET_BYTES;
        /* index_fill zeroes it, a shard on each thread. */
        if (!take(index, NEAR_BLOCK, near_size, false)) {
            index_free(index);
            return false;
        }
        index->near = static_cast<near_bucket_slots *>(index->blocks[NEAR_BLOCK].data);
    }

    if (index->near == nullptr) {
        index->deep_samples = static_cast<uint32_t>(positions);
        return chain(index, true);
    }

    /* The deep chains: as many samples as the rest holds, the test starting
     * at the rate that would about fill it. */
    uint64_t capacity = (allowance - share) / DEEP_BYTES_PER_SAMPLE;
    capacity = capacity < MIN_DEEP_SAMPLES ? MIN_DEEP_SAMPLES : capacity;
    capacity = capacity > rate_positions ? rate_positions : capacity;
    capacity = capacity > UINT32_MAX - 1 ? UINT32_MAX - 1 : capacity;
    index->deep_mask = 0;
    while ((index->deep_mask + 1) * capacity < rate_positions) {
        index->deep_mask = index->deep_mask * 2 + 1;
    }
    if (!take(index, DEEP_AT_BLOCK, capacity * sizeof(uint32_t), false)) {
        index_free(index);
        return false;
    }
    index->deep_at = static_cast<uint32_t *>(index->blocks[DEEP_AT_BLOCK].data);
    /* The head table takes the samples' test bits until they are chained:
     * it has a slot for each sample it may have to chain. */
    if (!take_links(index, capacity) || !take_heads(index, capacity)) {
        index_free(index);
        return false;
    }
    if (!index_fill(index, static_cast<uint32_t>(capacity), threads)) {
        index_free(index);
        return false;
    }
    return chain(index, false);
}

void index_chain_force_plain(bool plain) {
    plain_chains = plain;
}

void index_free(old_index *index) {
    for (int slot = 0; slot < KEPT_BLOCKS; slot++) {
        block_give(&index->blocks[slot], slot);
    }
    index->near = nullptr;
    index->deep_head = nullptr;
    index->deep_link = nullptr;
    index->deep_at = nullptr;
}

} // namespace diff_index
