// The ring's labels and point keys, the scalar scan, the per-directory job the
// lane kernels run, and the choice of path from the CPU's features.
#include "ringscan.h"

#include <cpuid.h>

#include <atomic>
#include <cstring>

#include "md5.h"
#include "ringscan_kernel.h"

static_assert(RING_POINTS <= 1000, "a point number is three digits of the label");

namespace {

constexpr std::array<uint32_t, RING_DIGITS_N> makeDigits() {
    std::array<uint32_t, RING_DIGITS_N> a{};
    for (size_t n = 0; n < RING_DIGITS_N; ++n) {
        const uint32_t m = n < (size_t)RING_POINTS ? (uint32_t)n : (uint32_t)RING_POINTS - 1;
        a[n] = (uint32_t)('0' + m / 100) | (uint32_t)('0' + m / 10 % 10) << 8 |
               (uint32_t)('0' + m % 10) << 16;
    }
    return a;
}

inline uint64_t packPoint(uint64_t nKey, uint32_t nRankTop, uint32_t n) {
    return nKey << RING_RANK_BITS | (uint64_t)(nRankTop - n);
}

inline uint32_t rankTop(size_t nDirIndex) {
    return (uint32_t)(RING_RANK_MASK - nDirIndex * RING_POINTS);
}

// What the paths need of the CPU, as the operating system lets programs use it.
enum { CPU_PROBED = 1, CPU_AVX2 = 2, CPU_AVX512 = 4 };

// XCR0: the register states the operating system saves and restores. AVX needs
// the XMM and YMM states (bits 1, 2); AVX-512 also the opmask, ZMM_Hi256 and
// Hi16_ZMM states (bits 5, 6, 7).
constexpr uint64_t XCR0_AVX = 0x6;
constexpr uint64_t XCR0_AVX512 = 0xe0;

uint64_t readXcr0() {
    uint32_t nLow, nHigh;
    __asm__ volatile("xgetbv" : "=a"(nLow), "=d"(nHigh) : "c"(0));
    return (uint64_t)nHigh << 32 | nLow;
}

unsigned probeCpu() {
    unsigned a, b, c, d;
    if (__get_cpuid_max(0, nullptr) < 7) return CPU_PROBED;
    __cpuid(1, a, b, c, d);
    // xgetbv exists only where the operating system has set OSXSAVE.
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return CPU_PROBED;
    const uint64_t nXcr0 = readXcr0();
    if ((nXcr0 & XCR0_AVX) != XCR0_AVX) return CPU_PROBED;
    __cpuid_count(7, 0, a, b, c, d);
    unsigned nFeatures = CPU_PROBED;
    if ((b & bit_AVX2) != 0) nFeatures |= CPU_AVX2;
    const unsigned nAvx512 = bit_AVX512F | bit_AVX512VL | bit_AVX512BW;
    if ((nXcr0 & XCR0_AVX512) == XCR0_AVX512 && (b & nAvx512) == nAvx512) nFeatures |= CPU_AVX512;
    return nFeatures;
}

// The probe's answer, 0 until some call has probed. Under a hypervisor every
// cpuid traps, and the three the probe needs cost several microseconds, as much
// as the whole lookup over a few directories; so the first call keeps the
// answer here. It is a fact of the CPU: every call that writes it writes the
// same value, no result depends on it being set, and it needs no initialiser.
std::atomic<unsigned> g_nCpuFeatures{0};

unsigned cpuFeatures() {
    unsigned nFeatures = g_nCpuFeatures.load(std::memory_order_relaxed);
    if (nFeatures == 0) {
        nFeatures = probeCpu();
        g_nCpuFeatures.store(nFeatures, std::memory_order_relaxed);
    }
    return nFeatures;
}

}  // namespace

constexpr std::array<uint32_t, RING_DIGITS_N> RING_DIGITS = makeDigits();

uint64_t ringKeyOf(const void *pData, size_t nLen) {
    Md5Context ctx;
    unsigned char digest[16];
    md5Init(&ctx);
    md5Update(&ctx, pData, nLen);
    md5Final(&ctx, digest);
    // The digest is A, B, C, D little-endian: read back, they are the state.
    uint64_t nKey = 0;
    for (int i = 0; i < 4; ++i) {
        uint32_t nWord;
        std::memcpy(&nWord, digest + 4 * i, 4);
        nKey += nWord;
    }
    return nKey;
}

