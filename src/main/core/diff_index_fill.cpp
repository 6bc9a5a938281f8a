/*
 * diff_index_fill.cpp - fills the near table and collects the deep chains'
 * samples of an old value too large for the chains to hold every window,
 * on several threads, with the tables a single pass in order would make.
 *
 * Most of the work is reading and hashing every window; that is done for
 * ranges of RANGE_WINDOWS windows at once, on as many threads as there
 * are, and each range lists the windows that go anywhere: those the near
 * test takes, those the deep test takes at the rate its batch began with,
 * and the first window of each run.  The lists are then applied range by
 * range, in order, while the next batch is read: the near buckets keep
 * their latest entries, and the deep samples are thinned, exactly as a
 * single pass would have done it.  The ranges
 * are fixed by the value alone, so the tables do not depend on the number
 * of threads.
 *
 * A range sorts its near entries by the shard of the table they go to as
 * it reads them, so that each shard's task reads its own entries only, in
 * order, and can ask for their buckets ahead: read from one shared list,
 * every task went through all of them, and the bucket it asked for ahead
 * was mostly another shard's.
 */
#include <stdlib.h>
#include <string.h>
#if defined(__x86_64__) && defined(__GNUC__)
#define FILL_WIDE 1
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "diff_index_build.h"
#include "diff_index_compare.h"
#include "work_pool.h"

namespace diff_index {
namespace {

/* Windows a range reads, and ranges read before their lists are applied:
 * the lists in memory stay bounded however large the value.  The ranges
 * are small enough that a value of a megabyte, a compiled module, is
 * shared out among two threads and more.  A batch holds enough of them
 * that the wait at the end of each job costs little against its work,
 * and few enough that the last batch's lists, applied with nothing read
 * beside them, are short: with 64, the fill of 64 MiB on two threads took
 * 14 ms, with 16 12.5 ms. */
constexpr uint64_t RANGE_WINDOWS = 1 << 17;
constexpr uint32_t BATCH_RANGES = 16;
/* Fewer windows are read in one pass on the calling thread: handing them
 * out and listing them cost more than a second thread saved. */
constexpr uint64_t SHARED_FROM = 2 * RANGE_WINDOWS;

/* List entries ahead of the one applied whose bucket is asked for. */
constexpr uint64_t PREFETCH_AHEAD = 16;

/* A growable list of positions >> grid, on the C allocator. */
struct entry_list {
    uint32_t *items = nullptr;
    uint64_t count = 0;
    uint64_t capacity = 0;
    bool failed = false;

    void push(uint32_t entry) {
        if (count == capacity) {
            uint64_t grown = capacity == 0 ? 1024 : capacity * 2;
            void *block = failed ? nullptr : realloc(items, grown * sizeof(uint32_t));
            if (block == nullptr) {
                failed = true;
                return;
            }
            items = static_cast<uint32_t *>(block);
            capacity = grown;
        }
        items[count++] = entry;
    }
    /* Three words at once, with one test for room. */
    void push3(uint32_t first, uint32_t second, uint32_t third) {
        if (capacity - count < 3) {
            push(first);
            push(second);
            push(third);
            return;
        }
        items[count] = first;
        items[count + 1] = second;
        items[count + 2] = third;
        count += 3;
    }
    /* Makes room for at least `wanted` entries at once, unless the list
     * has it; a failure shows at the next push. */
    void reserve(uint64_t wanted) {
        if (wanted <= capacity || failed) {
            return;
        }
        void *block = realloc(items, wanted * sizeof(uint32_t));
        if (block != nullptr) {
            items = static_cast<uint32_t *>(block);
            capacity = wanted;
        }
    }
    /* Empties the list and keeps its memory for the next batch. */
    void reset() {
        count = 0;
        failed = false;
    }
    void clear() {
        free(items);
        *this = entry_list{};
    }
};

/* The near table is filled in SHARDS parts, by the top bits of the bucket,
 * each part by one task: a bucket's entries still go in in order. */
constexpr int SHARD_BITS = 3;
constexpr uint32_t SHARDS = 1 << SHARD_BITS;

/* near[s] holds three words an entry of shard s: the entry, its bucket and
 * its tag; deep three a sample: the entry, the bits of its product that
 * the deep test reads (see deep_bits_of) and its fingerprint_bits. */
struct range_lists {
    entry_list near[SHARDS], deep, runs;

