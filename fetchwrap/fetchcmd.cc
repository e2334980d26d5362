// URL rewriting and the client command line.
#include "fetchcmd.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "shellword.h"

int ParsePort(const char *pszValue) {
    if (pszValue == nullptr) return 0;
    long lValue = std::strtol(pszValue, nullptr, 10);
    if (lValue > INT_MAX) return INT_MAX;
    if (lValue < INT_MIN) return INT_MIN;
    return (int)lValue;
}

int BuildClientCommand(const char *pszUrl, int nPort, const char *pszOutput, char *szCmd) {
    szCmd[0] = 0;
    if (std::strncmp(pszUrl, "http://", 7) == 0) pszUrl += 7;
    const char *pSlash = std::strchr(pszUrl, '/');
    if (pSlash == nullptr) return FETCH_CMD_NO_PATH;
    std::string strHost(pszUrl, pSlash - pszUrl);
    size_t nColon = strHost.find(':');
    if (nColon != std::string::npos) strHost.resize(nColon);
    if (strHost.size() >= FETCH_HOST_SIZE) return FETCH_CMD_HOST_TOO_LONG;
    std::string strPath(pSlash + 1);

    // The URL is one word made of plain and quoted pieces side by side; the
    // shell joins them into one argument.
    int n = std::snprintf(szCmd, FETCH_CMD_SIZE, "kelpclient tulaudp://%s:%d/%s %s",
                          ShellWord(strHost, true).c_str(), nPort, ShellWord(strPath, true).c_str(),
                          ShellWord(pszOutput, false).c_str());
    if (n < 0 || (size_t)n >= FETCH_CMD_SIZE) {
        szCmd[0] = 0;
        return FETCH_CMD_TOO_LONG;
    }
    return FETCH_CMD_OK;
}
