// The resolver's socket operations and their result codes, on loopback.
#include "sock.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "netns.h"
#include "udp.h"

namespace {

using testsupport::CUdpPort;  // bound to an ephemeral port of 127.0.0.1

long MsSince(std::chrono::steady_clock::time_point tStart) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - tStart)
                                 .count());
}

}  // namespace

TEST(SockCreate, DatagramForZeroStreamOtherwise) {
    struct {
        int nStream;
        int nType;
    } aCases[] = {{0, SOCK_DGRAM}, {1, SOCK_STREAM}, {-7, SOCK_STREAM}};
    for (const auto &c : aCases) {
        int fd = sockCreate(c.nStream);
        ASSERT_GE(fd, 0) << c.nStream;
        int nType = 0;
        socklen_t nLen = sizeof nType;
        ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &nLen), 0);
        EXPECT_EQ(nType, c.nType) << c.nStream;
        EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "children of the host must not inherit it";
        EXPECT_EQ(sockClose(fd), 0);
    }
}

TEST(SockCreate, MinusOneWhenPlatformRefuses) {
    rlimit limOld;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limOld), 0);
    rlimit limNone = limOld;
    limNone.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limNone), 0);
    int fd = sockCreate(0);
    setrlimit(RLIMIT_NOFILE, &limOld);
    EXPECT_EQ(fd, -1);
}

