// Delta generation: byte-exact results for the outcomes the driver chooses
// between, refusal of oversized values, the quality level taken from an
// activity history, and a round-trip property over many generated pairs at
// every level and with tight step and storage limits.  The index method
// shares the outcome and refusal tests; then a round-trip property over
// pairs made of moved and repeated blocks (with the index whole and
// sampled), and the sizes that moved and reordered blocks must come down to.
#include <gtest/gtest.h>

#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cbor_parser.h"
#include "diff_apply.h"
#include "diff_generate.h"
#include "diff_index.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BufDeleter {
    void operator()(buf *b) const { buf_free(b); }
};
using Result = std::unique_ptr<buf, BufDeleter>;

struct HistoryDeleter {
    void operator()(tovarel_activity_history *h) const { tovarel_activity_history_free(h); }
};
using History = std::unique_ptr<tovarel_activity_history, HistoryDeleter>;

// A read-only record over the bytes, as the bindings hand values in; an
// empty value has no storage at all.
buf view(const Bytes &bytes) {
    uint8_t *data = bytes.empty() ? nullptr : const_cast<uint8_t *>(bytes.data());
    return buf{data, bytes.size(), bytes.size()};
}

Bytes bytes_of(const buf *b) {
    return b->len == 0 ? Bytes{} : Bytes(b->data, b->data + b->len);
}

Bytes text(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes counting(size_t size, uint8_t from = 0) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; i++)
        bytes[i] = static_cast<uint8_t>(from + i);
    return bytes;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

Bytes diff(const Bytes &old_bytes, const Bytes &new_bytes) {
    buf old_value = view(old_bytes), new_value = view(new_bytes);
    Result result(diff_generate_binary(&old_value, &new_value));
    EXPECT_NE(result, nullptr);
    return result ? bytes_of(result.get()) : Bytes{0xDE, 0xAD};
}

Bytes index_diff(const Bytes &old_bytes, const Bytes &new_bytes, uint64_t allowance = 0) {
    buf old_value = view(old_bytes), new_value = view(new_bytes);
    Result result(diff_index_generate_binary_ex(&old_value, &new_value, allowance));
    EXPECT_NE(result, nullptr);
    return result ? bytes_of(result.get()) : Bytes{0xDE, 0xAD};
}

Bytes replacement(const Bytes &new_bytes) {
    buf new_value = view(new_bytes);
    Result result(_write_replacement_delta(&new_value));
    return bytes_of(result.get());
}

