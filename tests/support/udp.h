// UDP over IPv4 for the tests: an address from its text, and a socket bound to one.
#pragma once

#include <netinet/in.h>

#include <string>

namespace testsupport {

// The address strIP:nPort; all zero (no family) when strIP is not a dotted quad.
sockaddr_in Addr(const std::string &strIP, int nPort);

// A UDP socket bound to strIP:nPort (port 0: one the kernel picks), closed with the
// object. nFlags go to socket() beside SOCK_DGRAM | SOCK_CLOEXEC (SOCK_NONBLOCK).
class CUdpPort {
public:
    explicit CUdpPort(const std::string &strIP = "127.0.0.1", int nPort = 0, int nFlags = 0);
    ~CUdpPort();
    CUdpPort(const CUdpPort &) = delete;
    CUdpPort &operator=(const CUdpPort &) = delete;

    // The descriptor; -1 when strIP was no address or socket or bind failed, errno
    // saying why.
    int Fd() const { return m_fd; }
    // The bound port; 0 when binding failed.
    int Port() const { return m_nPort; }

private:
    int m_fd = -1;
    int m_nPort = 0;
};

}  // namespace testsupport
