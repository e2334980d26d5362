// One counters line of /proc/net/dev: the first byte gives the interface name's
// length, then the name, then the line. A line is taken only when, trimmed, it
// begins with the name and its colon; the counters are then the 1st and 9th.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "netif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    if (nSize < 1) return 0;
    size_t nName = pData[0] % 32;
    if (nSize < 1 + nName) return 0;
    std::string strName((const char *)pData + 1, nName);
    std::string strLine((const char *)pData + 1 + nName, nSize - 1 - nName);
    // Both are C texts where the reporter meets them.
    strName = strName.c_str();
    strLine = strLine.c_str();

    std::vector<char> vecLine(strLine.begin(), strLine.end());
    vecLine.push_back(0);
    uint64_t In = 7, Out = 9;
    int nOk = ParseCounterLine(vecLine.data(), strName.c_str(), In, Out);
    if (nOk == 0) {
        FUZZ_CHECK(In == 7 && Out == 9, "counters touched on a refused line");
        return 0;
    }
    FUZZ_CHECK(nOk == 1, "result %d", nOk);
    const char *pszTrimmed = vecLine.data();
    FUZZ_CHECK(std::strncmp(pszTrimmed, strName.c_str(), strName.size()) == 0 &&
                   pszTrimmed[strName.size()] == ':',
               "took a line of another interface");
    std::vector<std::string> vecPieces;
    strsplit(pszTrimmed + strName.size() + 1, vecPieces, ' ');
    FUZZ_CHECK(vecPieces.size() == 16, "%zu counters", vecPieces.size());
    FUZZ_CHECK(In == (uint64_t)std::strtol(vecPieces[0].c_str(), nullptr, 10), "receive counter");
    FUZZ_CHECK(Out == (uint64_t)std::strtol(vecPieces[8].c_str(), nullptr, 10), "transmit counter");
    return 0;
}
