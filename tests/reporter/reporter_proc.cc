#include "reporter_proc.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

CReporterRun::CReporterRun(const testsupport::CTempDir &dir,
                           const std::vector<std::string> &vecArgs)
    : m_strExe(dir.File("vesko_c")), m_strOut(dir.File("stdout.txt")) {
    std::error_code ec;
    std::filesystem::copy_file(VESKO_C, m_strExe, ec);
    if (ec) return;
    std::vector<std::string> vecArgv{m_strExe};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    std::string strErr = dir.File("stderr.txt");
    pid_t pid = fork();
    if (pid < 0) return;
    if (pid == 0) {
        setpgid(0, 0);
        int fdOut = open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fdOut < 0 || fdErr < 0) _exit(127);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        std::vector<char *> vecP;
        for (std::string &s : vecArgv) vecP.push_back(&s[0]);
        vecP.push_back(nullptr);
        execv(vecP[0], vecP.data());
        _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
}

CReporterRun::~CReporterRun() {
    KillAll();
}

void CReporterRun::KillAll() {
    if (m_pid <= 0) return;
    // Workers stay in the supervisor's group: one signal to the group ends them all.
    kill(-m_pid, SIGKILL);
    if (!m_bReaped) waitpid(m_pid, nullptr, 0);
    m_bReaped = true;
}

int CReporterRun::WaitExit(double dSeconds) {
    int nStatus = 0;
    bool bDone = WaitFor(dSeconds, [&] { return waitpid(m_pid, &nStatus, WNOHANG) == m_pid; });
    if (!bDone) return -1;
    m_bReaped = true;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

std::string CReporterRun::Stdout() const {
    return testsupport::ReadFile(m_strOut);
}
std::string CReporterRun::Log() const {
    return testsupport::ReadFile(LogPath());
}

std::vector<pid_t> CReporterRun::Workers() const {
    std::vector<pid_t> vec;
    std::istringstream in(Stdout());
    std::string strLine;
    while (std::getline(in, strLine)) {
        int nPid = 0;
        char cEnd = 0;
        if (std::sscanf(strLine.c_str(), "pid=%d start%c", &nPid, &cEnd) == 2 && nPid > 0)
            vec.push_back(nPid);
    }
    return vec;
}

bool WaitFor(double dSeconds, const std::function<bool()> &fnDone) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds);
    for (;;) {
        if (fnDone()) return true;
        if (std::chrono::steady_clock::now() >= tEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int CountLines(const std::string &strText, const std::string &strPart) {
    std::istringstream in(strText);
    std::string strLine;
    int n = 0;
    while (std::getline(in, strLine))
        if (strLine.find(strPart) != std::string::npos) ++n;
    return n;
}
