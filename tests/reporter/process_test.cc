// The built binary as a process: the command line, the supervisor's restarts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "reporter_proc.h"
#include "tempdir.h"

namespace {

using testsupport::WaitUntil;

// Running and not a zombie waiting to be reaped.
bool IsAlive(pid_t pid) {
    std::string strStat = testsupport::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t nParen = strStat.rfind(')');
    return nParen != std::string::npos && nParen + 2 < strStat.size() && strStat[nParen + 2] != 'Z';
}

TEST(CommandLine, RefusedBeforeAnyFork) {
    struct Case {
        std::vector<std::string> vecArgs;
        const char *pszOut;
    } aCases[] = {
        {{}, "Usage: vesko_c -c config.ini\n"},
        {{"-c"}, "Usage: vesko_c -c config.ini\n"},
        {{"-c", "a.ini", "b"}, "Usage: vesko_c -c config.ini\n"},
        {{"-x", "a.ini"}, "param error. \n"},
        {{"-cc", "a.ini"}, "param error. \n"},
        {{"-", "a.ini"}, "param error. \n"},
        {{"", "a.ini"}, "param error. \n"},
    };
    for (const Case &c : aCases) {
        testsupport::CTempDir dir;
        std::string strCase = std::to_string(c.vecArgs.size()) + " args";
        for (const std::string &s : c.vecArgs) strCase += " [" + s + "]";
        CReporterRun run(dir, c.vecArgs);
        ASSERT_TRUE(run.Started());
        EXPECT_EQ(1, run.WaitExit(5)) << strCase;
        EXPECT_EQ(c.pszOut, run.Stdout()) << strCase;
        // A forked supervisor would have logged a restart beside the copy.
        EXPECT_NE(0, access(run.LogPath().c_str(), F_OK)) << strCase;
    }
}

TEST(Supervisor, UnloadableConfigurationRestartsAboutOnceASecond) {
    testsupport::CTempDir dir;
    std::string strConfig = dir.File("missing%s.ini");
    CReporterRun run(dir, {"-c", strConfig});
    ASSERT_TRUE(run.Started());
    std::string strFailed = "load ini file " + strConfig + " failed.";
    auto tStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil(10, [&] { return CountLines(run.Log(), "exit,restart...") >= 3; }))
        << run.Log();
    // Three restarts with a one-second pause between them: not a tight loop.
    EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count(),
              1.5);
    std::string strLog = run.Log();
    std::string strOut = run.Stdout();
    run.KillAll();

    EXPECT_GE(CountLines(strLog, " \t" + strFailed), 3) << strLog;
    std::vector<pid_t> vecWorkers = run.Workers();
    ASSERT_GE(vecWorkers.size(), 3u) << strOut;
    // Every ended worker is named in a restart line, in the log and on stdout.
    for (size_t i = 0; i + 1 < vecWorkers.size(); ++i) {
        std::string strRestart = "pid " + std::to_string(vecWorkers[i]) + " exit,restart...";
        EXPECT_EQ(1, CountLines(strLog, " \t" + strRestart)) << strLog;
        EXPECT_EQ(1, CountLines(strOut, strRestart)) << strOut;
    }
    EXPECT_GE(CountLines(strOut, strFailed), 3) << strOut;
    // Log lines and restarts alternate: the worker's failure, then the supervisor's line.
    EXPECT_EQ(0u, strLog.find(strLog.substr(0, 13) + strFailed)) << strLog;
}

// A log that is a FIFO nobody reads: worker and supervisor still write their
// lines (and lose them) without waiting, so the restarts go on.
TEST(Supervisor, LogThatIsAFifoNobodyReadsNeverBlocks) {
    testsupport::CTempDir dir;
    ASSERT_EQ(0, mkfifo(dir.File("vesko_c.log").c_str(), 0600));
    CReporterRun run(dir, {"-c", dir.File("missing.ini")});
    ASSERT_TRUE(run.Started());
    ASSERT_EQ(dir.File("vesko_c.log"), run.LogPath());
    EXPECT_TRUE(WaitUntil(10, [&] { return CountLines(run.Stdout(), "exit,restart...") >= 3; }))
        << run.Stdout();
}

TEST(Supervisor, KilledWorkerIsReplaced) {
    testsupport::CTempDir dir;
    std::string strConfig = dir.File("empty.ini");
    // No servers: the workers report nothing anywhere.
    ASSERT_TRUE(testsupport::WriteFile(strConfig, ""));
    CReporterRun run(dir, {"-c", strConfig});
    ASSERT_TRUE(run.Started());
    ASSERT_TRUE(WaitUntil(5, [&] { return run.Workers().size() == 1; })) << run.Stdout();
    pid_t pidFirst = run.Workers()[0];
    ASSERT_EQ(0, kill(pidFirst, SIGKILL));
    ASSERT_TRUE(WaitUntil(6, [&] { return run.Workers().size() == 2; })) << run.Stdout();
    pid_t pidSecond = run.Workers()[1];
    EXPECT_NE(pidFirst, pidSecond);
    EXPECT_TRUE(IsAlive(pidSecond)) << "the new worker runs";
    std::string strRestart = "pid " + std::to_string(pidFirst) + " exit,restart...";
    EXPECT_EQ(1, CountLines(run.Log(), " \t" + strRestart)) << run.Log();
    EXPECT_EQ(1, CountLines(run.Stdout(), strRestart)) << run.Stdout();
    run.KillAll();
    EXPECT_TRUE(WaitUntil(5, [&] { return !IsAlive(pidSecond); })) << "the worker was left running";
}

}  // namespace
