/*
 * The Huffman coder over generated symbol streams: the table decoder and
 * the scalar one must both give back what was encoded; on arbitrary bytes
 * they must agree with each other, symbol for symbol or failure for
 * failure; and the limited lengths must form a prefix code that is
 * Huffman-optimal whenever the optimal code fits the limit; a pair table
 * holds two words exactly where the two codes read one by one find them
 * both short and inside its width; and a code's table holds, at every
 * index, what the scalar decoder reads there.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <queue>
#include <vector>

#include "huffman.h"
#include "huffman.hpp"
#include "test_random.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
const int STREAMS = 600;
#else
const int STREAMS = 3000;
#endif

using symbols = std::vector<uint16_t>;

/* A stream whose symbol frequencies follow one of several shapes: flat,
 * geometric (deep codes, the length limit at work), one symbol, two. */
symbols stream(generator &g, uint32_t alphabet, size_t length) {
    symbols out(length);
    unsigned shape = static_cast<unsigned>(g.below(4));
    uint16_t lone = static_cast<uint16_t>(g.below(alphabet));
    for (uint16_t &s : out) {
        switch (shape) {
        case 0:
            s = static_cast<uint16_t>(g.below(alphabet));
            break;
        case 1: {
            uint32_t k = 0;
            while (k + 1 < alphabet && g.below(3) != 0) {
                k++;
            }
            s = static_cast<uint16_t>(k);
            break;
        }
        case 2:
            s = lone;
            break;
        default:
            s = static_cast<uint16_t>(g.below(2) == 0 ? lone : (lone + 1) % alphabet);
            break;
        }
    }
    return out;
}

/* The cost of an optimal (unlimited) Huffman code, by the textbook heap
 * method: the sum of all merged weights.  Also its deepest word. */
uint64_t optimal_cost(const std::vector<uint64_t> &counts, uint32_t *depth) {
    using node = std::pair<uint64_t, uint32_t>; /* weight, height */
    std::priority_queue<node, std::vector<node>, std::greater<node>> heap;
    for (uint64_t c : counts) {
        if (c > 0) {
            heap.push({c, 0});
        }
    }
    uint64_t cost = 0;
    *depth = heap.size() == 1 ? 1 : 0;
    if (heap.size() == 1) {
        return heap.top().first;
    }
    while (heap.size() > 1) {
        node a = heap.top();
        heap.pop();
        node b = heap.top();
        heap.pop();
        cost += a.first + b.first;
        heap.push({a.first + b.first, std::max(a.second, b.second) + 1});
    }
    if (!heap.empty()) {
        *depth = heap.top().second;
    }
    return cost;
}

TEST(Huffman, BothDecodersRebuildEveryGeneratedStream) {
    generator g{0x5eed1234};
    for (int round = 0; round < STREAMS; round++) {
        uint32_t alphabet = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_SYMBOLS));
        symbols in = stream(g, alphabet, g.below(round % 10 == 0 ? 20000 : 400));
        buf *coded = huffman_encode(in.data(), in.size(), alphabet);
        ASSERT_NE(coded, nullptr);
        symbols table(in.size()), scalar(in.size());
        ASSERT_TRUE(huffman_decode(coded->data, coded->len, alphabet, table.data(), in.size()))
            << "round " << round;
        ASSERT_TRUE(
            huffman_decode_scalar(coded->data, coded->len, alphabet, scalar.data(), in.size()));
        EXPECT_EQ(table, in) << "round " << round;
        EXPECT_EQ(scalar, in) << "round " << round;
        // A stream cut by a byte is refused (one symbol more may still
        // fit in the last byte's padding, so that is no test).
        EXPECT_FALSE(
            huffman_decode(coded->data, coded->len - 1, alphabet, table.data(), in.size()));
        buf_free(coded);
    }
}

TEST(Huffman, DecodersAgreeOnArbitraryBytes) {
    generator g{0xfeedf00d};
    for (int round = 0; round < STREAMS * 4; round++) {
        std::vector<uint8_t> data(g.below(64));
        for (uint8_t &byte : data) {
            byte = static_cast<uint8_t>(g.below(4) == 0 ? 0 : g.next());
        }
        uint32_t alphabet = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_SYMBOLS));
        size_t count = g.below(40);
        symbols table(count, 0xFFFF), scalar(count, 0xFFFF);
        bool a = huffman_decode(data.data(), data.size(), alphabet, table.data(), count);
        bool b = huffman_decode_scalar(data.data(), data.size(), alphabet, scalar.data(), count);
        ASSERT_EQ(a, b) << "round " << round;
        if (a) {
            EXPECT_EQ(table, scalar);
        }
    }
}