    bool failed() const {
        bool any = deep.failed || runs.failed;
        for (const entry_list &shard : near) {
            any = any || shard.failed;
        }
        return any;
    }
    template <typename Each> void each_list(Each each) {
        for (entry_list &shard : near) {
            each(shard);
        }
        each(deep);
        each(runs);
    }
};

constexpr uint64_t NEAR_WORDS = 3;
constexpr uint64_t DEEP_WORDS = 3;

/* The deep test reads the product from DEEP_SAMPLE_SHIFT on, 24 bits: the
 * list keeps them, so that applying it reads no window again.  Read again,
 * the windows of a batch of a large value, spread over megabytes, missed
 * the caches, and the task that applies the deep samples in order took
 * longer than the near table's shards together. */
inline uint32_t deep_bits_of(uint64_t sample) {
    return static_cast<uint32_t>(sample >> DEEP_SAMPLE_SHIFT);
}
inline uint64_t sample_of_deep_bits(uint32_t bits) {
    return static_cast<uint64_t>(bits) << DEEP_SAMPLE_SHIFT;
}
static_assert(DEEP_SAMPLE_SHIFT + 32 >= 64, "the deep test's bits fit a word");

struct fill_batch {
    old_index *index;
    uint64_t first_range;
    uint32_t in_batch;    /* its ranges */
    uint64_t last_window; /* the last window's position */
    uint64_t deep_mask;   /* the deep test's mask its ranges read with */
    range_lists lists[BATCH_RANGES];

