#include "tempdir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

int RemoveEntry(const char *pszPath, const struct stat *, int, struct FTW *) {
    return ::remove(pszPath);
}

}  // namespace

CTempDir::CTempDir() {
    const char *pszBase = std::getenv("TMPDIR");
    std::string strTemplate =
        std::string(pszBase && *pszBase ? pszBase : "/tmp") + "/cachenode-XXXXXX";
    if (mkdtemp(&strTemplate[0]) != nullptr) m_strPath = strTemplate;
}

CTempDir::~CTempDir() {
    if (!m_strPath.empty()) nftw(m_strPath.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

bool WriteFile(const std::string &strPath, const std::string &strText) {
    FILE *pFile = std::fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) return false;
    bool bOk = std::fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    return std::fclose(pFile) == 0 && bOk;
}

std::string ReadFile(const std::string &strPath) {
    std::string strText;
    FILE *pFile = std::fopen(strPath.c_str(), "rb");
    if (pFile == nullptr) return strText;
    char szBuf[65536];
    size_t nRead;
    while ((nRead = std::fread(szBuf, 1, sizeof szBuf, pFile)) > 0) strText.append(szBuf, nRead);
    std::fclose(pFile);
    return strText;
}

bool Exists(const std::string &strPath) {
    struct stat st;
    return lstat(strPath.c_str(), &st) == 0;
}

}  // namespace testsupport
