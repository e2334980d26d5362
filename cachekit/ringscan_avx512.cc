// Ring scan in 16 lanes of AVX-512: vpternlogd forms F, G, H and I in one
// operation and vprold rotates, so a step is five operations.
#include <immintrin.h>

#include "md5.h"
#include "ringscan_kernel.h"

// gcc 12's own AVX-512 intrinsics pass an undefined vector as their unused
// merge source, which its uninitialised-use warnings report at every use.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#define RS_TARGET __attribute__((target("avx512f,avx512vl,avx512bw")))
#define RS_INLINE inline __attribute__((always_inline))
#define RS_LANES 16
#ifndef RS_AVX512_BATCHES
#define RS_AVX512_BATCHES 4
#endif
#define RS_BATCHES RS_AVX512_BATCHES
#define RS_SCAN_FN ringScanAvx512
#define RS_BARE_FN ringBareAvx512

namespace {

typedef __m512i V;

RS_TARGET RS_INLINE V vset(uint32_t x) {
    return _mm512_set1_epi32((int)x);
}
RS_TARGET RS_INLINE V vadd(V x, V y) {
    return _mm512_add_epi32(x, y);
}
RS_TARGET RS_INLINE V vsub(V x, V y) {
    return _mm512_sub_epi32(x, y);
}
template <int S>
RS_TARGET RS_INLINE V vrol(V x) {
    return _mm512_rol_epi32(x, S);
}
// Truth tables over (b, c, d): F = b ? c : d, G = d ? b : c, H = b ^ c ^ d,
// I = c ^ (b | ~d).
RS_TARGET RS_INLINE V vF(V b, V c, V d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0xca);
}
RS_TARGET RS_INLINE V vG(V b, V c, V d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0xe4);
}
RS_TARGET RS_INLINE V vH(V b, V c, V d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0x96);
}
RS_TARGET RS_INLINE V vI(V b, V c, V d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0x39);
}
RS_TARGET RS_INLINE V vload(const uint32_t *p) {
    return _mm512_loadu_si512(p);
}
RS_TARGET RS_INLINE V vsll(V x, int n) {
    return _mm512_sll_epi32(x, _mm_cvtsi32_si128(n));
}
RS_TARGET RS_INLINE V vsrl(V x, int n) {
    return _mm512_srl_epi32(x, _mm_cvtsi32_si128(n));
}
RS_TARGET RS_INLINE V vlaneIndex() {
    return _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
RS_TARGET RS_INLINE V vminu(V x, V y) {
    return _mm512_min_epu32(x, y);
}
#ifdef RING_BENCH_BARE  // only the bare benchmark kernel folds its lanes
RS_TARGET RS_INLINE uint32_t vhsum(V x) {
    return (uint32_t)_mm512_reduce_add_epi32(x);
}
#endif

// Per lane the smallest packed point above the threshold and of all, as two
// halves of eight 64-bit lanes each.
struct sAcc {
    __m512i thr, above[2], min[2];
};

RS_TARGET RS_INLINE void accInit(sAcc *p, uint64_t nThreshold) {
    p->thr = _mm512_set1_epi64((long long)nThreshold);
    p->above[0] = p->above[1] = p->min[0] = p->min[1] = _mm512_set1_epi64((long long)RING_NONE);
}

RS_TARGET RS_INLINE __m512i widen(V x, int nHalf) {
    return _mm512_cvtepu32_epi64(nHalf == 0 ? _mm512_castsi512_si256(x)
                                            : _mm512_extracti64x4_epi64(x, 1));
}

RS_TARGET RS_INLINE void accFold(sAcc *p, V a, V b, V c, V d, V rank) {
    for (int h = 0; h < 2; ++h) {
        const __m512i key = _mm512_add_epi64(_mm512_add_epi64(widen(a, h), widen(b, h)),
                                             _mm512_add_epi64(widen(c, h), widen(d, h)));
        const __m512i packed =
            _mm512_or_si512(_mm512_slli_epi64(key, RING_RANK_BITS), widen(rank, h));
        const __mmask8 m = _mm512_cmpgt_epu64_mask(packed, p->thr);
        p->above[h] = _mm512_mask_min_epu64(p->above[h], m, p->above[h], packed);
        p->min[h] = _mm512_min_epu64(p->min[h], packed);
    }
}

RS_TARGET RS_INLINE void accReduce(sAcc *p, uint64_t *pnAbove, uint64_t *pnMin) {
    const uint64_t nAbove = _mm512_reduce_min_epu64(_mm512_min_epu64(p->above[0], p->above[1]));
    const uint64_t nMin = _mm512_reduce_min_epu64(_mm512_min_epu64(p->min[0], p->min[1]));
    if (nAbove < *pnAbove) *pnAbove = nAbove;
    if (nMin < *pnMin) *pnMin = nMin;
}

}  // namespace

#include "ringscan_kernel.inc"
