// The ring of cache directories and the cache path of a URL. One call prepares
// each directory's label once, computes its 500 point keys with bare block
// compressions and keeps only the two candidates the lookup can need; nothing
// is allocated and nothing outlives the call.
#include "uri.h"

#include <cstring>

#include "md5.h"
#include "ringscan.h"

namespace {

// Walks a directory list the way splitList cuts it, without copying: a piece
// ends at the next '|'; the cursor then skips that '|', every '|' directly
// behind it and every ' ' behind those. Empty pieces are no names.
bool nextDirName(const char **ppszAt, const char **ppName, size_t *pnLen) {
    const char *p = *ppszAt;
    while (*p != 0) {
        const char *pBar = std::strchr(p, '|');
        if (pBar == nullptr) {
            *ppName = p;
            *pnLen = std::strlen(p);
            *ppszAt = p + *pnLen;
            return true;
        }
        const char *pStart = p;
        p = pBar + 1;
        while (*p == '|') ++p;
        while (*p == ' ') ++p;
        if (pBar > pStart) {
            *ppName = pStart;
            *pnLen = (size_t)(pBar - pStart);
            *ppszAt = p;
            return true;
        }
    }
    *ppszAt = p;
    return false;
}

// The list keeps the limits its copy and its labels rely on.
bool listWithinLimits(const char *pszDirs) {
    if (strnlen(pszDirs, DIRS_TEXT_MAX) >= DIRS_TEXT_MAX) return false;
    const char *pszAt = pszDirs;
    const char *pName;
    size_t nLen;
    bool bAny = false;
    while (nextDirName(&pszAt, &pName, &nLen)) {
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

}  // namespace

std::vector<std::string> splitList(const char *pszText) {
    std::vector<std::string> listNames;
    if (strnlen(pszText, DIRS_TEXT_MAX) >= DIRS_TEXT_MAX) return listNames;
    const char *pszAt = pszText;
    const char *pName;
    size_t nLen;
    while (nextDirName(&pszAt, &pName, &nLen)) listNames.emplace_back(pName, nLen);
    return listNames;
}

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
    pLabel->aMid[0] = 0x67452301;
    pLabel->aMid[1] = 0xefcdab89;
    pLabel->aMid[2] = 0x98badcfe;
    pLabel->aMid[3] = 0x10325476;
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

DirRing buildRing(const char *pszDirs) {
    DirRing ring;
    if (!listWithinLimits(pszDirs)) return ring;
    const char *pszAt = pszDirs;
    const char *pName;
    size_t nLen;
    sRingLabel label;
    uint64_t aKeys[RING_POINTS];
    while (nextDirName(&pszAt, &pName, &nLen)) {
        ringLabelInit(&label, pName, nLen);
        ringPointKeys(&label, aKeys);
        for (uint64_t nKey : aKeys) ring[nKey].assign(pName, nLen);
    }
    return ring;
}

void ringChoiceInit(sRingChoice *pChoice, uint64_t nUrlKey) {
    *pChoice = sRingChoice();
    pChoice->nUrlKey = nUrlKey;
}

void ringConsider(sRingChoice *pChoice, const uint64_t *aKeys, size_t nKeys, const char *pName,
                  size_t nLen) {
    // "<=": of two points with one key the later owns it.
    for (size_t i = 0; i < nKeys; ++i) {
        const uint64_t nKey = aKeys[i];
        if (nKey > pChoice->nUrlKey && (!pChoice->bAbove || nKey <= pChoice->nAboveKey)) {
            pChoice->bAbove = true;
            pChoice->nAboveKey = nKey;
            pChoice->pAbove = pName;
            pChoice->nAboveLen = nLen;
        }
        if (!pChoice->bAny || nKey <= pChoice->nMinKey) {
            pChoice->bAny = true;
            pChoice->nMinKey = nKey;
            pChoice->pMin = pName;
            pChoice->nMinLen = nLen;
        }
    }
}

bool ringChosen(const sRingChoice *pChoice, const char **ppName, size_t *pnLen) {
    if (!pChoice->bAny) return false;
    *ppName = pChoice->bAbove ? pChoice->pAbove : pChoice->pMin;
    *pnLen = pChoice->bAbove ? pChoice->nAboveLen : pChoice->nMinLen;
    return true;
}

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
    while (nextDirName(&pszAt, &pName, &nLen)) ringScanDir(&scan, pName, nLen, nIndex++);
    const long nChosen = ringScanChosen(&scan);
    pszAt = pszDirs;
    for (long i = 0; nChosen >= 0 && nextDirName(&pszAt, &pName, &nLen); ++i) {
        if (i == nChosen) {
            *ppName = pName;
            *pnLen = nLen;
            return true;
        }
    }
    return false;
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
