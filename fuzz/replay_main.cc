// Replays inputs through a fuzz target's entry point without libFuzzer, so that
// the corpora and every past crash input run in any build (gcc included) on every
// test run. Arguments are files or directories (read one level deep); a missing
// directory is skipped, so a target without past crashes needs no placeholder.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize);

static bool ReadWhole(const std::string &strPath, std::vector<uint8_t> &vecData) {
    FILE *pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) return false;
    vecData.clear();
    uint8_t aBuf[65536];
    size_t nRead;
    while ((nRead = std::fread(aBuf, 1, sizeof(aBuf), pFile)) > 0)
        vecData.insert(vecData.end(), aBuf, aBuf + nRead);
    bool bOk = std::ferror(pFile) == 0;
    std::fclose(pFile);
    return bOk;
}

int main(int argc, char **argv) {
    std::vector<std::string> vecFiles;
    for (int i = 1; i < argc; ++i) {
        struct stat st;
        if (stat(argv[i], &st) != 0) continue;
        if (!S_ISDIR(st.st_mode)) {
            vecFiles.push_back(argv[i]);
            continue;
        }
        DIR *pDir = opendir(argv[i]);
        if (pDir == nullptr) continue;
        while (struct dirent *pEnt = readdir(pDir)) {
            std::string strPath = std::string(argv[i]) + "/" + pEnt->d_name;
            if (pEnt->d_name[0] == '.') continue;
            if (stat(strPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) vecFiles.push_back(strPath);
        }
        closedir(pDir);
    }
    std::sort(vecFiles.begin(), vecFiles.end());
    int nFailed = 0;
    for (const std::string &strPath : vecFiles) {
        std::vector<uint8_t> vecData;
        if (!ReadWhole(strPath, vecData)) {
            std::fprintf(stderr, "cannot read %s\n", strPath.c_str());
            ++nFailed;
            continue;
        }
        // A copy of exactly the input's size, so ASan sees any read past its end.
        uint8_t *pCopy = new uint8_t[vecData.size() + (vecData.empty() ? 1 : 0)];
        std::copy(vecData.begin(), vecData.end(), pCopy);
        std::printf("replay %s (%zu bytes)\n", strPath.c_str(), vecData.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(pCopy, vecData.size());
        delete[] pCopy;
    }
    std::printf("%zu inputs replayed\n", vecFiles.size());
    return nFailed == 0 && !vecFiles.empty() ? 0 : 1;
}
