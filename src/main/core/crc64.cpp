/*
 * crc64.cpp - CRC-64/XZ by table and by carry-less multiplication.
 *
 * The table path is the textbook reflected CRC: the register holds the
 * remainder with its highest power in bit 0, and each byte is folded in
 * with one lookup.  It is the reference the fast path is tested against.
 *
 * The fast path follows the folding method of Gopal et al., "Fast CRC
 * Computation for Generic Polynomials Using PCLMULQDQ Instruction" (Intel,
 * 2009): four 128-bit accumulators each take every fourth 16-byte block;
 * an accumulator is carried 512 bits forward by multiplying its two halves
 * by x^(512+63) and x^(512-1) modulo the polynomial and adding the block
 * found there.  At the end the four are folded into one, which, being
 * congruent to everything read so far, is reduced by the table path as 16
 * ordinary bytes.  That keeps the method to its one idea, folding, with no
 * separate reduction constants to get wrong: the fold constants are
 * computed here from the polynomial itself.
 */
#include "crc64.h"

#include <atomic>
#include <cstddef>

#if defined(__x86_64__)
#define CRC64_X86 1
#include <immintrin.h>
#else
#define CRC64_X86 0
#endif

namespace {

/* ECMA-182's polynomial without its x^64 term, highest power first. */
constexpr uint64_t POLYNOMIAL = 0x42F0E1EBA9EA3693ULL;
constexpr uint64_t ALL_ONES = ~0ULL;
constexpr int BITS_PER_BYTE = 8;
constexpr uint64_t LOW_BYTE = 0xFF;
constexpr int TABLE_SIZE = 256;

constexpr uint64_t reflect(uint64_t value) {
    uint64_t out = 0;
    for (int bit = 0; bit < 64; bit++) {
        out = out << 1 | (value >> bit & 1);
    }
    return out;
}

/* The polynomial as the reflected register sees it. */
constexpr uint64_t REFLECTED_POLYNOMIAL = reflect(POLYNOMIAL);

struct crc_table {
    uint64_t entry[TABLE_SIZE];
};

/* The register after eight zero bits have been shifted through a register
 * holding one byte value: one entry per byte value. */
constexpr crc_table make_table() {
    crc_table table{};
    for (int value = 0; value < TABLE_SIZE; value++) {
        uint64_t reg = static_cast<uint64_t>(value);
        for (int bit = 0; bit < BITS_PER_BYTE; bit++) {
            reg = (reg & 1) != 0 ? reg >> 1 ^ REFLECTED_POLYNOMIAL : reg >> 1;
        }
        table.entry[value] = reg;
    }
    return table;
}

constexpr crc_table TABLE = make_table();

/* Feeds bytes through the register, one lookup each. */
uint64_t table_update(uint64_t reg, const uint8_t *bytes, uint64_t count) {
    for (uint64_t i = 0; i < count; i++) {
        reg = TABLE.entry[(reg ^ bytes[i]) & LOW_BYTE] ^ reg >> BITS_PER_BYTE;
    }
    return reg;
}

#if CRC64_X86

/* x^power modulo the polynomial, as the reflected register holds it. */
constexpr uint64_t x_to_the(int power) {
    uint64_t remainder = 1;
    for (int i = 0; i < power; i++) {
        bool carry = (remainder >> 63) != 0;
        remainder <<= 1;
        if (carry) {
            remainder ^= POLYNOMIAL;
        }
    }
    return reflect(remainder);
}

/*
 * The two multipliers that carry a 128-bit accumulator `distance` bits
 * forward.  Its low half holds the higher powers, x^127 down to x^64, and
 * its high half x^63 down to x^0, so they are carried by x^(distance + 64)
 * and x^distance.  A carry-less product of two reflected 64-bit values
 * comes out one power higher than the product itself (the reflected bit i
 * of a 64-bit value stands for x^(63 - i), of a 128-bit one for x^(127 -
 * i)), which the constants make up for by being one power lower.
 */
struct fold_constants {
    uint64_t low_half;
    uint64_t high_half;
};

constexpr fold_constants carry_by(int distance) {
    return {x_to_the(distance + 64 - 1), x_to_the(distance - 1)};
}

constexpr int BLOCK_BYTES = 16;
constexpr int LANES = 4;
constexpr int STEP_BYTES = BLOCK_BYTES * LANES;
constexpr int BLOCK_BITS = BLOCK_BYTES * BITS_PER_BYTE;

constexpr fold_constants BY_ONE_STEP = carry_by(STEP_BYTES * BITS_PER_BYTE);
constexpr fold_constants BY_THREE_BLOCKS = carry_by(3 * BLOCK_BITS);
constexpr fold_constants BY_TWO_BLOCKS = carry_by(2 * BLOCK_BITS);
constexpr fold_constants BY_ONE_BLOCK = carry_by(BLOCK_BITS);

constexpr uint64_t CLMUL_MINIMUM = 2 * STEP_BYTES;

#define CRC64_TARGET_CLMUL __attribute__((target("sse2,pclmul")))

CRC64_TARGET_CLMUL inline __m128i constants_of(const fold_constants &fold) {
    return _mm_set_epi64x(static_cast<long long>(fold.high_half),
                          static_cast<long long>(fold.low_half));
}

CRC64_TARGET_CLMUL inline __m128i load_block(const uint8_t *at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
}

/* The accumulator carried forward by the constants' distance. */
CRC64_TARGET_CLMUL inline __m128i carried(__m128i accumulator, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(accumulator, constants, 0x00),
                         _mm_clmulepi64_si128(accumulator, constants, 0x11));
}

