/*
 * execution_search_lanes.hpp - the lane operations of the fast passes, one
 * set per instruction set: loads, stores, comparisons and masks over
 * several diagonals at once, and the probe that compares the first bytes
 * of their slides together.  The passes are written once over these
 * operations (execution_search_passes.inc).
 *
 * Masks are vectors of all-ones lanes below AVX-512 and mask registers
 * from it on.  Only x86-64 has lane sets; elsewhere this header defines
 * nothing.
 */
#ifndef TOVAREL_EXECUTION_SEARCH_LANES_HPP
#define TOVAREL_EXECUTION_SEARCH_LANES_HPP

#include <bit>

#include "execution_search_kernels.hpp"

#if EXECUTION_SEARCH_X86
#include <immintrin.h>
#endif

#if EXECUTION_SEARCH_X86

/*
 * Where a probe window of `width` bytes starts when it reaches `below`
 * bytes under the first lane's position, kept within the `room` readable
 * bytes; -1 when the value is too short.  Along a pass the old-value
 * positions of neighbouring lanes usually fall by about one per lane and
 * the new-value positions rise by about one, so the window is placed to
 * catch those; lanes outside it are found by a compare and gathered.
 */
static inline int32_t window_start(int32_t first, int32_t below, int32_t width, int32_t room) {
    if (room < width) {
        return -1;
    }
    int32_t start = first - below;
    if (start > room - width) {
        start = room - width;
    }
    return start < 0 ? 0 : start;
}

/* Lanes whose first bytes at pa and pb match, or could not be compared
 * here: they go on to the scalar slide.  Other lanes end where they start. */
static inline uint32_t probe_scalar_lanes(const pass *c, const int32_t *pa, const int32_t *pb,
                                          uint32_t need) {
    uint32_t slide = 0;
    while (need != 0) {
        int lane = std::countr_zero(need);
        need &= need - 1;
        if (c->a[pa[lane]] == c->b[pb[lane]]) {
            slide |= 1u << lane;
        }
    }
    return slide;
}

/* GCC's AVX-512 headers fill unused result lanes from a deliberately
 * undefined vector, which its own flow analysis then reports. */
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define ALWAYS_INLINE inline __attribute__((always_inline))
#define TARGET_SSE2
#define TARGET_AVX2 __attribute__((target("avx2")))
#define TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512cd")))
#define TARGET_AVX512_VBMI                                                                         \
    __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512cd,avx512vbmi")))

struct lanes_sse2 {
    typedef __m128i vec;
    typedef __m128i mask;
    static const int LANES = 4;
    static const bool PARTIAL = false;
    static ALWAYS_INLINE vec load(const int32_t *p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    }
    static ALWAYS_INLINE void store(int32_t *p, vec v) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p), v);
    }
    static ALWAYS_INLINE vec set1(int32_t v) { return _mm_set1_epi32(v); }
    static ALWAYS_INLINE vec steps_of_two() { return _mm_setr_epi32(0, 2, 4, 6); }
    static ALWAYS_INLINE vec add(vec a, vec b) { return _mm_add_epi32(a, b); }
    static ALWAYS_INLINE vec sub(vec a, vec b) { return _mm_sub_epi32(a, b); }
    static ALWAYS_INLINE mask gt(vec a, vec b) { return _mm_cmpgt_epi32(a, b); }
    static ALWAYS_INLINE vec pick(mask m, vec a, vec b) {
        return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
    }
    static ALWAYS_INLINE vec max(vec a, vec b) { return pick(gt(a, b), a, b); }
    static ALWAYS_INLINE vec min(vec a, vec b) { return pick(gt(a, b), b, a); }
    static ALWAYS_INLINE mask both(mask a, mask b) { return _mm_and_si128(a, b); }
    static ALWAYS_INLINE mask but_not(mask a, mask b) { return _mm_andnot_si128(b, a); }
    static ALWAYS_INLINE uint32_t bits(mask m) {
        return static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(m)));
    }
    /* Four lanes are too few to be worth a partial block. */
    static ALWAYS_INLINE mask first_lanes(int n) { return gt(set1(n), _mm_setr_epi32(0, 1, 2, 3)); }
    static ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        alignas(16) int32_t lanes[LANES];
        store(lanes, v);
        for (uint32_t rest = bits(m); rest != 0; rest &= rest - 1) {
            p[std::countr_zero(rest)] = lanes[std::countr_zero(rest)];
        }
    }
    template <bool FORWARD>
    static ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need, vec,
                                        vec *advance) {
        *advance = set1(0);
        uint32_t need_bits = bits(need);
        if (need_bits == 0) {
            return 0;
        }
        alignas(16) int32_t a_at[LANES], b_at[LANES];
        store(a_at, pa);
        store(b_at, pb);
        return probe_scalar_lanes(c, a_at, b_at, need_bits);
    }
};

