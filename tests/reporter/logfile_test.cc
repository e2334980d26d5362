// The log line, appending, the size limit and the default name beside the program.
#include "LogFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "child.h"
#include "tempdir.h"

namespace {

off_t SizeOf(const std::string &strPath) {
    struct stat st;
    return stat(strPath.c_str(), &st) == 0 ? st.st_size : -1;
}

TEST(FormatLogLine, FixedTime) {
    struct tm tm;
    std::memset(&tm, 0, sizeof tm);
    tm.tm_mday = 3;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 7;
    EXPECT_EQ("03:09:05:07 \thello\n", FormatLogLine(tm, "hello"));
    tm.tm_mday = 31;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 60;
    EXPECT_EQ("31:23:59:60 \t\n", FormatLogLine(tm, ""));
}

TEST(CLogFileEx, AppendsLinesAndKeepsPercentSigns) {
    testsupport::CTempDir dir;
    std::string strLog = dir.File("a.log");
    ASSERT_TRUE(testsupport::WriteFile(strLog, "old\n"));
    CLogFileEx(strLog.c_str(), true, LOG_TRUNCATE).Write("%s", "load ini file /x/%d%s%n failed.");
    CLogFileEx(strLog.c_str(), true, LOG_TRUNCATE).Write("n=%d", 42);
    std::string strText = testsupport::ReadFile(strLog);
    ASSERT_EQ(0u, strText.find("old\n")) << strText;
    size_t nFirst = strText.find(" \tload ini file /x/%d%s%n failed.\n");
    EXPECT_EQ(4u + 11u, nFirst) << strText;
    EXPECT_NE(std::string::npos, strText.find(" \tn=42\n")) << strText;
    EXPECT_EQ(4u + 45u + 18u, strText.size()) << strText;
}

TEST(CLogFileEx, EmptiedOnlyWhenLongerThanTheLimit) {
    struct Case {
        off_t lSize;
        bool bEmptied;
    } aCases[] = {{20000000, false}, {20000001, true}, {0, false}};
    static_assert(LOG_TRUNCATE == 20000000, "the reporter's limit");
    for (const Case &c : aCases) {
        testsupport::CTempDir dir;
        std::string strLog = dir.File("big.log");
        // Sparse: the size is set without writing the bytes.
        int fd = open(strLog.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, ftruncate(fd, c.lSize));
        close(fd);
        CLogFileEx(strLog.c_str(), true, LOG_TRUNCATE).Write("%s", "x");
        off_t lWant = (c.bEmptied ? 0 : c.lSize) + 15;
        EXPECT_EQ(lWant, SizeOf(strLog)) << "starting at " << c.lSize;
    }
}

TEST(CLogFileEx, NotAppendEmptiesAndUnopenableIsSilent) {
    testsupport::CTempDir dir;
    std::string strLog = dir.File("c.log");
    ASSERT_TRUE(testsupport::WriteFile(strLog, "old line\n"));
    CLogFileEx(strLog.c_str(), false, LOG_TRUNCATE).Write("%s", "new");
    EXPECT_EQ(17, SizeOf(strLog));
    CLogFileEx none(dir.File("no/such/dir.log").c_str(), true, LOG_TRUNCATE);
    EXPECT_FALSE(none.IsOpen());
    none.Write("%s", "nothing");
}

// The log was opened write-only with mode 0644: a FIFO that nobody reads blocked
// the open for ever, and a new log ignored the umask. Then read-write: a log that
// may be written but not read lost every line. In a child that an alarm ends, so
// that a blocked open fails the test instead of hanging it.
TEST(CLogFileEx, NewLogFollowsUmaskFifoNeverBlocksWriteOnlyIsWritten) {
    testsupport::CTempDir dir;
    std::string strLog = dir.File("new.log"), strFifo = dir.File("fifo.log");
    std::string strWriteOnly = dir.File("write-only.log");
    ASSERT_EQ(0, mkfifo(strFifo.c_str(), 0600));
    ASSERT_TRUE(testsupport::WriteFile(strWriteOnly, ""));
    ASSERT_EQ(0, chmod(strWriteOnly.c_str(), 0200));
    // Root may read anything: the write-only log is written as another user.
    const bool bRoot = geteuid() == 0;
    if (bRoot) {
        ASSERT_EQ(0, chown(strWriteOnly.c_str(), 65534, 65534));
        ASSERT_EQ(0, chmod(dir.Path().c_str(), 0711));
    }
    int nEnd = testsupport::RunForked([&] {
        alarm(10);
        umask(002);
        CLogFileEx(strLog.c_str(), true, LOG_TRUNCATE).Write("%s", "new");
        CLogFileEx(strFifo.c_str(), true, LOG_TRUNCATE).Write("%s", "no reader");
        // Held open and never read: the FIFO's buffer fills after some lines.
        int fdHeld = open(strFifo.c_str(), O_RDWR);
        ASSERT_GE(fdHeld, 0);
        for (int i = 0; i < 100; ++i)
            CLogFileEx(strFifo.c_str(), true, LOG_TRUNCATE)
                .Write("%s", std::string(4000, 'f').c_str());
        if (bRoot && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(testsupport::SKIP_EXIT);
        CLogFileEx(strWriteOnly.c_str(), true, LOG_TRUNCATE).Write("%s", "kept");
    });
    EXPECT_TRUE(nEnd == 0 || nEnd == testsupport::SKIP_EXIT) << "status " << nEnd;
    struct stat st;
    ASSERT_EQ(0, stat(strLog.c_str(), &st));
    EXPECT_EQ(0664u, st.st_mode & 0777);
    if (nEnd == testsupport::SKIP_EXIT)
        std::printf("no unprivileged user to run as: the write-only log is not checked\n");
    else
        EXPECT_EQ(18, SizeOf(strWriteOnly));  // "DD:HH:MM:SS \tkept\n"
}

// Two processes appending at once: every line arrives whole, none overwritten.
TEST(CLogFileEx, TwoWritersNeverSplitOrOverwriteLines) {
    testsupport::CTempDir dir;
    std::string strLog = dir.File("shared.log");
    const int nLines = 400;
    pid_t aPid[2];
    for (int w = 0; w < 2; ++w) {
        aPid[w] = fork();
        ASSERT_GE(aPid[w], 0);
        if (aPid[w] == 0) {
            std::string strBody(3000, (char)('a' + w));
            for (int i = 0; i < nLines; ++i)
                CLogFileEx(strLog.c_str(), true, LOG_TRUNCATE).Write("%s", strBody.c_str());
            _exit(0);
        }
    }
    for (pid_t pid : aPid) waitpid(pid, nullptr, 0);
    std::string strText = testsupport::ReadFile(strLog);
    size_t nPos = 0;
    int aCount[2] = {0, 0};
    while (nPos < strText.size()) {
        size_t nEnd = strText.find('\n', nPos);
        ASSERT_NE(std::string::npos, nEnd);
        std::string strLine = strText.substr(nPos, nEnd - nPos);
        ASSERT_EQ(13u + 3000u, strLine.size());
        char c = strLine[13];
        ASSERT_TRUE(c == 'a' || c == 'b');
        ASSERT_EQ(std::string(3000, c), strLine.substr(13));
        ++aCount[c - 'a'];
        nPos = nEnd + 1;
    }
    EXPECT_EQ(nLines, aCount[0]);
    EXPECT_EQ(nLines, aCount[1]);
}

TEST(CLogFileEx, DefaultNameIsTheProgramFilePlusLog) {
    char szExe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    ASSERT_GT(n, 0);
    szExe[n] = '\0';
    std::string strLog = std::string(szExe) + ".log";
    unlink(strLog.c_str());
    CLogFileEx(nullptr, true, LOG_TRUNCATE).Write("%s", "beside the program");
    std::string strText = testsupport::ReadFile(strLog);
    unlink(strLog.c_str());
    EXPECT_NE(std::string::npos, strText.find(" \tbeside the program\n")) << strLog;
}

}  // namespace
