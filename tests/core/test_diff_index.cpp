/*
 * The index method's fast candidate checks against its plain ones, over
 * generated pairs: the deltas must be the same bytes.  The material is
 * chosen to reach every branch of the checks: text made of a small
 * vocabulary (deep chains, short matches, pending copies taken over),
 * small alphabets, runs of one byte, moved and repeated blocks, indexes
 * small enough to be sampled, and every level.
 *
 * Then the split of large values: the same delta on 1, 2 and 4 threads,
 * and the edits alone where the old value is read sparsely; and the work
 * per position, which must stay bounded where nothing long matches.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "buf.h"
#include "diff_apply.h"
#include "diff_index.h"
#include "diff_index_build.h"
#include "diff_index_compare.h"
#include "test_random.h"
#include "work_pool.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const int PAIRS = 1000;
#else
const int PAIRS = 3000;
#endif

using bytes = std::vector<uint8_t>;

/* Words of a small vocabulary, so that every window repeats often. */
bytes text(generator &g, size_t length) {
    static const char *const words[] = {"def ",   "self.", "return ", "    ",   "None",
                                        "(self)", ":\n",   "if ",     "else",   "typing",
                                        "_name",  ", ",    "\"\"\"",  "import", "class ",
                                        "T",      "args",  "kwds",    "\n\n",   "raise "};
    bytes out;
    while (out.size() < length) {
        const char *word = words[g.below(sizeof words / sizeof words[0])];
        out.insert(out.end(), word, word + strlen(word));
    }
    out.resize(length);
    return out;
}

/* Noise over the alphabet, or for an alphabet of one a run of zeros. */
bytes noise(generator &g, size_t length, unsigned alphabet) {
    return alphabet == 1 ? bytes(length, 0) : g.noise(length, alphabet);
}

