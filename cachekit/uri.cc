// The cache path of a URL: the directory list cut into names, the file name's
// key looked up on the ring by the streaming scan of ringscan.cc (nothing is
// allocated and nothing outlives the call), the path built from the URL text.
// buildRing gives the whole ring as a map, which the tests hold to the literal.
#include "uri.h"

#include <cstring>

namespace {

// The list keeps the limits its copy and its labels rely on.
bool listWithinLimits(const char *pszDirs) {
    if (strnlen(pszDirs, DIRS_TEXT_MAX) >= DIRS_TEXT_MAX) return false;
    const char *pszAt = pszDirs;
    const char *pName;
    size_t nLen;
    bool bAny = false;
    while (dirListNext(&pszAt, &pName, &nLen)) {
        if (nLen > DIR_NAME_MAX) return false;
        bAny = true;
    }
    return bAny;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

bool isAsciiAlnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The directory of the list that owns the first point above nUrlKey. False (and
// nothing set) when the list is beyond its limits; else *ppName and *pnLen point
// into pszDirs.
bool ringChoose(const char *pszDirs, uint64_t nUrlKey, const char **ppName, size_t *pnLen) {
    if (!listWithinLimits(pszDirs)) return false;
    // The points stream through the widest lane kernel this CPU runs; the scan
    // answers with a list position, found again by a second walk of the list.
    sRingScan scan;
    ringScanInit(&scan, nUrlKey);
    const char *pszAt = pszDirs;
    const char *pName;
    size_t nLen;
    size_t nIndex = 0;
    while (dirListNext(&pszAt, &pName, &nLen)) ringScanDir(&scan, pName, nLen, nIndex++);
    const long nChosen = ringScanChosen(&scan);
    pszAt = pszDirs;
    for (long i = 0; nChosen >= 0 && dirListNext(&pszAt, &pName, &nLen); ++i) {
        if (i == nChosen) {
            *ppName = pName;
            *pnLen = nLen;
            return true;
        }
    }
    return false;
}

}  // namespace

uint64_t ringKey(const char *pszHex) {
    uint64_t nKey = 0;
    size_t i = 0;
    for (int nGroup = 0; nGroup < 4; ++nGroup) {
        uint32_t nValue = 0;
        for (int nByte = 0; nByte < 4; ++nByte) {
            int nHigh = 0, nLow = 0;
            if (pszHex[i] != 0) nHigh = hexDigit(pszHex[i++]);
            if (pszHex[i] != 0) nLow = hexDigit(pszHex[i++]);
            nValue |= (uint32_t)(nHigh * 16 + nLow) << (8 * nByte);
        }
        nKey += nValue;
    }
    return nKey;
}

DirRing buildRing(const char *pszDirs) {
    DirRing ring;
    if (!listWithinLimits(pszDirs)) return ring;
    const char *pszAt = pszDirs;
    const char *pName;
    size_t nLen;
    sRingLabel label;
    uint64_t aKeys[RING_POINTS];
    while (dirListNext(&pszAt, &pName, &nLen)) {
        ringLabelInit(&label, pName, nLen);
        ringPointKeys(&label, aKeys);
        for (uint64_t nKey : aKeys) ring[nKey].assign(pName, nLen);
    }
    return ring;
}

void uriToPath(char *pszOut, const char *pszUrl, const char *pszDirs) {
    pszOut[0] = 0;
    const char *pszText = std::strncmp(pszUrl, "http://", 7) == 0 ? pszUrl + 7 : pszUrl;
    const size_t nText = strnlen(pszText, URL_TEXT_MAX);
    if (nText >= URL_TEXT_MAX) return;

    // File name: from behind the last '/' to the first '.' after it.
    size_t nSlash = nText;
    while (nSlash > 0 && pszText[nSlash - 1] != '/') --nSlash;
    if (nSlash == 0) return;
    const char *pDot =
        static_cast<const char *>(std::memchr(pszText + nSlash, '.', nText - nSlash));
    if (pDot == nullptr) return;
    const uint64_t nUrlKey = ringKeyOf(pszText + nSlash, (size_t)(pDot - (pszText + nSlash)));

    // The text ends at the first byte behind the '.' that is no ASCII letter or digit.
    size_t nEnd = (size_t)(pDot - pszText) + 1;
    while (nEnd < nText && isAsciiAlnum(pszText[nEnd])) ++nEnd;
    const size_t nFirstSlash =
        (size_t)(static_cast<const char *>(std::memchr(pszText, '/', nEnd)) - pszText);
    const char *pColon = static_cast<const char *>(std::memchr(pszText, ':', nEnd));

    const char *pDir;
    size_t nDir;
    if (!ringChoose(pszDirs, nUrlKey, &pDir, &nDir)) return;

    // "%s/%s" of the directory and the text; with a ':' the text ends there and
    // the piece from the first '/' follows. That piece ends at the ':' when the
    // ':' stands behind the '/' (so it appears twice), else at the text's end.
    char *p = pszOut;
    std::memcpy(p, pDir, nDir);
    p += nDir;
    *p++ = '/';
    if (pColon == nullptr) {
        std::memcpy(p, pszText, nEnd);
        p += nEnd;
    } else {
        const size_t nColon = (size_t)(pColon - pszText);
        std::memcpy(p, pszText, nColon);
        p += nColon;
        const size_t nPieceEnd = nFirstSlash < nColon ? nColon : nEnd;
        std::memcpy(p, pszText + nFirstSlash, nPieceEnd - nFirstSlash);
        p += nPieceEnd - nFirstSlash;
    }
    *p = 0;
}
