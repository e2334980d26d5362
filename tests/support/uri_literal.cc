#include "uri_literal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "md5.h"

namespace literal {

std::string md5Hex(const char *pData, int nLen) {
    Md5Context ctx;
    unsigned char digest[16];
    md5Init(&ctx);
    md5Update(&ctx, pData, (uint64_t)nLen);
    md5Final(&ctx, digest);
    char szHex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(szHex + 2 * i, 3, "%02x", digest[i]);
    return std::string(szHex, 32);
}

std::vector<std::string> splitList(const std::string &strText) {
    std::vector<std::string> listNames;
    if (strText.size() >= 10240) return listNames;
    char szWork[10240] = {0};
    std::memcpy(szWork, strText.c_str(), strText.size() + 1);
    char *pCursor = szWork;
    while (*pCursor != 0) {
        char *pBar = std::strchr(pCursor, '|');
        if (pBar == nullptr) {
            listNames.push_back(pCursor);
            break;
        }
        *pBar = 0;
        if (pCursor < pBar) listNames.push_back(pCursor);
        pCursor = pBar + 1;
        while (*pCursor == '|') ++pCursor;
        while (*pCursor == ' ') ++pCursor;
    }
    return listNames;
}

uint64_t ringKey(const std::string &strHex) {
    char szHex[128] = {0};
    std::memcpy(szHex, strHex.c_str(), strHex.size() + 1);
    uint64_t nKey = 0;
    for (int nGroup = 0; nGroup < 4; ++nGroup) {
        uint64_t nValue = 0;
        for (int nByte = 0; nByte < 4; ++nByte) {
            char szByte[3] = {szHex[8 * nGroup + 2 * nByte], szHex[8 * nGroup + 2 * nByte + 1], 0};
            nValue += std::strtoul(szByte, nullptr, 16) << (8 * nByte);
        }
        nKey += nValue;
    }
    return nKey;
}

std::map<uint64_t, std::string> buildRing(const std::string &strDirs) {
    std::map<uint64_t, std::string> ring;
    for (const std::string &strDir : splitList(strDirs)) {
        for (int n = 0; n < 500; ++n) {
            char szLabel[1024] = {0};
            std::snprintf(szLabel, sizeof szLabel, "%s-%03d", strDir.c_str(), n);
            ring[ringKey(md5Hex(szLabel, (int)std::strlen(szLabel)))] = strDir;
        }
    }
    return ring;
}

std::string uri2d(const std::string &strUrl, const std::string &strDirs) {
    return uri2dWithRing(strUrl, buildRing(strDirs));
}

std::string uri2dWithRing(const std::string &strUrl, const std::map<uint64_t, std::string> &ring) {
    return uri2dChoosing(strUrl, [&](uint64_t nKey) { return upperBoundWrap(ring, nKey); });
}

std::string uri2dChoosing(const std::string &strUrl,
                          const std::function<std::string(uint64_t)> &fnChoose) {
    const char *pszUrl = strUrl.c_str();
    if (std::strncmp(pszUrl, "http://", 7) == 0) pszUrl += 7;
    char szText[1024] = {0};
    std::memcpy(szText, pszUrl, std::strlen(pszUrl) + 1);

    char *pSlash = std::strrchr(szText, '/');
    char *pDot = std::strchr(pSlash, '.');
    std::string strFile(pSlash + 1, pDot);
    uint64_t nKey = ringKey(md5Hex(strFile.data(), (int)strFile.size()));

    char *pCut = pDot + 1;
    while ((*pCut >= 'A' && *pCut <= 'Z') || (*pCut >= 'a' && *pCut <= 'z') ||
           (*pCut >= '0' && *pCut <= '9'))
        ++pCut;
    *pCut = 0;
    char *pP = std::strchr(szText, '/');
    char *pColon = std::strchr(szText, ':');
    if (pColon != nullptr) *pColon = 0;

    const std::string strDir = fnChoose(nKey);
    char szPath[16384];
    if (pColon != nullptr)
        std::snprintf(szPath, sizeof szPath, "%s/%s%s", strDir.c_str(), szText, pP);
    else
        std::snprintf(szPath, sizeof szPath, "%s/%s", strDir.c_str(), szText);
    return szPath;
}

std::string join(const std::vector<std::string> &listNames) {
    std::string str;
    for (const std::string &strName : listNames) str += (str.empty() ? "" : "|") + strName;
    return str;
}

const std::string &upperBoundWrap(const std::map<uint64_t, std::string> &ring, uint64_t nKey) {
    std::map<uint64_t, std::string>::const_iterator it = ring.upper_bound(nKey);
    return (it == ring.end() ? ring.begin() : it)->second;
}

bool listWithinLimits(const std::string &strDirs) {
    if (strDirs.size() >= 10240) return false;
    const std::vector<std::string> listNames = splitList(strDirs);
    for (const std::string &strName : listNames)
        if (strName.size() > 1019) return false;
    return !listNames.empty();
}

bool urlWithinLimits(const std::string &strUrl) {
    const std::string strText = strUrl.compare(0, 7, "http://") == 0 ? strUrl.substr(7) : strUrl;
    const size_t nSlash = strText.rfind('/');
    return strText.size() < 1024 && nSlash != std::string::npos &&
           strText.find('.', nSlash) != std::string::npos;
}

std::string randomName(std::mt19937 &rng, bool bListBytes) {
    static const char CHARS[] = "abcxyz019/_-.: |";  // space and '|' last
    const unsigned nPick = rng() % 100;
    const size_t nLen = nPick < 60   ? 1 + rng() % 20
                        : nPick < 95 ? 40 + rng() % 40
                                     : 100 + rng() % 920;
    std::string strName;
    for (size_t i = 0; i < nLen; ++i) {
        const size_t nChars = bListBytes ? sizeof CHARS - 1
                              : i > 0    ? sizeof CHARS - 2
                                         : sizeof CHARS - 3;
        strName += CHARS[rng() % nChars];
    }
    return strName;
}

}  // namespace literal
