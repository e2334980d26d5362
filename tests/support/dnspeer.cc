#include "dnspeer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "netns.h"

namespace testsupport {

namespace {

double nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

}  // namespace

bool EnterResolverNetns(std::string &strWhy) {
    if (!EnterPrivateNetns(strWhy)) return false;
    const char *aServers[] = {"223.5.5.5", "8.8.8.8"};
    for (const char *pszServer : aServers) {
        if (RunShell(std::string("ip addr add ") + pszServer + "/32 dev lo") != 0) {
            strWhy = std::string("ip addr add ") + pszServer + "/32 dev lo failed";
            return false;
        }
        if (!RouteIsLocal(pszServer)) {
            strWhy = std::string("the route to ") + pszServer + " is not local to the namespace";
            return false;
        }
    }
    return true;
}

CDnsPeer::~CDnsPeer() {
    if (m_thread.joinable()) {
        char c = 0;
        ssize_t nWritten = write(m_aStopPipe[1], &c, 1);
        (void)nWritten;  // a pipe of our own with room for a byte
        m_thread.join();
    }
    for (int fd : m_aStopPipe)
        if (fd >= 0) close(fd);
}

bool CDnsPeer::Start(const std::vector<std::string> &listBind, Script fnScript,
                     std::string &strWhy) {
    for (const std::string &strBind : listBind) {
        size_t nColon = strBind.rfind(':');
        m_listPort.emplace_back(strBind.substr(0, nColon), std::atoi(strBind.c_str() + nColon + 1));
        if (m_listPort.back().Fd() < 0) {
            strWhy = "bind " + strBind + ": " + std::strerror(errno);
            return false;
        }
    }
    if (pipe2(m_aStopPipe, O_CLOEXEC) != 0) {
        strWhy = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    m_fnScript = std::move(fnScript);
    m_dStartMs = nowMs();
    m_thread = std::thread([this] { Serve(); });
    return true;
}

void CDnsPeer::SendFrom(int nSocket, const sockaddr_in &to,
                        const std::vector<unsigned char> &bytes) {
    sendto(m_listPort[nSocket].Fd(), bytes.data(), bytes.size(), 0,
           reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

std::vector<sDnsQuery> CDnsPeer::Queries() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_listQueries;
}

void CDnsPeer::Serve() {
    std::vector<pollfd> listPoll;
    for (const CUdpPort &port : m_listPort) listPoll.push_back(pollfd{port.Fd(), POLLIN, 0});
    listPoll.push_back(pollfd{m_aStopPipe[0], POLLIN, 0});
    for (;;) {
        if (poll(listPoll.data(), listPoll.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (listPoll.back().revents != 0) return;
        for (size_t i = 0; i + 1 < listPoll.size(); i++) {
            if ((listPoll[i].revents & POLLIN) == 0) continue;
            unsigned char aBuf[4096];
            sDnsQuery query;
            socklen_t nFromLen = sizeof query.from;
            ssize_t nGot = recvfrom(listPoll[i].fd, aBuf, sizeof aBuf, 0,
                                    reinterpret_cast<sockaddr *>(&query.from), &nFromLen);
            if (nGot < 0) continue;
            query.nSocket = static_cast<int>(i);
            query.bytes.assign(aBuf, aBuf + nGot);
            query.dMs = nowMs() - m_dStartMs;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_listQueries.push_back(query);
            }
            if (m_fnScript) m_fnScript(*this, query);
        }
    }
}

}  // namespace testsupport
