// The ring lookup of uri2d computed many points at a time: the 500 labels of one
// directory differ only in their three digits, so one prepared block per
// directory is compressed in 8 (AVX2) or 16 (AVX-512) lanes with only the digit
// words changed per lane. The path is chosen per call from the CPU's features;
// the library itself stays baseline x86-64. Nothing is kept between calls.
#pragma once

#include <cstddef>
#include <cstdint>

// Internal switch for tests and benchmarks; never reaches the exports.
enum eRingPath { RING_PATH_AUTO = 0, RING_PATH_SCALAR, RING_PATH_AVX2, RING_PATH_AVX512 };

// A point packs into one unsigned 63-bit value that orders as the lookup needs:
//   [ key (34 bits, at most 4 * (2^32 - 1)) | RING_RANK_MASK - rank (29 bits) ]
// with rank = directory index * 500 + point number. The smallest packed value
// above a threshold is the smallest key above it and, among equal keys, the
// point formed last. 29 bits hold a million directories; a list shorter than
// 10,240 bytes has at most 5,120. Below 2^63 so that AVX2's signed 64-bit
// compare orders it too.
constexpr int RING_RANK_BITS = 29;
constexpr uint64_t RING_RANK_MASK = (1ull << RING_RANK_BITS) - 1;
constexpr uint64_t RING_NONE = 0x7fffffffffffffffull;  // no point seen
constexpr size_t RING_SCAN_DIRS_MAX = (RING_RANK_MASK + 1) / 500;

struct sRingName {
    const char *pName;
    size_t nLen;
};

// Streaming lookup over the directories of one call, in list order.
struct sRingScan {
    eRingPath ePath;      // resolved: never RING_PATH_AUTO
    uint64_t nThreshold;  // packed values above it have keys above the URL key
    uint64_t nAbove;      // smallest packed point above the threshold, or RING_NONE
    uint64_t nMin;        // smallest packed point of all, or RING_NONE
};

// Whether this CPU runs the path (SCALAR and AUTO always).
bool ringPathAvailable(eRingPath ePath);
// The path AUTO stands for on this CPU: AVX-512, else AVX2, else scalar.
eRingPath ringPathBest();
const char *ringPathName(eRingPath ePath);

// A forced path that the CPU lacks runs as scalar.
void ringScanInit(sRingScan *pScan, uint64_t nUrlKey, eRingPath ePath = RING_PATH_AUTO);
// The 500 points of the name (1..1019 bytes) at list position nDirIndex
// (< RING_SCAN_DIRS_MAX; positions must grow from call to call).
void ringScanDir(sRingScan *pScan, const char *pName, size_t nLen, size_t nDirIndex);
// List position of the chosen directory; -1 when no directory was scanned.
long ringScanChosen(const sRingScan *pScan);
// The three calls above over an array of names.
long ringScanList(const sRingName *aNames, size_t nNames, uint64_t nUrlKey,
                  eRingPath ePath = RING_PATH_AUTO);

// ---- between ringscan.cc and the vector kernels ----

// One directory's label prepared for the kernels: the state after the blocks
// that come before the first digit, and per tail block and step the message
// word plus the step constant with the digit bytes zeroed. aSel says which
// steps add the lane's digits: 1 the low part (digits << nShift) of the word
// at the first digit, 2 the part that spills into the next word.
struct sRingJob {
    uint32_t aMid[4];
    uint32_t aK[2][64];
    uint8_t aSel[2][64];
    int nBlocks;        // 1 or 2 tail blocks
    int nShift;         // bit offset of the first digit in its word: 0, 8, 16, 24
    uint32_t nRankTop;  // RING_RANK_MASK - nDirIndex * 500
};
void ringJobInit(sRingJob *pJob, const char *pName, size_t nLen, size_t nDirIndex);

// "%03d" of n as three bytes in a little-endian word, n clamped to 499, for n
// up to RING_DIGITS_N: the kernels load lanes n0.. straight from it.
constexpr size_t RING_DIGITS_N = 640;
extern const uint32_t RING_DIGITS[RING_DIGITS_N];

// Folds the job's 500 points into *pnAbove and *pnMin (minimum with them).
void ringScanAvx2(const sRingJob *pJob, uint64_t nThreshold, uint64_t *pnAbove, uint64_t *pnMin);
void ringScanAvx512(const sRingJob *pJob, uint64_t nThreshold, uint64_t *pnAbove, uint64_t *pnMin);
// Benchmark reference: the same compressions with no digits and no keys, for
// nPoints points (rounded up to whole groups); returns a fold of the states.
uint32_t ringBareAvx2(const sRingJob *pJob, size_t nPoints);
uint32_t ringBareAvx512(const sRingJob *pJob, size_t nPoints);