/* Folds the four lanes of one step, 16-byte blocks at offsets 0, 16, 32
 * and 48, into the last of them. */
CRC64_TARGET_CLMUL inline __m128i fold_lanes(__m128i lane0, __m128i lane1, __m128i lane2,
                                             __m128i lane3) {
    __m128i folded = _mm_xor_si128(lane3, carried(lane0, constants_of(BY_THREE_BLOCKS)));
    folded = _mm_xor_si128(folded, carried(lane1, constants_of(BY_TWO_BLOCKS)));
    return _mm_xor_si128(folded, carried(lane2, constants_of(BY_ONE_BLOCK)));
}

/* Folds the remaining whole blocks into the accumulator, then reduces it
 * and the last bytes with the table.  The accumulator is congruent to all
 * the bytes folded so far, so its own CRC from a zero register is theirs. */
CRC64_TARGET_CLMUL uint64_t finish(__m128i folded, const uint8_t *at, uint64_t left) {
    const __m128i block = constants_of(BY_ONE_BLOCK);
    while (left >= BLOCK_BYTES) {
        folded = _mm_xor_si128(carried(folded, block), load_block(at));
        at += BLOCK_BYTES;
        left -= BLOCK_BYTES;
    }
    alignas(BLOCK_BYTES) uint8_t remainder[BLOCK_BYTES];
    _mm_store_si128(reinterpret_cast<__m128i *>(remainder), folded);
    uint64_t reg = table_update(0, remainder, BLOCK_BYTES);
    return table_update(reg, at, left);
}

/* Feeds count >= CLMUL_MINIMUM bytes through the register. */
CRC64_TARGET_CLMUL uint64_t clmul_update(uint64_t reg, const uint8_t *bytes, uint64_t count) {
    /* The register stands for the bytes read before these; added to the
     * first eight bytes, it makes them carry it along. */
    __m128i lane0 =
        _mm_xor_si128(load_block(bytes), _mm_cvtsi64_si128(static_cast<long long>(reg)));
    __m128i lane1 = load_block(bytes + BLOCK_BYTES);
    __m128i lane2 = load_block(bytes + 2 * BLOCK_BYTES);
    __m128i lane3 = load_block(bytes + 3 * BLOCK_BYTES);
    const uint8_t *at = bytes + STEP_BYTES;
    uint64_t left = count - STEP_BYTES;
    const __m128i step = constants_of(BY_ONE_STEP);
    while (left >= STEP_BYTES) {
        lane0 = _mm_xor_si128(carried(lane0, step), load_block(at));
        lane1 = _mm_xor_si128(carried(lane1, step), load_block(at + BLOCK_BYTES));
        lane2 = _mm_xor_si128(carried(lane2, step), load_block(at + 2 * BLOCK_BYTES));
        lane3 = _mm_xor_si128(carried(lane3, step), load_block(at + 3 * BLOCK_BYTES));
        at += STEP_BYTES;
        left -= STEP_BYTES;
    }
    return finish(fold_lanes(lane0, lane1, lane2, lane3), at, left);
}

/*
 * The same folding four blocks per instruction: each 512-bit register
 * holds four consecutive blocks, and four registers take every fourth run
 * of 64 bytes, so one step reads 256 bytes.  At the end the registers are
 * folded into one, and its four blocks into one, as above.
 */
constexpr int WIDE_BYTES = 64;
constexpr int WIDE_STEP_BYTES = WIDE_BYTES * LANES;
constexpr int WIDE_BITS = WIDE_BYTES * BITS_PER_BYTE;
constexpr fold_constants BY_ONE_WIDE_STEP = carry_by(WIDE_STEP_BYTES * BITS_PER_BYTE);
constexpr fold_constants BY_THREE_WIDE = carry_by(3 * WIDE_BITS);
constexpr fold_constants BY_TWO_WIDE = carry_by(2 * WIDE_BITS);
constexpr fold_constants BY_ONE_WIDE = carry_by(WIDE_BITS);
constexpr uint64_t WIDE_MINIMUM = 2 * WIDE_STEP_BYTES;
/* The three-way exclusive or, as vpternlogq's truth table. */
constexpr int XOR3 = 0x96;

#define CRC64_TARGET_WIDE __attribute__((target("sse2,pclmul,avx512f,vpclmulqdq")))

