// The reporter's rolling log: one time-stamped line per message, appended to a file
// beside the program file, emptied once it has grown past a size limit.
#pragma once

#include <cstdio>
#include <ctime>
#include <string>

// The reporter's limit for its log: a file found longer than this many bytes when
// a message is about to be written is emptied first.
const long LOG_TRUNCATE = 20000000;

class CLogFileEx {
public:
    // pszFile: the log's name, or null for the program file's path plus ".log".
    // bAppend keeps the existing content; false empties the file. A file found longer
    // than lTruncate bytes is emptied. A new file gets mode 0666 less the umask. A FIFO
    // is opened without waiting for a reader, and a line that does not fit its buffer
    // is dropped (one over 4096 bytes may arrive in part). A file that may be written
    // but not read is appended to. When nothing can be opened every Write is silent.
    CLogFileEx(const char *pszFile, bool bAppend, long lTruncate);
    ~CLogFileEx();
    CLogFileEx(const CLogFileEx &) = delete;
    CLogFileEx &operator=(const CLogFileEx &) = delete;

    // Appends one line "DD:HH:MM:SS \t<message>\n" (local time) in a single write, so
    // that concurrent writers never split or overwrite each other's lines. The message
    // is cut to 4095 bytes, the line to 8191.
    void Write(const char *pszFormat, ...) __attribute__((format(printf, 2, 3)));

    bool IsOpen() const { return m_pLogFile != nullptr; }

private:
    // Full path of the program's own executable file into sFileName; 0, or -1 with
    // sFileName untouched. sModuleName and nSize are not used.
    int MyGetModuleFileName(const char *sModuleName, char *sFileName, int nSize);

    FILE *m_pLogFile;
    long m_lTruncate;
};

// The log line for pszMessage at the broken-down local time tm, as Write builds it.
std::string FormatLogLine(const struct tm &tm, const char *pszMessage);
