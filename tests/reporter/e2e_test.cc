// vesko_c end to end inside a private network namespace: a veth pair whose node end
// carries documentation addresses, its peer in a second namespace, and stand-in
// dispatch servers on 127.x addresses of the namespace's own loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "child.h"
#include "netns.h"
#include "reporter_proc.h"
#include "tempdir.h"
#include "udp.h"

namespace {

using testsupport::RunShell;
using testsupport::WaitUntil;

struct sDatagram {
    std::vector<unsigned char> vecBytes;
};

// A UDP socket bound to addr:port that keeps every datagram it receives.
class CStandIn {
public:
    CStandIn(const char *pszAddr, int nPort)
        : m_strName(std::string(pszAddr) + ":" + std::to_string(nPort)),
          m_port(pszAddr, nPort, SOCK_NONBLOCK) {}
    bool Bound() const { return m_port.Fd() >= 0; }
    const std::string &Name() const { return m_strName; }
    // Takes in what has arrived; returns the datagrams received so far.
    const std::vector<std::vector<unsigned char>> &Drain() {
        unsigned char aBuf[2048];
        ssize_t n;
        while ((n = recv(m_port.Fd(), aBuf, sizeof aBuf, 0)) >= 0)
            m_vecGot.emplace_back(aBuf, aBuf + n);
        return m_vecGot;
    }

private:
    std::string m_strName;
    testsupport::CUdpPort m_port;
    std::vector<std::vector<unsigned char>> m_vecGot;
};

uint32_t LE32(const std::vector<unsigned char> &v, size_t nAt) {
    return (uint32_t)v[nAt] | ((uint32_t)v[nAt + 1] << 8) | ((uint32_t)v[nAt + 2] << 16) |
           ((uint32_t)v[nAt + 3] << 24);
}

// The report line a datagram stands for, built from its bytes.
std::string LineOf(const std::vector<unsigned char> &v) {
    return std::to_string(v[7]) + "." + std::to_string(v[6]) + "." + std::to_string(v[5]) + "." +
           std::to_string(v[4]) + "\t" + std::to_string(LE32(v, 8)) + "\t" +
           std::to_string(LE32(v, 12)) + "\t" + std::to_string(LE32(v, 16)) + "\t" +
           std::to_string(LE32(v, 20)) + "\t" + std::to_string(LE32(v, 24));
}

std::vector<std::string> ReportLines(const std::string &strText, const std::string &strPrefix) {
    std::vector<std::string> vec;
    std::istringstream in(strText);
    std::string strLine;
    while (std::getline(in, strLine)) {
        size_t nAt = strLine.find(strPrefix);
        if (nAt != std::string::npos && std::count(strLine.begin(), strLine.end(), '\t') >= 5)
            vec.push_back(strLine.substr(nAt));
    }
    return vec;
}

// 30,000 datagrams of 1400 bytes (42 MB) to the discard port of pszTo.
void Blast(const char *pszTo) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin = testsupport::Addr(pszTo, 9);
    static char aBuf[1400];
    for (int i = 0; i < 30000; ++i)
        sendto(sock, aBuf, sizeof aBuf, 0, (struct sockaddr *)&sin, sizeof sin);
    close(sock);
}

// The network namespace of a process, as /proc names it; empty when it cannot be read.
std::string NetNs(pid_t pid) {
    char szLink[64] = {0};
    ssize_t nLen =
        readlink(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), szLink, sizeof szLink - 1);
    return nLen > 0 ? std::string(szLink, nLen) : std::string();
}

class ReporterE2E : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strWhy;
        if (!testsupport::EnterPrivateNetns(strWhy)) GTEST_SKIP() << strWhy;
        // The peer end of the veth lives in a second namespace, held by a child.
        std::string strOwn = NetNs(getpid());
        if (!m_peer.Start({"unshare", "-n", "sleep", "600"}, m_dir.File("peer")) ||
            !WaitUntil(5, [&] {
                std::string strNs = NetNs(m_peer.Pid());
                return !strNs.empty() && strNs != strOwn;
            }))
            GTEST_SKIP() << "unshare -n for the peer namespace failed: " << m_peer.Stderr();
        std::string strPeer = std::to_string(m_peer.Pid());
        const std::string aCmds[] = {
            "ip link add vnode type veth peer name vpeer",
            "ip link set vpeer netns " + strPeer,
            "ip addr add 198.51.100.7/24 dev vnode",
            "ip addr add 10.9.8.7/8 dev vnode",
            "ip addr add 192.0.2.77/24 dev vnode label vnode:1",
            "ip link set vnode up",
            "nsenter -t " + strPeer + " -n ip addr add 198.51.100.8/24 dev vpeer",
            "nsenter -t " + strPeer + " -n ip link set vpeer up",
        };
        for (const std::string &strCmd : aCmds)
            if (RunShell(strCmd + " 2>/dev/null") != 0) GTEST_SKIP() << "cannot run: " << strCmd;
        for (const char *pszAddr : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
            if (!testsupport::RouteIsLocal(pszAddr)) GTEST_SKIP() << pszAddr << " is not local";
        m_bReady = true;
    }

    // A burst of traffic from the peer to the node, sent by a child that joins the
    // peer's namespace.
    void SendToNode() {
        EXPECT_EQ(0, testsupport::RunForked([&] {
                      int fd = open(("/proc/" + std::to_string(m_peer.Pid()) + "/ns/net").c_str(),
                                    O_RDONLY);
                      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(2);
                      Blast("198.51.100.7");
                  }));
    }

    testsupport::CTempDir m_dir;
    testsupport::CChild m_peer;
    bool m_bReady = false;
};

