/*
 * buf_compare.hpp - how far two byte stretches agree, forward from their
 * starts or backward from their ends: a word at a time, then byte by byte.
 * Internal to the core's sources (C++ only).
 *
 * The Myers search's slides and trims, the index method's extensions and
 * the compact match finder all measure agreement this way; one definition
 * keeps a fix or a faster loop from reaching only some of them.  Loads are
 * read as little-endian words on every host, so the first differing byte
 * is always the lowest set byte of the exclusive or.
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

#endif /* TOVAREL_BUF_COMPARE_HPP */
