// The key=value store: reading and writing rules, lookups and changes.
#include "config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shellword.h"

namespace {

// A zeroed block for one entry, sized for its text and value (at least
// CONFIG_BLOCK_SIZE bytes); pszValue null for kind 0.
char *NewEntry(int nKind, const char *pszText, size_t nText, const char *pszValue) {
    size_t nValue = pszValue ? std::strlen(pszValue) : 0;
    size_t nNeed = 1 + nText + 1 + nValue + 1;
    size_t nSize = nNeed > CONFIG_BLOCK_SIZE ? nNeed : CONFIG_BLOCK_SIZE;
    char *pBlock = new char[nSize]();
    pBlock[0] = (char)nKind;
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
    if (*p == '#') return NewEntry(0, p, std::strlen(p), nullptr);
    if (*p == 0) return NewEntry(0, " ", 1, nullptr);
    const char *pEq = std::strchr(p, '=');
    if (pEq == nullptr) return nullptr;
    size_t nKey = 0;
    while (p + nKey < pEq && p[nKey] != ' ') ++nKey;
    const char *pValue = pEq + 1;
    while (*pValue == ' ') ++pValue;
    return NewEntry(1, p, nKey, pValue);
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
    if (pBlock[0] == 1) {
        const char *pszValue = EntryValue(pBlock);
        return std::fprintf(pFile, "%s=%s%s", pszText, pszValue, LineEnd(pszValue)) >= 0;
    }
    if (pszText[0] == '#') return std::fprintf(pFile, "%s%s", pszText, LineEnd(pszText)) >= 0;
    return std::fputc('\n', pFile) != EOF;
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
    FILE *pFile = std::fopen(config->fileName, "w+");
    if (pFile == nullptr) {
        const char *pSlash = std::strrchr(config->fileName, '/');
        if (pSlash != nullptr && pSlash != config->fileName) {
            std::string strDir(config->fileName, pSlash - config->fileName);
            createDirByName(strDir.c_str());
        }
        pFile = std::fopen(config->fileName, "w+");
        if (pFile == nullptr) return 0;
    }
    bool bOk = true;
    for (int i = 0; i < config->entryCount && bOk; ++i) bOk = WriteEntry(pFile, config->entries[i]);
    // The close flushes: a full disk shows up there as often as in a write.
    if (std::fclose(pFile) != 0) bOk = false;
    return bOk ? 1 : 0;
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
    if (i < 0 || store->entries[i][0] != 1) return nullptr;
    return const_cast<char *>(EntryValue(store->entries[i]));
}

int CBaseConfig::SetValue(const char *key, const char *value) {
    int i = FindEntry(key);
    if (i < 0 || value == nullptr || store->entries[i][0] != 1) return 0;
    char *pOld = store->entries[i];
    store->entries[i] = NewEntry(1, EntryText(pOld), std::strlen(EntryText(pOld)), value);
    delete[] pOld;
    SaveConfig(store);
    return 1;
}

int CBaseConfig::AddValue(const char *key, const char *value) {
    if (store == nullptr || key == nullptr || value == nullptr || FindEntry(key) >= 0) return 0;
    return AppendEntry(NewEntry(1, key, std::strlen(key), value));
}

int CBaseConfig::AddValue(const char *text) {
    if (store == nullptr || text == nullptr || FindEntry(text) >= 0) return 0;
    return AppendEntry(NewEntry(0, text, std::strlen(text), nullptr));
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