TEST(Huffman, LimitedLengthsArePrefixCodesAndOptimalWhereTheyFit) {
    generator g{42};
    for (int round = 0; round < STREAMS; round++) {
        uint32_t alphabet = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_SYMBOLS));
        std::vector<uint64_t> counts(alphabet);
        for (uint64_t &c : counts) {
            // Counts spanning many orders of magnitude force deep codes.
            c = g.below(3) == 0 ? 0 : (g.next() >> (g.below(64))) % 100000;
        }
        uint32_t max_bits = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_BITS));
        uint32_t used = static_cast<uint32_t>(
            std::count_if(counts.begin(), counts.end(), [](uint64_t c) { return c > 0; }));
        std::vector<uint8_t> lengths(alphabet);
        bool built = huffman_build_lengths(counts.data(), alphabet, max_bits, lengths.data());
        ASSERT_EQ(built, used <= (1u << max_bits)) << "round " << round;
        if (!built) {
            continue;
        }
        uint64_t kraft = 0;
        uint64_t cost = 0;
        for (uint32_t i = 0; i < alphabet; i++) {
            ASSERT_EQ(lengths[i] == 0, counts[i] == 0);
            ASSERT_LE(lengths[i], max_bits);
            kraft += lengths[i] == 0 ? 0 : (1u << HUFFMAN_MAX_BITS) >> lengths[i];
            cost += counts[i] * lengths[i];
        }
        ASSERT_LE(kraft, 1u << HUFFMAN_MAX_BITS);
        huffman_decoder decoder;
        ASSERT_TRUE(huffman_decoder_init(&decoder, lengths.data(), alphabet));
        uint32_t depth = 0;
        uint64_t best = optimal_cost(counts, &depth);
        if (depth <= max_bits) {
            EXPECT_EQ(cost, best) << "round " << round;
        }
    }
}

TEST(Huffman, DecoderRefusesLengthsThatAreNoPrefixCode) {
    struct {
        std::vector<uint8_t> lengths;
        bool valid;
    } cases[] = {
        {{1, 1}, true},
        {{1, 1, 1}, false},
        {{2, 2, 2, 2, 2}, false},
        {{1, 2, 3, 3}, true},
        {{1, 0, 0, 2}, true}, /* room to spare: an unused word */
        {{HUFFMAN_MAX_BITS + 1, 1}, false},
        {{}, true},
    };
    for (const auto &c : cases) {
        huffman_decoder decoder;
        EXPECT_EQ(huffman_decoder_init(&decoder, c.lengths.data(),
                                       static_cast<uint32_t>(c.lengths.size())),
                  c.valid);
    }
}

/* Lengths of a code over `alphabet` symbols: limited Huffman lengths of
 * skewed counts, now and then with a word left out (room to spare). */
std::vector<uint8_t> some_lengths(generator &g, uint32_t alphabet) {
    std::vector<uint64_t> counts(alphabet);
    for (uint64_t &c : counts) {
        c = g.below(4) == 0 ? 0 : (g.next() >> g.below(64)) % 1000;
    }
    counts[g.below(alphabet)] += 1;
    std::vector<uint8_t> lengths(alphabet);
    uint32_t max_bits = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_BITS));
    while (!huffman_build_lengths(counts.data(), alphabet, max_bits, lengths.data())) {
        max_bits++;
    }
    if (g.below(4) == 0) {
        lengths[g.below(alphabet)] = 0;
    }
    return lengths;
}

/* Every entry of a decoder's table, up to its mask, is what the scalar
 * decoder reads from the entry's index (with arbitrary bits above it):
 * the word's symbol and length, or 0 where no word begins; the table is
 * as wide as the longest word, and complete exactly when no entry is 0. */