CRC64_TARGET_WIDE inline __m512i wide_constants(const fold_constants &fold) {
    auto low = static_cast<long long>(fold.low_half);
    auto high = static_cast<long long>(fold.high_half);
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

CRC64_TARGET_WIDE inline __m512i load_wide(const uint8_t *at) {
    return _mm512_loadu_si512(at);
}

/* The accumulator carried forward, plus `next`. */
CRC64_TARGET_WIDE inline __m512i carried_wide(__m512i accumulator, __m512i constants,
                                              __m512i next) {
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(accumulator, constants, 0x00),
                                     _mm512_clmulepi64_epi128(accumulator, constants, 0x11), next,
                                     XOR3);
}

/* Feeds count >= WIDE_MINIMUM bytes through the register. */
CRC64_TARGET_WIDE uint64_t wide_update(uint64_t reg, const uint8_t *bytes, uint64_t count) {
    __m512i lane0 = _mm512_xor_si512(
        load_wide(bytes), _mm512_zextsi128_si512(_mm_cvtsi64_si128(static_cast<long long>(reg))));
    __m512i lane1 = load_wide(bytes + WIDE_BYTES);
    __m512i lane2 = load_wide(bytes + 2 * WIDE_BYTES);
    __m512i lane3 = load_wide(bytes + 3 * WIDE_BYTES);
    const uint8_t *at = bytes + WIDE_STEP_BYTES;
    uint64_t left = count - WIDE_STEP_BYTES;
    const __m512i step = wide_constants(BY_ONE_WIDE_STEP);
    while (left >= WIDE_STEP_BYTES) {
        lane0 = carried_wide(lane0, step, load_wide(at));
        lane1 = carried_wide(lane1, step, load_wide(at + WIDE_BYTES));
        lane2 = carried_wide(lane2, step, load_wide(at + 2 * WIDE_BYTES));
        lane3 = carried_wide(lane3, step, load_wide(at + 3 * WIDE_BYTES));
        at += WIDE_STEP_BYTES;
        left -= WIDE_STEP_BYTES;
    }
    __m512i folded = carried_wide(lane0, wide_constants(BY_THREE_WIDE), lane3);
    folded = carried_wide(lane1, wide_constants(BY_TWO_WIDE), folded);
    folded = carried_wide(lane2, wide_constants(BY_ONE_WIDE), folded);
    const __m512i run = wide_constants(BY_ONE_WIDE);
    while (left >= WIDE_BYTES) {
        folded = carried_wide(folded, run, load_wide(at));
        at += WIDE_BYTES;
        left -= WIDE_BYTES;
    }
    alignas(WIDE_BYTES) uint8_t blocks[WIDE_BYTES];
    _mm512_store_si512(blocks, folded);
    __m128i last =
        fold_lanes(load_block(blocks), load_block(blocks + BLOCK_BYTES),
                   load_block(blocks + 2 * BLOCK_BYTES), load_block(blocks + 3 * BLOCK_BYTES));
    return finish(last, at, left);
}

/* The fastest path this processor runs; each needs what the one before
 * it needs. */
int32_t detect_best_path() {
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("pclmul")) {
        return CRC64_PATH_TABLE;
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vpclmulqdq")) {
        return CRC64_PATH_WIDE;
    }
    return CRC64_PATH_CLMUL;
}

#endif /* CRC64_X86 */

int32_t best_path() {
#if CRC64_X86
    static const int32_t best = detect_best_path();
    return best;
#else
    return CRC64_PATH_TABLE;
#endif
}

/* A forced path, or CRC64_PATH_AUTO. */
std::atomic<int32_t> forced{CRC64_PATH_AUTO};

/* Short inputs take the table whatever the path: below the minimum of a
 * path, setting up its folding costs more than it saves, and the table
 * takes the tail of every longer input anyway. */
uint64_t update(uint64_t reg, const uint8_t *bytes, uint64_t count) {
#if CRC64_X86
    int32_t path = crc64_path();
    if (path == CRC64_PATH_WIDE && count >= WIDE_MINIMUM) {
        return wide_update(reg, bytes, count);
    }
    if (path != CRC64_PATH_TABLE && count >= CLMUL_MINIMUM) {
        return clmul_update(reg, bytes, count);
    }
#endif
    return table_update(reg, bytes, count);
}

} // namespace

TOVAREL_BEGIN_DECLS

/* The register runs inverted: all ones at the start, inverted again at the
 * end, so a finished CRC inverted is the register to go on from. */
uint64_t crc64_continue(uint64_t crc, const void *bytes, uint64_t count) {
    if (count == 0) {
        return crc;
    }
    return update(crc ^ ALL_ONES, static_cast<const uint8_t *>(bytes), count) ^ ALL_ONES;
}

uint64_t crc64(const void *bytes, uint64_t count) {
    return crc64_continue(0, bytes, count);
}

bool crc64_path_supported(int32_t path) {
    return path >= CRC64_PATH_TABLE && path <= best_path();
}

int32_t crc64_path(void) {
    int32_t path = forced.load(std::memory_order_relaxed);
    return path == CRC64_PATH_AUTO ? best_path() : path;
}

bool _crc64_force_path(int32_t path) {
    if (path != CRC64_PATH_AUTO && !crc64_path_supported(path)) {
        return false;
    }
    forced.store(path, std::memory_order_relaxed);
    return true;
}

TOVAREL_END_DECLS
