// URL-to-cache-path mapping: consistent hashing of a URL's file name onto a ring
// of points owned by the cache directories, and the path built for the URL.
//
// A directory D owns the points "D-000" to "D-499"; a point's key is the sum
// A + B + C + D of the final MD5 state of its label (equivalently, the digest
// text read as four little-endian 32-bit groups and added, unreduced). A URL
// goes to the directory of the smallest point strictly above its file name's
// key, the ring wrapping to its smallest point; on equal keys the point formed
// later (later in the list, higher number) owns the key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr int RING_POINTS = 500;         // points per directory
constexpr size_t DIRS_TEXT_MAX = 10240;  // a directory list is shorter than this
constexpr size_t URL_TEXT_MAX = 1024;    // the URL without "http://" is shorter than this
constexpr size_t DIR_NAME_MAX = 1019;    // "%s-%03d" of a name and its NUL fit 1024 bytes
// Largest result uriToPath writes, NUL included: a name, '/', and two pieces of
// the URL text that together are at most twice its length.
constexpr size_t URI_PATH_MAX = DIR_NAME_MAX + 1 + 2 * (URL_TEXT_MAX - 1) + 1;

typedef std::map<uint64_t, std::string> DirRing;

// Names of a directory list in list order: runs of '|' separate names, spaces
// directly behind a separator are dropped, every other byte belongs to a name.
// A text of DIRS_TEXT_MAX bytes or more gives no names.
std::vector<std::string> splitList(const char *pszText);
// The whole ring of a list, later points replacing earlier ones on equal keys.
// Empty when the list has no names, is too long or holds a name longer than
// DIR_NAME_MAX.
DirRing buildRing(const char *pszDirs);
// Ring key of a digest text: its four groups of 8 hex digits, each read as a
// little-endian 32-bit value, added. Stops at the NUL; non-hex digits count 0.
uint64_t ringKey(const char *pszHex);
// Ring key of the MD5 of nLen bytes at pData, straight from the final state.
uint64_t ringKeyOf(const void *pData, size_t nLen);

// The label of one directory, prepared once for its 500 points. The blocks that
// come before the point number are compressed into aMid; aTail holds the rest of
// the padded label, one or two blocks (one whenever the name has at most 51
// bytes), with the number's three digits at nDigitAt.
struct sRingLabel {
    uint32_t aMid[4];
    unsigned char aTail[128];
    size_t nTailBlocks;
    size_t nDigitAt;
};

// Prepares pLabel for the name of nLen (<= DIR_NAME_MAX) bytes at pName.
void ringLabelInit(sRingLabel *pLabel, const char *pName, size_t nLen);
// Keys of the points 0 to 499 of a prepared label, in point order. Each point is
// nTailBlocks compressions from aMid; a multi-lane MD5 computes them in groups.
void ringPointKeys(sRingLabel *pLabel, uint64_t aKeys[RING_POINTS]);

// The lookup "first point above the URL key, else the smallest point" without
// the ring: only those two candidates are kept while the points stream by in
// ring insertion order. Names are not copied; they point into the list.
struct sRingChoice {
    uint64_t nUrlKey;
    bool bAbove;         // some point lies above nUrlKey
    uint64_t nAboveKey;  // the smallest such point
    const char *pAbove;
    size_t nAboveLen;
    bool bAny;         // some point was seen
    uint64_t nMinKey;  // the smallest point of all
    const char *pMin;
    size_t nMinLen;
};

void ringChoiceInit(sRingChoice *pChoice, uint64_t nUrlKey);
// Takes the points aKeys[0..nKeys) of the name at pName; a point with the key of
// an earlier one replaces it, as a map assignment would.
void ringConsider(sRingChoice *pChoice, const uint64_t *aKeys, size_t nKeys, const char *pName,
                  size_t nLen);
// The directory the URL key goes to; false when no point was seen.
bool ringChosen(const sRingChoice *pChoice, const char **ppName, size_t *pnLen);

// The directory of the list that owns the first point above nUrlKey. False (and
// nothing set) when the list has no names, is too long or holds a name longer
// than DIR_NAME_MAX; else *ppName and *pnLen point into pszDirs.
bool ringChoose(const char *pszDirs, uint64_t nUrlKey, const char **ppName, size_t *pnLen);

// Body of the uri2d export: writes the cache path of pszUrl among the
// directories of pszDirs into pszOut, at most URI_PATH_MAX bytes. Inputs beyond
// the limits (URL text of URL_TEXT_MAX bytes or more, no '/' in it, no '.'
// behind its last '/', a list that ringChoose refuses) give the empty text.
void uriToPath(char *pszOut, const char *pszUrl, const char *pszDirs);
