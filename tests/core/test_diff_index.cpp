// Deltas from the index method: the driver's outcomes byte for byte, a
// round-trip property over thousands of generated pairs (with the index
// whole and sampled), and the sizes that moved and reordered blocks must
// come down to.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "diff_apply.h"
#include "diff_generate.h"
#include "diff_index.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct BufDeleter {
    void operator()(buf *b) const { buf_free(b); }
};
using Result = std::unique_ptr<buf, BufDeleter>;

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

Bytes random_bytes(std::mt19937_64 &rng, size_t size, unsigned alphabet = 256) {
    Bytes bytes(size);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(rng() % alphabet);
    return bytes;
}

TEST(DiffIndex, GivesTheDriversOutcomesByteExactly) {
    Bytes hundred(100);
    for (size_t i = 0; i < hundred.size(); i++)
        hundred[i] = static_cast<uint8_t>(i);
    Bytes edited = hundred;
    edited[50] = 0xFF;
    Bytes unrelated(100);
    for (size_t i = 0; i < unrelated.size(); i++)
        unrelated[i] = static_cast<uint8_t>(100 + i);
    struct Case {
        const char *name;
        Bytes old_bytes, new_bytes, delta;
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
        {"no shared byte", hundred, unrelated, replacement(unrelated)},
    };
    for (const Case &c : cases)
        EXPECT_EQ(index_diff(c.old_bytes, c.new_bytes), c.delta) << c.name;
}

TEST(DiffIndex, RefusesWhatTheDriverRefuses) {
    uint8_t dummy[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    buf small = {dummy, sizeof dummy, sizeof dummy};
    buf no_storage = {nullptr, 5, 5};
    for (uint64_t size :
         {uint64_t{2147483648ULL}, uint64_t{4294967296ULL + 5}, uint64_t{UINT64_MAX}}) {
        buf huge = {dummy, size, size};
        EXPECT_EQ(diff_index_generate_binary(&huge, &small), nullptr) << size;
        EXPECT_EQ(diff_index_generate_binary(&small, &huge), nullptr) << size;
    }
    EXPECT_EQ(diff_index_generate_binary(nullptr, &small), nullptr);
    EXPECT_EQ(diff_index_generate_binary(&small, nullptr), nullptr);
    EXPECT_EQ(diff_index_generate_binary(&no_storage, &small), nullptr);
    EXPECT_EQ(diff_index_generate_binary(&small, &no_storage), nullptr);
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
}

} // namespace
