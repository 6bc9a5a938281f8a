#include "bits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

/* Plain reference loops, written for obviousness rather than speed. */
int32_t reference_leading_zeroes(uint64_t value, int width) {
    int32_t zeroes = 0;
    for (int bit = width - 1; bit >= 0 && ((value >> bit) & 1) == 0; bit--) {
        zeroes++;
    }
    return zeroes;
}

uint64_t reference_next_power(uint64_t value, uint64_t limit) {
    if (value > limit) {
        return UINT64_MAX;
    }
    uint64_t power = 1;
    while (power < value) {
        power *= 2;
    }
    return power;
}

/* 2^floor(bit length / 3), counting whole groups of three bits. */
int32_t reference_cube_root(uint64_t value) {
    if (value == 0) {
        return 0;
    }
    int length = 64 - reference_leading_zeroes(value, 64);
    int32_t root = 1;
    for (; length >= 3; length -= 3) {
        root *= 2;
    }
    return root;
}

TEST(Bits, LeadingZeroesLong) {
    const std::pair<uint64_t, int32_t> cases[] = {
        {0, 64},         {1, 63},          {2, 62},          {3, 62},
        {255, 56},       {256, 55},        {1ull << 62, 1},  {1ull << 63, 0},
        {UINT64_MAX, 0}, {UINT32_MAX, 32}, {1ull << 32, 31},
    };
    for (auto [value, expected] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(number_of_leading_zeroes_long(value), expected);
        EXPECT_EQ(highest_bit_long(value), 64 - expected);
    }
}

TEST(Bits, LeadingZeroesInt) {
    const std::pair<int32_t, int32_t> cases[] = {
        {0, 32},        {1, 31},      {2, 30}, {255, 24}, {256, 23},
        {INT32_MAX, 1}, {1 << 30, 1}, {-1, 0}, {-5, 0},   {INT32_MIN, 0},
    };
    for (auto [value, expected] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(number_of_leading_zeroes_int(value), expected);
        EXPECT_EQ(highest_bit_int(value), 32 - expected);
    }
}

TEST(Bits, HighestBit) {
    const std::pair<uint64_t, int32_t> longs[] = {{0, 0},   {1, 1},           {255, 8},
                                                  {256, 9}, {1ull << 63, 64}, {UINT64_MAX, 64}};
    for (auto [value, expected] : longs) {
        EXPECT_EQ(highest_bit_long(value), expected) << value;
    }
    const std::pair<int32_t, int32_t> ints[] = {{0, 0},          {1, 1},   {255, 8},       {256, 9},
                                                {INT32_MAX, 31}, {-5, 32}, {INT32_MIN, 32}};
    for (auto [value, expected] : ints) {
        EXPECT_EQ(highest_bit_int(value), expected) << value;
    }
}

TEST(Bits, NextPowerOfTwoInt) {
    const std::pair<int32_t, int32_t> cases[] = {
        {0, 1},
        {1, 1},
        {2, 2},
        {3, 4},
        {1000, 1024},
        {1024, 1024},
        {1025, 2048},
        {(1 << 29) + 1, 1 << 30},
        {1 << 30, 1 << 30},
        {(1 << 30) + 1, -1},
        {INT32_MAX, -1},
        {-1, -1},
        {INT32_MIN, -1},
    };
    for (auto [value, expected] : cases) {
        EXPECT_EQ(find_next_power_of_two_int(value), expected) << value;
    }
}

TEST(Bits, NextPowerOfTwoLong) {
    const std::pair<uint64_t, uint64_t> cases[] = {
        {0, 1},
        {1, 1},
        {5, 8},
        {1ull << 32, 1ull << 32},
        {(1ull << 32) + 1, 1ull << 33},
        {1ull << 62, 1ull << 62},
        {(1ull << 62) + 1, UINT64_MAX},
        {1ull << 63, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX},
    };
    for (auto [value, expected] : cases) {
        EXPECT_EQ(find_next_power_of_two_long(value), expected) << value;
    }
}

TEST(Bits, ApproxCubeRoot) {
    const std::pair<uint64_t, int32_t> cases[] = {
        {0, 0},
        {1, 1},
        {3, 1},
        {4, 2},
        {7, 2},
        {8, 2},
        {63, 4},
        {64, 4},
        {1000, 8},
        {1000000, 64},
        {1ull << 63, 2097152},
        {UINT64_MAX, 2097152},
    };
    for (auto [value, expected] : cases) {
        EXPECT_EQ(approx_cube_root(value), expected) << value;
    }
}

/* Every bit position with its neighbours, plus many random values of every
 * magnitude, against the reference loops. */
std::vector<uint64_t> sample_values() {
    std::vector<uint64_t> values = {0, UINT64_MAX};
    for (int bit = 0; bit < 64; bit++) {
        uint64_t p = 1ull << bit;
        values.insert(values.end(), {p - 1, p, p + 1, p | (p >> 1), ~p});
    }
    std::mt19937_64 rng(1208);
    for (int i = 0; i < 20000; i++) {
        values.push_back(rng() >> (rng() % 64));
    }
    return values;
}

TEST(Bits, AgreeWithReferenceLoops) {
    for (uint64_t value : sample_values()) {
        SCOPED_TRACE(value);
        const uint32_t low = static_cast<uint32_t>(value);
        const int32_t as_int = static_cast<int32_t>(low);
        ASSERT_EQ(number_of_leading_zeroes_long(value), reference_leading_zeroes(value, 64));
        ASSERT_EQ(number_of_leading_zeroes_int(as_int), reference_leading_zeroes(low, 32));
        ASSERT_EQ(highest_bit_long(value), 64 - reference_leading_zeroes(value, 64));
        ASSERT_EQ(highest_bit_int(as_int), 32 - reference_leading_zeroes(low, 32));
        ASSERT_EQ(find_next_power_of_two_long(value), reference_next_power(value, 1ull << 62));
        const uint64_t int_power = reference_next_power(low, 1u << 30);
        ASSERT_EQ(find_next_power_of_two_int(as_int),
                  int_power == UINT64_MAX ? -1 : static_cast<int32_t>(int_power));
        ASSERT_EQ(approx_cube_root(value), reference_cube_root(value));
    }
}

/* The estimate stays within its promised factor of the true cube root:
 * root^3 <= 2 v and root^3 > v / 4. */
TEST(Bits, CubeRootEstimateBounds) {
    for (uint64_t value : sample_values()) {
        if (value == 0) {
            continue;
        }
        const long double cube = static_cast<long double>(approx_cube_root(value)) *
                                 approx_cube_root(value) * approx_cube_root(value);
        const long double v = static_cast<long double>(value);
        ASSERT_LE(cube, 2 * v) << value;
        ASSERT_GT(cube, v / 4) << value;
    }
}

} // namespace
