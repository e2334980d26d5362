#include "dnsmasq.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "dns_reply.h"
#include "udp.h"

namespace testsupport {

namespace {

const char *const DNSMASQ = "/usr/sbin/dnsmasq";

// An A query for "ready.invalid": whatever the answer, an answer means the server
// is serving that address.
bool answers(const std::string &strAddr) {
    static const dnsreply::Bytes PROBE = dnsreply::Query(0x1234, "ready.invalid");
    sockaddr_in addr = Addr(strAddr, 53);
    CUdpPort port("0.0.0.0");
    bool bAnswered = false;
    if (port.Fd() >= 0 &&
        connect(port.Fd(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
        send(port.Fd(), PROBE.data(), PROBE.size(), 0) == static_cast<ssize_t>(PROBE.size())) {
        pollfd pfd = {port.Fd(), POLLIN, 0};
        unsigned char aBuf[512];
        bAnswered = poll(&pfd, 1, 100) == 1 && recv(port.Fd(), aBuf, sizeof aBuf, 0) > 0;
    }
    return bAnswered;
}

}  // namespace

bool CDnsmasq::Start(const std::vector<std::string> &listListen, const std::string &strConf,
                     std::string &strWhy) {
    if (access(DNSMASQ, X_OK) != 0) {
        strWhy = std::string(DNSMASQ) + " is not installed (Debian package dnsmasq-base)";
        return false;
    }
    if (Dir().empty() || !WriteFile(m_dir.File("dnsmasq.conf"), strConf)) {
        strWhy = "cannot write the dnsmasq configuration";
        return false;
    }
    std::vector<std::string> listArgs = {DNSMASQ,
                                         "--no-daemon",
                                         "--no-resolv",
                                         "--no-hosts",
                                         "--bind-interfaces",
                                         "--port=53",
                                         "--user=root",
                                         "--log-queries",
                                         "--conf-file=" + m_dir.File("dnsmasq.conf"),
                                         "--pid-file=" + m_dir.File("dnsmasq.pid"),
                                         "--log-facility=" + m_dir.File("dnsmasq.log")};
    for (const std::string &strAddr : listListen) listArgs.push_back("--listen-address=" + strAddr);
    if (!m_server.Start(listArgs, m_dir.File("dnsmasq"))) {
        strWhy = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    bool bAll = false;
    WaitUntil(5, [&] {
        bAll = true;
        for (const std::string &strAddr : listListen) bAll = bAll && answers(strAddr);
        return bAll || !m_server.Running();
    });
    if (!bAll)
        strWhy = std::string(m_server.Running() ? "dnsmasq did not answer within 5 s: "
                                                : "dnsmasq ended at start: ") +
                 m_server.Stderr();
    return bAll;
}

std::string CDnsmasq::Log() const {
    return ReadFile(m_dir.File("dnsmasq.log"));
}

}  // namespace testsupport
