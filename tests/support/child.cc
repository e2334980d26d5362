#include "child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "tempdir.h"
#include "udp.h"

namespace testsupport {

void CChild::SetEnv(const std::string &strName, const std::string &strValue) {
    m_listEnv.push_back(strName + "=" + strValue);
}

bool CChild::Start(const std::vector<std::string> &vecArgv, const std::string &strOutPrefix) {
    m_strPrefix = strOutPrefix;
    std::string strOut = strOutPrefix + ".out", strErr = strOutPrefix + ".err";
    // Everything the child needs is built before the fork: between fork and exec
    // only async-signal-safe calls.
    auto fnName = [](const std::string &strVar) { return strVar.substr(0, strVar.find('=')); };
    std::vector<std::string> vecCopy = vecArgv, listEnv;
    for (char **ppVar = environ; *ppVar != nullptr; ++ppVar) {
        bool bReplaced = false;
        for (const std::string &strSet : m_listEnv)
            bReplaced = bReplaced || fnName(strSet) == fnName(*ppVar);
        if (!bReplaced) listEnv.push_back(*ppVar);
    }
    listEnv.insert(listEnv.end(), m_listEnv.begin(), m_listEnv.end());
    std::vector<char *> vecP, vecEnv;
    for (std::string &s : vecCopy) vecP.push_back(&s[0]);
    vecP.push_back(nullptr);
    for (std::string &s : listEnv) vecEnv.push_back(&s[0]);
    vecEnv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setpgid(0, 0);
        // Close-on-exec: the program gets them as 0, 1 and 2 only.
        int fdIn = open("/dev/null", O_RDONLY | O_CLOEXEC);
        int fdOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fdIn < 0 || fdOut < 0 || fdErr < 0) _exit(127);
        if (!m_strDir.empty() && chdir(m_strDir.c_str()) != 0) _exit(127);
        dup2(fdIn, 0);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        execvpe(vecP[0], vecP.data(), vecEnv.data());
        _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
    m_nExit = -1;
    return true;
}

std::string CChild::Stdout() const {
    return ReadFile(m_strPrefix + ".out");
}
std::string CChild::Stderr() const {
    return ReadFile(m_strPrefix + ".err");
}

bool CChild::Running() {
    if (m_pid <= 0) return false;
    int nStatus = 0;
    pid_t pid = waitpid(m_pid, &nStatus, WNOHANG);
    if (pid == 0) return true;
    // Reaped (or, should waitpid fail, no longer ours): the pid is never used again.
    m_pid = -1;
    m_nExit = pid > 0 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return false;
}

int CChild::WaitExit(double dSeconds) {
    if (!WaitUntil(dSeconds, [&] { return !Running(); })) return -1;
    return m_nExit;
}

void CChild::Kill() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

int RunForked(const std::function<void()> &fnBody) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        fnBody();
        std::fflush(stdout);
        std::fflush(stderr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFSIGNALED(nStatus)) return 128 + WTERMSIG(nStatus);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

bool WaitUntil(double dSeconds, const std::function<bool()> &fnDone) {
    auto tEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(dSeconds);
    for (;;) {
        if (fnDone()) return true;
        if (std::chrono::steady_clock::now() >= tEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int FreeLoopbackPort() {
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return 0;
    sockaddr_in sin = Addr("127.0.0.1", 0);
    socklen_t nLen = sizeof sin;
    int nPort = 0;
    if (bind(sock, (struct sockaddr *)&sin, sizeof sin) == 0 &&
        getsockname(sock, (struct sockaddr *)&sin, &nLen) == 0)
        nPort = ntohs(sin.sin_port);
    close(sock);
    return nPort;
}

}  // namespace testsupport