    uint64_t list_bytes() {
        uint64_t total = 0;
        for (range_lists &range : lists) {
            range.each_list(
                [&total](entry_list &list) { total += list.capacity * sizeof(uint32_t); });
        }
        return total;
    }
    void free_lists() {
        for (range_lists &range : lists) {
            range.each_list([](entry_list &list) { list.clear(); });
        }
    }
};

/* A fill reads one batch while it applies the one before (see
 * index_fill): two are in use at once. */
constexpr int BATCHES_IN_USE = 2;

/*
 * The batches and their lists, kept by each thread from one call to the
 * next while each batch's lists hold at most KEEP_LISTS_AT_MOST bytes:
 * grown afresh in every call, doubling from a kilobyte, their
 * reallocations cost a sixteenth of the fill of a compiled module of a
 * megabyte.  Larger lists are given back, so that a thread keeps at most
 * 8 MiB of them.  Taken out of the cache while a call uses them, as the
 * index's blocks are.
 */
constexpr uint64_t KEEP_LISTS_AT_MOST = 4 << 20;

struct kept_batches {
    fill_batch *batch[BATCHES_IN_USE] = {};
    ~kept_batches() {
        for (fill_batch *kept : batch) {
            if (kept != nullptr) {
                kept->free_lists();
                free(kept);
            }
        }
    }
};

thread_local kept_batches kept_lists;

fill_batch *batch_take(int slot) {
    fill_batch *batch = kept_lists.batch[slot];
    kept_lists.batch[slot] = nullptr;
    return batch != nullptr ? batch : static_cast<fill_batch *>(calloc(1, sizeof(fill_batch)));
}

/* Keeps the batch in its slot, its lists emptied, unless they are large
 * or the slot holds a batch already.  Null is nothing to give. */
void batch_give(fill_batch *batch, int slot) {
    if (batch == nullptr) {
        return;
    }
    if (kept_lists.batch[slot] == nullptr && batch->list_bytes() <= KEEP_LISTS_AT_MOST) {
        for (range_lists &range : batch->lists) {
            range.each_list([](entry_list &list) { list.reset(); });
        }
        kept_lists.batch[slot] = batch;
        return;
    }
    batch->free_lists();
    free(batch);
}

/* Whether the uniform window at position is the first of its run that the
 * grid meets: the bytes back to the grid's previous position are not all
 * its byte. */
bool run_first(const old_index &index, uint64_t position, uint8_t byte) {
    uint64_t step = 1ULL << index.grid;
    return position < step || run_backward(index.old_bytes + position, byte, step) < step;
}

/* 1 for a window that goes anywhere: the first of a run, or one that
 * either table's test takes (the masks are near_product_mask's and
 * deep_product_mask's).  The three tests are joined bit by bit: with ||
 * the processor took a branch on the near test, which a third of the
 * windows pass at random, and mispredicted it at every other window. */
inline uint32_t goes_anywhere(uint64_t window, uint64_t sample, uint64_t near_bits,
                              uint64_t deep_bits) {
    return static_cast<uint32_t>(uniform(window)) |
           static_cast<uint32_t>(product_passes(sample, near_bits)) |
           static_cast<uint32_t>(product_passes(sample, deep_bits));
}

/* Notes in passed the windows of a block, `windows` of them from block on
 * at every step, that go anywhere, from the first'th on, and returns their
 * number plus count, the windows noted before.  Dense is set for an index
 * of every window, the common case, which then steps by one byte without a
 * shift.  This is the plain loop, which note_passing_wide's tests compare
 * it with. */
template <bool Dense>
uint32_t note_passing_from(const old_index &index, uint64_t block, uint32_t first, uint32_t windows,
                           uint64_t near_bits, uint64_t deep_bits, uint32_t *passed,
                           uint32_t count) {
    const uint8_t *at = index.old_bytes + block;
    const int grid = Dense ? 0 : index.grid;
    for (uint32_t k = first; k < windows; k++) {
        uint64_t window = load64(at + (static_cast<uint64_t>(k) << grid));
        passed[count] = k;
        count += goes_anywhere(window, sample_product(window), near_bits, deep_bits);
    }
    return count;
}

#if defined(FILL_WIDE)
/* GCC's AVX-512 headers fill unused result lanes from a deliberately
 * undefined vector, which its own flow analysis then reports. */
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define FILL_TARGET_WIDE __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vbmi")))

/* Windows a vector holds, and the bytes a step of eight windows reads: one
 * or two vectors of 64, from which the windows are picked byte by byte. */
constexpr uint32_t WIDE_WINDOWS = 8;
constexpr uint64_t WIDE_BYTES = 64;
/* The widest grid whose eight windows fit two vectors (16 bytes apart):
 * that of a value the trial found nearly all copied.  The grids between
 * (from 4 GiB on, with SPARSE_GRID) are read by the plain loop. */
constexpr int WIDE_GRID_MOST = 4;

/* How far ahead of the windows read the old value's lines are asked for.
 * The hardware's own prefetch of a stream stops at each small page, and
 * the loads of a value far beyond the caches waited on it: 60% of the
 * samples of this loop on 64 MiB fell on its load, and it read 3.3 GB/s
 * where the scan, reading both values, reads 13.  A kilobyte ahead took a
 * fifth off the whole diff of that value; four were worse. */
constexpr uint64_t READ_AHEAD = 1024;

/* Asks for the lines READ_AHEAD bytes past the windows of one step, which
 * cover `Advance` bytes from `offset` on: under a line, once every few
 * steps, at each line's start; from a line on, each of its lines.  Nothing
 * is asked for past the `readable` bytes from `at`. */
template <uint64_t Advance>
inline void read_ahead(const uint8_t *at, uint64_t offset, uint64_t readable) {
    if (offset + READ_AHEAD + Advance > readable) {
        return;
    }
    if constexpr (Advance < CACHE_LINE) {
        if ((offset & (CACHE_LINE - 1)) == 0) {
            __builtin_prefetch(at + offset + READ_AHEAD);
        }
    } else {
        for (uint64_t line = 0; line < Advance; line += CACHE_LINE) {
            __builtin_prefetch(at + offset + READ_AHEAD + line);
        }
    }
}

/* Where each byte of eight windows, 2^grid bytes apart, is in the loads. */
struct wide_picks {
    alignas(64) uint8_t byte[WIDE_BYTES];
};
constexpr wide_picks picks_for(int grid) {
    wide_picks picks{};
    for (uint32_t lane = 0; lane < WIDE_WINDOWS; lane++) {
        for (uint32_t b = 0; b < WINDOW; b++) {
            picks.byte[lane * WINDOW + b] = static_cast<uint8_t>((lane << grid) + b);
        }
    }
    return picks;
}

/*
 * note_passing_from eight windows at a time, for grids 0, SPARSE_GRID and
 * WIDE_GRID_MOST: it gives the same list.  Reading and testing every window
 * of the old value was most of the index's build, and the plain loop spent
 * twenty instructions on each; here a byte permutation picks eight windows
 * out of one or two loads, one multiply and three tests give a mask of
 * those that go anywhere, and a compression writes their numbers.  Stops
 * where the next eight windows would read past `readable` bytes from block
 * and leaves the rest to the plain loop.
 */
template <int Grid>
FILL_TARGET_WIDE uint32_t note_passing_wide(const old_index &index, uint64_t block,
                                            uint32_t windows, uint64_t near_bits,
                                            uint64_t deep_bits, uint32_t *passed) {
    constexpr uint64_t step = 1ULL << Grid;
    constexpr bool one_load = (WIDE_WINDOWS - 1) * step + WINDOW <= WIDE_BYTES;
    constexpr uint64_t span = one_load ? WIDE_BYTES : 2 * WIDE_BYTES;
    static_assert((WIDE_WINDOWS - 1) * step + WINDOW <= span, "eight windows fit the loads");
    const uint8_t *at = index.old_bytes + block;
    const uint64_t readable = index.old_length - block;
    static constexpr wide_picks pick = picks_for(Grid);
    const __m512i picks = _mm512_load_si512(pick.byte);
    const __m512i multiplier = _mm512_set1_epi64(static_cast<long long>(SAMPLE_MULTIPLIER));
    const __m512i near_test = _mm512_set1_epi64(static_cast<long long>(near_bits));
    const __m512i deep_test = _mm512_set1_epi64(static_cast<long long>(deep_bits));
    __m256i numbers = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i eight = _mm256_set1_epi32(WIDE_WINDOWS);
    uint32_t count = 0, k = 0;
    for (; k + WIDE_WINDOWS <= windows && k * step + span <= readable; k += WIDE_WINDOWS) {
        const uint64_t offset = k * step;
        read_ahead<WIDE_WINDOWS * step>(at, offset, readable);
        const uint8_t *from = at + offset;
        __m512i low = _mm512_loadu_si512(from);
        __m512i lanes;
        if constexpr (one_load) {
            lanes = _mm512_permutexvar_epi8(picks, low);
        } else {
            lanes = _mm512_permutex2var_epi8(low, picks, _mm512_loadu_si512(from + WIDE_BYTES));
        }
        __m512i sample = _mm512_mullo_epi64(lanes, multiplier);
        __mmask8 go = _mm512_cmpeq_epi64_mask(lanes, _mm512_ror_epi64(lanes, 8)) |
                      _mm512_testn_epi64_mask(sample, near_test) |
                      _mm512_testn_epi64_mask(sample, deep_test);
        /* A full vector's store: passed has room for a block's windows,
         * and count + 8 is at most k + 8. */
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(passed + count),
                            _mm256_maskz_compress_epi32(go, numbers));
        count += static_cast<uint32_t>(__builtin_popcount(go));
        numbers = _mm256_add_epi32(numbers, eight);
    }
    return note_passing_from<Grid == 0>(index, block, k, windows, near_bits, deep_bits, passed,
                                        count);
}

bool wide_supported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512vbmi");
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

/* Set by the test hook: every window is read by the plain loop. */
bool plain_windows = false;

/* Notes in passed the windows of a block, `windows` of them from block on
 * at every step, that go anywhere, and returns their number: eight at a
 * time where the processor can, one at a time otherwise. */
template <bool Dense>
uint32_t note_passing(const old_index &index, uint64_t block, uint32_t windows, uint64_t near_bits,
                      uint64_t deep_bits, uint32_t *passed) {
#if defined(FILL_WIDE)
    static const bool wide = wide_supported();
    const int grid = Dense ? 0 : index.grid;
    if (wide && !plain_windows) {
        switch (grid) {
        case 0:
            return note_passing_wide<0>(index, block, windows, near_bits, deep_bits, passed);
        case SPARSE_GRID:
            return note_passing_wide<SPARSE_GRID>(index, block, windows, near_bits, deep_bits,
                                                  passed);
        case WIDE_GRID_MOST:
            return note_passing_wide<WIDE_GRID_MOST>(index, block, windows, near_bits, deep_bits,
                                                     passed);
        default:
            break;
        }
    }
#endif
    return note_passing_from<Dense>(index, block, 0, windows, near_bits, deep_bits, passed, 0);
}

/* Windows a range reads before it lists those of them that go anywhere. */
constexpr uint32_t READ_BLOCK = 4096;

/* A list's room beyond what the rate takes on average: a sixteenth, and
 * a few entries. */
constexpr uint64_t LIST_SLACK = 16;
constexpr uint64_t LIST_LEAST = 64;

/* Lists the windows of range first_range + i that go anywhere.  Nearly all
 * windows go nowhere, and which ones do is as good as random: a first loop
 * notes a block's windows that pass any test without a branch on the
 * outcome, which a processor would mispredict at every listed window, and
 * a second lists them. */
template <bool Dense> void read_range(void *context, uint32_t i) {
    fill_batch &batch = *static_cast<fill_batch *>(context);
    const old_index &index = *batch.index;
    range_lists &lists = batch.lists[i];
    const int grid = Dense ? 0 : index.grid;
    const uint64_t step = 1ULL << grid;
    const int shard_shift = index.near_bits - SHARD_BITS;
    const uint64_t near_mask = index.near_mask, deep_mask = batch.deep_mask;
    const uint64_t near_bits = near_product_mask(near_mask);
    const uint64_t deep_bits = deep_product_mask(deep_mask);
    uint64_t begin = (batch.first_range + i) * RANGE_WINDOWS * step;
    uint64_t end = begin + RANGE_WINDOWS * step;
    end = end > batch.last_window + 1 ? batch.last_window + 1 : end;
    /* The lists' room for what the tests' rates take of a range: grown by
     * doubling from a kilobyte, they moved their entries a few times over
     * and held up to twice the room they used. */
    uint64_t near_room = RANGE_WINDOWS / (near_mask + 1) / SHARDS;
    for (entry_list &shard : lists.near) {
        shard.reserve(NEAR_WORDS * (near_room + near_room / LIST_SLACK + LIST_LEAST));
    }
    uint64_t deep_room = RANGE_WINDOWS / (deep_mask + 1);
    lists.deep.reserve(DEEP_WORDS * (deep_room + deep_room / LIST_SLACK + LIST_LEAST));
    uint32_t passed[READ_BLOCK];
    for (uint64_t block = begin; block < end; block += READ_BLOCK * step) {
        uint64_t windows = (end - block + step - 1) / step;
        windows = windows < READ_BLOCK ? windows : READ_BLOCK;
        uint32_t count = note_passing<Dense>(index, block, static_cast<uint32_t>(windows),
                                             near_bits, deep_bits, passed);
        for (uint32_t n = 0; n < count; n++) {
            uint64_t position = block + (static_cast<uint64_t>(passed[n]) << grid);
            uint64_t window = load64(index.old_bytes + position);
            uint32_t entry = static_cast<uint32_t>(position >> grid);
            if (uniform(window)) {
                if (!run_first(index, position, static_cast<uint8_t>(window))) {
                    continue;
                }
                lists.runs.push(entry);
            }
            uint64_t sample = sample_product(window);
            if (deep_sampled(sample, deep_mask)) {
                lists.deep.push3(entry, deep_bits_of(sample),
                                 fingerprint_bits(window_product(window)));
            }
            if (near_sampled(sample, near_mask)) {
                auto bucket =
                    static_cast<uint32_t>(near_bucket(window_product(window), index.near_bits));
                lists.near[bucket >> shard_shift].push3(entry + 1, bucket, near_tag(window));
            }
        }
    }
}

/* Puts a window's position in front of its bucket: each half of the
 * bucket moves up by a slot, as one vector, where the processor has them
 * (every x86-64 does): eight loads and stores each were a third of the
 * instructions spent on an entry. */
inline void near_insert(near_bucket_slots &bucket, uint32_t entry, uint32_t tag) {
#if defined(__SSE2__)
    auto *halves = reinterpret_cast<__m128i *>(&bucket);
    __m128i entries = _mm_loadu_si128(halves), tags = _mm_loadu_si128(halves + 1);
    _mm_storeu_si128(halves, _mm_or_si128(_mm_slli_si128(entries, sizeof(uint32_t)),
                                          _mm_cvtsi32_si128(static_cast<int>(entry))));
    _mm_storeu_si128(halves + 1, _mm_or_si128(_mm_slli_si128(tags, sizeof(uint32_t)),
                                              _mm_cvtsi32_si128(static_cast<int>(tag))));
#else
    uint32_t entry0 = bucket.entry[0], entry1 = bucket.entry[1], entry2 = bucket.entry[2];
    uint32_t tag0 = bucket.tag[0], tag1 = bucket.tag[1], tag2 = bucket.tag[2];
    bucket.entry[0] = entry;
    bucket.entry[1] = entry0;
    bucket.entry[2] = entry1;
    bucket.entry[3] = entry2;
    bucket.tag[0] = tag;
    bucket.tag[1] = tag0;
    bucket.tag[2] = tag1;
    bucket.tag[3] = tag2;
#endif
}
static_assert(sizeof(near_bucket_slots) == 2 * 16, "a bucket is two vectors: entries, tags");
static_assert(NEAR_WAYS == 4, "near_insert moves four ways");

/* Keeps the samples that a test twice as strict still takes, with their
 * fingerprint_bits and test bits.  The test bits kept with each sample
 * spare reading its window again: the samples are spread over the whole
 * value read so far, and on a 30 MB library, whose samples about fill the
 * chains, the thinning missed the caches at every one of them, a serial
 * sixtieth of the diff. */
uint32_t deep_thin(old_index *index, uint32_t count) {
    uint32_t *at = index->deep_at, *fingerprints = index->deep_link, *tests = index->deep_head;
    uint32_t kept_count = 0;
    for (uint32_t k = 0; k < count; k++) {
        if (deep_sampled(sample_of_deep_bits(tests[k]), index->deep_mask)) {
            at[kept_count] = at[k];
            fingerprints[kept_count] = fingerprints[k];
            tests[kept_count] = tests[k];
            kept_count++;
        }
    }
    return kept_count;
}

/* Takes one window's deep sample, in order, with its fingerprint_bits and
 * test bits, thinning the samples kept whenever they would overflow the
 * capacity. */
inline void deep_take(old_index *index, uint32_t entry, uint64_t sample, uint32_t fingerprint,
                      uint32_t capacity, uint32_t *count) {
    if (*count == capacity) {
        index->deep_mask = index->deep_mask * 2 + 1;
        *count = deep_thin(index, *count);
    }
    if (*count < capacity && deep_sampled(sample, index->deep_mask)) {
        index->deep_at[*count] = entry;
        index->deep_link[*count] = fingerprint;
        index->deep_head[*count] = deep_bits_of(sample);
        (*count)++;
    }
}

/* The entries of one shard of the near table, from each range's list in
 * order, each in front of its bucket. */
void apply_near(old_index *index, const fill_batch &batch, uint32_t in_batch, uint32_t shard) {
    for (uint32_t i = 0; i < in_batch; i++) {
        const entry_list &near = batch.lists[i].near[shard];
        for (uint64_t k = 0; k < near.count; k += NEAR_WORDS) {
            if (k + PREFETCH_AHEAD * NEAR_WORDS < near.count) {
                __builtin_prefetch(&index->near[near.items[k + 1 + PREFETCH_AHEAD * NEAR_WORDS]],
                                   1);
            }
            near_insert(index->near[near.items[k + 1]], near.items[k], near.items[k + 2]);
        }
    }
}

/* A range's deep samples, in order, thinned whenever they would overflow
 * the capacity.  Thinning leaves the list full when one window fills it;
 * its further positions are left out. */
void apply_deep(old_index *index, const entry_list &deep, uint32_t capacity, uint32_t *count) {
    for (uint64_t k = 0; k < deep.count; k += DEEP_WORDS) {
        uint64_t sample = sample_of_deep_bits(deep.items[k + 1]);
        if (deep_sampled(sample, index->deep_mask)) {
            deep_take(index, deep.items[k], sample, deep.items[k + 2], capacity, count);
        }
    }
}

/* Tasks that copy a batch's deep samples when it cannot thin them: each
 * about as long as a shard of the near table, so that the job's last tasks
 * are short and neither thread waits long for the other. */
constexpr uint32_t DEEP_TASKS = 4;

/* The lists of a batch applied: task 0 takes the runs, which depend on
 * their order alone, and each of the next SHARDS tasks one shard of the
 * near table; they touch disjoint parts of the index.  The deep samples
 * are thinned in order, so a batch that may thin them leaves them to
 * task 0 as well; one that cannot (see deep_fits) has them copied by the
 * last DEEP_TASKS tasks, each its ranges at the offsets deep_from holds:
 * task 0 alone took longer than the eight shards together, and the
 * thread that finished the shards waited for it. */
struct apply_batch {
    old_index *index;
    const fill_batch *batch;
    uint32_t in_batch;
    uint32_t capacity;
    uint32_t count;
    uint64_t run_end;
    bool first;       /* the near table is still to be zeroed */
    bool deep_copied; /* the deep tasks copy this batch's samples */
    uint32_t deep_from[BATCH_RANGES + 1];
};

constexpr uint32_t APPLY_TASKS = 1 + SHARDS + DEEP_TASKS;

/*
 * Whether the batch's deep samples go in with no thinning, and if so
 * their offsets, range by range.  A range lists the samples that the deep
 * test took with the batch's mask; while that is still the index's, every
 * one of them is taken (the batch before may have made it stricter as
 * this one was read, and some would then be left out); none is thinned
 * while the count stays below the capacity before each take, that is
 * while the count and the batch's samples together are at most the
 * capacity.
 */
bool deep_fits(apply_batch *work) {
    if (work->batch->deep_mask != work->index->deep_mask) {
        return false;
    }
    uint64_t at = work->count;
    for (uint32_t i = 0; i < work->in_batch; i++) {
        work->deep_from[i] = static_cast<uint32_t>(at);
        at += work->batch->lists[i].deep.count / DEEP_WORDS;
        if (at > work->capacity) {
            return false;
        }
    }
    work->deep_from[work->in_batch] = static_cast<uint32_t>(at);
    return true;
}

/* Copies the deep samples of the ranges of one deep task to their
 * offsets. */
void copy_deep(const apply_batch &work, uint32_t part) {
    old_index *index = work.index;
    uint32_t from = part * work.in_batch / DEEP_TASKS;
    uint32_t to = (part + 1) * work.in_batch / DEEP_TASKS;
    for (uint32_t i = from; i < to; i++) {
        const entry_list &deep = work.batch->lists[i].deep;
        uint32_t at = work.deep_from[i];
        for (uint64_t k = 0; k < deep.count; k += DEEP_WORDS, at++) {
            index->deep_at[at] = deep.items[k];
            index->deep_head[at] = deep.items[k + 1];
            index->deep_link[at] = deep.items[k + 2];
        }
    }
}

void apply_part(void *context, uint32_t task) {
    apply_batch &work = *static_cast<apply_batch *>(context);
    old_index *index = work.index;
    if (task > SHARDS) {
        if (work.deep_copied) {
            copy_deep(work, task - 1 - SHARDS);
        }
        return;
    }
    if (task != 0) {
        /* Each shard zeroes its own part of the table before its first
         * entries: on a large value, zeroing the whole table on the
         * calling thread alone cost as much as a shard's inserts. */
        if (work.first) {
            size_t shard_buckets = (static_cast<size_t>(1) << index->near_bits) >> SHARD_BITS;
            memset(index->near + (task - 1) * shard_buckets, 0,
                   shard_buckets * sizeof(near_bucket_slots));
        }
        apply_near(index, *work.batch, work.in_batch, task - 1);
        return;
    }
    for (uint32_t i = 0; i < work.in_batch; i++) {
        const range_lists &lists = work.batch->lists[i];
        for (uint64_t k = 0; k < lists.runs.count; k++) {
            uint64_t position = static_cast<uint64_t>(lists.runs.items[k]) << index->grid;
            index_run(index, position, index->old_bytes[position], &work.run_end);
        }
        if (!work.deep_copied) {
            apply_deep(index, lists.deep, work.capacity, &work.count);
        }
    }
}

/* One job of a fill on several threads: the apply tasks of the batch read
 * before, if any, then the range tasks of the next batch, if any.  They
 * touch disjoint memory: the ranges read only the old value and write
 * their own batch's lists, and their deep test takes the mask fixed when
 * the job began, which the applying may make stricter meanwhile. */
struct fill_step {
    apply_batch *apply;
    fill_batch *read;
    uint32_t apply_tasks;
    uint32_t read_tasks;
};

template <bool Dense> void fill_step_task(void *context, uint32_t task) {
    fill_step &step = *static_cast<fill_step *>(context);
    if (task < step.apply_tasks) {
        apply_part(step.apply, task);
    } else {
        read_range<Dense>(step.read, task - step.apply_tasks);
    }
}

/* Near entries between the one inserted and the one whose bucket is
 * asked for. */
constexpr uint32_t ONE_PASS_AHEAD = 8;

/*
 * The tables of a value read on one thread, made in a single pass with no
 * lists in between: the same tables as the ranges' lists give, since those
 * are applied exactly as this pass goes.  A block's windows that pass any
 * test are noted first, without a branch on the outcome (see read_range),
 * so that the buckets of the next few can be asked for ahead.
 */
template <bool Dense> void fill_in_one_pass(old_index *index, uint32_t capacity, uint32_t *count) {
    const int grid = Dense ? 0 : index->grid;
    const uint64_t step = 1ULL << grid;
    const uint64_t last_window = index->old_length - WINDOW;
    const uint64_t near_mask = index->near_mask;
    const uint64_t near_bits = near_product_mask(near_mask);
    const uint64_t start_bits = deep_product_mask(index->deep_mask);
    const uint8_t *const old_bytes = index->old_bytes;
    near_bucket_slots *const near = index->near;
    const int table_bits = index->near_bits;
    /* Made stricter whenever the samples are thinned. */
    uint64_t deep_mask = index->deep_mask;
    memset(near, 0, (static_cast<size_t>(1) << table_bits) * sizeof(near_bucket_slots));
    uint64_t run_end = 0;
    uint32_t passed[READ_BLOCK];
    for (uint64_t block = 0; block <= last_window; block += READ_BLOCK * step) {
        uint64_t windows = (last_window - block) / step + 1;
        windows = windows < READ_BLOCK ? windows : READ_BLOCK;
        uint32_t passing = note_passing<Dense>(*index, block, static_cast<uint32_t>(windows),
                                               near_bits, start_bits, passed);
        const uint8_t *const at = old_bytes + block;
        for (uint32_t n = 0; n < passing; n++) {
            if (n + ONE_PASS_AHEAD < passing) {
                uint64_t ahead =
                    load64(at + (static_cast<uint64_t>(passed[n + ONE_PASS_AHEAD]) << grid));
                __builtin_prefetch(&near[near_bucket(window_product(ahead), table_bits)], 1);
            }
            uint64_t position = block + (static_cast<uint64_t>(passed[n]) << grid);
            uint64_t window = load64(old_bytes + position);
            auto entry = static_cast<uint32_t>(position >> grid);
            if (uniform(window)) {
                if (!run_first(*index, position, static_cast<uint8_t>(window))) {
                    continue;
                }
                index_run(index, position, static_cast<uint8_t>(window), &run_end);
            }
            uint64_t sample = sample_product(window);
            uint64_t product = window_product(window);
            if (deep_sampled(sample, deep_mask)) {
                deep_take(index, entry, sample, fingerprint_bits(product), capacity, count);
                deep_mask = index->deep_mask;
            }
            if (near_sampled(sample, near_mask)) {
                near_insert(near[near_bucket(product, table_bits)], entry + 1, near_tag(window));
            }
        }
    }
}

} // namespace