void ringLabelInit(sRingLabel *pLabel, const char *pName, size_t nLen) {
    // Padded label: name, '-', three digits, 0x80, zeros, then the bit count as
    // 8 bytes little-endian at the end of the last block.
    //   [ name (nLen) | '-' | d d d | 0x80 | 0 ... 0 | bits (8) ]
    const size_t nLabel = nLen + 4;
    const size_t nPadded = (nLabel + 8) / 64 * 64 + 64;
    unsigned char aMsg[(DIR_NAME_MAX + 4 + 8) / 64 * 64 + 64];
    std::memcpy(aMsg, pName, nLen);
    std::memcpy(aMsg + nLen, "-000", 4);
    aMsg[nLabel] = 0x80;
    std::memset(aMsg + nLabel + 1, 0, nPadded - nLabel - 1);
    const uint64_t nBits = (uint64_t)nLabel * 8;
    std::memcpy(aMsg + nPadded - 8, &nBits, 8);

    // Everything before the block of the first digit is the same for all points.
    const size_t nFirst = (nLen + 1) / 64;
    std::memcpy(pLabel->aMid, MD5_INIT, sizeof pLabel->aMid);
    if (nFirst > 0) md5Blocks(pLabel->aMid, aMsg, nFirst);
    pLabel->nTailBlocks = nPadded / 64 - nFirst;
    pLabel->nDigitAt = nLen + 1 - 64 * nFirst;
    std::memcpy(pLabel->aTail, aMsg + 64 * nFirst, 64 * pLabel->nTailBlocks);
}

void ringPointKeys(sRingLabel *pLabel, uint64_t aKeys[RING_POINTS]) {
    unsigned char *pDigit = pLabel->aTail + pLabel->nDigitAt;
    pDigit[0] = pDigit[1] = pDigit[2] = '0';
    for (int n = 0; n < RING_POINTS; ++n) {
        uint32_t state[4] = {pLabel->aMid[0], pLabel->aMid[1], pLabel->aMid[2], pLabel->aMid[3]};
        if (pLabel->nTailBlocks == 1)
            md5Transform(state, pLabel->aTail);
        else
            md5Blocks(state, pLabel->aTail, pLabel->nTailBlocks);
        aKeys[n] = (uint64_t)state[0] + state[1] + state[2] + state[3];
        // "%03d" of n + 1, counted up in place.
        if (++pDigit[2] > '9') {
            pDigit[2] = '0';
            if (++pDigit[1] > '9') {
                pDigit[1] = '0';
                ++pDigit[0];
            }
        }
    }
}

bool ringPathAvailable(eRingPath ePath) {
    switch (ePath) {
        case RING_PATH_AVX2:
            return (cpuFeatures() & CPU_AVX2) != 0;
        case RING_PATH_AVX512:
            return (cpuFeatures() & CPU_AVX512) != 0;
        default:
            return true;
    }
}

eRingPath ringPathBest() {
    const unsigned nFeatures = cpuFeatures();
    if ((nFeatures & CPU_AVX512) != 0) return RING_PATH_AVX512;
    if ((nFeatures & CPU_AVX2) != 0) return RING_PATH_AVX2;
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
            const size_t nWord = (size_t)nBlock * 16 + MD5_WORD[i];
            pJob->aK[nBlock][i] = aWords[nWord] + MD5_T[i];
            pJob->aSel[nBlock][i] = nWord == nFirst ? 1 : nWord == nSpill ? 2 : 0;
        }
    }
    pJob->nRankTop = rankTop(nDirIndex);
}

void ringScanInit(sRingScan *pScan, uint64_t nUrlKey, eRingPath ePath) {
    if (ePath == RING_PATH_AUTO)
        ePath = ringPathBest();
    else if (!ringPathAvailable(ePath))
        ePath = RING_PATH_SCALAR;
    pScan->ePath = ePath;
    // Keys reach 4 * (2^32 - 1) < 2^34: a URL key beyond has nothing above it.
    pScan->nThreshold =
        nUrlKey < (1ull << 34) ? (nUrlKey << RING_RANK_BITS | RING_RANK_MASK) : RING_NONE;
    pScan->nAbove = RING_NONE;
    pScan->nMin = RING_NONE;
}

void ringScanKeys(sRingScan *pScan, const uint64_t *aKeys, size_t nKeys, size_t nDirIndex) {
    const uint32_t nRankTop = rankTop(nDirIndex);
    for (uint32_t n = 0; n < (uint32_t)nKeys; ++n) {
        const uint64_t nPacked = packPoint(aKeys[n], nRankTop, n);
        if (nPacked > pScan->nThreshold && nPacked < pScan->nAbove) pScan->nAbove = nPacked;
        if (nPacked < pScan->nMin) pScan->nMin = nPacked;
    }
}

void ringScanDir(sRingScan *pScan, const char *pName, size_t nLen, size_t nDirIndex) {
    if (pScan->ePath == RING_PATH_SCALAR) {
        sRingLabel label;
        uint64_t aKeys[RING_POINTS];
        ringLabelInit(&label, pName, nLen);
        ringPointKeys(&label, aKeys);
        ringScanKeys(pScan, aKeys, RING_POINTS, nDirIndex);
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

long ringScanList(const std::vector<std::string> &listNames, uint64_t nUrlKey, eRingPath ePath) {
    sRingScan scan;
    ringScanInit(&scan, nUrlKey, ePath);
    for (size_t i = 0; i < listNames.size() && i < RING_SCAN_DIRS_MAX; ++i)
        ringScanDir(&scan, listNames[i].data(), listNames[i].size(), i);
    return ringScanChosen(&scan);
}