TEST(DiffGenerate, ChoosesTheOutcomeByteExactly) {
    Bytes hundred = counting(100);
    Bytes edited = hundred;
    edited[50] = 0xFF;
    Bytes unrelated = counting(100, 100);
    // The index method gives the same results, except where a delta must
    // copy fewer bytes than its fingerprints cover.
    struct Case {
        const char *name;
        Bytes old_bytes, new_bytes, delta;
        bool index_too = true;
    } cases[] = {
        {"equal values", text("abc"), text("abc"), {0xF6}},
        {"equal single bytes", {0x61}, {0x61}, {0x41, 0x61}},
        {"both empty", {}, {}, {0x40}},
        {"new value empty", text("abc"), {}, {0x40}},
        {"old value empty", {}, text("xyz"), {0x43, 0x78, 0x79, 0x7A}},
        {"one byte replaced",
         hundred,
         edited,
         {0x00, 0x18, 0x32, 0x41, 0xFF, 0x18, 0x33, 0x18, 0x31}},
        {"two bytes replaced in the middle",
         text("abcdefgh"),
         text("abcXYfgh"),
         {0x00, 0x03, 0x42, 0x58, 0x59, 0x05, 0x03},
         false},
        {"no shared byte", hundred, unrelated, concat({{0x58, 0x64}, unrelated})},
        {"equal but the delta would not be shorter", text("ab"), text("ab"), {0xF6}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(diff(c.old_bytes, c.new_bytes), c.delta) << c.name;
        if (c.index_too) {
            EXPECT_EQ(index_diff(c.old_bytes, c.new_bytes), c.delta) << c.name;
        }
    }
}

TEST(DiffGenerate, ReplacementDeltaHeads) {
    struct Case {
        size_t size;
        Bytes head;
    } cases[] = {
        {0, {0x40}},
        {1, {0x41}},
        {23, {0x57}},
        {24, {0x58, 0x18}},
        {255, {0x58, 0xFF}},
        {256, {0x59, 0x01, 0x00}},
        {300, {0x59, 0x01, 0x2C}},
        {65535, {0x59, 0xFF, 0xFF}},
        {65536, {0x5A, 0x00, 0x01, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        Bytes value = counting(c.size, 7);
        EXPECT_EQ(replacement(value), concat({c.head, value})) << c.size;
    }
    EXPECT_EQ(_write_replacement_delta(nullptr), nullptr);
}

// Lengths are 32-bit inside the delta code: anything from 2147483648 bytes
// up is refused before a byte is read, including sizes whose low 32 bits
// alone would look small.  The records point at a few bytes only, so a
// read would be caught.  Null records and records that claim bytes without
// storage are refused too.
TEST(DiffGenerate, RefusesValuesOf2GiBOrMore) {
    uint8_t dummy[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    buf small = {dummy, sizeof dummy, sizeof dummy};
    const uint64_t sizes[] = {2147483648ULL, 4294967295ULL, 4294967296ULL, 4294967296ULL + 5,
                              UINT64_MAX};
    for (uint64_t size : sizes) {
        buf huge = {dummy, size, size};
        EXPECT_EQ(diff_generate_binary(&huge, &small), nullptr) << size;
        EXPECT_EQ(diff_generate_binary(&small, &huge), nullptr) << size;
        EXPECT_EQ(diff_generate_binary(&huge, &huge), nullptr) << size;
    }
    EXPECT_EQ(diff_generate_binary(nullptr, &small), nullptr);
    EXPECT_EQ(diff_generate_binary(&small, nullptr), nullptr);
    buf no_storage = {nullptr, 5, 5};
    EXPECT_EQ(diff_generate_binary(&no_storage, &small), nullptr);
    EXPECT_EQ(diff_generate_binary(&small, &no_storage), nullptr);
    EXPECT_EQ(_write_replacement_delta(&no_storage), nullptr);
    for (int32_t level : {-1, DIFF_MAX_LEVEL + 1, INT32_MIN}) {
        EXPECT_EQ(diff_generate_binary_at_level(&small, &small, DIFF_DEFAULT_STORAGE_ALLOWANCE,
                                                DIFF_DEFAULT_COST_LIMIT, level),
                  nullptr)
            << level;
    }
    // The index method refuses the same records.
    for (uint64_t size : sizes) {
        buf huge = {dummy, size, size};
        EXPECT_EQ(diff_index_generate_binary(&huge, &small), nullptr) << size;
        EXPECT_EQ(diff_index_generate_binary(&small, &huge), nullptr) << size;
    }
    for (const buf *bad :
         {static_cast<const buf *>(nullptr), static_cast<const buf *>(&no_storage)}) {
        EXPECT_EQ(diff_index_generate_binary(bad, &small), nullptr);
        EXPECT_EQ(diff_index_generate_binary(&small, bad), nullptr);
    }
}

// A history whose utilisation reads exactly `figure`: one bucket and a
// window of 256 ms make the figure equal to busy_total, and a last start
// "in the future" keeps the driver's own start from clearing it.
void set_utilisation(tovarel_activity_history *history, int32_t figure) {
    history->buckets[0] = static_cast<uint64_t>(static_cast<int64_t>(figure));
    history->busy_total = history->buckets[0];
    history->current_bucket = UINT64_MAX - 1;
}

History level_history() {
    History history(tovarel_activity_history_create(1, 256));
    EXPECT_EQ(history->utilisation_shift, 0);
    return history;
}

TEST(DiffGenerateWithHistory, LevelFollowsUtilisation) {
    struct Case {
        int32_t utilisation, level;
    } cases[] = {
        {INT32_MIN, 0}, {-5, 0},  {0, 0},   {127, 0}, {128, 1}, {165, 1},       {166, 2},
        {203, 2},       {204, 3}, {242, 3}, {243, 4}, {256, 4}, {INT32_MAX, 4},
    };
    Bytes old_bytes = counting(64);
    Bytes new_bytes = old_bytes;
    new_bytes[10] ^= 0x55;
    buf old_value = view(old_bytes), new_value = view(new_bytes);
    History history = level_history();
    for (const Case &c : cases) {
        set_utilisation(history.get(), c.utilisation);
        EXPECT_EQ(tovarel_activity_history_utilisation(history.get()), c.utilisation);
        history->last_delta_quality = -7;
        Result result(
            diff_generate_binary_with_activity_history(history.get(), &old_value, &new_value));
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(tovarel_activity_history_get_last_delta_quality(history.get()), c.level)
            << c.utilisation;
        Result applied(diff_apply_binary(&old_value, result.get()));
        ASSERT_NE(applied, nullptr);
        EXPECT_EQ(bytes_of(applied.get()), new_bytes) << c.utilisation;
    }
}

// The level reaches the engine: with two edits far apart, prefix and
// suffix alone (level 4) must send everything between them literally.
TEST(DiffGenerateWithHistory, BusyCallerGetsTheCheapDelta) {
    Bytes old_bytes = counting(200);
    Bytes new_bytes = old_bytes;
    new_bytes[50] = 0xAA;
    new_bytes[150] = 0xBB;
    buf old_value = view(old_bytes), new_value = view(new_bytes);
    History history = level_history();
    size_t sizes[2];
    const int32_t figures[2] = {0, 256};
    for (int i = 0; i < 2; i++) {
        set_utilisation(history.get(), figures[i]);
        Result result(
            diff_generate_binary_with_activity_history(history.get(), &old_value, &new_value));
        ASSERT_NE(result, nullptr);
        sizes[i] = result->len;
    }
    // Copy 50 (3 bytes), the new byte (2), copy 99 (4), the new byte (2),
    // copy 49 (4).
    EXPECT_EQ(sizes[0], 15u);
    EXPECT_GT(sizes[1], 100u);
}

uint64_t now_ms() {
    timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

TEST(DiffGenerateWithHistory, MarksTheComparisonAsBusy) {
    History history(tovarel_activity_history_create(16, 100));
    Bytes old_bytes = text("hello world"), new_bytes = text("hello there world");
    buf old_value = view(old_bytes), new_value = view(new_bytes);
    uint64_t before = now_ms();
    Result result(
        diff_generate_binary_with_activity_history(history.get(), &old_value, &new_value));
    uint64_t after = now_ms();
    ASSERT_NE(result, nullptr);
    EXPECT_GE(history->start_time, before);
    EXPECT_LE(history->start_time, after);
    EXPECT_EQ(history->current_bucket, history->start_time >> history->bucket_shift);
    EXPECT_EQ(tovarel_activity_history_get_last_delta_quality(history.get()), 0);
}

// ---- Round trip over generated pairs ------------------------------------

struct Pair {
    std::string kind;
    Bytes old_bytes, new_bytes;
};

class PairMaker {
public:
    explicit PairMaker(uint32_t seed) : rng_(seed) {}

    size_t below(size_t n) { return n == 0 ? 0 : rng_() % n; }

    Bytes random(size_t size, int alphabet = 256) {
        Bytes bytes(size);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(below(static_cast<size_t>(alphabet)));
        return bytes;
    }

    Bytes inserted(Bytes bytes, int times) {
        for (int i = 0; i < times; i++) {
            Bytes piece = random(1 + below(40));
            bytes.insert(bytes.begin() + static_cast<long>(below(bytes.size() + 1)), piece.begin(),
                         piece.end());
        }
        return bytes;
    }

    Bytes deleted(Bytes bytes, int times) {
        for (int i = 0; i < times && !bytes.empty(); i++) {
            size_t at = below(bytes.size());
            size_t count = std::min(bytes.size() - at, 1 + below(40));
            bytes.erase(bytes.begin() + static_cast<long>(at),
                        bytes.begin() + static_cast<long>(at + count));
        }
        return bytes;
    }

    Bytes moved(Bytes bytes) {
        if (bytes.size() < 4)
            return bytes;
        size_t at = below(bytes.size() - 1);
        size_t count = 1 + below(std::min<size_t>(bytes.size() - at, 200));
        Bytes block(bytes.begin() + static_cast<long>(at),
                    bytes.begin() + static_cast<long>(at + count));
        bytes.erase(bytes.begin() + static_cast<long>(at),
                    bytes.begin() + static_cast<long>(at + count));
        bytes.insert(bytes.begin() + static_cast<long>(below(bytes.size() + 1)), block.begin(),
                     block.end());
        return bytes;
    }

    Bytes flipped(Bytes bytes, int times) {
        for (int i = 0; i < times && !bytes.empty(); i++)
            bytes[below(bytes.size())] ^= static_cast<uint8_t>(1 + below(255));
        return bytes;
    }

    Bytes repeated(size_t size) {
        Bytes unit = random(1 + below(6), 4);
        Bytes bytes;
        while (bytes.size() < size)
            bytes.insert(bytes.end(), unit.begin(), unit.end());
        bytes.resize(size);
        return bytes;
    }

    std::vector<Pair> make_all(int rounds) {
        std::vector<Pair> pairs = {
            {"both empty", {}, {}},
            {"one byte from empty", {}, {0x61}},
            {"empty from one byte", {0x61}, {}},
            {"one byte equal", {0x61}, {0x61}},
            {"one byte changed", {0x61}, {0x62}},
            {"two bytes equal", {0x61, 0x62}, {0x61, 0x62}},
        };
        for (int round = 0; round < rounds; round++) {
            size_t size = below(round % 4 == 0 ? 3000 : 400);
            Bytes base = random(size, round % 3 == 0 ? 4 : 256);
            pairs.push_back({"random", base, random(below(400), round % 3 == 0 ? 4 : 256)});
            pairs.push_back({"insertions", base, inserted(base, 1 + round % 5)});
            pairs.push_back({"deletions", base, deleted(base, 1 + round % 5)});
            pairs.push_back({"move", base, moved(base)});
            pairs.push_back({"near equal", base, flipped(base, 1 + round % 3)});
            pairs.push_back({"equal", base, base});
            Bytes pattern = repeated(size);
            pairs.push_back({"repeats", pattern, inserted(flipped(pattern, 2), 1)});
            pairs.push_back({"mixed", base, moved(inserted(deleted(flipped(base, 2), 2), 2))});
            pairs.push_back({"from empty", {}, base});
            pairs.push_back({"to empty", base, {}});
        }
        return pairs;
    }

private:
    std::mt19937 rng_;
};

// Counts the delta's CBOR items; -1 when the parser stops early.
int count_items(const Bytes &delta) {
    cbor_parser *parser = cbor_parser_create(delta.data(), delta.size());
    int items = 0;
    uint64_t consumed = 0;
    while (cbor_val *item = cbor_next_val(parser)) {
        items++;
        cbor_val_free(item);
    }
    consumed = static_cast<uint64_t>(parser->cursor - parser->start);
    cbor_parser_free(parser);
    return consumed == delta.size() ? items : -1;
}

struct Limits {
    int32_t storage_allowance, cost_limit;
};

TEST(DiffGenerateRoundTrip, EveryLevelAndLimitRebuildsTheNewValue) {
    const Limits limits[] = {
        {DIFF_DEFAULT_STORAGE_ALLOWANCE, DIFF_DEFAULT_COST_LIMIT},
        {DIFF_DEFAULT_STORAGE_ALLOWANCE, 1},
        {DIFF_DEFAULT_STORAGE_ALLOWANCE, 5},
        {DIFF_DEFAULT_STORAGE_ALLOWANCE, 0},
        {3, DIFF_DEFAULT_COST_LIMIT},
        {11, 3},
        {100, 64},
        {1, DIFF_DEFAULT_COST_LIMIT},
    };
    const int32_t level_figures[] = {0, 128, 166, 204, 243};
    PairMaker maker(20261208);
    std::vector<Pair> pairs = maker.make_all(50);
    History history = level_history();
    int checked = 0, no_change = 0, replaced = 0;
    for (const Pair &pair : pairs) {
        buf old_value = view(pair.old_bytes), new_value = view(pair.new_bytes);
        Bytes whole = replacement(pair.new_bytes);
        bool equal = pair.old_bytes == pair.new_bytes;
        for (int level = 0; level < 5; level++) {
            for (const Limits &limit : limits) {
                set_utilisation(history.get(), level_figures[level]);
                Result result(diff_generate_binary_with_activity_history_ex(
                    history.get(), &old_value, &new_value, limit.storage_allowance,
                    limit.cost_limit));
                std::string label = pair.kind + " " + std::to_string(pair.old_bytes.size()) + "->" +
                                    std::to_string(pair.new_bytes.size()) + " level " +
                                    std::to_string(level) + " limits " +
                                    std::to_string(limit.storage_allowance) + "/" +
                                    std::to_string(limit.cost_limit);
                ASSERT_NE(result, nullptr) << label;
                ASSERT_EQ(history->last_delta_quality, level) << label;
                Bytes delta = bytes_of(result.get());
                // The caller's level gives what the history's level gives.
                Result fixed(diff_generate_binary_at_level(
                    &old_value, &new_value, limit.storage_allowance, limit.cost_limit, level));
                ASSERT_NE(fixed, nullptr) << label;
                ASSERT_EQ(bytes_of(fixed.get()), delta) << label;
                checked++;
                if (delta == Bytes{0xF6}) {
                    EXPECT_TRUE(equal && pair.new_bytes.size() >= 2) << label;
                    no_change++;
                } else if (delta == whole) {
                    EXPECT_FALSE(equal && pair.new_bytes.size() >= 2) << label;
                    replaced++;
                } else {
                    EXPECT_FALSE(equal && pair.new_bytes.size() >= 2) << label;
                    EXPECT_LT(delta.size(), pair.new_bytes.size()) << label;
                }
                Result applied(diff_apply_binary(&old_value, result.get()));
                ASSERT_NE(applied, nullptr) << label;
                ASSERT_EQ(bytes_of(applied.get()), pair.new_bytes) << label;
                // Level 4 sends at most a prefix copy, the middle, a suffix copy.
                if (level == 4 && delta != whole) {
                    EXPECT_LE(count_items(delta), 5) << label;
                }
            }
        }
    }
    // The property must have seen every kind of outcome.
    EXPECT_GT(no_change, 0);
    EXPECT_GT(replaced, 0);
    EXPECT_GT(checked - no_change - replaced, 0);
}

// ---- the index method

Bytes random_bytes(std::mt19937_64 &rng, size_t size, unsigned alphabet = 256) {
    Bytes bytes(size);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(rng() % alphabet);
    return bytes;
}

// New values made from old ones the ways real versions differ, and some
// that defeat any matcher: each kind by itself and mixed.
Bytes generate_new(std::mt19937_64 &rng, const Bytes &old_bytes, int kind) {
    Bytes value = old_bytes;
    auto pick = [&](size_t bound) { return bound == 0 ? 0 : rng() % bound; };
    switch (kind) {
    case 0: /* unrelated */
        return random_bytes(rng, pick(300));
    case 1: /* scattered edits */
        for (int edits = 1 + pick(8); edits > 0; edits--) {
            size_t at = pick(value.size() + 1), count = pick(40);
            switch (pick(3)) {
            case 0:
                value.insert(value.begin() + at, count, static_cast<uint8_t>(rng()));
                break;
            case 1:
                value.erase(value.begin() + at, value.begin() + std::min(value.size(), at + count));
                break;
            default:
                for (size_t i = at; i < std::min(value.size(), at + count); i++)
                    value[i] = static_cast<uint8_t>(rng());
            }
        }
        return value;
    case 2: { /* blocks moved and repeated */
        Bytes out;
        for (int blocks = 1 + pick(6); blocks > 0; blocks--) {
            size_t at = pick(value.size() + 1), count = pick(value.size() - at + 1);
            out.insert(out.end(), value.begin() + at, value.begin() + at + count);
        }
        return out;
    }
    default: /* tiny values around a window */
        return Bytes(value.begin(), value.begin() + std::min(value.size(), pick(12)));
    }
}

// Round trip, size bounds and determinism over many generated pairs: the
// old values are random, of a small alphabet, or runs, and the index is
// used whole and with an allowance so small that it samples.
TEST(DiffIndex, RoundTripsGeneratedPairs) {
    std::mt19937_64 rng(15);
    for (int trial = 0; trial < 3000; trial++) {
        SCOPED_TRACE(trial);
        size_t size = rng() % 3 == 0 ? rng() % 16 : rng() % 3000;
        unsigned alphabet = trial % 3 == 0 ? 256 : trial % 3 == 1 ? 4 : 1;
        Bytes old_bytes = random_bytes(rng, size, alphabet);
        Bytes new_bytes = generate_new(rng, old_bytes, static_cast<int>(rng() % 4));
        uint64_t allowance = trial % 2 == 0 ? 0 : 1 + rng() % 2000;
        Bytes delta = index_diff(old_bytes, new_bytes, allowance);
        ASSERT_EQ(index_diff(old_bytes, new_bytes, allowance), delta);

        Bytes whole = replacement(new_bytes);
        if (old_bytes == new_bytes && new_bytes.size() >= 2) {
            ASSERT_EQ(delta, Bytes{0xF6});
            continue;
        }
        ASSERT_LE(delta.size(), whole.size());
        if (delta != whole) {
            ASSERT_LT(delta.size(), new_bytes.size());
        }
        buf old_value = view(old_bytes), delta_value = view(delta);
        Result rebuilt(diff_apply_binary(&old_value, &delta_value));
        ASSERT_NE(rebuilt, nullptr);
        ASSERT_EQ(bytes_of(rebuilt.get()), new_bytes);
    }
}

// Text-like material that does not repeat itself: words drawn at random.
Bytes prose(std::mt19937_64 &rng, size_t size) {
    static const char *words[] = {"the ",   "index ", "delta ", "copy ",  "value ", "of ",
                                  "moved ", "block ", "from ",  "where ", "old ",   "new "};
    Bytes out;
    while (out.size() < size) {
        std::string word = words[rng() % 12];
        out.insert(out.end(), word.begin(), word.end());
        out.push_back(static_cast<uint8_t>('0' + rng() % 10));
    }
    out.resize(size);
    return out;
}

// What the method is for: moved and reordered blocks cost a few copy pairs
// each, and a large old value (indexed by samples) still yields a delta of
// the size of its edits.
TEST(DiffIndex, MovedAndReorderedBlocksCostCopyPairs) {
    std::mt19937_64 rng(117);
    Bytes file = prose(rng, 117 * 1024);
    Bytes moved = file;
    Bytes block(moved.begin() + 20000, moved.begin() + 24096);
    moved.erase(moved.begin() + 20000, moved.begin() + 24096);
    moved.insert(moved.begin() + 90000, block.begin(), block.end());
    EXPECT_LE(index_diff(file, moved).size(), moved.size() / 1000);

    Bytes blocks = random_bytes(rng, 1 << 20);
    std::vector<size_t> order(blocks.size() / 4096);
    for (size_t i = 0; i < order.size(); i++)
        order[i] = i;
    std::shuffle(order.begin(), order.end(), rng);
    Bytes shuffled;
    for (size_t i : order)
        shuffled.insert(shuffled.end(), blocks.begin() + i * 4096,
                        blocks.begin() + i * 4096 + 4096);
    EXPECT_LT(index_diff(blocks, shuffled).size(), shuffled.size() / 100);

    Bytes large = random_bytes(rng, 12 << 20);
    Bytes edited = large;
    for (size_t at = 12345; at < edited.size(); at += edited.size() / 100)
        edited[at] ^= 0x5A;
    Bytes delta = index_diff(large, edited);
    EXPECT_LT(delta.size(), 100 * 16u);

    // A block of the old value after a long stretch of new bytes is still
    // found: the scan speeds up over new bytes, but never past a block.
    Bytes fresh = random_bytes(rng, 3 << 20);
    fresh.insert(fresh.begin() + (2 << 20), blocks.begin(), blocks.begin() + 1024);
    EXPECT_LT(index_diff(blocks, fresh).size(), fresh.size() - 1000);
}

// Replaced bytes a few apart leave short stretches on the diagonal; in a
// small alphabet longer stretches turn up by chance all over the old value,
// and a parse that follows one must still find its way back.
TEST(DiffIndex, SparseEditsInASmallAlphabetCostAFewBytesEach) {
    std::mt19937_64 rng(98);
    for (unsigned alphabet : {2u, 4u}) {
        Bytes old_bytes = random_bytes(rng, 120000, alphabet);
        Bytes new_bytes = old_bytes;
        for (int edit = 0; edit < 100; edit++) {
            size_t at = rng() % new_bytes.size();
            new_bytes[at] = static_cast<uint8_t>(old_bytes[at] + 1);
            if (edit % 2 == 0 && at + 16 < new_bytes.size())
                new_bytes[at + 16] = static_cast<uint8_t>(old_bytes[at + 16] + 1);
        }
        EXPECT_LT(index_diff(old_bytes, new_bytes).size(), 150u * 16) << alphabet;
    }
}

} // namespace
