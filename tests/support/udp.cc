#include "udp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace testsupport {

sockaddr_in Addr(const std::string &strIP, int nPort) {
    sockaddr_in addr = {};
    if (inet_pton(AF_INET, strIP.c_str(), &addr.sin_addr) != 1) return sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    return addr;
}

CUdpPort::CUdpPort(const std::string &strIP, int nPort, int nFlags) {
    sockaddr_in addr = Addr(strIP, nPort);
    socklen_t nLen = sizeof addr;
    if (addr.sin_family != AF_INET) {
        errno = EINVAL;  // bind would take a zero address as 0.0.0.0
        return;
    }
    m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | nFlags, 0);
    if (m_fd < 0) return;
    if (bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(m_fd, reinterpret_cast<sockaddr *>(&addr), &nLen) != 0) {
        close(m_fd);  // a successful close leaves errno as bind set it
        m_fd = -1;
        return;
    }
    m_nPort = ntohs(addr.sin_port);
}

CUdpPort::~CUdpPort() {
    if (m_fd >= 0) close(m_fd);
}

}  // namespace testsupport