/* The new value: the old one under a few edits of every kind. */
bytes edit(generator &g, bytes value) {
    size_t edits = 1 + g.below(40);
    for (size_t e = 0; e < edits && !value.empty(); e++) {
        size_t at = g.below(value.size());
        size_t count = 1 + g.below(g.below(8) == 0 ? 600 : 24);
        count = count < value.size() - at ? count : value.size() - at;
        bytes block(value.begin() + static_cast<long>(at),
                    value.begin() + static_cast<long>(at + count));
        switch (g.below(5)) {
        case 0: /* insert fresh text */ {
            bytes fresh = text(g, count);
            value.insert(value.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
            break;
        }
        case 1:
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            break;
        case 2: /* replace bytes */
            for (size_t i = at; i < at + count; i++) {
                value[i] = static_cast<uint8_t>(g.next());
            }
            break;
        case 3: /* move the block */ {
            value.erase(value.begin() + static_cast<long>(at),
                        value.begin() + static_cast<long>(at + count));
            size_t to = g.below(value.size() + 1);
            value.insert(value.begin() + static_cast<long>(to), block.begin(), block.end());
            break;
        }
        default: /* repeat the block */ {
            size_t to = g.below(value.size() + 1);
            value.insert(value.begin() + static_cast<long>(to), block.begin(), block.end());
        }
        }
    }
    return value;
}

bytes delta(const bytes &old_bytes, const bytes &new_bytes, const diff_index_options &options) {
    buf old_value{const_cast<uint8_t *>(old_bytes.data()), old_bytes.size(), old_bytes.size()};
    buf new_value{const_cast<uint8_t *>(new_bytes.data()), new_bytes.size(), new_bytes.size()};
    buf *result = diff_index_generate_binary_with_options(&old_value, &new_value, &options);
    EXPECT_NE(result, nullptr);
    bytes out = result ? bytes(result->data, result->data + result->len) : bytes();
    buf_free(result);
    return out;
}

TEST(DiffIndexChecks, FastChecksGiveThePlainDeltas) {
    generator g{0x9E3779B97F4A7C15ULL};
    static const unsigned alphabets[] = {1, 2, 4, 26};
    for (int pair = 0; pair < PAIRS; pair++) {
        size_t length = 1 + g.below(g.below(10) == 0 ? 60000 : 3000);
        bytes old_bytes =
            g.below(3) == 0 ? noise(g, length, alphabets[g.below(4)]) : text(g, length);
        bytes new_bytes = edit(g, old_bytes);
        /* Now and then an allowance small enough to sample the index. */
        uint64_t allowance = g.below(4) == 0 ? 16 + g.below(4096) : 0;
        diff_index_options options{allowance, static_cast<int32_t>(g.below(5)), 1};
        _diff_index_force_plain(true);
        bytes plain = delta(old_bytes, new_bytes, options);
        _diff_index_force_plain(false);
        bytes fast = delta(old_bytes, new_bytes, options);
        ASSERT_EQ(fast, plain) << "pair " << pair << ", old " << old_bytes.size() << " bytes, new "
                               << new_bytes.size() << ", allowance " << allowance << ", level "
                               << options.level;
    }
}

/* Compiled code in miniature: words from a small set of instructions and
 * addresses, so that short windows repeat and long ones do not. */
bytes machine_code(generator &g, size_t length) {
    bytes out(length);
    for (size_t at = 0; at + 8 <= length; at += 8) {
        uint64_t word = g.below(4) == 0 ? g.next() : (g.below(64) * 0x1000193ULL) << 8;
        memcpy(out.data() + at, &word, 8);
    }
    return out;
}

/* The old value with what a new release does to a binary: a few bytes
 * changed every few dozen (shifted addresses), and blocks inserted and
 * removed. */
bytes rebuilt(generator &g, const bytes &old_bytes) {
    bytes out = old_bytes;
    for (size_t at = g.below(64); at < out.size(); at += 16 + g.below(96)) {
        out[at] = static_cast<uint8_t>(out[at] + 1 + g.below(255));
    }
    for (int edit = 0; edit < 20; edit++) {
        size_t at = g.below(out.size());
        size_t count = g.below(1 << 14);
        if (g.below(2) == 0) {
            bytes fresh = machine_code(g, count);
            out.insert(out.begin() + static_cast<long>(at), fresh.begin(), fresh.end());
        } else {
            size_t end = at + count < out.size() ? at + count : out.size();
            out.erase(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(end));
        }
    }
    return out;
}

bool rebuilds(const bytes &old_bytes, const bytes &new_bytes, const bytes &delta_bytes) {
    buf old_value{const_cast<uint8_t *>(old_bytes.data()), old_bytes.size(), old_bytes.size()};
    buf delta_value{const_cast<uint8_t *>(delta_bytes.data()), delta_bytes.size(),
                    delta_bytes.size()};
    buf *result = diff_apply_binary(&old_value, &delta_value);
    bool same = result != nullptr && result->len == new_bytes.size() &&
                memcmp(result->data, new_bytes.data(), new_bytes.size()) == 0;
    buf_free(result);
    return same;
}

#if defined(__SANITIZE_ADDRESS__)
const int LARGE_PAIRS = 1;
#else
const int LARGE_PAIRS = 4;
#endif

/* Values from DIFF_INDEX_SPLIT_FROM on are scanned in parts, and so are
 * those of a few hundred kilobytes in fewer ones, and their index is read
 * in ranges, on as many threads as asked: none of it may show in the
 * delta. */
TEST(DiffIndexParts, TheDeltaDoesNotDependOnTheThreads) {
    generator g{0xD1B54A32D192ED03ULL};
    for (int pair = 0; pair < 2 * LARGE_PAIRS; pair++) {
        size_t length = pair < LARGE_PAIRS ? DIFF_INDEX_SPLIT_FROM + g.below(3 * DIFF_INDEX_PART)
                                           : (200 << 10) + g.below(3 << 20);
        bytes old_bytes = pair % 2 == 0 ? machine_code(g, length) : text(g, length);
        bytes new_bytes = rebuilt(g, old_bytes);
        int32_t level = static_cast<int32_t>(g.below(5));
        bytes one = delta(old_bytes, new_bytes, diff_index_options{0, level, 1});
        ASSERT_TRUE(rebuilds(old_bytes, new_bytes, one)) << "pair " << pair;
        EXPECT_LT(one.size(), new_bytes.size() / 2) << "pair " << pair;
        for (int32_t threads : {2, 4}) {
            ASSERT_EQ(delta(old_bytes, new_bytes, diff_index_options{0, level, threads}), one)
                << "pair " << pair << ", " << threads << " threads, level " << level;
        }
    }
}

/* From 32 MiB on, the old value is indexed at one position in four, and
 * below that at one in sixteen where a trial finds the values nearly all
 * copied: every match is still found from a window of the grid and grown
 * back to its start, so a few edits cost about their own bytes, on any
 * thread count and with the plain checks alike.  An allowance of an eighth
 * of the old value, which values past 1 GiB get, makes the tables so
 * sparse that the grid would leave the parts' scans to find their first
 * copies far into each part: such a value is read whole. */
TEST(DiffIndexParts, AnOldValueReadSparselyStillGivesTheEditsAlone) {
    generator g{0x8EBC6AF09C88C6E3ULL};
    struct sparse_case {
        size_t size;
        size_t allowance_share; /* the allowance is size / this; 0: the default */
    };
    for (sparse_case each : {sparse_case{static_cast<size_t>(32) << 20, 0},
                             sparse_case{static_cast<size_t>(40) << 20, 8},
                             sparse_case{static_cast<size_t>(3) << 20, 0},
                             sparse_case{static_cast<size_t>(300) << 10, 0}}) {
        const size_t size = each.size;
        bytes old_bytes = machine_code(g, size + g.below(DIFF_INDEX_PART));
        bytes new_bytes = edit(g, old_bytes);
        const uint64_t allowance = each.allowance_share == 0 ? 0 : size / each.allowance_share;
        /* Above 32 MiB only the thorough levels keep the edits alone: the
         * faster ones step over the few indexed windows that a match after
         * a deletion holds there. */
        int32_t level =
            static_cast<int32_t>(g.below(size >= (32u << 20) ? 2 : DIFF_INDEX_MAX_LEVEL + 1));
        bytes one = delta(old_bytes, new_bytes, diff_index_options{allowance, level, 1});
        ASSERT_TRUE(rebuilds(old_bytes, new_bytes, one)) << size;
        /* At most 40 edits of at most 600 bytes each, and a copy or two each. */
        EXPECT_LT(one.size(), 40u * (600 + 64)) << size;
        ASSERT_EQ(delta(old_bytes, new_bytes, diff_index_options{allowance, level, 2}), one)
            << size;
        _diff_index_force_plain(true);
        bytes plain = delta(old_bytes, new_bytes, diff_index_options{allowance, level, 1});
        _diff_index_force_plain(false);
        ASSERT_EQ(plain, one) << size;
    }
}

/* Where nothing long matches, a position costs a probe or less, not a
 * chain walk: random bytes against other random bytes, and against
 * rebuilt machine code, of a size whose index is sampled.  (Measured:
 * 0.09 and 0.27 probes a searched position at level 0.) */
TEST(DiffIndexWork, ProbesPerPositionAreBounded) {
    generator g{0xA0761D6478BD642FULL};
    const size_t length = 3 << 20;
    bytes old_bytes = machine_code(g, length);
    struct {
        const char *what;
        bytes new_bytes;
        double probes_most;
    } cases[] = {
        {"unrelated bytes", noise(g, length, 256), 0.5},
        {"rebuilt code", rebuilt(g, old_bytes), 1.0},
    };
    for (auto &c : cases) {
        for (int32_t level = 0; level <= DIFF_INDEX_MAX_LEVEL; level++) {
            delta(old_bytes, c.new_bytes, diff_index_options{0, level, 1});
            diff_index_counts counts = _diff_index_last_counts();
            ASSERT_GT(counts.positions, 0u) << c.what;
            double probes =
                static_cast<double>(counts.probes) / static_cast<double>(counts.positions);
            EXPECT_LE(probes, c.probes_most) << c.what << ", level " << level;
        }
    }
}

/* Values of a few hundred kilobytes are scanned in parts, and their
 * windows read in ranges when the index is sampled: over many small pairs
 * of every kind, around those sizes, any number of threads gives the one
 * thread's delta, and the delta applies. */
TEST(DiffIndexThreads, SmallValuesGiveTheSameDeltaOnAnyThreads) {
    generator g{0x94D049BB133111EBULL};
    const int pairs = LARGE_PAIRS * 12;
    for (int pair = 0; pair < pairs; pair++) {
        size_t length = (24 << 10) + g.below(400 << 10);
        bytes old_bytes;
        switch (pair % 4) {
        case 0:
            old_bytes = machine_code(g, length);
            break;
        case 1:
            old_bytes = text(g, length);
            break;
        case 2:
            old_bytes = noise(g, length, 2 + static_cast<unsigned>(g.below(6)));
            break;
        default: /* runs of one byte, of any length, between noise */
            while (old_bytes.size() < length) {
                bytes part = noise(g, 1 + g.below(64), 256);
                part.insert(part.end(), 1 + g.below(400), static_cast<uint8_t>(g.below(4)));
                old_bytes.insert(old_bytes.end(), part.begin(), part.end());
            }
        }
        bytes new_bytes = pair % 2 == 0 ? rebuilt(g, old_bytes) : edit(g, old_bytes);
        int32_t level = static_cast<int32_t>(g.below(DIFF_INDEX_MAX_LEVEL + 1));
        bytes one = delta(old_bytes, new_bytes, diff_index_options{0, level, 1});
        ASSERT_TRUE(rebuilds(old_bytes, new_bytes, one)) << "pair " << pair;
        for (int32_t threads : {2, 3, 8}) {
            ASSERT_EQ(delta(old_bytes, new_bytes, diff_index_options{0, level, threads}), one)
                << "pair " << pair << ", " << threads << " threads, level " << level;
        }
    }
}

/* Whether every deep sample is in the chain of its own window's
 * fingerprint, once, in the chain's order (latest first). */
bool chains_sound(const diff_index::old_index &index) {
    using namespace diff_index;
    std::vector<bool> seen(index.deep_samples, false);
    for (uint64_t f = 0; f < (1ULL << index.deep_bits); f++) {
        uint64_t below = UINT64_MAX;
        for (uint32_t link = index.deep_head[f]; link != 0; link = index.deep_link[link - 1]) {
            uint32_t sample = link - 1;
            uint64_t position = index.deep_position(sample);
            if (sample >= index.deep_samples || seen[sample] || position >= below ||
                deep_fingerprint(window_product(load64(index.old_bytes + position)),
                                 index.deep_bits) != f) {
                return false;
            }
            seen[sample] = true;
            below = position;
        }
    }
    return std::find(seen.begin(), seen.end(), false) == seen.end();
}

/* Overwrites bytes 256 KiB to 1 MiB of the value, inside the first batch
 * of ranges, with one window over and over that the deep test takes at
 * any rate a test here starts from, and no longer from 2^THINNED_AT times
 * its densest: the samples overflow, are thinned until that window's are
 * gone, and the next batch, read meanwhile with the test as it stood
 * before, then fits. */
void crowd_deep_samples(generator &g, bytes &value) {
    using namespace diff_index;
    constexpr int THINNED_AT = 14;
    constexpr uint64_t TEST_BITS = (2ULL << THINNED_AT) - 1;
    uint64_t window = 0;
    do {
        window = g.next();
    } while (uniform(window) ||
             ((sample_product(window) >> DEEP_SAMPLE_SHIFT) & TEST_BITS) != 1ULL << THINNED_AT);
    for (size_t at = 256 << 10; at + WINDOW <= (1 << 20); at += WINDOW) {
        memcpy(value.data() + at, &window, WINDOW);
    }
}

/* The tables of an index, to compare two builds. */
struct tables {
    std::vector<uint32_t> at, links, heads;
    bytes near;
    uint64_t deep_mask;
    bool operator==(const tables &) const = default;
};

tables tables_of(const diff_index::old_index &index) {
    const auto *near = reinterpret_cast<const uint8_t *>(index.near);
    return tables{{index.deep_at, index.deep_at + index.deep_samples},
                  {index.deep_link, index.deep_link + index.deep_samples},
                  {index.deep_head, index.deep_head + (1ULL << index.deep_bits)},
                  {near, near + (sizeof(*index.near) << index.near_bits)},
                  index.deep_mask};
}

/* The index of sampled old values, small allowances making the deep
 * samples overflow and be thinned as they are collected: on one thread or
 * two (the ranges' lists, a batch applied while the next is read with the
 * deep test as it stood before, some values long enough for several
 * batches), and read a window at a time or several at once, the tables
 * are the same, and every sample is chained under its own window's
 * fingerprint. */
TEST(DiffIndexThreads, TheIndexIsTheSameOnAnyPathAndChainsEverySample) {
    using namespace diff_index;
    generator g{0xBF58476D1CE4E5B9ULL};
    for (int value = 0; value < 3 * LARGE_PAIRS; value++) {
        /* Every fourth value is read whole, long enough for several
         * batches, with crowded samples. */
        const bool crowded = value % 4 == 0;
        size_t length = crowded ? (4 << 20) + g.below(2 << 20) : (300 << 10) + g.below(2 << 20);
        bytes old_bytes = value % 3 == 0 ? machine_code(g, length)
                          : value % 3 == 1
                              ? text(g, length)
                              : noise(g, length, 2 + static_cast<unsigned>(g.below(3)));
        if (crowded) {
            crowd_deep_samples(g, old_bytes);
        }
        uint64_t allowance = (64 << 10) + g.below(1 << 20);
        int least_grid = crowded ? 0 : static_cast<int>(g.below(3)) * 2;
        tables first;
        for (int way = 0; way < 4; way++) {
            _diff_index_force_plain(way % 2 == 1);
            old_index index;
            ASSERT_TRUE(index_build(&index, old_bytes.data(), old_bytes.size(), allowance,
                                    way < 2 ? 1 : 2, least_grid));
            _diff_index_force_plain(false);
            ASSERT_NE(index.near, nullptr) << "value " << value;
            EXPECT_TRUE(chains_sound(index)) << "value " << value << ", way " << way;
            tables built = tables_of(index);
            index_free(&index);
            if (way == 0) {
                first = built;
            }
            EXPECT_TRUE(built == first) << "value " << value << ", way " << way;
        }
    }
}

/* A call runs on its own thread and at most the helpers it asks for,
 * whatever an earlier call grew the pool to: a differ given two threads
 * must not take every core. */
TEST(DiffIndexThreads, ACallTakesNoMoreHelpersThanItAsks) {
    struct seen_threads {
        std::mutex lock;
        std::set<std::thread::id> ids;
    };
    auto note = [](void *context, uint32_t) {
        auto *seen = static_cast<seen_threads *>(context);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        std::lock_guard<std::mutex> held(seen->lock);
        seen->ids.insert(std::this_thread::get_id());
    };
    seen_threads grown;
    work_pool_run(WORK_POOL_MOST, 4 * WORK_POOL_MOST, note, &grown);
    for (int helpers : {0, 1, 2, WORK_POOL_MOST}) {
        seen_threads seen;
        work_pool_run(helpers, 8 * WORK_POOL_MOST, note, &seen);
        EXPECT_LE(seen.ids.size(), static_cast<size_t>(helpers) + 1) << helpers << " helpers";
    }
}

/* Deltas of mostly new bytes outgrow the output's first block and take
 * their whole size at once: wherever an item crosses that point (inside
 * a long insertion, between a copy's heads), and on any threads, the
 * delta must rebuild the new value and stay the same. */
TEST(DiffIndexThreads, LongDeltasRebuildAcrossTheOutputsReservation) {
    generator g{0x6A09E667F3BCC909ULL};
    bytes old_bytes = machine_code(g, 1 << 20);
    for (int pair = 0; pair < 4; pair++) {
        bytes new_bytes;
        size_t length = (3 << 20) + g.below(3 << 20);
        while (new_bytes.size() < length) {
            /* Literal stretches of a few bytes to 2 KB, or to 300 KB,
             * between copies. */
            bytes fresh = noise(g, 1 + g.below(pair % 2 == 0 ? 2000 : 300 << 10), 256);
            new_bytes.insert(new_bytes.end(), fresh.begin(), fresh.end());
            size_t from = g.below(old_bytes.size() - 4096);
            new_bytes.insert(new_bytes.end(), old_bytes.begin() + from,
                             old_bytes.begin() + from + 64 + g.below(pair % 2 == 0 ? 256 : 4000));
        }
        bytes one = delta(old_bytes, new_bytes, diff_index_options{0, 0, 1});
        ASSERT_TRUE(rebuilds(old_bytes, new_bytes, one)) << "pair " << pair;
        EXPECT_GT(one.size(), static_cast<size_t>(2 << 20)) << "pair " << pair;
        EXPECT_LT(one.size(), new_bytes.size()) << "pair " << pair;
        EXPECT_EQ(delta(old_bytes, new_bytes, diff_index_options{0, 0, 2}), one) << "pair " << pair;
    }
}

/* The chains of an old value whose windows they all hold, built with the
 * test for runs at each window or with the runs taken out afterwards: the
 * same links, heads and longest runs.  Runs of every length, at either end
 * and next to each other, with text or noise between. */
TEST(DiffIndexBuild, EveryWindowsChainsAreTheSameOnEitherLoop) {
    using namespace diff_index;
    generator g{0x94D049BB133111EBULL};
    for (int value = 0; value < PAIRS / 2; value++) {
        size_t length = 4000 + g.below(g.below(20) == 0 ? 200000 : 12000);
        bytes old_bytes;
        while (old_bytes.size() < length) {
            bytes part = g.below(2) == 0 ? text(g, g.below(200)) : noise(g, g.below(40), 4);
            old_bytes.insert(old_bytes.end(), part.begin(), part.end());
            old_bytes.insert(old_bytes.end(), g.below(g.below(8) == 0 ? 3000 : 20),
                             static_cast<uint8_t>(g.below(3) == 0 ? g.next() : ' '));
        }
        struct built {
            std::vector<uint32_t> links, heads;
            std::vector<uint64_t> run_start, run_length;
            bool operator==(const built &) const = default;
        } ways[2];
        for (int way = 0; way < 2; way++) {
            index_chain_force_plain(way == 1);
            old_index index;
            ASSERT_TRUE(index_build(&index, old_bytes.data(), old_bytes.size(), UINT64_MAX, 1, 0));
            index_chain_force_plain(false);
            ASSERT_EQ(index.near, nullptr);
            ways[way] = built{{index.deep_link, index.deep_link + index.deep_samples},
                              {index.deep_head, index.deep_head + (1ULL << index.deep_bits)},
                              {index.run_start, index.run_start + 256},
                              {index.run_length, index.run_length + 256}};
            index_free(&index);
        }
        ASSERT_TRUE(ways[0] == ways[1])
            << "value " << value << ", " << old_bytes.size() << " bytes";
    }
}

/* Jobs posted from several calling threads at once, each with its own
 * tasks and helpers, with no gap between them, a short one or a long one,
 * so that they find the helpers busy, on their way to sleep and asleep:
 * every task runs exactly once, and before its call returns (the job and
 * what its tasks write live on the caller's stack). */
TEST(DiffIndexThreads, EveryTaskRunsOnceBeforeItsCallReturns) {
    constexpr int CALLERS = 3;
    constexpr int JOBS = 1500;
    constexpr uint32_t MOST_TASKS = 40;
    struct tally {
        std::atomic<uint32_t> runs[MOST_TASKS];
        uint32_t pause_us;
    };
    auto count = [](void *context, uint32_t i) {
        auto *seen = static_cast<tally *>(context);
        if (seen->pause_us != 0 && i % 3 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(seen->pause_us));
        }
        seen->runs[i].fetch_add(1, std::memory_order_relaxed);
    };
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int caller = 0; caller < CALLERS; caller++) {
        callers.emplace_back([caller, &wrong, count] {
            generator g{0x3C6EF372FE94F82BULL + static_cast<uint64_t>(caller)};
            for (int job = 0; job < JOBS; job++) {
                tally seen{};
                seen.pause_us = g.below(4) == 0 ? static_cast<uint32_t>(g.below(60)) : 0;
                uint32_t tasks = 1 + static_cast<uint32_t>(g.below(MOST_TASKS));
                work_pool_run(static_cast<int>(g.below(4)), tasks, count, &seen);
                for (uint32_t i = 0; i < MOST_TASKS; i++) {
                    if (seen.runs[i].load() != (i < tasks ? 1u : 0u)) {
                        wrong.fetch_add(1);
                    }
                }
                size_t gap = g.below(3);
                if (gap != 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(gap == 1 ? 20 : 300));
                }
            }
        });
    }
    for (std::thread &caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
