// uri2d: the input is a URL and a directory list separated by a NUL. Beyond the
// limits the path is the empty text. Within them it is the directory that a
// plain model of the ring chooses (each name's point keys from OpenSSL's MD5 of
// its "%s-%03d" labels, sorted, searched with upper_bound) followed by what the
// literal implementation builds from the URL, and every scan path the CPU runs
// (the scalar one on a sample) chooses that list position; a sample is also held
// to the whole literal std::map ring. The result fits the URI_PATH_MAX bytes of
// a buffer of exactly that size (ASan guards its end).
#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "ringscan.h"
#include "uri.h"
#include "uri_literal.h"

namespace {

// One name's point keys in the model, from OpenSSL's MD5 of its "%s-%03d"
// labels, sorted. Which of a name's points owns a key does not change the
// directory, so only the keys are kept.
struct sNameKeys {
    size_t nLen;  // 0: an empty slot
    char aName[DIR_NAME_MAX];
    uint64_t aKeys[RING_POINTS];
};

uint64_t fnv1a(const void *pData, size_t nSize) {
    uint64_t nHash = 0xcbf29ce484222325ull;
    for (size_t i = 0; i < nSize; ++i)
        nHash = (nHash ^ static_cast<const uint8_t *>(pData)[i]) * 0x100000001b3ull;
    return nHash;
}

// Kept per name across inputs, since mutations keep most of an input's names,
// in a table that never allocates: to libFuzzer, memory an input leaves behind
// is a leak to chase.
const uint64_t *keysOf(const std::string &strName) {
    static sNameKeys aSlots[16384];
    static EVP_MD *pMd5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    static EVP_MD_CTX *pCtx = EVP_MD_CTX_new();
    sNameKeys &slot = aSlots[fnv1a(strName.data(), strName.size()) % 16384];
    if (slot.nLen == strName.size() && std::memcmp(slot.aName, strName.data(), slot.nLen) == 0)
        return slot.aKeys;
    char szLabel[DIR_NAME_MAX + 5];
    std::memcpy(szLabel, strName.data(), strName.size());
    char *pDigits = szLabel + strName.size();
    for (int n = 0; n < RING_POINTS; ++n) {
        pDigits[0] = '-';
        pDigits[1] = (char)('0' + n / 100);
        pDigits[2] = (char)('0' + n / 10 % 10);
        pDigits[3] = (char)('0' + n % 10);
        unsigned char digest[16];
        FUZZ_CHECK(EVP_DigestInit_ex(pCtx, pMd5, nullptr) == 1 &&
                       EVP_DigestUpdate(pCtx, szLabel, strName.size() + 4) == 1 &&
                       EVP_DigestFinal_ex(pCtx, digest, nullptr) == 1,
                   "OpenSSL MD5 failed");
        uint64_t nKey = 0;
        for (int i = 0; i < 16; ++i) nKey += (uint64_t)digest[i] << (8 * (i % 4));
        slot.aKeys[n] = nKey;
    }
    std::sort(slot.aKeys, slot.aKeys + RING_POINTS);
    slot.nLen = strName.size();
    std::memcpy(slot.aName, strName.data(), slot.nLen);
    return slot.aKeys;
}

// List position of the directory that owns nKey: each name's first point above
// it by upper_bound, the smallest of those, and on equal keys the later
// position; with no point above, the same over each name's smallest point.
size_t modelChoice(const std::vector<std::string> &listNames, uint64_t nKey) {
    bool bAbove = false;
    uint64_t nAboveKey = 0, nMinKey = 0;
    size_t nAbove = 0, nMin = 0;
    for (size_t i = 0; i < listNames.size(); ++i) {
        const uint64_t *aKeys = keysOf(listNames[i]);
        const uint64_t *pAbove = std::upper_bound(aKeys, aKeys + RING_POINTS, nKey);
        if (pAbove != aKeys + RING_POINTS && (!bAbove || *pAbove <= nAboveKey)) {
            bAbove = true;
            nAboveKey = *pAbove;
            nAbove = i;
        }
        if (i == 0 || aKeys[0] <= nMinKey) {
            nMinKey = aKeys[0];
            nMin = i;
        }
    }
    return bAbove ? nAbove : nMin;
}

#ifdef FUZZ_REPLAY
constexpr bool SAMPLE_ALL = true;
#else
constexpr bool SAMPLE_ALL = false;
#endif

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    const char *pBegin = (const char *)pData;
    const char *pSep = (const char *)std::memchr(pData, 0, nSize);
    std::string strUrl(pBegin, pSep ? pSep : pBegin + nSize);
    std::string strDirs;
    if (pSep != nullptr) {
        const char *pRest = pSep + 1;
        const char *pEnd = pBegin + nSize;
        const char *pNul = (const char *)std::memchr(pRest, 0, pEnd - pRest);
        strDirs.assign(pRest, pNul ? pNul : pEnd);
    }

