/*
 * execution_search_kernels.cpp - the kernels of every fast path, and the
 * table that names them.
 *
 * A path's kernels are its forward and reverse passes and its frontier
 * scan.  The passes are written once (execution_search_passes.inc) and
 * compiled here once per instruction set.  The table is what a search
 * reads: the path is decided at the search's entry, and nothing below it
 * asks again which instruction set runs.  The one-diagonal-at-a-time
 * kernels of the contiguous path run everywhere; they are the fallback and
 * the oracle of the wider ones, which must find exactly what they find.
 */
#include "execution_search_kernels.hpp"

#include "execution_search_lanes.hpp"

/* The frontier scan over the private arrays, one diagonal at a time. */
static execution_search_frontier frontier_scalar(const execution_search_arrays *ar,
                                                 int64_t old_length, int64_t new_length, int64_t fc,
                                                 int64_t rc) {
    return scan_frontier([ar](int64_t k) { return forward_value(ar, k); },
                         [ar](int64_t k) { return reverse_value(ar, k); }, old_length, new_length,
                         fc, rc);
}

#if EXECUTION_SEARCH_X86

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

/* The passes, once per instruction set. */
#define LANES_TYPE lanes_sse2
#define LANES_TARGET TARGET_SSE2
#define LANES_NAME(name) name##_sse2
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx2
#define LANES_TARGET TARGET_AVX2
#define LANES_NAME(name) name##_avx2
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx512
#define LANES_TARGET TARGET_AVX512
#define LANES_NAME(name) name##_avx512
#include "execution_search_passes.inc"

#define LANES_TYPE lanes_avx512_vbmi
#define LANES_TARGET TARGET_AVX512_VBMI
#define LANES_NAME(name) name##_avx512_vbmi
#include "execution_search_passes.inc"

/*
 * The sums x + y of the values at indices j..j + 15 (those below `end`) of
 * a private array (diagonal 2j + p, forward diagonal 2j + p - delta for the
 * reverse values), clamped as the frontier scan clamps them.
 */
template <bool FORWARD>
TARGET_AVX512 static ALWAYS_INLINE __m512i frontier_sums(const int32_t *values, int64_t j,
                                                         __mmask16 valid, int64_t p, int64_t delta,
                                                         int32_t old_length, int32_t new_length) {
    typedef lanes_avx512 V;
    V::vec x = _mm512_maskz_loadu_epi32(valid, values + j);
    V::vec k =
        V::add(V::set1(static_cast<int32_t>(2 * j + p - (FORWARD ? 0 : delta))), V::steps_of_two());
    if constexpr (FORWARD) {
        x = V::min(V::min(x, V::set1(old_length)), V::sub(V::set1(new_length), k));
    } else {
        x = V::max(V::max(x, V::set1(0)), V::sub(V::set1(0), k));
    }
    return V::add(V::add(x, x), k);
}

TARGET_AVX512 static ALWAYS_INLINE __mmask16 lanes_up_to(int64_t j, int64_t hi) {
    return hi - j >= 15 ? static_cast<__mmask16>(0xFFFF)
                        : lanes_avx512::first_lanes(static_cast<int>(hi - j + 1));
}

/*
 * The index in lo..hi of the best sum, unsigned: the largest above `start`
 * forward, the smallest below `start` reverse, and of several the first,
 * as the one-at-a-time scan keeps it; lo - 1 when no sum beats `start`.
 * The best sum comes first, then the first index that has it.
 */
