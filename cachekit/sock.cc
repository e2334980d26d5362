// Socket operations of the resolver: create, address, connect, send, wait-and-receive,
// close, each mapped onto the library's result codes.
#include "sock.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

bool portInRange(int port) {
    return port >= 0 && port <= 65535;
}

}  // namespace

int sockCreate(int stream) {
    // Close-on-exec: the host process may fork and run commands while a query is
    // in flight, and the children have no business with the resolver's socket.
    int fd = socket(AF_INET, (stream == 0 ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
    return fd < 0 ? -1 : fd;
}

int sockAddrOf(const char *pszIP, int port, sockaddr_in *pAddr) {
    if (pszIP == nullptr || pAddr == nullptr || !portInRange(port)) return -2;
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, pszIP, &addr.sin_addr) != 1) return -3;
    *pAddr = addr;
    return 0;
}

int sockSendTo(int fd, const char *host, int port, const void *data, int len) {
    if (host == nullptr || !portInRange(port) || len < 0) return -2;
    sockaddr_in addr;
    if (sockAddrOf(host, port, &addr) != 0) {
        // Names (and the older numeric forms inet_pton refuses) take the platform's
        // lookup; it shares static storage, so this path is not reentrant.
        hostent *pHost = gethostbyname(host);
        if (pHost == nullptr || pHost->h_addrtype != AF_INET || pHost->h_addr_list[0] == nullptr)
            return -3;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&addr.sin_addr, pHost->h_addr_list[0], sizeof addr.sin_addr);
    }
    return static_cast<int>(sendto(fd, data, static_cast<size_t>(len), 0,
                                   reinterpret_cast<const sockaddr *>(&addr), sizeof addr));
}

int sockConnect(int fd, const char *pszIP, int port) {
    if (fd < 0) return -2;
    sockaddr_in addr;
    int nRet = sockAddrOf(pszIP, port, &addr);
    if (nRet != 0) return nRet;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) return -1;
    return 0;
}

int sockSend(int fd, const void *data, int len) {
    if (data == nullptr || len < 0) return -2;
    return static_cast<int>(send(fd, data, static_cast<size_t>(len), 0));
}

int sockRecvFrom(int fd, void *buf, int size, int timeoutMs, sockaddr_in *pFrom) {
    if (fd < 0 || buf == nullptr || size < 1 || timeoutMs < 0) return -2;
    int nBlocking = 0;
    ioctl(fd, FIONBIO, &nBlocking);
    if (timeoutMs > 0) {
        // poll, not select: an fd_set holds descriptors below FD_SETSIZE only, and a
        // busy host process may well hand out higher ones.
        pollfd pfd;
        pfd.fd = fd;
        pfd.events = POLLIN;
        pfd.revents = 0;
        int nReady = poll(&pfd, 1, timeoutMs);
        if (nReady < 0) return -1;
        if (nReady == 0) return -3;
        if (pfd.revents & POLLNVAL) return -1;
    }
    sockaddr_storage from;
    socklen_t nFromLen = sizeof from;
    std::memset(&from, 0, sizeof from);
    int nGot = static_cast<int>(recvfrom(fd, buf, static_cast<size_t>(size), 0,
                                         reinterpret_cast<sockaddr *>(&from), &nFromLen));
    if (pFrom != nullptr) {
        std::memset(pFrom, 0, sizeof *pFrom);
        pFrom->sin_family = AF_UNSPEC;
        if (nGot >= 0 && from.ss_family == AF_INET && nFromLen >= sizeof(sockaddr_in))
            std::memcpy(pFrom, &from, sizeof *pFrom);
    }
    return nGot;
}

int sockRecv(int fd, void *buf, int size, int timeoutMs) {
    return sockRecvFrom(fd, buf, size, timeoutMs, nullptr);
}

int sockClose(int fd) {
    shutdown(fd, SHUT_RDWR);
    close(fd);
    return 0;
}
