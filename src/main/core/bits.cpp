/*
 * bits.cpp - integer bit utilities.  The activity history rounds its
 * bucket count and width up to powers of two and takes their logarithms
 * with these; the bail-out budget suggestion uses the cube-root estimate.
 */
#include "bits.h"

#include <bit>

TOVAREL_BEGIN_DECLS

/* The largest values that still round up to a representable power of two. */
static constexpr uint32_t LARGEST_INT_POWER = 0x40000000u;
static constexpr uint64_t LARGEST_LONG_POWER = 0x4000000000000000ull;

int32_t number_of_leading_zeroes_long(uint64_t value) {
    return std::countl_zero(value);
}

/* A negative value has bit 31 set, so it has no leading zero. */
int32_t number_of_leading_zeroes_int(int32_t value) {
    return std::countl_zero(static_cast<uint32_t>(value));
}

int32_t highest_bit_long(uint64_t value) {
    return 64 - number_of_leading_zeroes_long(value);
}

int32_t highest_bit_int(int32_t value) {
    return 32 - number_of_leading_zeroes_int(value);
}

/*
 * 1 << bit_length(v - 1), the shift taken modulo the width: for v = 0 the
 * predecessor is all ones, whose bit length equals the width, so the
 * result is 1.  Anything above 2^30 (every negative v included) has no
 * int32 power of two at or above it.
 */
int32_t find_next_power_of_two_int(int32_t value) {
    uint32_t v = static_cast<uint32_t>(value);
    if (v > LARGEST_INT_POWER) {
        return -1;
    }
    int32_t shift = highest_bit_int(static_cast<int32_t>(v - 1u)) % 32;
    return static_cast<int32_t>(1u << shift);
}

uint64_t find_next_power_of_two_long(uint64_t value) {
    if (value > LARGEST_LONG_POWER) {
        return UINT64_MAX;
    }
    int32_t shift = highest_bit_long(value - 1u) % 64;
    return 1ull << shift;
}

/*
 * 2^(bit length / 3): a power of two within a factor 2^(1/3) above and
 * 2^(2/3) below the true cube root, found without any division of v.
 */
int32_t approx_cube_root(uint64_t value) {
    if (value == 0) {
        return 0;
    }
    return static_cast<int32_t>(1u << (highest_bit_long(value) / 3));
}

TOVAREL_END_DECLS
