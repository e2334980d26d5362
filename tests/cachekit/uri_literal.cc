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

    std::map<uint64_t, std::string>::const_iterator it = ring.upper_bound(nKey);
    if (it == ring.end()) it = ring.begin();
    char szPath[16384];
    if (pColon != nullptr)
        std::snprintf(szPath, sizeof szPath, "%s/%s%s", it->second.c_str(), szText, pP);
    else
        std::snprintf(szPath, sizeof szPath, "%s/%s", it->second.c_str(), szText);
    return szPath;
}

}  // namespace literal
