// cachekit: libcachekit from a shell. Loads the library with dlopen, as a host
// process does, looks its exports up by their plain names and calls them; adds
// the operator's question before a disk change (how the files spread, what moves).
#include <dlfcn.h>
#include <getopt.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cachekit/dns.h"
#include "cachekit/uri.h"

namespace {

// Exit statuses: a command that asks a yes/no question answers 0 or 1.
const int EXIT_YES = 0;
const int EXIT_NO = 1;
const int EXIT_ERROR = 2;

// The exports' limits, from the library's own headers (constants only; nothing of
// the library is linked). The library checks them too, but answers only with an
// empty text or "false"; checked here first, an error line can say what is wrong.
const size_t MAX_DIRS_TEXT = DIRS_TEXT_MAX - 1;
const size_t MAX_URL_TEXT = URL_TEXT_MAX - 1;  // without "http://"
const size_t IP_OUT_SIZE = 2048;               // getmsgip asks for 1,361

const char *g_pszCommand = nullptr;  // for error lines: "cachekit uri: ..."
const char *g_pszHelp = nullptr;     // the command's help; null: the program's usage

void PrintUsage(FILE *pOut);

int Fail(const char *pszFormat, ...) __attribute__((format(printf, 1, 2)));
int Fail(const char *pszFormat, ...) {
    std::fprintf(stderr, "cachekit%s%s: ", g_pszCommand ? " " : "",
                 g_pszCommand ? g_pszCommand : "");
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(stderr, pszFormat, args);
    va_end(args);
    std::fputc('\n', stderr);
    return EXIT_ERROR;
}

// ---- the library, as a host process sees it ----------------------------------

typedef int (*FileExistFn)(const char *);
typedef void (*Md5DataFn)(char *, const char *, int);
typedef void (*Md5FileFn)(char *, const char *);
typedef void (*Uri2dFn)(char *, const char *, const char *);
typedef void (*CheckdiskFn)(const char *, const char *, const char *);
typedef void (*GetmsgipFn)(char *, const char *);

struct sLibrary {
    void *pHandle = nullptr;
    std::string strPath;
};

sLibrary g_lib;
std::string g_strLibOption;

// The library that --lib or CACHEKIT_LIB names; else the one installed beside
// this program (bin/../lib); else whatever the dynamic loader finds by SONAME.
std::string LibraryPath() {
    if (!g_strLibOption.empty()) return g_strLibOption;
    const char *pszEnv = std::getenv("CACHEKIT_LIB");
    if (pszEnv != nullptr && pszEnv[0] != 0) return pszEnv;
    char szExe[4096];
    ssize_t nLen = readlink("/proc/self/exe", szExe, sizeof(szExe) - 1);
    if (nLen > 0) {
        szExe[nLen] = 0;
        char *pSlash = std::strrchr(szExe, '/');
        if (pSlash != nullptr) {
            *pSlash = 0;
            std::string strBeside = std::string(szExe) + "/../lib/libcachekit.so.1";
            if (access(strBeside.c_str(), F_OK) == 0) return strBeside;
        }
    }
    return "libcachekit.so.1";
}

// The export of that name, or null after an error line.
void *Export(const char *pszName) {
    if (g_lib.pHandle == nullptr) {
        g_lib.strPath = LibraryPath();
        g_lib.pHandle = dlopen(g_lib.strPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (g_lib.pHandle == nullptr) {
            Fail("cannot load the library: %s (choose one with --lib PATH or CACHEKIT_LIB)",
                 dlerror());
            return nullptr;
        }
    }
    dlerror();
    void *pSym = dlsym(g_lib.pHandle, pszName);
    if (pSym == nullptr) Fail("%s does not export %s", g_lib.strPath.c_str(), pszName);
    return pSym;
}

// ---- argument checks ----------------------------------------------------------

const option HELP_ONLY[] = {{"help", no_argument, nullptr, 'h'}, {}};

const int OPTIONS_HELP = -1;    // ReadOptions printed the help
const int OPTIONS_FAILED = -2;  // ReadOptions printed an error line

// Reads the options of argv (argv[0] the program or the command) with getopt_long:
// -h and --help print the help, every other option of pLong goes to fnOption with
// its argument, and fnOption returns false after an error line of its own. With
// bInOrder the options end at the first operand; otherwise they may stand between
// and after the operands. Returns the index of the first operand (getopt moves the
// operands behind the options), OPTIONS_HELP or OPTIONS_FAILED.
int ReadOptions(int argc, char **argv, bool bInOrder, const option *pLong = HELP_ONLY,
                const std::function<bool(int, const char *)> &fnOption = {}) {
    opterr = 0;  // the error lines are ours
    optind = 0;  // a fresh scan of a new argument vector
    int nOption;
    while ((nOption = getopt_long(argc, argv, bInOrder ? "+:h" : ":h", pLong, nullptr)) != -1) {
        // Only -h is short: an option in error is the word that getopt just took,
        // or, for an unknown letter, that letter.
        std::string strWord = optopt != 0 && nOption == '?' ? std::string("-") + char(optopt)
                                                            : std::string(argv[optind - 1]);
        if (nOption == 'h') {
            if (g_pszHelp != nullptr) {
                std::fputs(g_pszHelp, stdout);
            } else {
                PrintUsage(stdout);
            }
            return OPTIONS_HELP;
        }
        if (nOption == '?') {
            Fail("unknown option %s (see cachekit%s%s --help)", strWord.c_str(),
                 g_pszCommand ? " " : "", g_pszCommand ? g_pszCommand : "");
            return OPTIONS_FAILED;
        }
        if (nOption == ':') {
            Fail("%s needs a value", strWord.c_str());
            return OPTIONS_FAILED;
        }
        if (fnOption && !fnOption(nOption, optarg)) return OPTIONS_FAILED;
    }
    return optind;
}

// The exit status of a command whose options ended it.
int OptionsExit(int nFirst) {
    return nFirst == OPTIONS_HELP ? EXIT_YES : EXIT_ERROR;
}

// A whole decimal number from 1 to nMax, nothing before or after it.
bool ParsePositive(const char *pszText, long nMax, long &nValue) {
    if (pszText[0] < '0' || pszText[0] > '9') return false;
    errno = 0;
    char *pEnd = nullptr;
    long n = std::strtol(pszText, &pEnd, 10);
    if (errno != 0 || *pEnd != 0 || n < 1 || n > nMax) return false;
    nValue = n;
    return true;
}

// The directory names of a list, split as the library splits it: runs of '|' are
// one separator, blanks right after a separator are skipped, all else is kept.
std::vector<std::string> SplitDirs(const std::string &strDirs) {
    std::vector<std::string> listNames;
    size_t nPos = 0;
    while (nPos < strDirs.size()) {
        size_t nBar = strDirs.find('|', nPos);
        if (nBar == std::string::npos) {
            listNames.push_back(strDirs.substr(nPos));
            break;
        }
        if (nBar > nPos) listNames.push_back(strDirs.substr(nPos, nBar - nPos));
        nPos = nBar;
        while (nPos < strDirs.size() && strDirs[nPos] == '|') ++nPos;
        while (nPos < strDirs.size() && strDirs[nPos] == ' ') ++nPos;
    }
    return listNames;
}

// Checks a directory list against uri2d's contract; the names on success.
bool CheckDirs(const char *pszWhat, const char *pszDirs, std::vector<std::string> &listNames) {
    if (std::strlen(pszDirs) > MAX_DIRS_TEXT) {
        Fail("%s list is longer than %zu bytes", pszWhat, MAX_DIRS_TEXT);
        return false;
    }
    listNames = SplitDirs(pszDirs);
    if (listNames.empty()) {
        Fail("%s list names no directory (separate names with '|')", pszWhat);
        return false;
    }
    for (const std::string &strName : listNames) {
        if (strName.size() > DIR_NAME_MAX) {
            Fail("%s list: a directory name is longer than %zu bytes", pszWhat, DIR_NAME_MAX);
            return false;
        }
    }
    return true;
}

// ---- commands -----------------------------------------------------------------

const char HELP_URI[] =
    "usage: cachekit uri URL DIRS\n"
    "\n"
    "Prints the local cache path that uri2d gives URL among the directories of\n"
    "DIRS ('|' between names, e.g. \"/data1|/data2\"). Only the file name of the\n"
    "URL, up to its first '.', picks the directory; the path is the directory,\n"
    "the host without its port and the URL's path up to the end of the extension.\n"
    "A leading \"http://\" is dropped. The URL must contain a '/' and a '.' in its\n"
    "last piece, and be shorter than 1024 bytes without \"http://\".\n";

int RunUri(int argc, char **argv) {
    int nFirst = ReadOptions(argc, argv, false);
    if (nFirst < 0) return OptionsExit(nFirst);
    if (argc - nFirst != 2) return Fail("expected URL and DIRS (see cachekit uri --help)");
    const char *pszUrl = argv[nFirst];
    const char *pszDirs = argv[nFirst + 1];
    std::vector<std::string> listNames;
    if (!CheckDirs("DIRS", pszDirs, listNames)) return EXIT_ERROR;
    const char *pszText = std::strncmp(pszUrl, "http://", 7) == 0 ? pszUrl + 7 : pszUrl;
    if (std::strlen(pszText) > MAX_URL_TEXT)
        return Fail("URL is longer than %zu bytes", MAX_URL_TEXT);
    const char *pszLastSlash = std::strrchr(pszText, '/');
    if (pszLastSlash == nullptr) return Fail("URL has no '/' before its file name: %s", pszUrl);
    if (std::strchr(pszLastSlash, '.') == nullptr)
        return Fail("URL's file name has no extension: %s", pszUrl);

    Uri2dFn pUri2d = reinterpret_cast<Uri2dFn>(Export("uri2d"));
    if (pUri2d == nullptr) return EXIT_ERROR;
    std::vector<char> szOut(URI_PATH_MAX, 0);
    pUri2d(szOut.data(), pszUrl, pszDirs);
    std::printf("%s\n", szOut.data());
    return EXIT_YES;
}

const char HELP_MD5[] =
    "usage: cachekit md5 TEXT\n"
    "       cachekit md5 --file PATH\n"
    "\n"
    "Prints the MD5 digest, as 32 lowercase hex digits, of the bytes of TEXT\n"
    "(md5data) or of the content of the file PATH (md5file). The library gives\n"
    "the digest of the empty input for a file it cannot read; this command says\n"
    "so instead, with an error. A TEXT that begins with '-' goes after \"--\".\n";

int RunMd5(int argc, char **argv) {
    static const option OPTIONS[] = {
        {"file", required_argument, nullptr, 'f'}, {"help", no_argument, nullptr, 'h'}, {}};
    const char *pszPath = nullptr;
    int nFirst = ReadOptions(argc, argv, false, OPTIONS, [&](int, const char *pszArg) {
        pszPath = pszArg;
        return true;
    });
    if (nFirst < 0) return OptionsExit(nFirst);
    int nOperands = argc - nFirst;
    char szOut[33 + 31] = {0};
    if (pszPath != nullptr && nOperands == 0) {
        struct stat st;
        if (stat(pszPath, &st) != 0)
            return Fail("cannot read %s: %s", pszPath, std::strerror(errno));
        if (S_ISDIR(st.st_mode)) return Fail("cannot read %s: it is a directory", pszPath);
        FILE *pFile = std::fopen(pszPath, "rb");
        if (pFile == nullptr) return Fail("cannot read %s: %s", pszPath, std::strerror(errno));
        std::fclose(pFile);
        Md5FileFn pMd5File = reinterpret_cast<Md5FileFn>(Export("md5file"));
        if (pMd5File == nullptr) return EXIT_ERROR;
        pMd5File(szOut, pszPath);
    } else if (pszPath == nullptr && nOperands == 1) {
        const char *pszText = argv[nFirst];
        Md5DataFn pMd5Data = reinterpret_cast<Md5DataFn>(Export("md5data"));
        if (pMd5Data == nullptr) return EXIT_ERROR;
        pMd5Data(szOut, pszText, static_cast<int>(std::strlen(pszText)));
    } else {
        return Fail("expected TEXT or --file PATH (see cachekit md5 --help)");
    }
    std::printf("%s\n", szOut);
    return EXIT_YES;
}

const char HELP_EXISTS[] =
    "usage: cachekit exists PATH\n"
    "\n"
    "Asks fileExist whether PATH names a file system object of any kind\n"
    "(symbolic links followed). Prints \"exists\" and exits 0, or prints\n"
    "\"missing\" and exits 1.\n";

int RunExists(int argc, char **argv) {
    int nFirst = ReadOptions(argc, argv, false);
    if (nFirst < 0) return OptionsExit(nFirst);
    if (argc - nFirst != 1) return Fail("expected one PATH (see cachekit exists --help)");
    FileExistFn pFileExist = reinterpret_cast<FileExistFn>(Export("fileExist"));
    if (pFileExist == nullptr) return EXIT_ERROR;
    bool bExists = pFileExist(argv[nFirst]) == 0;
    std::printf("%s\n", bExists ? "exists" : "missing");
    return bExists ? EXIT_YES : EXIT_NO;
}

const char HELP_RESOLVE[] =
    "usage: cachekit resolve HOST\n"
    "\n"
    "Resolves HOST to its IPv4 addresses with getmsgip and prints one address a\n"
    "line; exits 1 when none was found. The library does not use the system's\n"
    "resolver settings: it sends its own DNS queries over UDP port 53 to the public\n"
    "resolvers 223.5.5.5 and 8.8.8.8, up to 10 attempts of 100 ms, so a name that\n"
    "does not resolve takes about a second. Only A records of the name itself\n"
    "count (a name that is an alias gives none).\n";

// A name the resolver can put into its query: labels of 1 to DNS_MAX_LABEL bytes,
// DNS_MAX_NAME bytes in all, one trailing dot (the root) dropped first; no blanks or
// control characters, which the resolver would send as they are.
bool CheckHostName(std::string &strHost) {
    if (!strHost.empty() && strHost.back() == '.') strHost.pop_back();
    if (strHost.empty() || strHost.size() > static_cast<size_t>(DNS_MAX_NAME)) return false;
    size_t nLabel = 0;
    for (char c : strHost) {
        if (c == '.') {
            if (nLabel == 0) return false;
            nLabel = 0;
        } else if (++nLabel > static_cast<size_t>(DNS_MAX_LABEL) || c == ' ' ||
                   static_cast<unsigned char>(c) < 0x20) {
            return false;
        }
    }
    return nLabel > 0;
}

int RunResolve(int argc, char **argv) {
    int nFirst = ReadOptions(argc, argv, false);
    if (nFirst < 0) return OptionsExit(nFirst);
    if (argc - nFirst != 1) return Fail("expected one HOST (see cachekit resolve --help)");
    std::string strHost = argv[nFirst];
    if (!CheckHostName(strHost)) return Fail("not a valid host name: \"%s\"", argv[nFirst]);
    GetmsgipFn pGetmsgip = reinterpret_cast<GetmsgipFn>(Export("getmsgip"));
    if (pGetmsgip == nullptr) return EXIT_ERROR;
    char szOut[IP_OUT_SIZE] = {0};
    pGetmsgip(szOut, strHost.c_str());
    if (std::strcmp(szOut, "false") == 0) {
        std::fprintf(stderr, "cachekit resolve: no address found for %s\n", strHost.c_str());
        return EXIT_NO;
    }
    for (const char *p = szOut; *p != 0;) {
        const char *pBar = std::strchr(p, '|');
        size_t nLen = pBar ? static_cast<size_t>(pBar - p) : std::strlen(p);
        std::printf("%.*s\n", static_cast<int>(nLen), p);
        p += nLen + (pBar ? 1 : 0);
    }
    return EXIT_YES;
}

const char HELP_CHECKDISK[] =
    "usage: cachekit checkdisk DIR [--min-free GB] [--max-files N] --yes\n"
    "\n"
    "WARNING: this REMOVES FILES. When the file system that holds DIR has less\n"
    "than GB GiB free (default 80), checkdisk deletes up to N (default 20) of the\n"
    "least recently accessed files anywhere below DIR, without asking, and with\n"
    "each one every symbolic link on the whole system that points at it (a\n"
    "'find /' per file). When /usr/local/dadiv-urede/conf/onDelete.txt names a\n"
    "notification URL, a file is removed only if that URL answers \"200 OK\".\n"
    "Removals are logged in /usr/local/dadiv-urede/logs/autodel.log.\n"
    "\n"
    "Without --yes nothing is removed: the command shows the free space and\n"
    "whether files would go, and exits 2.\n";

int RunCheckdisk(int argc, char **argv) {
    enum { OPT_MIN_FREE = 1, OPT_MAX_FILES, OPT_YES };
    static const option OPTIONS[] = {{"min-free", required_argument, nullptr, OPT_MIN_FREE},
                                     {"max-files", required_argument, nullptr, OPT_MAX_FILES},
                                     {"yes", no_argument, nullptr, OPT_YES},
                                     {"help", no_argument, nullptr, 'h'},
                                     {}};
    const char *pszMinFree = "80";
    const char *pszMaxFiles = "20";
    bool bYes = false;
    int nFirst = ReadOptions(argc, argv, false, OPTIONS, [&](int nOption, const char *pszArg) {
        if (nOption == OPT_YES) {
            bYes = true;
            return true;
        }
        long nValue = 0;
        if (!ParsePositive(pszArg, 1000000000L, nValue)) {
            Fail("%s wants a whole number above 0, not \"%s\"",
                 nOption == OPT_MIN_FREE ? "--min-free" : "--max-files", pszArg);
            return false;
        }
        (nOption == OPT_MIN_FREE ? pszMinFree : pszMaxFiles) = pszArg;
        return true;
    });
    if (nFirst < 0) return OptionsExit(nFirst);
    if (argc - nFirst > 1) return Fail("expected one DIR (see cachekit checkdisk --help)");
    if (argc - nFirst < 1) return Fail("expected DIR (see cachekit checkdisk --help)");
    const char *pszDir = argv[nFirst];
    struct stat st;
    if (stat(pszDir, &st) != 0) return Fail("cannot use %s: %s", pszDir, std::strerror(errno));
    if (!S_ISDIR(st.st_mode)) return Fail("%s is not a directory", pszDir);
    std::string strDir = pszDir;
    while (strDir.size() > 1 && strDir.back() == '/') strDir.pop_back();
    if (strDir == "/")
        return Fail("refusing to evict from the whole file system: name a storage directory");

    struct statfs sfs;
    if (statfs(strDir.c_str(), &sfs) != 0)
        return Fail("cannot query free space of %s: %s", pszDir, std::strerror(errno));
    unsigned long long nFreeGiB =
        (static_cast<unsigned long long>(sfs.f_bavail) * sfs.f_bsize) >> 30;
    bool bWouldEvict = nFreeGiB < std::strtoull(pszMinFree, nullptr, 10);
    std::printf("%s: %llu GiB free, threshold %s GiB: %s\n", strDir.c_str(), nFreeGiB, pszMinFree,
                bWouldEvict ? "below, files would be removed" : "enough, nothing would be removed");
    if (!bYes) {
        std::fprintf(
            stderr,
            "cachekit checkdisk: WARNING: with --yes this removes up to %s of the least recently "
            "accessed files below %s when under %s GiB free; nothing was removed\n",
            pszMaxFiles, strDir.c_str(), pszMinFree);
        return EXIT_ERROR;
    }

    CheckdiskFn pCheckdisk = reinterpret_cast<CheckdiskFn>(Export("checkdisk"));
    if (pCheckdisk == nullptr) return EXIT_ERROR;
    // The export takes a path inside the storage and works on its directory
    // part; the name must hold a '.', or the call does nothing.
    std::string strProbe = strDir + "/checkdisk.probe";
    pCheckdisk(strProbe.c_str(), pszMinFree, pszMaxFiles);
    if (statfs(strDir.c_str(), &sfs) == 0)
        std::printf("%s: %llu GiB free after the check\n", strDir.c_str(),
                    (static_cast<unsigned long long>(sfs.f_bavail) * sfs.f_bsize) >> 30);
    return EXIT_YES;
}

// ---- rebalance ----------------------------------------------------------------

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
std::string MapToDir(Uri2dFn pUri2d, std::vector<char> &szOut, const std::string &strUrl,
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

    Uri2dFn pUri2d = reinterpret_cast<Uri2dFn>(Export("uri2d"));
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

// ---- dispatch -----------------------------------------------------------------

struct sCommand {
    const char *pszName;
    const char *pszSummary;
    const char *pszHelp;
    int (*pRun)(int argc, char **argv);
};

const sCommand COMMANDS[] = {
    {"uri", "map a URL to its cache path over a directory list (uri2d)", HELP_URI, RunUri},
    {"md5", "MD5 digest of a text or a file (md5data, md5file)", HELP_MD5, RunMd5},
    {"exists", "test whether a path exists (fileExist)", HELP_EXISTS, RunExists},
    {"resolve", "IPv4 addresses of a host name (getmsgip)", HELP_RESOLVE, RunResolve},
    {"checkdisk", "free disk space by REMOVING old files (checkdisk)", HELP_CHECKDISK,
     RunCheckdisk},
    {"rebalance", "what moves when the directory list changes", HELP_REBALANCE, RunRebalance},
};

void PrintUsage(FILE *pOut) {
    std::fprintf(
        pOut,
        "usage: cachekit [--lib PATH] COMMAND [ARGS]\n"
        "       cachekit COMMAND --help\n"
        "\n"
        "Calls the exports of libcachekit, loaded with dlopen as a host process loads it:\n"
        "from --lib PATH, else $CACHEKIT_LIB, else ../lib/libcachekit.so.1 beside this\n"
        "program, else libcachekit.so.1 on the loader's search path. A command's options\n"
        "may come before or after its operands; \"--\" ends them.\n"
        "\n"
        "commands:\n");
    for (const sCommand &cmd : COMMANDS)
        std::fprintf(pOut, "  %-10s %s\n", cmd.pszName, cmd.pszSummary);
    std::fprintf(pOut, "\nexit status: 0 done (or yes), 1 no (missing, not resolved), 2 error\n");
}

}  // namespace

int main(int argc, char **argv) {
    static const option OPTIONS[] = {
        {"lib", required_argument, nullptr, 'l'}, {"help", no_argument, nullptr, 'h'}, {}};
    // The program's options end at the command; the command reads its own.
    int nFirst = ReadOptions(argc, argv, true, OPTIONS, [](int, const char *pszArg) {
        g_strLibOption = pszArg;
        return true;
    });
    if (nFirst < 0) return OptionsExit(nFirst);
    if (nFirst >= argc) {
        PrintUsage(stderr);
        return EXIT_ERROR;
    }
    int nArgs = argc - nFirst;  // the command's argv[0] is its name
    char **ppArgs = argv + nFirst;
    bool bHelp = std::strcmp(ppArgs[0], "help") == 0;
    if (bHelp && nArgs == 1) {
        PrintUsage(stdout);
        return EXIT_YES;
    }
    const char *pszName = ppArgs[bHelp ? 1 : 0];
    for (const sCommand &cmd : COMMANDS) {
        if (std::strcmp(cmd.pszName, pszName) != 0) continue;
        g_pszCommand = cmd.pszName;
        g_pszHelp = cmd.pszHelp;
        if (bHelp) {
            std::fputs(cmd.pszHelp, stdout);
            return EXIT_YES;
        }
        int nResult = cmd.pRun(nArgs, ppArgs);
        std::fflush(stdout);
        return nResult;
    }
    return Fail("unknown command \"%s\" (see cachekit --help)", pszName);
}
