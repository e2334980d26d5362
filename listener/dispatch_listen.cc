// dispatch_listen ADDR:PORT [--textfile DIR] [--table]: a dispatch-side listener for
// operators. Binds one UDP address and prints every status datagram decoded on one
// line, flagging datagrams that are not 28 bytes or whose tag is not 110. It keeps
// the latest report of every interface for an exposition file and a terminal table.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "fleet.h"
#include "listen_args.h"
#include "textfile.h"

namespace {

// Datagrams taken from the socket between two looks at the timer; standard output
// is flushed after each batch rather than after each line.
const int RECV_BATCH = 256;
// The exposition file is rewritten on a tick after datagrams arrived, and on every
// this many ticks (of one second) in any case, so that its age tells whether the
// listener still runs.
const uint64_t TEXTFILE_MAX_TICKS = 15;
// Receive buffer asked for. A 28-byte datagram takes about 830 bytes of it on
// loopback, so the default 212,992 bytes hold 256 datagrams, 5 ms at 50,000 a second:
// less than a busy machine may keep this process off the CPU. The kernel doubles the
// value: 8 MiB, about 10,000 datagrams or 200 ms at that rate.
const int RCVBUF_ASK = 4 << 20;

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Redraws the table from the top of the terminal, each line cleared to its end and
// everything below the last one cleared, so that nothing scrolls.
void DrawTable(const CFleet &fleet) {
    struct winsize ws;
    size_t nLines = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 4 ? ws.ws_row : 24;
    // Summary, header and "... more" around the rows; one line spare against scrolling.
    std::string strTable = FormatTable(fleet, NowMs(), nLines - 4);
    std::string strOut = "\033[H";
    size_t nStart = 0, nEnd;
    while ((nEnd = strTable.find('\n', nStart)) != std::string::npos) {
        strOut.append(strTable, nStart, nEnd - nStart);
        strOut += "\033[K\n";
        nStart = nEnd + 1;
    }
    strOut += "\033[J";
    std::fwrite(strOut.data(), 1, strOut.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    sListenArgs args;
    std::string strErr;
    if (!ParseListenArgs(argc, argv, args, strErr)) {
        std::fprintf(stderr,
                     "dispatch_listen: %s\nUsage: dispatch_listen ADDR:PORT [--textfile DIR] "
                     "[--table]\n",
                     strErr.c_str());
        return 1;
    }
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::perror("socket");
        return 1;
    }
    // FORCE passes net.core.rmem_max for a privileged operator; others get what that allows.
    int nRcvbuf = RCVBUF_ASK;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &nRcvbuf, sizeof nRcvbuf) != 0)
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &nRcvbuf, sizeof nRcvbuf);
    socklen_t nOptLen = sizeof nRcvbuf;
    if (getsockopt(sock, SOL_SOCKET, SO_RCVBUF, &nRcvbuf, &nOptLen) == 0 &&
        nRcvbuf < 2 * RCVBUF_ASK)
        std::fprintf(stderr,
                     "dispatch_listen: receive buffer %d bytes, not the %d asked for (raise "
                     "net.core.rmem_max): bursts may be lost\n",
                     nRcvbuf, 2 * RCVBUF_ASK);
    char szAddr[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &args.addr.sin_addr, szAddr, sizeof szAddr);
    socklen_t nAddrLen = sizeof args.addr;
    if (bind(sock, (const struct sockaddr *)&args.addr, sizeof args.addr) != 0 ||
        getsockname(sock, (struct sockaddr *)&args.addr, &nAddrLen) != 0) {
        std::string strWhat =
            "bind " + std::string(szAddr) + ":" + std::to_string(ntohs(args.addr.sin_port));
        std::perror(strWhat.c_str());
        close(sock);
        return 1;
    }

    CFleet fleet;
    if (!args.strTextfileDir.empty() && !WriteTextfile(args.strTextfileDir, fleet, strErr)) {
        std::fprintf(stderr, "dispatch_listen: cannot write the exposition file in %s: %s\n",
                     args.strTextfileDir.c_str(), strErr.c_str());
        close(sock);
        return 2;
    }
    int fdTimer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    struct itimerspec tick = {{1, 0}, {1, 0}};
    if (fdTimer < 0 || timerfd_settime(fdTimer, 0, &tick, nullptr) != 0) {
        std::perror("timerfd");
        close(sock);
        return 1;
    }
    // On a pipe the table would be noise: there every datagram is a line, as always.
    bool bDrawTable = args.bTable && isatty(STDOUT_FILENO);
    // The bound address, so that port 0 shows the port the kernel chose.
    std::printf("listening on %s:%u\n", szAddr, ntohs(args.addr.sin_port));
    std::fflush(stdout);

    bool bDirty = false;
    uint64_t nTicksSinceWrite = 0;
    pid_t pidWriter = 0;  // the child writing the exposition file, 0 when none runs
    for (;;) {
        struct pollfd aFds[2] = {{sock, POLLIN, 0}, {fdTimer, POLLIN, 0}};
        if (poll(aFds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("poll");
            return 1;
        }
        for (int i = 0; i < RECV_BATCH && (aFds[0].revents & POLLIN); ++i) {
            unsigned char aBuf[2048];
            struct sockaddr_in from;
            socklen_t nFromLen = sizeof from;
            // MSG_TRUNC: the datagram's real length, also when it did not fit aBuf.
            ssize_t n = recvfrom(sock, aBuf, sizeof aBuf, MSG_DONTWAIT | MSG_TRUNC,
                                 (struct sockaddr *)&from, &nFromLen);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) std::perror("recvfrom");
                break;
            }
            MORVA_VESKO_STATUS rec;
            const uint32_t nSender = ntohl(from.sin_addr.s_addr);
            fleet.Apply(aBuf, (size_t)n, nSender, NowMs(), rec);
            bDirty = true;  // a bad datagram changes its counter
            if (bDrawTable) continue;
            std::string strFlags;
            if ((size_t)n != STATUS_SIZE) strFlags += "  BAD-LENGTH " + std::to_string(n);
            if (rec.tag != STATUS_TAG) strFlags += "  BAD-TAG " + std::to_string(rec.tag);
            std::printf("ip %s  status %u  in %u  out %u  from %s:%u%s\n",
                        DottedQuad(rec.IP).c_str(), rec.Status, rec.InCome, rec.OutCome,
                        DottedQuad(nSender).c_str(), ntohs(from.sin_port), strFlags.c_str());
        }
        std::fflush(stdout);

        uint64_t nTicks = 0;
        if (!(aFds[1].revents & POLLIN) || read(fdTimer, &nTicks, sizeof nTicks) != sizeof nTicks)
            continue;
        nTicksSinceWrite += nTicks;
        int nStatus = 0;
        if (pidWriter > 0 && waitpid(pidWriter, &nStatus, WNOHANG) == pidWriter) {
            pidWriter = 0;
            // The writer told stderr why it failed; try again on the next tick.
            if (!WIFEXITED(nStatus) || WEXITSTATUS(nStatus) != 0) bDirty = true;
        }
        if (!args.strTextfileDir.empty() && pidWriter == 0 &&
            (bDirty || nTicksSinceWrite >= TEXTFILE_MAX_TICKS)) {
            bDirty = false;
            nTicksSinceWrite = 0;
            // A forked writer works on a copy-on-write snapshot while this loop goes on
            // draining the socket: rendering and writing a large fleet's file takes tens
            // of ms, more when the kernel throttles writers to a slow disk.
            // Without a child the loop writes the file itself.
            pidWriter = fork();
            if (pidWriter <= 0) {
                if (pidWriter < 0) std::perror("fork");
                const bool bOk = WriteTextfile(args.strTextfileDir, fleet, strErr);
                if (!bOk) std::fprintf(stderr, "dispatch_listen: %s\n", strErr.c_str());
                if (pidWriter == 0) _exit(bOk ? 0 : 1);
                pidWriter = 0;
                bDirty = !bOk;
            }
        }
        if (bDrawTable) DrawTable(fleet);
    }
}