template <bool FORWARD>
TARGET_AVX512 static int64_t best_index(const int32_t *values, int64_t lo, int64_t hi, int64_t p,
                                        int64_t delta, int32_t old_length, int32_t new_length,
                                        uint32_t start) {
    __m512i best = _mm512_set1_epi32(static_cast<int32_t>(start));
    for (int64_t j = lo; j <= hi; j += 16) {
        __mmask16 valid = lanes_up_to(j, hi);
        __m512i sums = frontier_sums<FORWARD>(values, j, valid, p, delta, old_length, new_length);
        best = FORWARD ? _mm512_mask_max_epu32(best, valid, best, sums)
                       : _mm512_mask_min_epu32(best, valid, best, sums);
    }
    uint32_t target = FORWARD ? _mm512_reduce_max_epu32(best) : _mm512_reduce_min_epu32(best);
    if (target == start) {
        return lo - 1;
    }
    for (int64_t j = lo;; j += 16) {
        __mmask16 valid = lanes_up_to(j, hi);
        __m512i sums = frontier_sums<FORWARD>(values, j, valid, p, delta, old_length, new_length);
        __mmask16 hit = _mm512_mask_cmpeq_epi32_mask(
            valid, sums, _mm512_set1_epi32(static_cast<int32_t>(target)));
        if (hit != 0) {
            return j + std::countr_zero(static_cast<uint32_t>(hit));
        }
    }
}

/* scan_frontier over the private arrays, 16 diagonals at a time. */
TARGET_AVX512 static execution_search_frontier frontier_avx512(const execution_search_arrays *ar,
                                                               int64_t old_length,
                                                               int64_t new_length, int64_t fc,
                                                               int64_t rc) {
    execution_search_frontier f = {0, 0, old_length, new_length};
    int64_t delta = old_length - new_length;
    int32_t old32 = static_cast<int32_t>(old_length), new32 = static_cast<int32_t>(new_length);
    if (-fc <= rc) {
        int64_t p = parity(-fc);
        const int32_t *values = private_array(ar, FORWARD_EVEN + static_cast<int>(p));
        int64_t lo = index_of(-fc);
        int64_t j = best_index<true>(values, lo, index_of(rc), p, delta, old32, new32, 0);
        if (j >= lo) {
            int64_t k = 2 * j + p;
            f.fx = forward_point(values[j], k, old_length, new_length);
            f.fy = f.fx + k;
        }
    }
    if (-rc <= fc) {
        int64_t p = parity(-rc);
        const int32_t *values = private_array(ar, REVERSE_EVEN + static_cast<int>(p));
        int64_t lo = index_of(-rc);
        int64_t j = best_index<false>(values, lo, index_of(fc), p, delta, old32, new32,
                                      static_cast<uint32_t>(old_length + new_length));
        if (j >= lo) {
            int64_t k = 2 * j + p - delta;
            f.rx = reverse_point(values[j], k);
            f.ry = f.rx + k;
        }
    }
    return f;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#endif /* EXECUTION_SEARCH_X86 */

/* Indexed by path.  The plain path has no kernels: it works in the storage
 * and is the search of its own file.  The windowed AVX-512 path gathers
 * with the plain AVX-512 passes while its window serves too few lanes. */
static const execution_search_kernels KERNELS[EXECUTION_SEARCH_PATHS] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr},
    {forward_pass_scalar, reverse_pass_scalar, forward_pass_scalar, reverse_pass_scalar,
     frontier_scalar},
#if EXECUTION_SEARCH_X86
    {forward_pass_sse2, reverse_pass_sse2, forward_pass_sse2, reverse_pass_sse2, frontier_scalar},
    {forward_pass_avx2, reverse_pass_avx2, forward_pass_avx2, reverse_pass_avx2, frontier_scalar},
    {forward_pass_avx512, reverse_pass_avx512, forward_pass_avx512, reverse_pass_avx512,
     frontier_avx512},
    {forward_pass_avx512_vbmi, reverse_pass_avx512_vbmi, forward_pass_avx512, reverse_pass_avx512,
     frontier_avx512},
#endif
};

const execution_search_kernels *execution_search_kernels_of(int32_t path) {
    if (path <= EXECUTION_SEARCH_PLAIN || path >= EXECUTION_SEARCH_PATHS ||
        KERNELS[path].forward == nullptr) {
        return nullptr;
    }
    return &KERNELS[path];
}
