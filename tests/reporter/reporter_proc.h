// The built vesko_c run as a process: a copy in a temporary directory (so that its
// log lies there), started as a testsupport::CChild, whose process group holds the
// supervisor and every worker, so that one kill ends them all.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "child.h"
#include "tempdir.h"

class CReporterRun {
public:
    // Copies the binary into dir and starts it with vecArgs (argv[1..]).
    CReporterRun(const testsupport::CTempDir &dir, const std::vector<std::string> &vecArgs);

    bool Started() const { return m_bStarted; }
    std::string Stdout() const { return m_child.Stdout(); }
    std::string Log() const { return testsupport::ReadFile(LogPath()); }
    std::string LogPath() const { return m_strExe + ".log"; }
    // Waits up to dSeconds for the supervisor to exit; its exit status, or -1.
    int WaitExit(double dSeconds) { return m_child.WaitExit(dSeconds); }
    // Workers named by "pid=N start." lines so far, in order.
    std::vector<pid_t> Workers() const;
    // Kills supervisor and workers (the whole group) and reaps the supervisor.
    void KillAll() { m_child.Kill(); }

private:
    std::string m_strExe;
    testsupport::CChild m_child;
    bool m_bStarted = false;
};

// Number of lines of strText that contain strPart.
int CountLines(const std::string &strText, const std::string &strPart);
