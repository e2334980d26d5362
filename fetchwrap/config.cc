// The key=value store: reading and writing rules, lookups and changes.
#include "config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shellword.h"

namespace {

// A zeroed block for one entry, sized for its text and value (at least
// CONFIG_BLOCK_SIZE bytes); pszValue null for CONFIG_KIND_LINE.
char *NewEntry(EConfigKind eKind, const char *pszText, size_t nText, const char *pszValue) {
    size_t nValue = pszValue ? std::strlen(pszValue) : 0;
    size_t nNeed = 1 + nText + 1 + nValue + 1;
    size_t nSize = nNeed > CONFIG_BLOCK_SIZE ? nNeed : CONFIG_BLOCK_SIZE;
    char *pBlock = new char[nSize]();
    pBlock[0] = (char)eKind;
    std::memcpy(pBlock + 1, pszText, nText);
    if (pszValue) std::memcpy(pBlock + 1 + nText + 1, pszValue, nValue);
    return pBlock;
}

const char *EntryText(const char *pBlock) {
    return pBlock + 1;
}
const char *EntryValue(const char *pBlock) {
    return pBlock + 1 + std::strlen(pBlock + 1) + 1;
}

// One line of the file (without its NUL) as an entry block, or null when the
// reading rules drop it.
char *ParseLine(char *pszLine) {
    char *pCut = std::strstr(pszLine, "\r\n");
    if (pCut) *pCut = 0;
    pCut = std::strchr(pszLine, '\n');
    if (pCut) *pCut = 0;
    const char *p = pszLine;
    while (*p == ' ') ++p;  // the space only: a tab is part of the text
    if (*p == '=') return nullptr;
    if (*p == '#') return NewEntry(CONFIG_KIND_LINE, p, std::strlen(p), nullptr);
    if (*p == 0) return NewEntry(CONFIG_KIND_LINE, " ", 1, nullptr);
    const char *pEq = std::strchr(p, '=');
    if (pEq == nullptr) return nullptr;
    size_t nKey = 0;
    while (p + nKey < pEq && p[nKey] != ' ') ++nKey;
    const char *pValue = pEq + 1;
    while (*pValue == ' ') ++pValue;
    return NewEntry(CONFIG_KIND_PAIR, p, nKey, pValue);
}

bool CopyPath(char *pDst, size_t nSize, const char *pszSrc) {
    size_t n = std::strlen(pszSrc);
    if (n >= nSize) {
        pDst[0] = 0;
        return false;
    }
    std::memcpy(pDst, pszSrc, n + 1);
    return true;
}

// The line end for a line whose last byte is c. A value or comment may end in a
// carriage return (a line cut at a NUL, a last line without a line feed, or one
// ending "\r\r\n"); written with a bare "\n" it would read back as a "\r\n"
// ending and lose that CR, so such a line gets a "\r\n" ending of its own.
const char *LineEnd(const char *pszLast) {
    size_t n = std::strlen(pszLast);
    return n > 0 && pszLast[n - 1] == '\r' ? "\r\n" : "\n";
}

bool WriteEntry(FILE *pFile, const char *pBlock) {
    const char *pszText = EntryText(pBlock);
    if (pBlock[0] == CONFIG_KIND_PAIR) {
        const char *pszValue = EntryValue(pBlock);
        return std::fprintf(pFile, "%s=%s%s", pszText, pszValue, LineEnd(pszValue)) >= 0;
    }
    if (pszText[0] == '#') return std::fprintf(pFile, "%s%s", pszText, LineEnd(pszText)) >= 0;
    return std::fputc('\n', pFile) != EOF;
}

// The kernel follows at most 40 links in one lookup (MAXSYMLINKS).
const int CONFIG_MAX_LINKS = 40;

// The directory part of a path with its last '/', or "" when there is none.
std::string DirPart(const std::string &strPath) {
    size_t nSlash = strPath.rfind('/');
    return nSlash == std::string::npos ? "" : strPath.substr(0, nSlash + 1);
}

// Follows pszName through symbolic links (at most CONFIG_MAX_LINKS of them) to the
// name that a save must replace, so that a link stays a link: strTarget, with
// bExists and its stat in st when something is there. A relative link is taken
// from the directory of the link. false when a link cannot be read, the chain
// is too long, or the name cannot be looked at for another reason than its
// absence.
bool ResolveTarget(const char *pszName, std::string &strTarget, struct stat &st, bool &bExists) {
    strTarget = pszName;
    for (int nLinks = 0;; ++nLinks) {
        if (lstat(strTarget.c_str(), &st) != 0) {
            bExists = false;
            return errno == ENOENT;
        }
        if (!S_ISLNK(st.st_mode)) {
            bExists = true;
            return true;
        }
        if (nLinks == CONFIG_MAX_LINKS) return false;
        // The kernel keeps a link's text below PATH_MAX bytes.
        char szLink[PATH_MAX];
        ssize_t nLen = readlink(strTarget.c_str(), szLink, sizeof szLink);
        if (nLen <= 0 || (size_t)nLen >= sizeof szLink) return false;
        std::string strLink(szLink, (size_t)nLen);
        strTarget = strLink[0] == '/' ? strLink : DirPart(strTarget) + strLink;
    }
}

// Creates a new, empty file beside strTarget, named ".<name>.<pid>.<n>" so that
// it is hidden and never taken for the file itself, with permission bits nMode
// (the umask applies). The descriptor, or -1 with errno set.
int CreateTemp(const std::string &strTarget, mode_t nMode, std::string &strTemp) {
    std::string strDir = DirPart(strTarget);
    std::string strBase = strTarget.substr(strDir.size());
    // Room for the dot and the suffix within a name's 255 bytes.
    if (strBase.size() > 200) strBase.resize(200);
    // A name left behind by a killed save of an earlier process with this pid is
    // passed over.
    for (unsigned n = 0; n < 100; ++n) {
        strTemp = strDir + "." + strBase + "." + std::to_string(getpid()) + "." + std::to_string(n);
        int fd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, nMode);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Gives the new file the owner, group and mode of the one it replaces. The owner
// goes first: changing it clears set-id bits, which the mode then restores.
bool KeepOwnerAndMode(int fd, const struct stat &stOld) {
    struct stat stNew;
    if (fstat(fd, &stNew) != 0) return false;
    if ((stNew.st_uid != stOld.st_uid || stNew.st_gid != stOld.st_gid) &&
        fchown(fd, stOld.st_uid, stOld.st_gid) != 0)
        return false;
    return fchmod(fd, stOld.st_mode & 07777) == 0;
}

// Makes the rename itself durable. Best effort: the new file is already in
// place, and nothing can be undone when this fails.
void SyncDirOf(const std::string &strTarget) {
    std::string strDir = DirPart(strTarget);
    int fd = open(strDir.empty() ? "." : strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    int nIgnored = fsync(fd);
    (void)nIgnored;
    close(fd);
}

}  // namespace

sBaseConfig::sBaseConfig() : entryCount(0), bIncomplete(false) {
    fileName[0] = 0;
    std::memset(entries, 0, sizeof(entries));
}

sBaseConfig::~sBaseConfig() {
    for (int i = 0; i < entryCount; ++i) delete[] entries[i];
    entryCount = 0;
}

sBaseConfig *ReadConfig(const char *fileName) {
    sBaseConfig *pConfig = new sBaseConfig;
    if (fileName == nullptr || !CopyPath(pConfig->fileName, sizeof(pConfig->fileName), fileName)) {
        pConfig->bIncomplete = fileName != nullptr;
        return pConfig;
    }
    FILE *pFile = std::fopen(fileName, "r");
    if (pFile == nullptr) return pConfig;
    char *pszLine = nullptr;
    size_t nCap = 0;
    while (getline(&pszLine, &nCap, pFile) >= 0) {
        char *pBlock = ParseLine(pszLine);
        if (pBlock == nullptr) continue;
        if (pConfig->entryCount == CONFIG_MAX_ENTRIES) {
            delete[] pBlock;
            pConfig->bIncomplete = true;
            break;
        }
        pConfig->entries[pConfig->entryCount++] = pBlock;
    }
    std::free(pszLine);
    std::fclose(pFile);
    return pConfig;
}

int SaveConfig(sBaseConfig *config) {
    if (config == nullptr || config->bIncomplete) return 0;
    std::string strTarget;
    struct stat stOld;
    bool bExists = false;
    if (!ResolveTarget(config->fileName, strTarget, stOld, bExists)) return 0;
    // Only a regular file is replaced: a rename over a device, a FIFO or a
    // directory would put a plain file in its place.
    if (bExists && !S_ISREG(stOld.st_mode)) return 0;
    // The rename needs only the directory's permission; a file that could not be
    // opened for writing in place stays as it is.
    if (bExists && faccessat(AT_FDCWD, strTarget.c_str(), W_OK, AT_EACCESS) != 0) return 0;

    std::string strTemp;
    const mode_t nMode = bExists ? stOld.st_mode & 0666 : 0666;
    int fd = CreateTemp(strTarget, nMode, strTemp);
    if (fd < 0 && errno == ENOENT) {
        // The directory without its last '/'; not for "/" or the current one.
        std::string strDir = DirPart(strTarget);
        if (strDir.size() > 1) createDirByName(strDir.substr(0, strDir.size() - 1).c_str());
        fd = CreateTemp(strTarget, nMode, strTemp);
    }
    if (fd < 0) return 0;
    bool bOk = !bExists || KeepOwnerAndMode(fd, stOld);
    FILE *pFile = bOk ? fdopen(fd, "w") : nullptr;
    if (pFile == nullptr) {
        close(fd);
        unlink(strTemp.c_str());
        return 0;
    }
    for (int i = 0; i < config->entryCount && bOk; ++i) bOk = WriteEntry(pFile, config->entries[i]);
    // A full disk shows up in the flush or the fsync as often as in a write.
    bOk = bOk && std::fflush(pFile) == 0 && fsync(fileno(pFile)) == 0;
    if (std::fclose(pFile) != 0) bOk = false;
    if (!bOk || rename(strTemp.c_str(), strTarget.c_str()) != 0) {
        unlink(strTemp.c_str());
        return 0;
    }
    SyncDirOf(strTarget);
    return 1;
}

int FormatMkdirCommand(const char *name, char *szCmd, size_t nSize) {
    if (nSize > 0) szCmd[0] = 0;
    if (name == nullptr || name[0] == 0) return 0;
    std::string strDir = name;
    strDir += '/';
    for (char &c : strDir)
        if (c == '\\') c = '/';
    int n = std::snprintf(szCmd, nSize, "mkdir -p %s", ShellWord(strDir, false).c_str());
    if (n < 0 || (size_t)n >= nSize) {
        if (nSize > 0) szCmd[0] = 0;
        return 0;
    }
    return 1;
}

int createDirByName(const char *name) {
    char szCmd[1024] = {0};
    if (!FormatMkdirCommand(name, szCmd, sizeof(szCmd))) return 0;
    int nIgnored = std::system(szCmd);
    (void)nIgnored;
    return 1;
}

CBaseConfig::CBaseConfig(const char *fileName) : store(ReadConfig(fileName)) {}

CBaseConfig::~CBaseConfig() {
    delete store;
    store = nullptr;
}

int CBaseConfig::FindEntry(const char *key) const {
    if (store == nullptr || key == nullptr) return -1;
    for (int i = 0; i < store->entryCount; ++i) {
        const char *pszText = EntryText(store->entries[i]);
        if (pszText[0] != 0 && std::strcmp(pszText, key) == 0) return i;
    }
    return -1;
}

int CBaseConfig::AppendEntry(char *pBlock) {
    if (store->entryCount == CONFIG_MAX_ENTRIES) {
        delete[] pBlock;
        return 0;
    }
    store->entries[store->entryCount++] = pBlock;
    SaveConfig(store);
    return 1;
}

char *CBaseConfig::GetValue(const char *key) {
    int i = FindEntry(key);
    if (i < 0 || store->entries[i][0] != CONFIG_KIND_PAIR) return nullptr;
    return const_cast<char *>(EntryValue(store->entries[i]));
}

int CBaseConfig::SetValue(const char *key, const char *value) {
    int i = FindEntry(key);
    if (i < 0 || value == nullptr || store->entries[i][0] != CONFIG_KIND_PAIR) return 0;
    char *pOld = store->entries[i];
    store->entries[i] =
        NewEntry(CONFIG_KIND_PAIR, EntryText(pOld), std::strlen(EntryText(pOld)), value);
    delete[] pOld;
    SaveConfig(store);
    return 1;
}

int CBaseConfig::AddValue(const char *key, const char *value) {
    if (store == nullptr || key == nullptr || value == nullptr || FindEntry(key) >= 0) return 0;
    return AppendEntry(NewEntry(CONFIG_KIND_PAIR, key, std::strlen(key), value));
}

int CBaseConfig::AddValue(const char *text) {
    if (store == nullptr || text == nullptr || FindEntry(text) >= 0) return 0;
    return AppendEntry(NewEntry(CONFIG_KIND_LINE, text, std::strlen(text), nullptr));
}

int CBaseConfig::DelValue(const char *key) {
    int i = FindEntry(key);
    if (i < 0) return 0;
    delete[] store->entries[i];
    for (int j = i + 1; j < store->entryCount; ++j) store->entries[j - 1] = store->entries[j];
    store->entries[--store->entryCount] = nullptr;
    SaveConfig(store);
    return 1;
}
