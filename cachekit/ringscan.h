// The ring of cache directories, below the path code: a directory's point
// labels and their keys, and the lookup "first point above a key" streamed over
// a list's points without building the ring. The RING_POINTS labels of one
// directory differ only in their three digits, so the vector paths compress one
// prepared block per directory in 8 (AVX2) or 16 (AVX-512) lanes. The path is
// chosen per call from the CPU; the library itself stays baseline x86-64.
//
// A directory D owns the points "D-000" to "D-499"; a point's key is the sum
// A + B + C + D of the final MD5 state of its label (equivalently, the digest
// text read as four little-endian 32-bit groups and added, unreduced). A key
// goes to the directory of the smallest point strictly above it, the ring
// wrapping to its smallest point; on equal keys the point formed later (later
// in the list, higher number) owns the key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int RING_POINTS = 500;       // points per directory, numbered 0 to RING_POINTS - 1
constexpr size_t DIR_NAME_MAX = 1019;  // "%s-%03d" of a name and its NUL fit 1024 bytes

// Ring key of the MD5 of nLen bytes at pData, straight from the final state.
uint64_t ringKeyOf(const void *pData, size_t nLen);

// The label of one directory, prepared once for its points. The blocks that
// come before the point number are compressed into aMid; aTail holds the rest of
// the padded label, one or two blocks (one whenever the name has at most 51
// bytes), with the number's three digits at nDigitAt.
struct sRingLabel {
    uint32_t aMid[4];
    unsigned char aTail[128];
    size_t nTailBlocks;
    size_t nDigitAt;
};

// Prepares pLabel for the name of nLen (1..DIR_NAME_MAX) bytes at pName.
void ringLabelInit(sRingLabel *pLabel, const char *pName, size_t nLen);
// Keys of the points of a prepared label, in point order. Each point is
// nTailBlocks compressions from aMid.
void ringPointKeys(sRingLabel *pLabel, uint64_t aKeys[RING_POINTS]);

// Internal switch for tests and benchmarks; never reaches the exports.
enum eRingPath { RING_PATH_AUTO = 0, RING_PATH_SCALAR, RING_PATH_AVX2, RING_PATH_AVX512 };

// A point packs into one unsigned 63-bit value that orders as the lookup needs:
//   [ key (34 bits, at most 4 * (2^32 - 1)) | RING_RANK_MASK - rank (29 bits) ]
// with rank = directory index * RING_POINTS + point number. The smallest packed
// value above a threshold is the smallest key above it and, among equal keys,
// the point formed last. 29 bits hold a million directories; a list shorter
// than 10,240 bytes has at most 5,120. Below 2^63 so that AVX2's signed 64-bit
// compare orders it too.
constexpr int RING_RANK_BITS = 29;
constexpr uint64_t RING_RANK_MASK = (1ull << RING_RANK_BITS) - 1;
constexpr uint64_t RING_NONE = 0x7fffffffffffffffull;  // no point seen
constexpr size_t RING_SCAN_DIRS_MAX = (RING_RANK_MASK + 1) / RING_POINTS;

// Streaming lookup over the directories of one call, in list order.
struct sRingScan {
    eRingPath ePath;      // resolved: never RING_PATH_AUTO
    uint64_t nThreshold;  // packed values above it have keys above the URL key
    uint64_t nAbove;      // smallest packed point above the threshold, or RING_NONE
    uint64_t nMin;        // smallest packed point of all, or RING_NONE
};

// Whether this CPU, as the operating system lets programs use it, runs the path
// (SCALAR and AUTO always).
bool ringPathAvailable(eRingPath ePath);
// The path AUTO stands for on this CPU: AVX-512, else AVX2, else scalar.
eRingPath ringPathBest();
const char *ringPathName(eRingPath ePath);

// A forced path that the CPU lacks runs as scalar.
void ringScanInit(sRingScan *pScan, uint64_t nUrlKey, eRingPath ePath = RING_PATH_AUTO);
// The points of the name (1..DIR_NAME_MAX bytes) at list position nDirIndex
// (< RING_SCAN_DIRS_MAX; positions must grow from call to call).
void ringScanDir(sRingScan *pScan, const char *pName, size_t nLen, size_t nDirIndex);
// Folds the points aKeys[0..nKeys) (nKeys <= RING_POINTS, keys below 2^34) of the
// directory at list position nDirIndex, point n with the key aKeys[n]: the
// scalar path of ringScanDir, open to keys chosen to collide.
void ringScanKeys(sRingScan *pScan, const uint64_t *aKeys, size_t nKeys, size_t nDirIndex);
// List position of the chosen directory; -1 when no directory was scanned.
long ringScanChosen(const sRingScan *pScan);
// ringScanInit, ringScanDir for each name and ringScanChosen over a list of names.
long ringScanList(const std::vector<std::string> &listNames, uint64_t nUrlKey,
                  eRingPath ePath = RING_PATH_AUTO);