    char *pszOut = new char[URI_PATH_MAX];
    std::memset(pszOut, 'x', URI_PATH_MAX);
    uriToPath(pszOut, strUrl.c_str(), strDirs.c_str());
    size_t nOut = strnlen(pszOut, URI_PATH_MAX);
    FUZZ_CHECK(nOut < URI_PATH_MAX, "result not terminated within %zu bytes", URI_PATH_MAX);
    std::string strGot(pszOut, nOut);
    delete[] pszOut;

    if (!literal::listWithinLimits(strDirs) || !literal::urlWithinLimits(strUrl)) {
        FUZZ_CHECK(strGot.empty(), "url [%s] dirs [%s] beyond the limits gave [%s]", strUrl.c_str(),
                   strDirs.c_str(), strGot.c_str());
        return 0;
    }

    const std::vector<std::string> listNames = literal::splitList(strDirs);
    uint64_t nUrlKey = 0;
    size_t nWant = 0;
    const std::string strWant = literal::uri2dChoosing(strUrl, [&](uint64_t nKey) {
        nUrlKey = nKey;
        nWant = modelChoice(listNames, nKey);
        return listNames[nWant];
    });
    FUZZ_CHECK(strGot == strWant, "url [%s] dirs [%s]: got [%s], the model [%s]", strUrl.c_str(),
               strDirs.c_str(), strGot.c_str(), strWant.c_str());

    // uriToPath ran the best path of this CPU; the others are compared here. The
    // scalar path and the literal ring cost more than all the rest together under
    // the sanitizers, in proportion to the list's length: they run on one input in
    // 16 and in 256 per name (on every input when replayed).
    const uint64_t nSample = SAMPLE_ALL ? 0 : fnv1a(pData, nSize);
    const uint64_t nNames = listNames.size();
    for (eRingPath ePath : {RING_PATH_SCALAR, RING_PATH_AVX2, RING_PATH_AVX512}) {
        if (ePath == ringPathBest() || !ringPathAvailable(ePath)) continue;
        if (ePath == RING_PATH_SCALAR && nSample % (16 * nNames) != 0) continue;
        const long nGot = ringScanList(listNames, nUrlKey, ePath);
        FUZZ_CHECK(nGot == (long)nWant, "dirs [%s], URL key %llu: %s chose %ld, the model %zu",
                   strDirs.c_str(), (unsigned long long)nUrlKey, ringPathName(ePath), nGot, nWant);
    }

    if ((nSample >> 32) % (256 * nNames) == 0) {
        const std::string strLiteral = literal::uri2d(strUrl, strDirs);
        FUZZ_CHECK(strGot == strLiteral, "url [%s] dirs [%s]: got [%s], the literal ring [%s]",
                   strUrl.c_str(), strDirs.c_str(), strGot.c_str(), strLiteral.c_str());
    }
    return 0;
}
