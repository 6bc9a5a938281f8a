/*
 * buf_compare.hpp - how far two byte stretches agree, forward from their
 * starts or backward from their ends: a word at a time, then byte by byte.
 * Internal to the core's sources (C++ only).
 *
 * The Myers search's slides and trims, the index method's extensions, the
 * compact match finder and its approximate copies all measure agreement
 * (and disagreement) this way; one definition keeps a fix or a faster loop
 * from reaching only some of them.  Loads are read as little-endian words
 * on every host, so the first differing byte is always the lowest set byte
 * of the exclusive or.
 */
#ifndef TOVAREL_BUF_COMPARE_HPP
#define TOVAREL_BUF_COMPARE_HPP

#include <stdint.h>
#include <string.h>

/* Eight bytes from at, the byte at the lowest address in the low bits. */
inline uint64_t buf_load_little(const uint8_t *at) {
    uint64_t word;
    memcpy(&word, at, sizeof word);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    word = __builtin_bswap64(word);
#endif
    return word;
}

/* How many bytes from a and b on are equal, at most limit. */
inline uint64_t buf_common_prefix(const uint8_t *a, const uint8_t *b, uint64_t limit) {
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = buf_load_little(a + n) ^ buf_load_little(b + n);
        if (differ != 0) {
            return n + static_cast<uint64_t>(__builtin_ctzll(differ)) / 8;
        }
        n += 8;
    }
    while (n < limit && a[n] == b[n]) {
        n++;
    }
    return n;
}

/* How many bytes right before a_end and b_end are equal, at most limit. */
inline uint64_t buf_common_suffix(const uint8_t *a_end, const uint8_t *b_end, uint64_t limit) {
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t differ = buf_load_little(a_end - n - 8) ^ buf_load_little(b_end - n - 8);
        if (differ != 0) {
            return n + static_cast<uint64_t>(__builtin_clzll(differ)) / 8;
        }
        n += 8;
    }
    while (n < limit &&
           a_end[-1 - static_cast<int64_t>(n)] == b_end[-1 - static_cast<int64_t>(n)]) {
        n++;
    }
    return n;
}

/* The high bit of each byte of `word` that is zero, and no other: exact
 * for every byte, where the quicker test of whether any byte is zero may
 * also mark a byte just above a zero one. */
inline uint64_t buf_zero_bytes(uint64_t word) {
    const uint64_t low_seven = 0x7F7F7F7F7F7F7F7FULL;
    const uint64_t high_bits = 0x8080808080808080ULL;
    return ~(((word & low_seven) + low_seven) | word) & high_bits;
}

/* How many bytes from a and b on each differ from their counterpart, at
 * most limit: the other half of buf_common_prefix, for the runs of
 * mismatches between the runs of equal bytes of an approximate copy. */
inline uint64_t buf_unequal_prefix(const uint8_t *a, const uint8_t *b, uint64_t limit) {
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t equal = buf_zero_bytes(buf_load_little(a + n) ^ buf_load_little(b + n));
        if (equal != 0) {
            return n + static_cast<uint64_t>(__builtin_ctzll(equal)) / 8;
        }
        n += 8;
    }
    while (n < limit && a[n] != b[n]) {
        n++;
    }
    return n;
}

/* How many bytes right before a_end and b_end each differ, at most limit. */
inline uint64_t buf_unequal_suffix(const uint8_t *a_end, const uint8_t *b_end, uint64_t limit) {
    uint64_t n = 0;
    while (limit - n >= 8) {
        uint64_t equal =
            buf_zero_bytes(buf_load_little(a_end - n - 8) ^ buf_load_little(b_end - n - 8));
        if (equal != 0) {
            return n + static_cast<uint64_t>(__builtin_clzll(equal)) / 8;
        }
        n += 8;
    }
    while (n < limit &&
           a_end[-1 - static_cast<int64_t>(n)] != b_end[-1 - static_cast<int64_t>(n)]) {
        n++;
    }
    return n;
}

#endif /* TOVAREL_BUF_COMPARE_HPP */
