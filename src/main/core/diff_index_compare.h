/*
 * diff_index_compare.h - the byte comparisons of the index method: how far
 * two stretches agree, forward and backward, and how far a run of one byte
 * value reaches.  Internal to the index method's sources (C++ only).
 *
 * One set of helpers serves the index build, both checks of the scan and
 * the nearby search, so that a fix or a faster loop reaches all of them.
 * Loads are little-endian on every host, so that fingerprints, and with
 * them the candidates a search reaches, do not vary by platform.
 */
#ifndef TOVAREL_DIFF_INDEX_COMPARE_H
#define TOVAREL_DIFF_INDEX_COMPARE_H

#include <stdint.h>
#include <string.h>

#include "buf_compare.hpp"
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace diff_index {

constexpr uint64_t BYTE_SPREAD = 0x0101010101010101ULL;

inline uint64_t load64(const uint8_t *at) {
    return buf_load_little(at);
}

/* How many of the bytes of two words agree from the lowest address on,
 * given their exclusive or; 8 when they all do. */
inline uint64_t same_low(uint64_t differ) {
    return differ == 0 ? 8 : static_cast<uint64_t>(__builtin_ctzll(differ)) / 8;
}

/* The same from the highest address down. */
inline uint64_t same_high(uint64_t differ) {
    return differ == 0 ? 8 : static_cast<uint64_t>(__builtin_clzll(differ)) / 8;
}

/* buf_common_prefix sixteen bytes at a time, for the fast check: across the
 * unchanged stretches of large values this loop is most of the scan.  The
 * plain check keeps buf_common_prefix, and the tests compare the two checks,
 * and so the two loops, over every tail length. */
inline uint64_t extend_forward_wide(const uint8_t *a, const uint8_t *b, uint64_t limit) {
#if defined(__SSE2__)
    uint64_t n = 0;
    while (limit - n >= 16) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + n));
        __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + n));
        uint32_t differ = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) ^ 0xFFFFu;
        if (differ != 0) {
            return n + static_cast<uint64_t>(__builtin_ctz(differ));
        }
        n += 16;
    }
    return n + buf_common_prefix(a + n, b + n, limit - n);
#else
    return buf_common_prefix(a, b, limit);
#endif
}

/* Whether all eight bytes of a window are the same: then, and only then,
 * turning it by a byte leaves it as it was.  A rotation, not a product of
 * its low byte: the index reads every window of a value through this test
 * and a hash, and the multiplier was the busier of the two. */
inline bool uniform(uint64_t window) {
    return window == ((window >> 8) | (window << 56));
}

/* How many bytes from at on equal byte, at most limit. */
inline uint64_t run_forward(const uint8_t *at, uint8_t byte, uint64_t limit) {
    uint64_t pattern = byte * BYTE_SPREAD;
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(at + n) ^ pattern;
        if (differ != 0) {
            return n + same_low(differ);
        }
        n += 8;
    }
    while (n < limit && at[n] == byte) {
        n++;
    }
    return n;
}

/* How many bytes right before at equal byte, at most limit. */
inline uint64_t run_backward(const uint8_t *at, uint8_t byte, uint64_t limit) {
    uint64_t pattern = byte * BYTE_SPREAD;
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = load64(at - n - 8) ^ pattern;
        if (differ != 0) {
            return n + same_high(differ);
        }
        n += 8;
    }
    while (n < limit && *(at - n - 1) == byte) {
        n++;
    }
    return n;
}

} // namespace diff_index

#endif /* TOVAREL_DIFF_INDEX_COMPARE_H */
