// A directory list as uri2d reads it: names separated by runs of '|', spaces
// directly behind a separator dropped, every other byte part of a name. Inline,
// so that the cachekit program checks a list exactly as the library cuts it
// without linking any of the library.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

constexpr size_t DIRS_TEXT_MAX = 10240;  // a directory list is shorter than this

// Walks a list without copying: a piece ends at the next '|'; the cursor then
// skips that '|', every '|' directly behind it and every ' ' behind those. Empty
// pieces are no names. The next name in *ppName and *pnLen; false at the end.
inline bool dirListNext(const char **ppszAt, const char **ppName, size_t *pnLen) {
    const char *p = *ppszAt;
    while (*p != 0) {
        const char *pBar = std::strchr(p, '|');
        if (pBar == nullptr) {
            *ppName = p;
            *pnLen = std::strlen(p);
            *ppszAt = p + *pnLen;
            return true;
        }
        const char *pStart = p;
        p = pBar + 1;
        while (*p == '|') ++p;
        while (*p == ' ') ++p;
        if (pBar > pStart) {
            *ppName = pStart;
            *pnLen = (size_t)(pBar - pStart);
            *ppszAt = p;
            return true;
        }
    }
    *ppszAt = p;
    return false;
}

// Names of a directory list in list order; a text of DIRS_TEXT_MAX bytes or more
// gives no names.
inline std::vector<std::string> splitList(const char *pszText) {
    std::vector<std::string> listNames;
    if (strnlen(pszText, DIRS_TEXT_MAX) >= DIRS_TEXT_MAX) return listNames;
    const char *pszAt = pszText;
    const char *pName;
    size_t nLen;
    while (dirListNext(&pszAt, &pName, &nLen)) listNames.emplace_back(pName, nLen);
    return listNames;
}
