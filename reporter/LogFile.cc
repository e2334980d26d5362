// CLogFileEx: the file is opened append-only for each object and each line goes
// to it in one write(2).
#include "LogFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace {

const int Size = 1024;

}  // namespace

CLogFileEx::CLogFileEx(const char *pszFile, bool bAppend, long lTruncate)
    : m_pLogFile(nullptr), m_lTruncate(lTruncate) {
    char szFile[Size];
    std::memset(szFile, 0, sizeof szFile);
    const char *pszName = pszFile;
    if (pszName == nullptr) {
        MyGetModuleFileName(nullptr, szFile, Size - 1);
        size_t nLen = std::strlen(szFile);
        // The name buffer is the limit: a path that leaves no room for ".log" is cut.
        if (nLen > Size - 5) nLen = Size - 5;
        std::memcpy(szFile + nLen, ".log", 5);
        pszName = szFile;
    }

    // O_APPEND: every write lands at the end of the file as it is at that moment,
    // whoever else appends, so lines of two writers never overwrite each other.
    // Read and write, like a stream opened "r+": a log that is a FIFO nobody reads
    // opens at once (a write-only open waits for a reader), and O_NONBLOCK drops a
    // line rather than wait when such a FIFO is full. Mode 0666 leaves a new
    // file's permissions to the umask, as a stream opened "w" does.
    int nFlags = O_RDWR | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC;
    if (!bAppend) nFlags |= O_TRUNC;
    int fd = open(pszName, nFlags, 0666);
    // A log this process may write but not read is still written, as "w" would.
    if (fd < 0 && errno == EACCES) fd = open(pszName, (nFlags & ~O_RDWR) | O_WRONLY, 0666);
    if (fd < 0) return;
    struct stat st;
    if (fstat(fd, &st) == 0 && (long)st.st_size > m_lTruncate) {
        // A log that cannot be emptied is appended to as it is.
        int nIgnored = ftruncate(fd, 0);
        (void)nIgnored;
    }
    m_pLogFile = fdopen(fd, "a");
    if (m_pLogFile == nullptr) close(fd);
}

CLogFileEx::~CLogFileEx() {
    if (m_pLogFile != nullptr) std::fclose(m_pLogFile);
}

std::string FormatLogLine(const struct tm &tm, const char *pszMessage) {
    char szLine[8192];
    std::snprintf(szLine, sizeof szLine, "%02d:%02d:%02d:%02d \t%s\n", tm.tm_mday, tm.tm_hour,
                  tm.tm_min, tm.tm_sec, pszMessage);
    return szLine;
}

void CLogFileEx::Write(const char *pszFormat, ...) {
    if (m_pLogFile == nullptr) return;
    char szLog[4096];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szLog, sizeof szLog, pszFormat, args);
    va_end(args);

    time_t tNow = time(nullptr);
    struct tm tmNow;
    localtime_r(&tNow, &tmNow);
    std::string strLine = FormatLogLine(tmNow, szLog);
    // One write(2) for the whole line: the stream's buffer is never used, so nothing
    // of the line can be split across calls.
    ssize_t nDone = write(fileno(m_pLogFile), strLine.data(), strLine.size());
    (void)nDone;
}

int CLogFileEx::MyGetModuleFileName(const char *sModuleName, char *sFileName, int nSize) {
    (void)sModuleName;
    (void)nSize;
    int nResult = -1;
    FILE *pMaps = std::fopen("/proc/self/maps", "r");
    if (pMaps == nullptr) return -1;
    // Any address of the program's own code identifies its executable mapping.
    uintptr_t uRef = (uintptr_t)&FormatLogLine;
    char szLine[Size];
    while (std::fgets(szLine, sizeof szLine, pMaps) != nullptr) {
        if (std::strstr(szLine, " r-xp ") == nullptr) continue;
        const char *pszPath = std::strchr(szLine, '/');
        if (pszPath == nullptr) continue;
        unsigned long uStart = 0, uEnd = 0;
        if (std::sscanf(szLine, "%lx-%lx ", &uStart, &uEnd) != 2) continue;
        if (!(uStart <= uRef && uRef < uEnd)) continue;
        char *pszLF = std::strrchr(szLine, '\n');
        if (pszLF != nullptr) *pszLF = '\0';
        // The path is a part of szLine, which is no longer than the caller's
        // Size-byte name buffer: it always fits.
        std::memcpy(sFileName, pszPath, std::strlen(pszPath) + 1);
        nResult = 0;
    }
    std::fclose(pMaps);
    return nResult;
}