TEST_F(ReporterE2E, DatagramsDestinationsReportLinesAndRates) {
    ASSERT_TRUE(m_bReady);
    CStandIn aServers[] = {
        {"127.0.0.1", 1234}, {"127.0.0.2", 5001}, {"127.0.0.3", 5002}, {"127.0.0.3", 5009}};
    enum { DEFAULT_PORT, MAPPED_PORT, NAMED_TWICE, REPLACED_PORT };
    for (CStandIn &s : aServers) ASSERT_TRUE(s.Bound()) << s.Name();

    testsupport::CTempDir dir;
    std::string strConfig = dir.File("vesko_c.ini");
    ASSERT_TRUE(testsupport::WriteFile(
        strConfig,
        "[Config]\nServers = 127.0.0.1|127.0.0.2:5001|127.0.0.3:5009||127.0.0.3:5002|\n"
        "IntervalBW = 1\nintervalrp = 0x1\n"));
    CReporterRun run(dir, {"-c", strConfig});
    ASSERT_TRUE(run.Started());

    // Start-up lines: last kernel record first; the 10/8 address is not a slot.
    ASSERT_TRUE(WaitUntil(5, [&] {
        return run.Stdout().find("vnode=198.51.100.7\n") != std::string::npos;
    })) << run.Stdout();
    std::string strOut = run.Stdout();
    EXPECT_NE(std::string::npos, strOut.find("vnode:1=192.0.2.77\nvnode=198.51.100.7\n")) << strOut;
    EXPECT_EQ(std::string::npos, strOut.find("10.9.8.7")) << strOut;

    auto fnReportsFor = [&](const char *pszIP) {
        return ReportLines(run.Stdout(), std::string(pszIP) + "\t");
    };
    ASSERT_TRUE(WaitUntil(8, [&] { return fnReportsFor("198.51.100.7").size() >= 1; }))
        << run.Stdout();

    // Traffic out of the node, then into it: each shows up in its own rate.
    auto fnSawRate = [&](size_t nField) {
        for (const auto &v : aServers[DEFAULT_PORT].Drain())
            if (v.size() == 28 && v[4] == 7 && LE32(v, nField) >= 10) return true;
        return false;
    };
    Blast("198.51.100.8");
    EXPECT_TRUE(WaitUntil(10, [&] { return fnSawRate(16); })) << run.Stdout();
    SendToNode();
    EXPECT_TRUE(WaitUntil(10, [&] { return fnSawRate(12); })) << run.Stdout();

    // Stop right after a report: the worker is asleep with all its sends done.
    size_t nNow = fnReportsFor("198.51.100.7").size();
    ASSERT_TRUE(WaitUntil(5, [&] { return fnReportsFor("198.51.100.7").size() > nNow; }));
    usleep(300 * 1000);
    run.KillAll();

    strOut = run.Stdout();
    std::vector<std::string> vecOut = ReportLines(strOut, "");
    std::vector<std::string> vecLog = ReportLines(run.Log(), "");
    ASSERT_GE(vecOut.size(), 4u);
    // Log lines carry the time stamp, then the same report line.
    ASSERT_EQ(vecOut.size(), vecLog.size()) << run.Log();
    for (size_t i = 0; i < vecLog.size(); ++i) {
        EXPECT_EQ(" \t" + vecOut[i], vecLog[i].substr(11)) << vecLog[i];
        EXPECT_EQ(':', vecLog[i][2]) << vecLog[i];
    }
    size_t nReports = vecOut.size();
    EXPECT_EQ((int)nReports, CountLines(strOut, "vesko ip [] is not a valid IPaddress")) << strOut;
    EXPECT_EQ(0, CountLines(strOut, "status  failed")) << strOut;

    const auto &vecDefault = aServers[DEFAULT_PORT].Drain();
    EXPECT_EQ(nReports, vecDefault.size());
    EXPECT_EQ(nReports, aServers[MAPPED_PORT].Drain().size());
    EXPECT_EQ(2 * nReports, aServers[NAMED_TWICE].Drain().size());
    EXPECT_EQ(0u, aServers[REPLACED_PORT].Drain().size());

    // Every datagram is one report line, in the order of the lines, byte for byte.
    std::vector<std::string> vecSent;
    for (const auto &v : vecDefault) {
        ASSERT_EQ(28u, v.size());
        EXPECT_EQ(110u, LE32(v, 0));
        EXPECT_LE(LE32(v, 8), 1u);
        EXPECT_EQ(0u, LE32(v, 20));
        EXPECT_EQ(0u, LE32(v, 24));
        vecSent.push_back(LineOf(v));
    }
    EXPECT_EQ(vecOut, vecSent);
    const auto &vecTwice = aServers[NAMED_TWICE].Drain();
    for (size_t i = 0; i < vecTwice.size(); ++i) EXPECT_EQ(vecDefault[i / 2], vecTwice[i]) << i;
    EXPECT_EQ(vecDefault, aServers[MAPPED_PORT].Drain());

    // The alias has no counters line of its own: no baseline, so rates stay 0.
    for (const std::string &strLine : vecOut) {
        if (strLine.find("192.0.2.77\t") == 0) {
            EXPECT_EQ("192.0.2.77\t1\t0\t0\t0\t0", strLine);
        }
    }
    const std::vector<unsigned char> aFirst = {0x6E, 0, 0, 0, 7, 100, 51, 198, 1, 0, 0, 0, 0, 0,
                                               0,    0, 0, 0, 0, 0,   0,  0,   0, 0, 0, 0, 0, 0};
    bool bSawIdle = false;
    for (const auto &v : vecDefault) bSawIdle = bSawIdle || v == aFirst;
    EXPECT_TRUE(bSawIdle) << "an idle report of 198.51.100.7 before the traffic";
}

}  // namespace
