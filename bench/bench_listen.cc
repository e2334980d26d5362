// dispatch_listen under a large fleet's load: 50,000 status datagrams a second, each
// of 40,000 interfaces reporting from its own 127/8 source address, for 10 seconds.
// Prints datagrams received against sent, the listener's CPU time and its peak
// resident memory, for the listener with --textfile against the same listener
// printing only (the reference), both in this run. Runs in a private network
// namespace when it may, so that the kernel's drop counters are its own.
// Usage: bench_listen [SECONDS [RATE]]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "statusmsg.h"
#include "textfile.h"

namespace {

const int INTERFACES = 40000;
// Datagrams are sent in slots of 1 ms, each slot's share in one sendmmsg call.
const int SLOT_NS = 1000000;

double Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Interface i: address 198.18.i/256.i%256 (a benchmark range, never sent to), reported
// from 127.1.(i/250).(i%250+1).
uint32_t SourceOf(int i) {
    return (127u << 24) | (1u << 16) | ((uint32_t)(i / 250) << 8) | (uint32_t)(i % 250 + 1);
}

// The driver: nRate datagrams a second for dSeconds to 127.0.0.1:nPort, the source
// of each chosen with IP_PKTINFO. Returns the number the kernel accepted.
long Drive(int nPort, double dSeconds, int nRate) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        std::perror("socket");
        return 0;
    }
    struct sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((uint16_t)nPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int nPerSlot = nRate / 1000;
    std::vector<unsigned char> vecPayload((size_t)nPerSlot * STATUS_SIZE);
    std::vector<struct iovec> vecIov(nPerSlot);
    std::vector<struct mmsghdr> vecMsg(nPerSlot);
    const size_t nCtl = CMSG_SPACE(sizeof(struct in_pktinfo));
    std::vector<unsigned char> vecCtl((size_t)nPerSlot * nCtl);
    long nSent = 0, nNext = 0;
    long nSlots = (long)(dSeconds * 1000);
    struct timespec tSlot;
    clock_gettime(CLOCK_MONOTONIC, &tSlot);
    for (long nSlot = 0; nSlot < nSlots; ++nSlot) {
        for (int j = 0; j < nPerSlot; ++j, ++nNext) {
            int i = (int)(nNext % INTERFACES);
            MORVA_VESKO_STATUS rec = {STATUS_TAG,
                                      (198u << 24) | (18u << 16) | (uint32_t)i,
                                      1,
                                      (uint32_t)(nNext % 100),
                                      (uint32_t)(nNext % 851),
                                      0,
                                      0};
            unsigned char *pData = &vecPayload[(size_t)j * STATUS_SIZE];
            EncodeStatus(rec, pData);
            vecIov[j] = {pData, STATUS_SIZE};
            struct msghdr &msg = vecMsg[j].msg_hdr;
            std::memset(&msg, 0, sizeof msg);
            msg.msg_name = &to;
            msg.msg_namelen = sizeof to;
            msg.msg_iov = &vecIov[j];
            msg.msg_iovlen = 1;
            msg.msg_control = &vecCtl[(size_t)j * nCtl];
            msg.msg_controllen = nCtl;
            struct cmsghdr *pCmsg = CMSG_FIRSTHDR(&msg);
            pCmsg->cmsg_level = IPPROTO_IP;
            pCmsg->cmsg_type = IP_PKTINFO;
            pCmsg->cmsg_len = CMSG_LEN(sizeof(struct in_pktinfo));
            struct in_pktinfo info;
            std::memset(&info, 0, sizeof info);
            info.ipi_spec_dst.s_addr = htonl(SourceOf(i));
            std::memcpy(CMSG_DATA(pCmsg), &info, sizeof info);
        }
        for (int nDone = 0; nDone < nPerSlot;) {
            int n = sendmmsg(sock, &vecMsg[nDone], (unsigned)(nPerSlot - nDone), 0);
            if (n <= 0) {
                std::perror("sendmmsg");
                break;
            }
            nDone += n;
            nSent += n;
        }
        tSlot.tv_nsec += SLOT_NS;
        if (tSlot.tv_nsec >= 1000000000) {
            tSlot.tv_nsec -= 1000000000;
            ++tSlot.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &tSlot, nullptr);
    }
    close(sock);
    return nSent;
}

// A field of /proc/net/snmp's "Udp:" lines by its name, or -1.
long UdpCounter(const char *pszName) {
    FILE *pIn = std::fopen("/proc/net/snmp", "r");
    if (pIn == nullptr) return -1;
    char szNames[1024], szValues[1024];
    long nValue = -1;
    while (std::fgets(szNames, sizeof szNames, pIn) && std::fgets(szValues, sizeof szValues, pIn)) {
        if (std::strncmp(szNames, "Udp:", 4) != 0) continue;
        char *pSaveN = nullptr, *pSaveV = nullptr;
        char *pName = strtok_r(szNames, " \n", &pSaveN);
        char *pValue = strtok_r(szValues, " \n", &pSaveV);
        while (pName && pValue) {
            if (std::strcmp(pName, pszName) == 0) nValue = std::atol(pValue);
            pName = strtok_r(nullptr, " \n", &pSaveN);
            pValue = strtok_r(nullptr, " \n", &pSaveV);
        }
        break;
    }
    std::fclose(pIn);
    return nValue;
}

