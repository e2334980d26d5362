// The built vesko_c run as a process: a copy in a temporary directory (so that its
// log lies there), standard output and error in files, in a process group of its
// own so that supervisor and every worker can be killed together.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "tempdir.h"

class CReporterRun {
public:
    // Copies the binary into dir and starts it with vecArgs (argv[1..]).
    CReporterRun(const testsupport::CTempDir &dir, const std::vector<std::string> &vecArgs);
    // Kills supervisor and workers (the whole group) and reaps the supervisor.
    ~CReporterRun();
    CReporterRun(const CReporterRun &) = delete;
    CReporterRun &operator=(const CReporterRun &) = delete;

    bool Started() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    std::string Stdout() const;
    std::string Log() const;
    std::string LogPath() const { return m_strExe + ".log"; }
    // Waits up to dSeconds for the supervisor to exit; its exit status, or -1.
    int WaitExit(double dSeconds);
    // Workers named by "pid=N start." lines so far, in order.
    std::vector<pid_t> Workers() const;
    void KillAll();

private:
    std::string m_strExe;
    std::string m_strOut;
    pid_t m_pid = -1;
    bool m_bReaped = false;
};

// Polls fnDone every 50 ms for up to dSeconds; true once it holds.
bool WaitFor(double dSeconds, const std::function<bool()> &fnDone);
// Number of lines of strText that contain strPart.
int CountLines(const std::string &strText, const std::string &strPart);
