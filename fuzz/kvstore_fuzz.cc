// The wrapper's key=value store on any file content: read, save, read again
// gives the same entries (kind, text and value of each, in order). A store that
// was loaded only in part refuses the save and leaves no file behind.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config.h"
#include "fuzz_check.h"

namespace {

std::string g_strDir;

std::vector<std::string> Entries(const sBaseConfig *pStore) {
    std::vector<std::string> vec;
    for (int i = 0; i < pStore->entryCount; ++i) {
        const char *pBlock = pStore->entries[i];
        std::string strEntry(1, pBlock[0]);
        const char *pszText = pBlock + 1;
        strEntry += pszText;
        if (pBlock[0] == CONFIG_KIND_PAIR)
            strEntry += std::string(1, '\0') + (pszText + std::strlen(pszText) + 1);
        vec.push_back(strEntry);
    }
    return vec;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    if (g_strDir.empty()) {
        // A save flushes its file to disk: on a tmpfs that costs next to nothing,
        // on a disk about a millisecond per input.
        char szShm[] = "/dev/shm/kvstore-fuzz.XXXXXX", szTmp[] = "/tmp/kvstore-fuzz.XXXXXX";
        const char *pszDir = mkdtemp(szShm);
        if (pszDir == nullptr) pszDir = mkdtemp(szTmp);
        if (pszDir == nullptr) return 0;
        g_strDir = pszDir;
        std::atexit([] { rmdir(g_strDir.c_str()); });
    }
    std::string strIn = g_strDir + "/in.conf", strOut = g_strDir + "/out.conf";
    FILE *pFile = std::fopen(strIn.c_str(), "wb");
    if (pFile == nullptr) return 0;
    std::fwrite(pData, 1, nSize, pFile);
    std::fclose(pFile);
    unlink(strOut.c_str());

    sBaseConfig *pFirst = ReadConfig(strIn.c_str());
    FUZZ_CHECK(pFirst != nullptr, "no store");
    std::vector<std::string> vecFirst = Entries(pFirst);
    std::snprintf(pFirst->fileName, sizeof pFirst->fileName, "%s", strOut.c_str());
    int nSaved = SaveConfig(pFirst);
    bool bIncomplete = pFirst->bIncomplete;
    delete pFirst;
    if (bIncomplete) {
        FUZZ_CHECK(nSaved == 0 && access(strOut.c_str(), F_OK) != 0, "a partial store was saved");
        unlink(strIn.c_str());
        return 0;
    }
    FUZZ_CHECK(nSaved == 1, "save failed");
    sBaseConfig *pSecond = ReadConfig(strOut.c_str());
    FUZZ_CHECK(pSecond != nullptr, "no store after the save");
    std::vector<std::string> vecSecond = Entries(pSecond);
    delete pSecond;
    FUZZ_CHECK(vecFirst == vecSecond, "%zu entries read, %zu after the save", vecFirst.size(),
               vecSecond.size());
    unlink(strIn.c_str());
    unlink(strOut.c_str());
    return 0;
}
