// cachekit rebalance: before a disk is added or removed, maps a sample of file
// names with uri2d over the directory list in use and the planned one and shows
// how the files spread and what moves.
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "cli.h"

namespace {

const char HELP_REBALANCE[] =
    "usage: cachekit rebalance NOW PLANNED [--names FILE | --generate N] [--ascii | --unicode]\n"
    "\n"
    "Before adding or removing a disk: maps a sample of file names with uri2d over\n"
    "the directory list NOW and over the list PLANNED ('|' between names), and\n"
    "shows per directory the share of files it holds in each, how many leave and\n"
    "arrive, and the share of all files that would move to another directory.\n"
    "\n"
    "  --names FILE   one URL, path or file name a line ('-': standard input);\n"
    "                 only the last piece up to its first '.' counts, as in uri2d\n"
    "  --generate N   N made-up names (default 5000; the library builds its ring\n"
    "                 afresh per call, so large samples take a while)\n"
    "  --ascii        bars of '#'; --unicode: block characters (default: by locale)\n";

struct sShare {
    long nNow = 0;
    long nPlanned = 0;
    long nLeave = 0;
    long nArrive = 0;
};

// What uri2d appends behind the directory for the URL "s/<name>.x": the text
// itself, or, when the name holds a ':', the text cut there and the piece from
// the first '/' to the ':' once more.
std::string MappedSuffix(const std::string &strUrl) {
    size_t nColon = strUrl.find(':');
    if (nColon == std::string::npos) return "/" + strUrl;
    size_t nSlash = strUrl.find('/');
    std::string strCut = strUrl.substr(0, nColon);
    return "/" + strCut + (nSlash < nColon ? strCut.substr(nSlash) : std::string());
}

// The directory of listNames that uri2d picks for strUrl, or the empty text.
std::string MapToDir(decltype(&uri2d) pUri2d, std::vector<char> &szOut, const std::string &strUrl,
                     const char *pszDirs, const std::vector<std::string> &listNames) {
    std::fill(szOut.begin(), szOut.end(), 0);
    pUri2d(szOut.data(), strUrl.c_str(), pszDirs);
    std::string strOut = szOut.data();
    std::string strSuffix = MappedSuffix(strUrl);
    if (strOut.size() < strSuffix.size() ||
        strOut.compare(strOut.size() - strSuffix.size(), strSuffix.size(), strSuffix) != 0)
        return std::string();
    std::string strDir = strOut.substr(0, strOut.size() - strSuffix.size());
    for (const std::string &strName : listNames)
        if (strName == strDir) return strDir;
    return std::string();
}

// uri2d hashes the last piece of a URL up to its first '.'.
std::string HashedName(std::string strLine) {
    size_t nSlash = strLine.rfind('/');
    if (nSlash != std::string::npos) strLine.erase(0, nSlash + 1);
    size_t nDot = strLine.find('.');
    if (nDot != std::string::npos) strLine.erase(nDot);
    return strLine;
}

bool ReadNames(const char *pszFile, std::vector<std::string> &listNames) {
    FILE *pFile = std::strcmp(pszFile, "-") == 0 ? stdin : std::fopen(pszFile, "r");
    if (pFile == nullptr) {
        Fail("cannot read %s: %s", pszFile, std::strerror(errno));
        return false;
    }
    std::string strLine;
    int c;
    while ((c = std::fgetc(pFile)) != EOF || !strLine.empty()) {
        if (c != EOF && c != '\n') {
            strLine.push_back(static_cast<char>(c));
            continue;
        }
        if (!strLine.empty() && strLine.back() == '\r') strLine.pop_back();
        if (!strLine.empty()) listNames.push_back(strLine);
        strLine.clear();
        if (c == EOF) break;
    }
    if (pFile != stdin) std::fclose(pFile);
    return true;
}

// A bar of nWidth cells for dFraction (0 to 1) of that width.
std::string Bar(double dFraction, int nWidth, bool bUnicode) {
    static const char *const PARTS[8] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    int nEighths = static_cast<int>(dFraction * nWidth * 8 + 0.5);
    std::string strBar;
    int nCells = 0;
    if (bUnicode) {
        for (; nEighths >= 8; nEighths -= 8, ++nCells) strBar += "█";
        if (nEighths > 0) {
            strBar += PARTS[nEighths];
            ++nCells;
        }
    } else {
        for (int n = (nEighths + 4) / 8; n > 0; --n, ++nCells) strBar += '#';
    }
    strBar.append(static_cast<size_t>(nWidth > nCells ? nWidth - nCells : 0), ' ');
    return strBar;
}

int RunRebalance(int argc, char **argv) {
    enum { OPT_NAMES = 1, OPT_GENERATE, OPT_ASCII, OPT_UNICODE };
    static const option OPTIONS[] = {{"names", required_argument, nullptr, OPT_NAMES},
                                     {"generate", required_argument, nullptr, OPT_GENERATE},
                                     {"ascii", no_argument, nullptr, OPT_ASCII},
                                     {"unicode", no_argument, nullptr, OPT_UNICODE},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    const char *pszNamesFile = nullptr;
    long nGenerate = 0;
    int nUnicode = -1;  // -1: by locale
    int nFirst = ReadOptions(argc, argv, false, OPTIONS, [&](int nOption, const char *pszArg) {
        if (nOption == OPT_NAMES) pszNamesFile = pszArg;
        if (nOption == OPT_ASCII || nOption == OPT_UNICODE) nUnicode = nOption == OPT_UNICODE;
        if (nOption == OPT_GENERATE && !ParsePositive(pszArg, 10000000L, nGenerate)) {
            Fail("--generate wants a count from 1 to 10000000, not \"%s\"", pszArg);
            return false;
        }
        return true;
    });
    if (nFirst < 0) return OptionsExit(nFirst);
    if (argc - nFirst != 2)
        return Fail(
            "expected two directory lists, NOW and PLANNED (see cachekit rebalance --help)");
    const char *pszNow = argv[nFirst];
    const char *pszPlanned = argv[nFirst + 1];
    if (pszNamesFile != nullptr && nGenerate > 0)
        return Fail("give either --names or --generate, not both");
    std::vector<std::string> listNow, listPlanned;
    if (!CheckDirs("NOW", pszNow, listNow) || !CheckDirs("PLANNED", pszPlanned, listPlanned))
        return EXIT_ERROR;

    std::vector<std::string> listSample;
    if (pszNamesFile != nullptr) {
        if (!ReadNames(pszNamesFile, listSample)) return EXIT_ERROR;
        if (listSample.empty()) return Fail("%s holds no names", pszNamesFile);
    } else {
        if (nGenerate == 0) nGenerate = 5000;
        char szName[32];
        for (long n = 0; n < nGenerate; ++n) {
            std::snprintf(szName, sizeof(szName), "sample%07ld", n);
            listSample.push_back(szName);
        }
    }

    auto pUri2d = EXPORT_OF(uri2d);
    if (pUri2d == nullptr) return EXIT_ERROR;
    std::map<std::string, sShare> mapShares;
    std::vector<std::string> listOrder;  // NOW's names, then PLANNED's new ones
    for (const std::vector<std::string> *pList : {&listNow, &listPlanned})
        for (const std::string &strName : *pList)
            if (mapShares.emplace(strName, sShare()).second) listOrder.push_back(strName);

    std::vector<char> szOut(URI_PATH_MAX, 0);
    long nMapped = 0, nMoved = 0, nSkipped = 0;
    for (const std::string &strLine : listSample) {
        std::string strName = HashedName(strLine);
        if (strName.size() + 4 > MAX_URL_TEXT) {
            ++nSkipped;
            continue;
        }
        std::string strUrl = "s/" + strName + ".x";
        std::string strNowDir = MapToDir(pUri2d, szOut, strUrl, pszNow, listNow);
        std::string strPlannedDir = MapToDir(pUri2d, szOut, strUrl, pszPlanned, listPlanned);
        if (strNowDir.empty() || strPlannedDir.empty())
            return Fail("the library mapped \"%s\" outside the directory lists: %s",
                        strLine.c_str(), szOut.data());
        ++nMapped;
        ++mapShares[strNowDir].nNow;
        ++mapShares[strPlannedDir].nPlanned;
        if (strNowDir != strPlannedDir) {
            ++nMoved;
            ++mapShares[strNowDir].nLeave;
            ++mapShares[strPlannedDir].nArrive;
        }
    }
    if (nMapped == 0)
        return Fail("no name of the sample could be mapped (all longer than %zu bytes)",
                    MAX_URL_TEXT);

    bool bUnicode = nUnicode == 1;
    if (nUnicode < 0) {
        std::setlocale(LC_CTYPE, "");
        bUnicode = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    }
    const int BAR_WIDTH = 20;
    size_t nNameWidth = 9;
    long nMaxCount = 1;
    for (const std::string &strName : listOrder) {
        nNameWidth = std::max(nNameWidth, strName.size());
        nMaxCount =
            std::max(nMaxCount, std::max(mapShares[strName].nNow, mapShares[strName].nPlanned));
    }
    std::printf(
        "%ld names (%s)%s; %zu directories now, %zu planned; bars scaled to the largest share\n\n",
        nMapped, pszNamesFile ? pszNamesFile : "generated",
        nSkipped ? " (some skipped: too long)" : "", listNow.size(), listPlanned.size());
    std::printf("%-*s  %-*s  %-*s  %7s  %7s\n", static_cast<int>(nNameWidth), "directory",
                BAR_WIDTH + 8, "now", BAR_WIDTH + 8, "planned", "leave", "arrive");
    for (const std::string &strName : listOrder) {
        const sShare &share = mapShares[strName];
        std::printf(
            "%-*s  %6.2f%% %s  %6.2f%% %s  %7ld  %7ld\n", static_cast<int>(nNameWidth),
            strName.c_str(), 100.0 * share.nNow / nMapped,
            Bar(static_cast<double>(share.nNow) / nMaxCount, BAR_WIDTH, bUnicode).c_str(),
            100.0 * share.nPlanned / nMapped,
            Bar(static_cast<double>(share.nPlanned) / nMaxCount, BAR_WIDTH, bUnicode).c_str(),
            share.nLeave, share.nArrive);
    }
    std::printf("\nmoved: %.2f%% of the files (%ld of %ld) change directory\n",
                100.0 * nMoved / nMapped, nMoved, nMapped);
    return EXIT_YES;
}

}  // namespace

const sCommand CMD_REBALANCE = {"rebalance", "what moves when the directory list changes",
                                HELP_REBALANCE, RunRebalance};
