// Between ringscan.cc and the lane kernels (ringscan_avx2.cc, ringscan_avx512.cc):
// the job a directory's points become, the digit words the lanes load, and the
// kernels' entry points. Only ringscan.cc calls them, after probing the CPU.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ringscan.h"

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
    uint32_t nRankTop;  // RING_RANK_MASK - nDirIndex * RING_POINTS
};
void ringJobInit(sRingJob *pJob, const char *pName, size_t nLen, size_t nDirIndex);

// "%03d" of n as three bytes in a little-endian word, n clamped to
// RING_POINTS - 1. The kernels load whole groups of lanes from it, the last of
// which reads past the last point by less than a group (they check the fit).
constexpr size_t RING_DIGITS_N = 640;
extern const std::array<uint32_t, RING_DIGITS_N> RING_DIGITS;

// Folds the job's points into *pnAbove and *pnMin (minimum with them).
void ringScanAvx2(const sRingJob *pJob, uint64_t nThreshold, uint64_t *pnAbove, uint64_t *pnMin);
void ringScanAvx512(const sRingJob *pJob, uint64_t nThreshold, uint64_t *pnAbove, uint64_t *pnMin);

#ifdef RING_BENCH_BARE
// Benchmark reference, compiled only into bench_ring's own build of the kernels:
// the same compressions with no digits and no keys, for nPoints points (rounded
// up to whole groups); returns a fold of the states.
uint32_t ringBareAvx2(const sRingJob *pJob, size_t nPoints);
uint32_t ringBareAvx512(const sRingJob *pJob, size_t nPoints);
#endif