void index_fill_force_plain(bool plain) {
    plain_windows = plain;
    index_chain_force_plain(plain);
}

bool index_fill(old_index *index, uint32_t capacity, int threads) {
    const uint64_t all_windows = grid_windows(index->old_length, index->grid);
    if (threads <= 1 || all_windows < SHARED_FROM) {
        uint32_t count = 0;
        index->grid == 0 ? fill_in_one_pass<true>(index, capacity, &count)
                         : fill_in_one_pass<false>(index, capacity, &count);
        index->deep_samples = count;
        return true;
    }
    /* Several ranges on several threads, a batch of them at a time.  Each
     * job of the pool applies the lists of the batch read by the job before
     * and reads the next batch's, on two batches in turn: applied in jobs
     * of their own, the batches' inserts, a miss of the caches each, kept
     * both threads waiting on memory while neither read any window, 3.5 of
     * the 14 ms that the fill of 64 MiB took on two threads. */
    fill_batch *batches[BATCHES_IN_USE];
    bool filled = true;
    for (int slot = 0; slot < BATCHES_IN_USE; slot++) {
        batches[slot] = batch_take(slot);
        if (batches[slot] == nullptr) {
            filled = false;
            continue;
        }
        batches[slot]->index = index;
        batches[slot]->last_window = index->old_length - WINDOW;
    }
    const uint64_t ranges = (all_windows + RANGE_WINDOWS - 1) / RANGE_WINDOWS;
    const uint64_t batch_count = (ranges + BATCH_RANGES - 1) / BATCH_RANGES;
    apply_batch apply{index, nullptr, 0, capacity, 0, 0, true, false, {}};
    fill_step step{&apply, nullptr, 0, 0};
    for (uint64_t job = 0; job <= batch_count && filled; job++) {
        step.apply_tasks = 0;
        step.read_tasks = 0;
        if (job > 0) {
            fill_batch *read = batches[(job - 1) % BATCHES_IN_USE];
            for (uint32_t i = 0; i < read->in_batch; i++) {
                filled = filled && !read->lists[i].failed();
            }
            if (!filled) {
                break;
            }
            apply.batch = read;
            apply.in_batch = read->in_batch;
            apply.deep_copied = deep_fits(&apply);
            step.apply_tasks = APPLY_TASKS;
        }
        if (job < batch_count) {
            /* The batch applied two jobs ago: its lists' memory is reused. */
            fill_batch *next = batches[job % BATCHES_IN_USE];
            for (range_lists &range : next->lists) {
                range.each_list([](entry_list &list) { list.reset(); });
            }
            const uint64_t first = job * BATCH_RANGES;
            next->first_range = first;
            next->in_batch = static_cast<uint32_t>(ranges - first < BATCH_RANGES ? ranges - first
                                                                                 : BATCH_RANGES);
            next->deep_mask = index->deep_mask;
            step.read = next;
            step.read_tasks = next->in_batch;
        }
        work_pool_run(threads - 1, step.apply_tasks + step.read_tasks,
                      index->grid == 0 ? fill_step_task<true> : fill_step_task<false>, &step);
        if (step.apply_tasks > 0) {
            if (apply.deep_copied) {
                apply.count = apply.deep_from[apply.in_batch];
            }
            apply.first = false;
        }
    }
    for (int slot = 0; slot < BATCHES_IN_USE; slot++) {
        batch_give(batches[slot], slot);
    }
    index->deep_samples = apply.count;
    return filled;
}

} // namespace diff_index