// VmHWM of a live process in KiB, 0 when unknown.
long PeakResidentKb(pid_t pid) {
    long nHwmKb = 0;
    char szLine[256];
    FILE *pIn = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (pIn == nullptr) return 0;
    while (std::fgets(szLine, sizeof szLine, pIn))
        if (std::sscanf(szLine, "VmHWM: %ld", &nHwmKb) == 1) break;
    std::fclose(pIn);
    return nHwmKb;
}

// CPU seconds (user + system) of a live process and of its children reaped so far.
double CpuSeconds(pid_t pid) {
    char szBuf[4096];
    FILE *pIn = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (pIn == nullptr) return 0;
    size_t n = std::fread(szBuf, 1, sizeof szBuf - 1, pIn);
    szBuf[n] = 0;
    std::fclose(pIn);
    // Fields after the command name, which ends with the last ')': state is field 3,
    // utime, stime, cutime and cstime are 14 to 17.
    const char *p = std::strrchr(szBuf, ')');
    unsigned long aTicks[4] = {0, 0, 0, 0};
    if (p == nullptr ||
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu %lu %lu",
                    &aTicks[0], &aTicks[1], &aTicks[2], &aTicks[3]) != 4)
        return 0;
    return (double)(aTicks[0] + aTicks[1] + aTicks[2] + aTicks[3]) / (double)sysconf(_SC_CLK_TCK);
}

// The largest VmHWM among the children that pid has now (its file writer), in KiB.
long ChildrenPeakKb(pid_t pid) {
    std::string strPath =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    FILE *pIn = std::fopen(strPath.c_str(), "r");
    if (pIn == nullptr) return 0;
    long nMax = 0;
    int nChild;
    while (std::fscanf(pIn, "%d", &nChild) == 1) {
        long nKb = PeakResidentKb(nChild);
        if (nKb > nMax) nMax = nKb;
    }
    std::fclose(pIn);
    return nMax;
}

// The ok counter in the exposition file, or -1.
long OkInTextfile(const std::string &strDir) {
    FILE *pIn = std::fopen((strDir + "/" + TEXTFILE_NAME).c_str(), "r");
    if (pIn == nullptr) return -1;
    char szLine[256];
    long nOk = -1;
    while (std::fgets(szLine, sizeof szLine, pIn))
        if (std::sscanf(szLine, "cachenode_dispatch_datagrams_total{result=\"ok\"} %ld", &nOk) == 1)
            break;
    std::fclose(pIn);
    return nOk;
}

struct sResult {
    long nSent = 0;
    long nReceived = 0;  // the listener's own count
    long nLines = 0;     // datagram lines read from its standard output
    long nRcvbufErrors = -1;
    double dCpu = 0;       // listener and its reaped children
    long nHwmKb = 0;       // the listener's peak resident memory
    long nChildHwmKb = 0;  // the largest seen of a child (file writer), pages shared

    double dSeconds = 0;
};