struct lanes_avx2 {
    typedef __m256i vec;
    typedef __m256i mask;
    static const int LANES = 8;
    static const bool PARTIAL = true;
    static const int32_t WINDOW = 16;
    static const int32_t OLD_BELOW = 11; /* old-value positions fall along the lanes */
    static const int32_t NEW_BELOW = 4;  /* new-value positions rise */
    static TARGET_AVX2 ALWAYS_INLINE vec load(const int32_t *p) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    }
    static TARGET_AVX2 ALWAYS_INLINE void store(int32_t *p, vec v) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
    }
    static TARGET_AVX2 ALWAYS_INLINE vec set1(int32_t v) { return _mm256_set1_epi32(v); }
    static TARGET_AVX2 ALWAYS_INLINE vec steps_of_two() {
        return _mm256_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14);
    }
    static TARGET_AVX2 ALWAYS_INLINE vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec sub(vec a, vec b) { return _mm256_sub_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec max(vec a, vec b) { return _mm256_max_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE vec min(vec a, vec b) { return _mm256_min_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask gt(vec a, vec b) { return _mm256_cmpgt_epi32(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask both(mask a, mask b) { return _mm256_and_si256(a, b); }
    static TARGET_AVX2 ALWAYS_INLINE mask but_not(mask a, mask b) {
        return _mm256_andnot_si256(b, a);
    }
    static TARGET_AVX2 ALWAYS_INLINE uint32_t bits(mask m) {
        return static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
    }
    static TARGET_AVX2 ALWAYS_INLINE mask first_lanes(int n) {
        return gt(set1(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static TARGET_AVX2 ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        _mm256_maskstore_epi32(p, m, v);
    }
    /* Lanes whose position lies in the window from `start`. */
    static TARGET_AVX2 ALWAYS_INLINE mask in_window(vec at, int32_t start) {
        vec offset = sub(at, set1(start));
        return both(gt(offset, set1(-1)), gt(set1(WINDOW), offset));
    }
    /* The byte at each lane's position, from a 16-byte window copied into
     * both halves: a byte shuffle whose control keeps only the low byte. */
    static TARGET_AVX2 ALWAYS_INLINE vec window_bytes(const uint8_t *p, int32_t start, vec at) {
        vec window = _mm256_broadcastsi128_si256(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + start)));
        vec control =
            _mm256_or_si256(sub(at, set1(start)), set1(static_cast<int32_t>(0xFFFFFF00u)));
        return _mm256_shuffle_epi8(window, control);
    }
    template <bool FORWARD>
    static TARGET_AVX2 ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need, vec,
                                                    vec *advance) {
        *advance = set1(0);
        uint32_t need_bits = bits(need);
        if (need_bits == 0) {
            return 0;
        }
        uint32_t differ = 0;
        mask rest = need;
        int32_t a_start = window_start(_mm256_cvtsi256_si32(pa), OLD_BELOW, WINDOW, c->a_room);
        int32_t b_start = window_start(_mm256_cvtsi256_si32(pb), NEW_BELOW, WINDOW, c->b_room);
        if (a_start >= 0 && b_start >= 0) {
            mask inside = both(need, both(in_window(pa, a_start), in_window(pb, b_start)));
            vec same = _mm256_cmpeq_epi32(window_bytes(c->a, a_start, pa),
                                          window_bytes(c->b, b_start, pb));
            differ = bits(but_not(inside, same));
            rest = but_not(need, inside);
        }
        mask gather = both(rest, both(gt(set1(c->a_last + 1), pa), gt(set1(c->b_last + 1), pb)));
        if (bits(gather) != 0) {
            const int *a = reinterpret_cast<const int *>(c->a);
            const int *b = reinterpret_cast<const int *>(c->b);
            vec zero = _mm256_setzero_si256();
            vec ga = _mm256_mask_i32gather_epi32(zero, a, pa, gather, 1);
            vec gb = _mm256_mask_i32gather_epi32(zero, b, pb, gather, 1);
            vec low = _mm256_and_si256(_mm256_xor_si256(ga, gb), set1(0xFF));
            differ |= bits(but_not(gather, _mm256_cmpeq_epi32(low, zero)));
        }
        return need_bits & ~differ;
    }
};

/* AVX-512 with gathered probes. */
struct lanes_avx512 {
    typedef __m512i vec;
    typedef __mmask16 mask;
    static const int LANES = 16;
    static const bool PARTIAL = true;
    static TARGET_AVX512 ALWAYS_INLINE vec load(const int32_t *p) { return _mm512_loadu_si512(p); }
    static TARGET_AVX512 ALWAYS_INLINE void store(int32_t *p, vec v) { _mm512_storeu_si512(p, v); }
    static TARGET_AVX512 ALWAYS_INLINE vec set1(int32_t v) { return _mm512_set1_epi32(v); }
    static TARGET_AVX512 ALWAYS_INLINE vec steps_of_two() {
        return _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    }
    static TARGET_AVX512 ALWAYS_INLINE vec add(vec a, vec b) { return _mm512_add_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec sub(vec a, vec b) { return _mm512_sub_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec max(vec a, vec b) { return _mm512_max_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE vec min(vec a, vec b) { return _mm512_min_epi32(a, b); }
    static TARGET_AVX512 ALWAYS_INLINE mask gt(vec a, vec b) {
        return _mm512_cmpgt_epi32_mask(a, b);
    }
    static TARGET_AVX512 ALWAYS_INLINE mask both(mask a, mask b) {
        return static_cast<mask>(a & b);
    }
    static TARGET_AVX512 ALWAYS_INLINE mask but_not(mask a, mask b) {
        return static_cast<mask>(a & ~b);
    }
    static TARGET_AVX512 ALWAYS_INLINE uint32_t bits(mask m) { return m; }
    static TARGET_AVX512 ALWAYS_INLINE mask first_lanes(int n) {
        return static_cast<mask>((1u << n) - 1);
    }
    static TARGET_AVX512 ALWAYS_INLINE void store_lanes(int32_t *p, vec v, mask m) {
        _mm512_mask_storeu_epi32(p, m, v);
    }
    /*
     * Bytes that match in a four-byte difference, counted from the slide's
     * first byte: from the low byte going forward, from the high byte going
     * back (the four bytes then end at the slide's first byte).
     */
    template <bool FORWARD> static TARGET_AVX512 ALWAYS_INLINE vec matched(vec difference) {
        if constexpr (FORWARD) {
            vec lowest = _mm512_and_si512(difference, sub(set1(0), difference));
            vec bit = sub(set1(31), _mm512_lzcnt_epi32(lowest));
            return _mm512_mask_mov_epi32(_mm512_srai_epi32(bit, 3),
                                         _mm512_testn_epi32_mask(difference, difference), set1(4));
        } else {
            return _mm512_srli_epi32(_mm512_lzcnt_epi32(difference), 3);
        }
    }
    /*
     * Finishes a probe: `difference` holds the four-byte differences of the
     * `probed` lanes.  Lanes whose first bytes differ end where they start;
     * a slide of fewer than four bytes (or cut short by the room) is done
     * here; the rest, and the lanes of `need` nobody probed, go on to the
     * scalar slide.
     */
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE uint32_t settle(vec difference, mask need, mask probed,
                                                       vec room, vec *advance) {
        const int32_t first_byte = FORWARD ? 0xFF : static_cast<int32_t>(0xFF000000u);
        mask first_same = _mm512_mask_testn_epi32_mask(probed, difference, set1(first_byte));
        mask unprobed = but_not(need, probed);
        if (first_same == 0) {
            *advance = set1(0);
            return unprobed;
        }
        vec count = matched<FORWARD>(difference);
        mask longer = _mm512_mask_cmpeq_epi32_mask(first_same, count, set1(4));
        longer = _mm512_mask_cmpgt_epi32_mask(longer, room, set1(4));
        *advance = _mm512_maskz_min_epi32(but_not(first_same, longer), count, room);
        return static_cast<uint32_t>(unprobed | longer);
    }
    /* Where the four bytes a probe compares begin. */
    template <bool FORWARD> static TARGET_AVX512 ALWAYS_INLINE vec four_from(vec at) {
        return FORWARD ? at : sub(at, set1(3));
    }
    /* Gathers the four bytes of the lanes in `rest` that lie within the
     * values into `difference`; returns those lanes. */
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE mask gather(const pass *c, vec pa, vec pb, mask rest,
                                                   vec *difference) {
        if (c->a_last < 0 || c->b_last < 0) {
            return 0;
        }
        vec qa = four_from<FORWARD>(pa), qb = four_from<FORWARD>(pb);
        mask inside = _mm512_mask_cmple_epu32_mask(rest, qa, set1(c->a_last));
        inside = _mm512_mask_cmple_epu32_mask(inside, qb, set1(c->b_last));
        if (inside != 0) {
            vec ga = _mm512_mask_i32gather_epi32(*difference, inside, qa, c->a, 1);
            vec gb = _mm512_mask_i32gather_epi32(*difference, inside, qb, c->b, 1);
            *difference = _mm512_mask_xor_epi32(*difference, inside, ga, gb);
        }
        return inside;
    }
    template <bool FORWARD>
    static TARGET_AVX512 ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need,
                                                      vec room, vec *advance) {
        if (need == 0) {
            *advance = set1(0);
            return 0;
        }
        vec difference = set1(0);
        mask probed = gather<FORWARD>(c, pa, pb, need, &difference);
        return settle<FORWARD>(difference, need, probed, room, advance);
    }
};

/* AVX-512 with a byte permutation over a 64-byte window of each value,
 * which serves every lane whose four bytes fall inside it. */
struct lanes_avx512_vbmi : lanes_avx512 {
    static const int32_t WINDOW = 64;
    static const int32_t OLD_BELOW = 48;
    static const int32_t NEW_BELOW = 16;
    /* Each lane's four bytes from `offset` on in the window. */
    static TARGET_AVX512_VBMI ALWAYS_INLINE vec window_four(const uint8_t *p, int32_t start,
                                                            vec offset) {
        /* The offset's low byte into all four bytes of its lane, plus 0..3. */
        const vec low_byte = _mm512_set4_epi32(0x0C0C0C0C, 0x08080808, 0x04040404, 0x00000000);
        vec index =
            _mm512_add_epi32(_mm512_shuffle_epi8(offset, low_byte), _mm512_set1_epi32(0x03020100));
        return _mm512_permutexvar_epi8(index, _mm512_loadu_si512(p + start));
    }
    template <bool FORWARD>
    static TARGET_AVX512_VBMI ALWAYS_INLINE uint32_t probe(const pass *c, vec pa, vec pb, mask need,
                                                           vec room, vec *advance) {
        if (need == 0) {
            *advance = set1(0);
            return 0;
        }
        vec qa = four_from<FORWARD>(pa), qb = four_from<FORWARD>(pb);
        int32_t a_start = window_start(_mm512_cvtsi512_si32(qa), OLD_BELOW, WINDOW, c->a_room);
        int32_t b_start = window_start(_mm512_cvtsi512_si32(qb), NEW_BELOW, WINDOW, c->b_room);
        vec difference = set1(0);
        mask inside = 0;
        if (a_start >= 0 && b_start >= 0) {
            vec a_offset = sub(qa, set1(a_start));
            vec b_offset = sub(qb, set1(b_start));
            inside = _mm512_mask_cmple_epu32_mask(need, a_offset, set1(WINDOW - 4));
            inside = _mm512_mask_cmple_epu32_mask(inside, b_offset, set1(WINDOW - 4));
            difference = _mm512_xor_si512(window_four(c->a, a_start, a_offset),
                                          window_four(c->b, b_start, b_offset));
        }
        mask rest = but_not(need, inside);
        mask probed = inside;
        c->tally->probed += std::popcount(static_cast<uint32_t>(need));
        c->tally->served += std::popcount(static_cast<uint32_t>(inside));
        if (rest != 0) {
            probed |= gather<FORWARD>(c, pa, pb, rest, &difference);
        }
        return settle<FORWARD>(difference, need, probed, room, advance);
    }
};

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif /* EXECUTION_SEARCH_X86 */

#endif /* TOVAREL_EXECUTION_SEARCH_LANES_HPP */