TEST(SockClose, ClosesAndReturnsZero) {
    int fd = sockCreate(0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(sockClose(fd), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(sockClose(-1), 0);
}

TEST(SockSendTo, ResultCodes) {
    CUdpPort peer;
    ASSERT_GT(peer.Port(), 0);
    int fd = sockCreate(0);
    const char aData[] = "hello";
    struct {
        const char *pszCase;
        const char *pszHost;
        int nPort;
        int nLen;
        int nWant;
    } aCases[] = {
        {"null host", nullptr, peer.Port(), 5, -2},
        {"negative port", "127.0.0.1", -1, 5, -2},
        {"port above 65535", "127.0.0.1", 65536 + peer.Port(), 5, -2},
        {"negative length", "127.0.0.1", peer.Port(), -1, -2},
        {"dotted quad", "127.0.0.1", peer.Port(), 5, 5},
        {"short numeric form, converted by the host lookup", "127.1", peer.Port(), 3, 3},
        {"empty datagram", "127.0.0.1", peer.Port(), 0, 0},
    };
    for (const auto &c : aCases)
        EXPECT_EQ(sockSendTo(fd, c.pszHost, c.nPort, aData, c.nLen), c.nWant) << c.pszCase;
    EXPECT_EQ(sockSendTo(-1, "127.0.0.1", peer.Port(), aData, 5), -1)
        << "sendto fails on no descriptor";
    sockClose(fd);

    char aBuf[16];
    EXPECT_EQ(recv(peer.Fd(), aBuf, sizeof aBuf, MSG_DONTWAIT), 5);
    EXPECT_EQ(std::string(aBuf, 5), "hello");
    EXPECT_EQ(recv(peer.Fd(), aBuf, sizeof aBuf, MSG_DONTWAIT), 3);
    EXPECT_EQ(recv(peer.Fd(), aBuf, sizeof aBuf, MSG_DONTWAIT), 0);
}

// The lookup of a name may ask the machine's DNS server: only inside a private
// namespace, where no route leads there.
TEST(SockSendTo, MinusThreeWhenLookupFails) {
    std::string strWhy;
    if (!testsupport::EnterPrivateNetns(strWhy)) GTEST_SKIP() << strWhy;
    int fd = sockCreate(0);
    EXPECT_EQ(sockSendTo(fd, "no-such-host.invalid", 9, "x", 1), -3);
    EXPECT_EQ(sockSendTo(fd, "", 9, "x", 1), -3);
    sockClose(fd);
}

TEST(SockRecv, ResultCodes) {
    CUdpPort self;
    ASSERT_GT(self.Port(), 0);
    char aBuf[64];
    int aPipe[2];
    ASSERT_EQ(pipe(aPipe), 0);
    ASSERT_EQ(write(aPipe[1], "x", 1), 1);
    int fdClosed = sockCreate(0);
    sockClose(fdClosed);

    struct {
        const char *pszCase;
        int fd;
        void *pBuf;
        int nSize;
        int nTimeoutMs;
        int nWant;
    } aCases[] = {
        {"fd -1", -1, aBuf, 64, 10, -2},
        {"negative fd", -5, aBuf, 64, 10, -2},
        {"null buffer", self.Fd(), nullptr, 64, 10, -2},
        {"size 0", self.Fd(), aBuf, 0, 10, -2},
        {"negative time-out", self.Fd(), aBuf, 64, -1, -2},
        {"nothing arrives", self.Fd(), aBuf, 64, 30, -3},
        {"closed descriptor", fdClosed, aBuf, 64, 30, -1},
        {"readable, but no socket", aPipe[0], aBuf, 64, 30, -1},
    };
    for (const auto &c : aCases)
        EXPECT_EQ(sockRecv(c.fd, c.pBuf, c.nSize, c.nTimeoutMs), c.nWant) << c.pszCase;
    close(aPipe[0]);
    close(aPipe[1]);
}

TEST(SockRecv, WaitsAboutTheTimeOut) {
    CUdpPort self;
    char aBuf[8];
    auto tStart = std::chrono::steady_clock::now();
    EXPECT_EQ(sockRecv(self.Fd(), aBuf, sizeof aBuf, 100), -3);
    long lMs = MsSince(tStart);
    EXPECT_GE(lMs, 90);
    EXPECT_LT(lMs, 2000);
}

TEST(SockRecv, ReadsOneDatagramAtMostSize) {
    CUdpPort self;
    int fd = sockCreate(0);
    // Non-blocking on purpose: sockRecv puts the socket back into blocking mode.
    fcntl(self.Fd(), F_SETFL, fcntl(self.Fd(), F_GETFL) | O_NONBLOCK);
    ASSERT_EQ(sockSendTo(fd, "127.0.0.1", self.Port(), "0123456789", 10), 10);
    ASSERT_EQ(sockSendTo(fd, "127.0.0.1", self.Port(), "abc", 3), 3);
    char aBuf[16] = {0};
    sockaddr_in from;
    EXPECT_EQ(sockRecvFrom(self.Fd(), aBuf, 4, 100, &from), 4)
        << "the rest of the datagram is dropped";
    EXPECT_EQ(std::string(aBuf, 4), "0123");
    EXPECT_EQ(from.sin_family, AF_INET);
    EXPECT_EQ(ntohl(from.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_EQ(fcntl(self.Fd(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(sockRecv(self.Fd(), aBuf, sizeof aBuf, 0), 3) << "time-out 0 waits without limit";
    EXPECT_EQ(std::string(aBuf, 3), "abc");
    sockClose(fd);
}

// An fd_set has room for descriptors below FD_SETSIZE only; waiting on a higher one
// must neither overrun anything nor fail.
TEST(SockRecv, WaitsOnDescriptorAboveFdSetSize) {
    const int fdHigh = FD_SETSIZE + 500;
    rlimit lim;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &lim), 0);
    if (lim.rlim_cur <= static_cast<rlim_t>(fdHigh)) {
        if (lim.rlim_max <= static_cast<rlim_t>(fdHigh)) GTEST_SKIP() << "descriptor limit too low";
        lim.rlim_cur = fdHigh + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lim), 0);
    }
    CUdpPort self;
    ASSERT_EQ(dup2(self.Fd(), fdHigh), fdHigh);
    char aBuf[8];
    EXPECT_EQ(sockRecv(fdHigh, aBuf, sizeof aBuf, 30), -3);
    int fd = sockCreate(0);
    ASSERT_EQ(sockSendTo(fd, "127.0.0.1", self.Port(), "hi", 2), 2);
    EXPECT_EQ(sockRecv(fdHigh, aBuf, sizeof aBuf, 1000), 2);
    sockClose(fd);
    close(fdHigh);
}

TEST(SockConnect, ResultCodes) {
    CUdpPort peer;
    int fd = sockCreate(0);
    int aPipe[2];
    ASSERT_EQ(pipe(aPipe), 0);
    struct {
        const char *pszCase;
        int fd;
        const char *pszIP;
        int nPort;
        int nWant;
    } aCases[] = {
        {"negative fd", -1, "127.0.0.1", peer.Port(), -2},
        {"null address", fd, nullptr, peer.Port(), -2},
        {"negative port", fd, "127.0.0.1", -1, -2},
        {"port above 65535", fd, "127.0.0.1", 65536, -2},
        {"name, not an address", fd, "localhost", peer.Port(), -3},
        {"short numeric form", fd, "127.1", peer.Port(), -3},
        {"no socket", aPipe[0], "127.0.0.1", peer.Port(), -1},
        {"done", fd, "127.0.0.1", peer.Port(), 0},
    };
    for (const auto &c : aCases)
        EXPECT_EQ(sockConnect(c.fd, c.pszIP, c.nPort), c.nWant) << c.pszCase;
    EXPECT_EQ(sockSend(fd, nullptr, 1), -2);
    EXPECT_EQ(sockSend(fd, "x", -1), -2);
    EXPECT_EQ(sockSend(fd, "ping", 4), 4);
    char aBuf[8];
    EXPECT_EQ(recv(peer.Fd(), aBuf, sizeof aBuf, MSG_DONTWAIT), 4);
    int fdLoose = sockCreate(0);
    EXPECT_EQ(sockSend(fdLoose, "x", 1), -1) << "no destination";
    sockClose(fdLoose);
    sockClose(fd);
    close(aPipe[0]);
    close(aPipe[1]);
}

// A connected socket takes datagrams from its peer's address and port only.
TEST(SockConnect, OnlyThePeerIsHeard) {
    CUdpPort server;
    CUdpPort stranger;
    int fd = sockCreate(0);
    ASSERT_EQ(sockConnect(fd, "127.0.0.1", server.Port()), 0);
    sockaddr_in self = {};
    socklen_t nLen = sizeof self;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&self), &nLen), 0);
    sendto(stranger.Fd(), "forged", 6, 0, reinterpret_cast<sockaddr *>(&self), sizeof self);
    sendto(server.Fd(), "real", 4, 0, reinterpret_cast<sockaddr *>(&self), sizeof self);
    char aBuf[8] = {0};
    EXPECT_EQ(sockRecv(fd, aBuf, sizeof aBuf, 1000), 4);
    EXPECT_EQ(std::string(aBuf, 4), "real");
    EXPECT_EQ(sockRecv(fd, aBuf, sizeof aBuf, 30), -3);
    sockClose(fd);
}
