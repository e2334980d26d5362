// The query builder on any name: it either refuses the name (0) or writes L + 18
// bytes into its 1024-byte buffer whose labels spell the name back, one trailing
// dot dropped, followed by type A, class IN.
#include <cstdint>
#include <cstring>
#include <string>

#include "dns.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    if (nSize < 2) return 0;
    unsigned nId = (unsigned)pData[0] << 8 | pData[1];
    // getmsgip hands the builder a C text: no NUL inside a name.
    const char *pName = (const char *)pData + 2;
    const char *pNul = (const char *)std::memchr(pName, 0, nSize - 2);
    std::string strName(pName, pNul ? pNul : pName + nSize - 2);
    unsigned char *pQuery = new unsigned char[DNS_QUERY_SIZE];
    int nLen = dnsBuildQuery(pQuery, strName, nId);

    std::string strBare = strName;
    if (!strBare.empty() && strBare.back() == '.') strBare.pop_back();
    if (nLen == 0) {
        bool bBad = strBare.empty() || strBare.size() > (size_t)DNS_MAX_NAME ||
                    strBare.front() == '.' || strBare.back() == '.' ||
                    strBare.find("..") != std::string::npos;
        size_t nStart = 0;
        while (!bBad) {
            size_t nDot = strBare.find('.', nStart);
            size_t nEnd = nDot == std::string::npos ? strBare.size() : nDot;
            if (nEnd - nStart > (size_t)DNS_MAX_LABEL) bBad = true;
            if (nDot == std::string::npos) break;
            nStart = nDot + 1;
        }
        FUZZ_CHECK(bBad, "refused a sound name of %zu bytes", strBare.size());
        delete[] pQuery;
        return 0;
    }
    FUZZ_CHECK(nLen == (int)strBare.size() + 18 && nLen <= DNS_QUERY_SIZE,
               "length %d for a name of %zu", nLen, strBare.size());
    FUZZ_CHECK(pQuery[0] == (nId >> 8 & 0xff) && pQuery[1] == (nId & 0xff), "ID not in the header");
    std::string strBack;
    int nAt = 12;
    while (nAt < nLen && pQuery[nAt] != 0) {
        int nLabel = pQuery[nAt];
        FUZZ_CHECK(nLabel <= DNS_MAX_LABEL && nAt + 1 + nLabel < nLen, "bad label length %d at %d",
                   nLabel, nAt);
        if (!strBack.empty()) strBack += '.';
        strBack.append((const char *)pQuery + nAt + 1, nLabel);
        nAt += 1 + nLabel;
    }
    FUZZ_CHECK(strBack == strBare, "labels spell a different name");
    FUZZ_CHECK(nAt + 5 == nLen, "question ends at %d of %d", nAt + 5, nLen);
    FUZZ_CHECK(std::memcmp(pQuery + nAt + 1, "\0\1\0\1", 4) == 0, "not type A class IN");
    delete[] pQuery;
    return 0;
}
