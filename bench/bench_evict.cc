// The eviction walk (collectOldest) over a tree of 200,000 files with distinct
// access times, against find -printf | sort -n | head on the same tree, in the
// same run. Both pick the same 20 oldest files.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "evict.h"

namespace {

constexpr int TOP_DIRS = 20;
constexpr int SUB_DIRS = 10;
constexpr int FILES_PER_DIR = 1000;
constexpr int TOTAL_FILES = TOP_DIRS * SUB_DIRS * FILES_PER_DIR;
constexpr int LIMIT = 20;
constexpr int ROUNDS = 5;

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int removeEntry(const char *pszPath, const struct stat *, int, struct FTW *) {
    return ::remove(pszPath);
}

// Builds the tree; access times are a shuffled run of distinct seconds.
bool makeTree(const std::string &strRoot) {
    std::vector<long long> vecTimes(TOTAL_FILES);
    for (int i = 0; i < TOTAL_FILES; ++i) vecTimes[i] = 1000000000LL + i;
    std::mt19937 rng(42);
    std::shuffle(vecTimes.begin(), vecTimes.end(), rng);
    int nFile = 0;
    for (int t = 0; t < TOP_DIRS; ++t) {
        std::string strTop = strRoot + "/t" + std::to_string(t);
        if (mkdir(strTop.c_str(), 0755) != 0) return false;
        for (int s = 0; s < SUB_DIRS; ++s) {
            std::string strSub = strTop + "/s" + std::to_string(s);
            if (mkdir(strSub.c_str(), 0755) != 0) return false;
            for (int f = 0; f < FILES_PER_DIR; ++f) {
                std::string strFile = strSub + "/video" + std::to_string(f) + ".mp4";
                int nFd = open(strFile.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
                if (nFd < 0) return false;
                struct timespec aTimes[2] = {{(time_t)vecTimes[nFile++], 0}, {0, UTIME_OMIT}};
                bool bOk = futimens(nFd, aTimes) == 0;
                close(nFd);
                if (!bOk) return false;
            }
        }
    }
    return true;
}

std::vector<std::string> runPipeline(const std::string &strRoot) {
    std::string strCmd = "find '" + strRoot + "' -type f -printf '%A@ %p\\n' | sort -n | head -" +
                         std::to_string(LIMIT);
    std::vector<std::string> vecPaths;
    FILE *pPipe = popen(strCmd.c_str(), "r");
    if (pPipe == nullptr) return vecPaths;
    char szLine[4096];
    while (std::fgets(szLine, sizeof szLine, pPipe) != nullptr) {
        std::string strLine(szLine);
        if (!strLine.empty() && strLine.back() == '\n') strLine.pop_back();
        size_t nBlank = strLine.find(' ');
        vecPaths.push_back(nBlank == std::string::npos ? strLine : strLine.substr(nBlank + 1));
    }
    pclose(pPipe);
    return vecPaths;
}

}  // namespace

int main() {
    const char *pszBase = std::getenv("TMPDIR");
    std::string strTemplate =
        std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/bench-evict-XXXXXX";
    if (mkdtemp(&strTemplate[0]) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string strRoot = strTemplate;
    double dStart = nowSeconds();
    if (!makeTree(strRoot)) {
        std::perror("making the tree");
        nftw(strRoot.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
        return 1;
    }
    std::printf("tree: %d files in %d directories under %s, made in %.1f s\n", TOTAL_FILES,
                TOP_DIRS * (SUB_DIRS + 1), strRoot.c_str(), nowSeconds() - dStart);

    std::vector<std::string> vecPipe = runPipeline(strRoot);  // also warms the caches
    double dBestWalk = 1e9, dBestPipe = 1e9;
    OldestMap mapOldest;
    for (int r = 0; r < ROUNDS; ++r) {
        double d0 = nowSeconds();
        mapOldest.clear();
        collectOldest(strRoot + "/", LIMIT, mapOldest);
        double d1 = nowSeconds();
        vecPipe = runPipeline(strRoot);
        double d2 = nowSeconds();
        dBestWalk = std::min(dBestWalk, d1 - d0);
        dBestPipe = std::min(dBestPipe, d2 - d1);
    }
    std::vector<std::string> vecWalk;
    for (const OldestMap::value_type &entry : mapOldest) vecWalk.push_back(entry.second);
    bool bSame = vecWalk == vecPipe;

    std::printf("collectOldest (limit %d):                 %8.1f ms  (best of %d)\n", LIMIT,
                dBestWalk * 1e3, ROUNDS);
    std::printf("find -printf | sort -n | head -%d:        %8.1f ms  (best of %d)\n", LIMIT,
                dBestPipe * 1e3, ROUNDS);
    std::printf("walk / pipeline: %.2f (target <= 1.00); same %d files chosen: %s\n",
                dBestWalk / dBestPipe, LIMIT, bSame ? "yes" : "NO");
    nftw(strRoot.c_str(), removeEntry, 64, FTW_DEPTH | FTW_PHYS);
    return bSame ? 0 : 1;
}
