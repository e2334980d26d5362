// Ring scan in 8 lanes of AVX2. Without ternary logic or rotates a step takes
// about nine operations; AVX2 has only signed 64-bit compares, which is why a
// packed point stays below 2^63.
#include <immintrin.h>

#include "md5.h"
#include "ringscan_kernel.h"

#define RS_TARGET __attribute__((target("avx2")))
#define RS_INLINE inline __attribute__((always_inline))
#define RS_LANES 8
#ifndef RS_AVX2_BATCHES
#define RS_AVX2_BATCHES 4
#endif
#define RS_BATCHES RS_AVX2_BATCHES
#define RS_SCAN_FN ringScanAvx2
#define RS_BARE_FN ringBareAvx2

namespace {

typedef __m256i V;

RS_TARGET RS_INLINE V vset(uint32_t x) {
    return _mm256_set1_epi32((int)x);
}
RS_TARGET RS_INLINE V vadd(V x, V y) {
    return _mm256_add_epi32(x, y);
}
RS_TARGET RS_INLINE V vsub(V x, V y) {
    return _mm256_sub_epi32(x, y);
}
template <int S>
RS_TARGET RS_INLINE V vrol(V x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}
RS_TARGET RS_INLINE V vF(V b, V c, V d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
RS_TARGET RS_INLINE V vG(V b, V c, V d) {
    return _mm256_or_si256(_mm256_and_si256(b, d), _mm256_andnot_si256(d, c));
}
RS_TARGET RS_INLINE V vH(V b, V c, V d) {
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
}
RS_TARGET RS_INLINE V vI(V b, V c, V d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}
RS_TARGET RS_INLINE V vload(const uint32_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}
RS_TARGET RS_INLINE V vsll(V x, int n) {
    return _mm256_sll_epi32(x, _mm_cvtsi32_si128(n));
}
RS_TARGET RS_INLINE V vsrl(V x, int n) {
    return _mm256_srl_epi32(x, _mm_cvtsi32_si128(n));
}
RS_TARGET RS_INLINE V vlaneIndex() {
    return _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
}
RS_TARGET RS_INLINE V vminu(V x, V y) {
    return _mm256_min_epu32(x, y);
}
#ifdef RING_BENCH_BARE  // only the bare benchmark kernel folds its lanes
RS_TARGET RS_INLINE uint32_t vhsum(V x) {
    alignas(32) uint32_t a[8];
    _mm256_store_si256(reinterpret_cast<__m256i *>(a), x);
    uint32_t n = 0;
    for (uint32_t w : a) n += w;
    return n;
}
#endif

struct sAcc {
    __m256i thr, none, above[2], min[2];
};

RS_TARGET RS_INLINE void accInit(sAcc *p, uint64_t nThreshold) {
    p->thr = _mm256_set1_epi64x((long long)nThreshold);
    p->none = _mm256_set1_epi64x((long long)RING_NONE);
    p->above[0] = p->above[1] = p->min[0] = p->min[1] = p->none;
}

RS_TARGET RS_INLINE __m256i widen(V x, int nHalf) {
    return _mm256_cvtepu32_epi64(nHalf == 0 ? _mm256_castsi256_si128(x)
                                            : _mm256_extracti128_si256(x, 1));
}

RS_TARGET RS_INLINE void accFold(sAcc *p, V a, V b, V c, V d, V rank) {
    for (int h = 0; h < 2; ++h) {
        const __m256i key = _mm256_add_epi64(_mm256_add_epi64(widen(a, h), widen(b, h)),
                                             _mm256_add_epi64(widen(c, h), widen(d, h)));
        const __m256i packed =
            _mm256_or_si256(_mm256_slli_epi64(key, RING_RANK_BITS), widen(rank, h));
        // Points not above the threshold become RING_NONE (all bits of a packed
        // point lie inside it), then two signed minima by compare and blend.
        const __m256i above = _mm256_cmpgt_epi64(packed, p->thr);
        const __m256i cand = _mm256_or_si256(packed, _mm256_andnot_si256(above, p->none));
        p->above[h] = _mm256_blendv_epi8(p->above[h], cand, _mm256_cmpgt_epi64(p->above[h], cand));
        p->min[h] = _mm256_blendv_epi8(p->min[h], packed, _mm256_cmpgt_epi64(p->min[h], packed));
    }
}

RS_TARGET RS_INLINE void accReduce(sAcc *p, uint64_t *pnAbove, uint64_t *pnMin) {
    alignas(32) uint64_t a[4], m[4];
    const __m256i above =
        _mm256_blendv_epi8(p->above[0], p->above[1], _mm256_cmpgt_epi64(p->above[0], p->above[1]));
    const __m256i min =
        _mm256_blendv_epi8(p->min[0], p->min[1], _mm256_cmpgt_epi64(p->min[0], p->min[1]));
    _mm256_store_si256(reinterpret_cast<__m256i *>(a), above);
    _mm256_store_si256(reinterpret_cast<__m256i *>(m), min);
    for (int i = 0; i < 4; ++i) {
        if (a[i] < *pnAbove) *pnAbove = a[i];
        if (m[i] < *pnMin) *pnMin = m[i];
    }
}

}  // namespace

#include "ringscan_kernel.inc"
