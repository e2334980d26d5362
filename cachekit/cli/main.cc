// cachekit: libcachekit from a shell. Loads the library with dlopen, as a host
// process does, and looks its exports up by their plain names; reads the options
// and hands the command line to the command it names.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli.h"

namespace {

const char *g_pszCommand = nullptr;  // for error lines: "cachekit uri: ..."
const char *g_pszHelp = nullptr;     // the command's help; null: the program's usage

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

const sCommand *const COMMANDS[] = {&CMD_URI,     &CMD_MD5,       &CMD_EXISTS,
                                    &CMD_RESOLVE, &CMD_CHECKDISK, &CMD_REBALANCE};

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
    for (const sCommand *pCmd : COMMANDS)
        std::fprintf(pOut, "  %-10s %s\n", pCmd->pszName, pCmd->pszSummary);
    std::fprintf(pOut, "\nexit status: 0 done (or yes), 1 no (missing, not resolved), 2 error\n");
}

}  // namespace

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

const option HELP_ONLY[] = {{"help", no_argument, nullptr, 'h'}, {}};

int ReadOptions(int argc, char **argv, bool bInOrder, const option *pLong,
                const std::function<bool(int, const char *)> &fnOption) {
    opterr = 0;  // the error lines are ours
    optind = 0;  // a fresh scan of a new argument vector
    int nOption;
    while ((nOption = getopt_long(argc, argv, bInOrder ? "+:h" : ":h", pLong, nullptr)) != -1) {
        // Only -h is short: an option in error is the word that getopt just took,
        // or, for an unknown letter, that letter. getopt also sets optopt for a
        // long option given a value it does not take, to that option's code ('h'
        // or below ' ').
        bool bLetter = nOption == '?' && optopt > ' ' && optopt != 'h';
        std::string strWord = bLetter ? std::string("-") + char(optopt) : argv[optind - 1];
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

int OptionsExit(int nFirst) {
    return nFirst == OPTIONS_HELP ? EXIT_YES : EXIT_ERROR;
}

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
    for (const sCommand *pCmd : COMMANDS) {
        if (std::strcmp(pCmd->pszName, pszName) != 0) continue;
        g_pszCommand = pCmd->pszName;
        g_pszHelp = pCmd->pszHelp;
        if (bHelp) {
            std::fputs(pCmd->pszHelp, stdout);
            return EXIT_YES;
        }
        int nResult = pCmd->pRun(nArgs, ppArgs);
        std::fflush(stdout);
        return nResult;
    }
    return Fail("unknown command \"%s\" (see cachekit --help)", pszName);
}
