// cachekit's commands, one per export: each checks its arguments against the
// export's limits, calls it through dlopen and prints the answer.
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cachekit/dns.h"
#include "cachekit/uri.h"
#include "cli.h"

namespace {

// The exports' limits, from the library's own headers (constants and the inline
// list walk; nothing of the library is linked). The library checks them too, but
// answers only with an empty text or "false"; checked here first, an error line can
// say what is wrong.
const size_t MAX_DIRS_TEXT = DIRS_TEXT_MAX - 1;
const size_t IP_OUT_SIZE = 2048;  // getmsgip asks for 1,361

}  // namespace

bool ParsePositive(const char *pszText, long nMax, long &nValue) {
    if (pszText[0] < '0' || pszText[0] > '9') return false;
    errno = 0;
    char *pEnd = nullptr;
    long n = std::strtol(pszText, &pEnd, 10);
    if (errno != 0 || *pEnd != 0 || n < 1 || n > nMax) return false;
    nValue = n;
    return true;
}

bool CheckDirs(const char *pszWhat, const char *pszDirs, std::vector<std::string> &listNames) {
    if (std::strlen(pszDirs) > MAX_DIRS_TEXT) {
        Fail("%s list is longer than %zu bytes", pszWhat, MAX_DIRS_TEXT);
        return false;
    }
    listNames = splitList(pszDirs);
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

namespace {

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

    auto pUri2d = EXPORT_OF(uri2d);
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
        auto pMd5File = EXPORT_OF(md5file);
        if (pMd5File == nullptr) return EXIT_ERROR;
        pMd5File(szOut, pszPath);
    } else if (pszPath == nullptr && nOperands == 1) {
        const char *pszText = argv[nFirst];
        auto pMd5Data = EXPORT_OF(md5data);
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
    auto pFileExist = EXPORT_OF(fileExist);
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
    auto pGetmsgip = EXPORT_OF(getmsgip);
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

    auto pCheckdisk = EXPORT_OF(checkdisk);
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

}  // namespace

const sCommand CMD_URI = {"uri", "map a URL to its cache path over a directory list (uri2d)",
                          HELP_URI, RunUri};
const sCommand CMD_MD5 = {"md5", "MD5 digest of a text or a file (md5data, md5file)", HELP_MD5,
                          RunMd5};
const sCommand CMD_EXISTS = {"exists", "test whether a path exists (fileExist)", HELP_EXISTS,
                             RunExists};
const sCommand CMD_RESOLVE = {"resolve", "IPv4 addresses of a host name (getmsgip)", HELP_RESOLVE,
                              RunResolve};
const sCommand CMD_CHECKDISK = {"checkdisk", "free disk space by REMOVING old files (checkdisk)",
                                HELP_CHECKDISK, RunCheckdisk};