TEST(Huffman, EveryTableEntryIsWhatTheScalarDecoderReads) {
    generator g{0x7ab1e};
    for (int round = 0; round < STREAMS / 10; round++) {
        auto alphabet = 1 + static_cast<uint32_t>(g.below(HUFFMAN_MAX_SYMBOLS));
        std::vector<uint8_t> lengths = some_lengths(g, alphabet);
        huffman_decoder decoder;
        ASSERT_TRUE(huffman_decoder_init(&decoder, lengths.data(), alphabet));
        uint32_t longest = *std::max_element(lengths.begin(), lengths.end());
        ASSERT_EQ(decoder.mask, (1u << longest) - 1) << "round " << round;
        bool every = true;
        for (uint32_t i = 0; i <= decoder.mask; i++) {
            uint64_t window = i | (g.next() << longest);
            uint8_t bytes[8];
            for (int k = 0; k < 8; k++) {
                bytes[k] = static_cast<uint8_t>(window >> (8 * k));
            }
            tovarel::bit_reader in(bytes, sizeof bytes);
            int32_t symbol = tovarel::huffman_take_scalar(&decoder, in);
            uint16_t entry = decoder.table[i];
            every &= entry != 0;
            if (symbol < 0) {
                ASSERT_EQ(entry, 0) << "round " << round << " index " << i;
                continue;
            }
            ASSERT_EQ(entry >> tovarel::HUFFMAN_SYMBOL_SHIFT, symbol) << "round " << round;
            ASSERT_EQ(entry & tovarel::HUFFMAN_LENGTH_MASK, in.bits_consumed())
                << "round " << round;
        }
        EXPECT_EQ(decoder.complete != 0, every && longest > 0) << "round " << round;
    }
}

TEST(Huffman, PairTableHoldsTwoWordsExactlyWhereBothAreShort) {
    generator g{0x9a17};
    for (int round = 0; round < STREAMS / 10; round++) {
        uint32_t alphabets[2] = {1 + static_cast<uint32_t>(g.below(64)),
                                 1 + static_cast<uint32_t>(g.below(64))};
        huffman_decoder codes[2];
        for (int c = 0; c < 2; c++) {
            std::vector<uint8_t> lengths = some_lengths(g, alphabets[c]);
            ASSERT_TRUE(huffman_decoder_init(&codes[c], lengths.data(), alphabets[c]));
        }
        uint32_t width = tovarel::huffman_pair_width(&codes[0], &codes[1]);
        if (g.below(4) == 0) {
            width = static_cast<uint32_t>(g.below(width + 1));
        }
        auto *pair = new tovarel::huffman_pair_decoder;
        tovarel::huffman_pair_init(pair, &codes[0], &codes[1], width);
        ASSERT_EQ(pair->mask, (1u << width) - 1);
        for (uint32_t i = 0; i <= pair->mask; i++) {
            // The index's bits, then bits of the stream beyond the table.
            uint64_t window = i | (g.next() << width);
            uint8_t bytes[8];
            for (int k = 0; k < 8; k++) {
                bytes[k] = static_cast<uint8_t>(window >> (8 * k));
            }
            tovarel::bit_reader in(bytes, sizeof bytes);
            int32_t first = tovarel::huffman_take(&codes[0], in);
            int32_t second = first < 0 ? -1 : tovarel::huffman_take(&codes[1], in);
            auto used = static_cast<uint32_t>(in.bits_consumed());
            bool short_pair = second >= 0 && used <= width &&
                              static_cast<uint32_t>(first) < tovarel::HUFFMAN_PAIR_SYMBOLS &&
                              static_cast<uint32_t>(second) < tovarel::HUFFMAN_PAIR_SYMBOLS;
            uint16_t entry = pair->table[window & pair->mask];
            ASSERT_EQ(entry != 0, short_pair) << "round " << round << " index " << i;
            if (short_pair) {
                EXPECT_EQ(entry & tovarel::HUFFMAN_PAIR_BITS_MASK, used);
                EXPECT_EQ((entry >> tovarel::HUFFMAN_PAIR_FIRST_SHIFT) &
                              tovarel::HUFFMAN_PAIR_SYMBOL_MASK,
                          first);
                EXPECT_EQ((entry >> tovarel::HUFFMAN_PAIR_SECOND_SHIFT) &
                              tovarel::HUFFMAN_PAIR_SYMBOL_MASK,
                          second);
            }
        }
        delete pair;
    }
}

} // namespace
