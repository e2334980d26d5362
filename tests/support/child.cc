#include "child.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "tempdir.h"

namespace testsupport {

bool CChild::Start(const std::vector<std::string> &vecArgv, const std::string &strOutPrefix) {
    m_strPrefix = strOutPrefix;
    std::string strOut = strOutPrefix + ".out", strErr = strOutPrefix + ".err";
    std::vector<std::string> vecCopy = vecArgv;
    std::vector<char *> vecP;
    for (std::string &s : vecCopy) vecP.push_back(&s[0]);
    vecP.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        setpgid(0, 0);
        int fdOut = open(strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int fdErr = open(strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fdOut < 0 || fdErr < 0) _exit(127);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
        execv(vecP[0], vecP.data());
        _exit(127);
    }
    setpgid(pid, pid);
    m_pid = pid;
    return true;
}

std::string CChild::Stdout() const {
    return ReadFile(m_strPrefix + ".out");
}
std::string CChild::Stderr() const {
    return ReadFile(m_strPrefix + ".err");
}

int CChild::WaitExit(double dSeconds) {
    if (m_pid <= 0) return -1;
    int nStatus = 0;
    if (!WaitUntil(dSeconds, [&] { return waitpid(m_pid, &nStatus, WNOHANG) == m_pid; })) return -1;
    m_pid = -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

void CChild::Kill() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
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
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof sin;
    int nPort = 0;
    if (bind(sock, (struct sockaddr *)&sin, sizeof sin) == 0 &&
        getsockname(sock, (struct sockaddr *)&sin, &nLen) == 0)
        nPort = ntohs(sin.sin_port);
    close(sock);
    return nPort;
}

}  // namespace testsupport
