// uri2d: the input is a URL and a directory list separated by a NUL. Within the
// limits the path equals the literal implementation the tests hold the library
// to; beyond them it is the empty text. Either way the result fits the
// URI_PATH_MAX bytes of a buffer of exactly that size (ASan guards its end).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "uri.h"
#include "uri_literal.h"

static bool WithinLimits(const std::string &strUrl, const std::string &strDirs) {
    if (strDirs.size() >= DIRS_TEXT_MAX) return false;
    std::vector<std::string> listNames = literal::splitList(strDirs);
    if (listNames.empty()) return false;
    for (const std::string &strName : listNames)
        if (strName.size() > DIR_NAME_MAX) return false;
    std::string strText = strUrl.compare(0, 7, "http://") == 0 ? strUrl.substr(7) : strUrl;
    if (strText.size() >= URL_TEXT_MAX) return false;
    size_t nSlash = strText.rfind('/');
    if (nSlash == std::string::npos) return false;
    return strText.find('.', nSlash) != std::string::npos;
}

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

    if (WithinLimits(strUrl, strDirs)) {
        std::string strWant = literal::uri2d(strUrl, strDirs);
        FUZZ_CHECK(strGot == strWant, "url [%s] dirs [%s]: got [%s] want [%s]", strUrl.c_str(),
                   strDirs.c_str(), strGot.c_str(), strWant.c_str());
    } else {
        FUZZ_CHECK(strGot.empty(), "url [%s] dirs [%s] beyond the limits gave [%s]", strUrl.c_str(),
                   strDirs.c_str(), strGot.c_str());
    }
    return 0;
}
