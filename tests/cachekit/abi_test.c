/* The installed library as a host process meets it: exactly the six plain
 * names in its dynamic symbol table, only system libraries needed, no code of
 * its own run at load time, and the exports callable through dlopen/dlsym.
 * Arguments: the installation prefix, and an empty shared library built by the
 * same toolchain, whose initialisers are those every shared object gets. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cachekit.h"

static int g_nFailures = 0;

#define CHECK(cond, ...)                                         \
    do {                                                         \
        if (!(cond)) {                                           \
            fprintf(stderr, "FAIL %s:%d: ", __FILE__, __LINE__); \
            fprintf(stderr, __VA_ARGS__);                        \
            fputc('\n', stderr);                                 \
            ++g_nFailures;                                       \
        }                                                        \
    } while (0)

static const char *const EXPORTS[] = {"checkdisk", "fileExist", "getmsgip",
                                      "md5data",   "md5file",   "uri2d"};
enum { EXPORT_COUNT = sizeof EXPORTS / sizeof EXPORTS[0] };

/* Runs "tool 'lib'" and hands every output line to fn. */
static int eachLine(const char *pszTool, const char *pszLib, void (*fn)(const char *, void *),
                    void *pArg) {
    char szCmd[4200];
    if (strchr(pszLib, '\'') != NULL) return -1;
    snprintf(szCmd, sizeof szCmd, "%s '%s'", pszTool, pszLib);
    FILE *pPipe = popen(szCmd, "r");
    if (pPipe == NULL) return -1;
    char szLine[1024];
    while (fgets(szLine, sizeof szLine, pPipe) != NULL) fn(szLine, pArg);
    return pclose(pPipe);
}

struct sSymbols {
    int aSeen[EXPORT_COUNT];
    int nOther;
};

/* "0000000000002850 T fileExist" */
static void takeSymbol(const char *pszLine, void *pArg) {
    struct sSymbols *pSymbols = pArg;
    char szAddr[64], szType[8], szName[512];
    if (sscanf(pszLine, "%63s %7s %511s", szAddr, szType, szName) != 3) return;
    for (int i = 0; i < EXPORT_COUNT; ++i) {
        if (strcmp(szName, EXPORTS[i]) == 0) {
            ++pSymbols->aSeen[i];
            return;
        }
    }
    fprintf(stderr, "unexpected dynamic symbol: %s", pszLine);
    ++pSymbols->nOther;
}

/* " 0x0000000000000001 (NEEDED)  Shared library: [libc.so.6]" */
static void takeNeeded(const char *pszLine, void *pArg) {
    static const char *const SYSTEM[] = {
        "libc.so.6",
        "libm.so.6",
        "libstdc++.so.6",
        "libgcc_s.so.1",
        "ld-linux-x86-64.so.2",
#ifdef CACHEKIT_SANITIZED
        /* the sanitizer build's runtimes */
        "libasan.so.8",
        "libubsan.so.1",
#endif
    };
    int *pnForeign = pArg;
    const char *pOpen = strchr(pszLine, '[');
    const char *pClose = pOpen != NULL ? strchr(pOpen, ']') : NULL;
    if (strstr(pszLine, "(NEEDED)") == NULL || pClose == NULL) return;
    for (size_t i = 0; i < sizeof SYSTEM / sizeof SYSTEM[0]; ++i)
        if ((size_t)(pClose - pOpen - 1) == strlen(SYSTEM[i]) &&
            strncmp(pOpen + 1, SYSTEM[i], strlen(SYSTEM[i])) == 0)
            return;
    fprintf(stderr, "needs a library outside the system: %s", pszLine);
    ++*pnForeign;
}

/* What makes the loader run an object's code when it maps it: DT_INIT (the .init
 * section) and the sizes in bytes of DT_INIT_ARRAY (which also holds what .ctors
 * held) and DT_PREINIT_ARRAY.
 * " 0x000000000000001b (INIT_ARRAYSZ)       8 (bytes)" */
struct sInitEntries {
    int bInit;
    long nInitArray, nPreinitArray;
};