// Runs the listener (its standard output a pipe that this process drains, as an
// operator's log collector would) under the load; false when it could not start.
bool RunOnce(const std::vector<std::string> &vecOptions, const std::string &strDir, double dSeconds,
             int nRate, sResult &result) {
    int aOut[2], aSent[2];
    // Close-on-exec: the listener and its writers must hold no end of either pipe,
    // or the driver's end would never show as closed.
    if (pipe2(aOut, O_CLOEXEC) != 0 || pipe2(aSent, O_CLOEXEC) != 0) return false;
    std::vector<std::string> vecArgv = {DISPATCH_LISTEN, "127.0.0.1:0"};
    vecArgv.insert(vecArgv.end(), vecOptions.begin(), vecOptions.end());
    pid_t pidListen = fork();
    if (pidListen == 0) {
        dup2(aOut[1], 1);  // the copy is not close-on-exec
        std::vector<char *> vecP;
        for (std::string &s : vecArgv) vecP.push_back(&s[0]);
        vecP.push_back(nullptr);
        execv(vecP[0], vecP.data());
        _exit(127);
    }
    close(aOut[1]);
    FILE *pOut = fdopen(aOut[0], "r");
    char szLine[256];
    int nPort = 0;
    if (pidListen < 0 || !std::fgets(szLine, sizeof szLine, pOut) ||
        std::sscanf(szLine, "listening on 127.0.0.1:%d", &nPort) != 1) {
        std::fprintf(stderr, "bench_listen: the listener did not start\n");
        if (pidListen > 0) kill(pidListen, SIGKILL);
        return false;
    }
    long nDropsBefore = UdpCounter("RcvbufErrors");
    double dStart = Now();
    pid_t pidDrive = fork();
    if (pidDrive == 0) {
        fclose(pOut);
        long nSent = Drive(nPort, dSeconds, nRate);
        if (write(aSent[1], &nSent, sizeof nSent) != sizeof nSent) _exit(1);
        _exit(0);
    }
    close(aSent[1]);

    // Drain the listener's lines until the driver is done and two quiet seconds passed.
    int fdOut = fileno(pOut);
    bool bDriverDone = false;
    double dQuietSince = 0, dLastPeek = 0;
    char aBuf[65536];
    for (;;) {
        struct pollfd aFds[2] = {{fdOut, POLLIN, 0}, {aSent[0], POLLIN, 0}};
        poll(aFds, bDriverDone ? 1 : 2, 200);
        if (aFds[0].revents & POLLIN) {
            ssize_t n = read(fdOut, aBuf, sizeof aBuf);
            for (ssize_t i = 0; i < n; ++i) result.nLines += aBuf[i] == '\n';
            dQuietSince = Now();
        }
        if (!bDriverDone && (aFds[1].revents & (POLLIN | POLLHUP))) {
            if (read(aSent[0], &result.nSent, sizeof result.nSent) != sizeof result.nSent)
                result.nSent = -1;
            bDriverDone = true;
            result.dSeconds = Now() - dStart;
            dQuietSince = Now();
        }
        if (Now() - dLastPeek >= 0.1) {  // /proc reads compete with the listener
            dLastPeek = Now();
            long nChildKb = ChildrenPeakKb(pidListen);
            if (nChildKb > result.nChildHwmKb) result.nChildHwmKb = nChildKb;
        }
        if (bDriverDone && Now() - dQuietSince > 2.0) break;
    }
    waitpid(pidDrive, nullptr, 0);
    close(aSent[0]);
    if (!strDir.empty()) {
        // The file is rewritten within a second of the last datagram.
        usleep(1500 * 1000);
        result.nReceived = OkInTextfile(strDir);
    } else {
        result.nReceived = result.nLines;
    }
    long nDropsAfter = UdpCounter("RcvbufErrors");
    if (nDropsBefore >= 0 && nDropsAfter >= 0) result.nRcvbufErrors = nDropsAfter - nDropsBefore;
    result.dCpu = CpuSeconds(pidListen);
    result.nHwmKb = PeakResidentKb(pidListen);
    kill(pidListen, SIGKILL);
    waitpid(pidListen, nullptr, 0);
    fclose(pOut);
    return true;
}

void Print(const char *pszName, const sResult &r) {
    std::printf(
        "%-26s sent %ld in %.1f s (%.0f/s), received %ld (lost %ld), kernel receive-buffer "
        "drops %ld; listener CPU %.2f s (%.0f%% of one core), peak resident %.1f MB, its "
        "file writer's %.1f MB (shared pages included)\n",
        pszName, r.nSent, r.dSeconds, r.nSent / r.dSeconds, r.nReceived, r.nSent - r.nReceived,
        r.nRcvbufErrors, r.dCpu, 100 * r.dCpu / r.dSeconds, r.nHwmKb / 1024.0,
        r.nChildHwmKb / 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
    double dSeconds = argc > 1 ? std::atof(argv[1]) : 10;
    int nRate = argc > 2 ? std::atoi(argv[2]) : 50000;
    if (dSeconds <= 0 || nRate < 1000) {
        std::fprintf(stderr, "Usage: bench_listen [SECONDS [RATE >= 1000]]\n");
        return 1;
    }
    if (unshare(CLONE_NEWNET) == 0 && std::system("ip link set lo up") == 0)
        std::printf("in a private network namespace\n");
    else
        std::printf("in this machine's network namespace (not root?): drops may be others' too\n");
    std::printf("%d datagrams/s from %d source addresses for %.0f s to 127.0.0.1\n", nRate,
                INTERFACES, dSeconds);

    char szDir[] = "/tmp/bench_listen-XXXXXX";
    if (mkdtemp(szDir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string strFile = std::string(szDir) + "/" + TEXTFILE_NAME;
    sResult reference, textfile;
    bool bOk = RunOnce({}, "", dSeconds, nRate, reference);
    if (bOk) Print("printing only (reference)", reference);
    bOk = bOk && RunOnce({"--textfile", szDir}, szDir, dSeconds, nRate, textfile);
    if (bOk) {
        Print("--textfile", textfile);
        struct stat st;
        long nBytes = stat(strFile.c_str(), &st) == 0 ? (long)st.st_size : 0;
        std::printf("exposition file %.1f MB; CPU %.2fx and resident %.2fx the reference\n",
                    nBytes / 1048576.0, textfile.dCpu / (reference.dCpu > 0 ? reference.dCpu : 1),
                    (double)textfile.nHwmKb / (reference.nHwmKb > 0 ? reference.nHwmKb : 1));
    }
    std::remove(strFile.c_str());
    std::remove((std::string(szDir) + "/." + TEXTFILE_NAME + ".tmp").c_str());
    rmdir(szDir);
    return bOk ? 0 : 1;
}
