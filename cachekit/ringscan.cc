// Scalar ring scan, the per-directory job the vector kernels run, and the
// choice of path from the CPU's features, made afresh on every call.
#include "ringscan.h"

#include <cstring>

#include "uri.h"

namespace {

// Per step of MD5: the message word it reads and its sine-derived constant.
constexpr uint8_t STEP_WORD[64] = {0, 1, 2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                   1, 6, 11, 0,  5,  10, 15, 4,  9,  14, 3,  8,  13, 2,  7,  12,
                                   5, 8, 11, 14, 1,  4,  7,  10, 13, 0,  3,  6,  9,  12, 15, 2,
                                   0, 7, 14, 5,  12, 3,  10, 1,  8,  15, 6,  13, 4,  11, 2,  9};
constexpr uint32_t STEP_T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

struct sDigitTable {
    uint32_t a[RING_DIGITS_N];
};

constexpr sDigitTable makeDigits() {
    sDigitTable t{};
    for (size_t n = 0; n < RING_DIGITS_N; ++n) {
        const uint32_t m = n < 500 ? (uint32_t)n : 499;
        t.a[n] = (uint32_t)('0' + m / 100) | (uint32_t)('0' + m / 10 % 10) << 8 |
                 (uint32_t)('0' + m % 10) << 16;
    }
    return t;
}

constexpr sDigitTable DIGITS = makeDigits();

inline uint64_t packPoint(uint64_t nKey, uint32_t nRankTop, uint32_t n) {
    return nKey << RING_RANK_BITS | (uint64_t)(nRankTop - n);
}

bool cpuHasAvx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

bool cpuHasAvx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512bw");
}

}  // namespace

const uint32_t RING_DIGITS[RING_DIGITS_N] = {
#define RS_D(i) DIGITS.a[i]
#define RS_D8(i)                                                                           \
    RS_D(i), RS_D(i + 1), RS_D(i + 2), RS_D(i + 3), RS_D(i + 4), RS_D(i + 5), RS_D(i + 6), \
        RS_D(i + 7)
#define RS_D64(i)                                                                       \
    RS_D8(i), RS_D8(i + 8), RS_D8(i + 16), RS_D8(i + 24), RS_D8(i + 32), RS_D8(i + 40), \
        RS_D8(i + 48), RS_D8(i + 56)
    RS_D64(0),   RS_D64(64),  RS_D64(128), RS_D64(192), RS_D64(256), RS_D64(320),
    RS_D64(384), RS_D64(448), RS_D64(512), RS_D64(576)
#undef RS_D64
#undef RS_D8
#undef RS_D
};
static_assert(RING_DIGITS_N == 640, "the initialiser above lists 640 entries");

bool ringPathAvailable(eRingPath ePath) {
    switch (ePath) {
        case RING_PATH_AVX2:
            return cpuHasAvx2();
        case RING_PATH_AVX512:
            return cpuHasAvx512();
        default:
            return true;
    }
}

eRingPath ringPathBest() {
    if (cpuHasAvx512()) return RING_PATH_AVX512;
    if (cpuHasAvx2()) return RING_PATH_AVX2;
    return RING_PATH_SCALAR;
}

const char *ringPathName(eRingPath ePath) {
    switch (ePath) {
        case RING_PATH_SCALAR:
            return "scalar";
        case RING_PATH_AVX2:
            return "avx2";
        case RING_PATH_AVX512:
            return "avx512";
        default:
            return "auto";
    }
}

void ringJobInit(sRingJob *pJob, const char *pName, size_t nLen, size_t nDirIndex) {
    sRingLabel label;
    ringLabelInit(&label, pName, nLen);
    std::memcpy(pJob->aMid, label.aMid, sizeof pJob->aMid);
    // The tail with its digit bytes zeroed; the lanes add theirs back.
    std::memset(label.aTail + label.nDigitAt, 0, 3);
    uint32_t aWords[32];
    std::memcpy(aWords, label.aTail, 64 * label.nTailBlocks);
    const size_t nFirst = label.nDigitAt / 4;
    pJob->nShift = (int)(label.nDigitAt % 4) * 8;
    // Three digit bytes at bit offset 16 or 24 spill into the next word, which
    // may be the first word of the second block.
    const size_t nSpill = pJob->nShift >= 16 ? nFirst + 1 : (size_t)-1;
    pJob->nBlocks = (int)label.nTailBlocks;
    for (int nBlock = 0; nBlock < pJob->nBlocks; ++nBlock) {
        for (int i = 0; i < 64; ++i) {
            const size_t nWord = (size_t)nBlock * 16 + STEP_WORD[i];
            pJob->aK[nBlock][i] = aWords[nWord] + STEP_T[i];
            pJob->aSel[nBlock][i] = nWord == nFirst ? 1 : nWord == nSpill ? 2 : 0;
        }
    }
    pJob->nRankTop = (uint32_t)(RING_RANK_MASK - nDirIndex * RING_POINTS);
}

void ringScanInit(sRingScan *pScan, uint64_t nUrlKey, eRingPath ePath) {
    if (ePath == RING_PATH_AUTO || !ringPathAvailable(ePath))
        ePath = ePath == RING_PATH_AUTO ? ringPathBest() : RING_PATH_SCALAR;
    pScan->ePath = ePath;
    // Keys reach 4 * (2^32 - 1) < 2^34: a URL key beyond has nothing above it.
    pScan->nThreshold =
        nUrlKey < (1ull << 34) ? (nUrlKey << RING_RANK_BITS | RING_RANK_MASK) : RING_NONE;
    pScan->nAbove = RING_NONE;
    pScan->nMin = RING_NONE;
}

void ringScanDir(sRingScan *pScan, const char *pName, size_t nLen, size_t nDirIndex) {
    if (pScan->ePath == RING_PATH_SCALAR) {
        sRingLabel label;
        uint64_t aKeys[RING_POINTS];
        ringLabelInit(&label, pName, nLen);
        ringPointKeys(&label, aKeys);
        const uint32_t nRankTop = (uint32_t)(RING_RANK_MASK - nDirIndex * RING_POINTS);
        for (uint32_t n = 0; n < (uint32_t)RING_POINTS; ++n) {
            const uint64_t nPacked = packPoint(aKeys[n], nRankTop, n);
            if (nPacked > pScan->nThreshold && nPacked < pScan->nAbove) pScan->nAbove = nPacked;
            if (nPacked < pScan->nMin) pScan->nMin = nPacked;
        }
        return;
    }
    sRingJob job;
    ringJobInit(&job, pName, nLen, nDirIndex);
    if (pScan->ePath == RING_PATH_AVX512)
        ringScanAvx512(&job, pScan->nThreshold, &pScan->nAbove, &pScan->nMin);
    else
        ringScanAvx2(&job, pScan->nThreshold, &pScan->nAbove, &pScan->nMin);
}

long ringScanChosen(const sRingScan *pScan) {
    if (pScan->nMin == RING_NONE) return -1;
    const uint64_t nPacked = pScan->nAbove != RING_NONE ? pScan->nAbove : pScan->nMin;
    return (long)((RING_RANK_MASK - (nPacked & RING_RANK_MASK)) / RING_POINTS);
}

long ringScanList(const sRingName *aNames, size_t nNames, uint64_t nUrlKey, eRingPath ePath) {
    sRingScan scan;
    ringScanInit(&scan, nUrlKey, ePath);
    for (size_t i = 0; i < nNames && i < RING_SCAN_DIRS_MAX; ++i)
        ringScanDir(&scan, aNames[i].pName, aNames[i].nLen, i);
    return ringScanChosen(&scan);
}