static void takeInit(const char *pszLine, void *pArg) {
    struct sInitEntries *pEntries = pArg;
    const char *psz;
    if (strstr(pszLine, "(INIT)") != NULL) pEntries->bInit = 1;
    if ((psz = strstr(pszLine, "(INIT_ARRAYSZ)")) != NULL)
        pEntries->nInitArray = strtol(psz + strlen("(INIT_ARRAYSZ)"), NULL, 10);
    if ((psz = strstr(pszLine, "(PREINIT_ARRAYSZ)")) != NULL)
        pEntries->nPreinitArray = strtol(psz + strlen("(PREINIT_ARRAYSZ)"), NULL, 10);
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s PREFIX EMPTY_LIBRARY\n", argv[0]);
        return 2;
    }
    char szLib[4096], szHeader[4096];
    snprintf(szLib, sizeof szLib, "%s/lib/libcachekit.so", argv[1]);
    snprintf(szHeader, sizeof szHeader, "%s/include/cachekit.h", argv[1]);
    CHECK(access(szHeader, R_OK) == 0, "header not installed at %s", szHeader);

    struct sSymbols symbols;
    memset(&symbols, 0, sizeof symbols);
    CHECK(eachLine("nm -D --defined-only", szLib, takeSymbol, &symbols) == 0, "nm failed on %s",
          szLib);
    for (int i = 0; i < EXPORT_COUNT; ++i)
        CHECK(symbols.aSeen[i] == 1, "%s listed %d times", EXPORTS[i], symbols.aSeen[i]);
    CHECK(symbols.nOther == 0, "%d symbols besides the six", symbols.nOther);

    int nForeign = 0;
    CHECK(eachLine("readelf -d", szLib, takeNeeded, &nForeign) == 0, "readelf failed on %s", szLib);
    CHECK(nForeign == 0, "%d foreign libraries needed", nForeign);

    struct sInitEntries lib = {0, 0, 0}, empty = {0, 0, 0};
    CHECK(eachLine("readelf -d", szLib, takeInit, &lib) == 0, "readelf failed on %s", szLib);
    CHECK(eachLine("readelf -d", argv[2], takeInit, &empty) == 0, "readelf failed on %s", argv[2]);
#ifdef CACHEKIT_SANITIZED
    printf("initialisers not compared: the sanitizer runtimes add their own\n");
#else
    CHECK(lib.nInitArray == empty.nInitArray && lib.bInit == empty.bInit && lib.nPreinitArray == 0,
          "initialisers of its own: INIT_ARRAYSZ %ld (empty library %ld), INIT %d (%d), "
          "PREINIT_ARRAYSZ %ld",
          lib.nInitArray, empty.nInitArray, lib.bInit, empty.bInit, lib.nPreinitArray);
#endif

    void *pHandle = dlopen(szLib, RTLD_NOW | RTLD_LOCAL);
    CHECK(pHandle != NULL, "dlopen: %s", dlerror());
    if (pHandle == NULL) return 1;
    for (int i = 0; i < EXPORT_COUNT; ++i)
        CHECK(dlsym(pHandle, EXPORTS[i]) != NULL, "dlsym %s", EXPORTS[i]);
    CHECK(dlsym(pHandle, "md5Hex") == NULL && dlsym(pHandle, "_Z6md5HexPKci") == NULL,
          "an internal name is visible");

    __typeof__(&md5data) pMd5data = (__typeof__(&md5data))dlsym(pHandle, "md5data");
    __typeof__(&md5file) pMd5file = (__typeof__(&md5file))dlsym(pHandle, "md5file");
    __typeof__(&fileExist) pFileExist = (__typeof__(&fileExist))dlsym(pHandle, "fileExist");
    __typeof__(&uri2d) pUri2d = (__typeof__(&uri2d))dlsym(pHandle, "uri2d");
    if (pMd5data == NULL || pMd5file == NULL || pFileExist == NULL || pUri2d == NULL) return 1;

    char szOut[3067];
    pMd5data(szOut, "abc", 3);
    CHECK(strcmp(szOut, "900150983cd24fb0d6963f7d28e17f72") == 0, "md5data abc: %s", szOut);

    const char *pszTmp = getenv("TMPDIR");
    char szFile[4096];
    snprintf(szFile, sizeof szFile, "%s/abi_test-XXXXXX",
             pszTmp != NULL && *pszTmp ? pszTmp : "/tmp");
    int fd = mkstemp(szFile);
    CHECK(fd >= 0, "mkstemp %s", szFile);
    if (fd >= 0) {
        CHECK(write(fd, "message digest", 14) == 14, "write %s", szFile);
        close(fd);
        pMd5file(szOut, szFile);
        CHECK(strcmp(szOut, "f96b697d7cb7938d525a2f31aaf161d0") == 0, "md5file: %s", szOut);
        CHECK(pFileExist(szFile) == 0, "fileExist on %s", szFile);
        unlink(szFile);
        CHECK(pFileExist(szFile) == -1, "fileExist on removed %s", szFile);
    }

    pUri2d(szOut, "http://node7:8080/vod/movie01.mp4?start=30", "/data1|/data2");
    CHECK(strcmp(szOut, "/data2/node7/vod/movie01.mp4") == 0, "uri2d: %s", szOut);

    dlclose(pHandle);
    if (g_nFailures == 0)
        printf("libcachekit ABI: six exports, system libraries only, calls answer\n");
    return g_nFailures == 0 ? 0 : 1;
}
