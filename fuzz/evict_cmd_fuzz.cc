// The eviction command builder on any path and URL (separated by a NUL; no URL
// when there is none): the text fits its buffer or is empty, and it carries both
// as data: either they are plain bytes standing as they are, or each appears
// only inside one single-quoted word.
#include <cstdint>
#include <cstring>
#include <string>

#include "evict.h"
#include "fuzz_check.h"
#include "shellquote.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    const char *pBegin = (const char *)pData;
    const char *pEnd = pBegin + nSize;
    const char *pSep = (const char *)std::memchr(pBegin, 0, nSize);
    std::string strPath(pBegin, pSep ? pSep : pEnd);
    std::string strUrl;
    if (pSep != nullptr) {
        const char *pNul = (const char *)std::memchr(pSep + 1, 0, pEnd - pSep - 1);
        strUrl.assign(pSep + 1, pNul ? pNul : pEnd);
    }

    char *szCmd = new char[AUTODEL_CMD_SIZE];
    std::memset(szCmd, 'x', AUTODEL_CMD_SIZE);
    int nDone = buildAutodelCommand(szCmd, strPath, strUrl);
    size_t nLen = strnlen(szCmd, AUTODEL_CMD_SIZE);
    FUZZ_CHECK(nLen < AUTODEL_CMD_SIZE, "command not terminated");
    std::string strCmd(szCmd, nLen);
    delete[] szCmd;
    if (nDone == 0) {
        FUZZ_CHECK(strCmd.empty(), "refused command left text behind");
        return 0;
    }
    FUZZ_CHECK(nDone == 1, "result %d", nDone);
    bool bPlain = isShellPlain(strPath) && (strUrl.empty() || isShellPlainUrl(strUrl));
    if (bPlain) {
        FUZZ_CHECK(strCmd.find(strPath) != std::string::npos, "plain path missing from [%s]",
                   strCmd.c_str());
    } else {
        FUZZ_CHECK(strCmd.find(shellSingleQuote(strPath)) != std::string::npos,
                   "path not quoted in [%s]", strCmd.c_str());
        if (!strUrl.empty())
            FUZZ_CHECK(strCmd.find(shellSingleQuote(strUrl)) != std::string::npos,
                       "URL not quoted in [%s]", strCmd.c_str());
    }
    return 0;
}
