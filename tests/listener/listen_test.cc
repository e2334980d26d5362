// The built dispatch_listen as a process on 127.0.0.1: the lines it prints, the
// exposition file it keeps and replaces, and a real node_exporter serving that file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "child.h"
#include "datagram.h"
#include "statusmsg.h"
#include "tempdir.h"
#include "udp.h"

namespace {

using testsupport::WaitUntil;

const uint32_t IP_198_51_100_7 = 0xC6336407;

// Sends v from pszFrom (port chosen by the kernel) to 127.0.0.1:nPort; returns the
// source port, 0 on failure.
int SendFrom(const char *pszFrom, int nPort, const std::vector<unsigned char> &v) {
    testsupport::CUdpPort sock(pszFrom);
    sockaddr_in to = testsupport::Addr("127.0.0.1", nPort);
    bool bSent = sock.Fd() >= 0 && sendto(sock.Fd(), v.data(), v.size(), 0, (sockaddr *)&to,
                                          sizeof to) == (ssize_t)v.size();
    return bSent ? sock.Port() : 0;
}

// The value of the sample whose name and labels are strSeries (as "name{labels}"),
// as text starting after the blank; empty when absent.
std::string Sample(const std::string &strText, const std::string &strSeries) {
    size_t nAt = strText.find("\n" + strSeries + " ");
    if (nAt == std::string::npos) return "";
    nAt += strSeries.size() + 2;
    return strText.substr(nAt, strText.find('\n', nAt) - nAt);
}

double Seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

class Listener : public ::testing::Test {
protected:
    // Starts dispatch_listen 127.0.0.1:0 --textfile DIR with more arguments; its port.
    void StartListener(const std::vector<std::string> &vecMore = {}) {
        std::vector<std::string> vecArgv = {DISPATCH_LISTEN, "127.0.0.1:0", "--textfile",
                                            m_dir.Path()};
        vecArgv.insert(vecArgv.end(), vecMore.begin(), vecMore.end());
        ASSERT_TRUE(m_listener.Start(vecArgv, m_dir.File("listen")));
        ASSERT_TRUE(WaitUntil(5, [&] {
            return m_listener.Stdout().find('\n') != std::string::npos;
        })) << m_listener.Stderr();
        ASSERT_EQ(1,
                  std::sscanf(m_listener.Stdout().c_str(), "listening on 127.0.0.1:%d", &m_nPort))
            << m_listener.Stdout();
    }
    std::string Textfile() const {
        return testsupport::ReadFile(m_dir.File("cachenode_dispatch.prom"));
    }
    // Waits until the file counts nCount datagrams with result pszResult.
    bool WaitForCount(const char *pszResult, int nCount) {
        std::string strSeries =
            std::string("cachenode_dispatch_datagrams_total{result=\"") + pszResult + "\"}";
        return WaitUntil(5,
                         [&] { return Sample(Textfile(), strSeries) == std::to_string(nCount); });
    }

    // A short, an oversized and a wrongly tagged datagram alone (they too make the
    // file be rewritten), then two senders report 198.51.100.7.
    void SendTheSet() {
        std::vector<unsigned char> vecShort = Datagram(110, IP_198_51_100_7, 0, 9, 9);
        vecShort.pop_back();
        ASSERT_NE(0, SendFrom("127.0.0.2", m_nPort, vecShort));
        ASSERT_NE(0, SendFrom("127.0.0.2", m_nPort, std::vector<unsigned char>(3000)));
        ASSERT_NE(0, SendFrom("127.0.0.2", m_nPort, Datagram(111, IP_198_51_100_7, 0, 9, 9)));
        ASSERT_TRUE(WaitForCount("bad_tag", 1)) << Textfile();
        m_dStart = Seconds();
        m_nPort2 = SendFrom("127.0.0.2", m_nPort, Datagram(110, IP_198_51_100_7, 1, 5, 300));
        ASSERT_NE(0, m_nPort2);
        ASSERT_NE(0, SendFrom("127.0.0.3", m_nPort, Datagram(110, IP_198_51_100_7, 0, 2, 851)));
        ASSERT_TRUE(WaitForCount("ok", 2)) << Textfile();
        m_dEnd = Seconds();
    }

    testsupport::CTempDir m_dir;
    testsupport::CChild m_listener;
    int m_nPort = 0;
    int m_nPort2 = 0;
    double m_dStart = 0, m_dEnd = 0;
};

const char *const S2 = "{ip=\"198.51.100.7\",sender=\"127.0.0.2\"}";
const char *const S3 = "{ip=\"198.51.100.7\",sender=\"127.0.0.3\"}";

TEST_F(Listener, PrintsEveryDatagramAndExportsTheLatestReports) {
    // --table on a file, not a terminal: a line per datagram, as without it.
    StartListener({"--table"});
    SendTheSet();
    std::string strOut = m_listener.Stdout();
    std::string strFrom2 = "from 127.0.0.2:" + std::to_string(m_nPort2);
    EXPECT_NE(std::string::npos,
              strOut.find("\nip 198.51.100.7  status 1  in 5  out 300  " + strFrom2 + "\n"))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("ip 198.51.100.7  status 0  in 2  out 851  from "
                                             "127.0.0.3:"))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("  BAD-LENGTH 27\n")) << strOut;
    // The real length of a datagram larger than the receive buffer.
    EXPECT_NE(std::string::npos, strOut.find("ip 0.0.0.0  status 0  in 0  out 0  from 127.0.0.2:"))
        << strOut;
    EXPECT_NE(std::string::npos, strOut.find("  BAD-LENGTH 3000  BAD-TAG 0\n")) << strOut;
    EXPECT_NE(std::string::npos, strOut.find("  BAD-TAG 111\n")) << strOut;

    std::string strText = Textfile();
    EXPECT_EQ("2", Sample(strText, "cachenode_dispatch_datagrams_total{result=\"bad_length\"}"));
    EXPECT_EQ("1", Sample(strText, "cachenode_dispatch_datagrams_total{result=\"bad_tag\"}"));
    EXPECT_EQ("655360",
              Sample(strText, std::string("cachenode_interface_receive_bytes_per_second") + S2));
    EXPECT_EQ("111542272",
              Sample(strText, std::string("cachenode_interface_transmit_bytes_per_second") + S3));
    EXPECT_EQ("1", Sample(strText, std::string("cachenode_interface_status") + S2));
    EXPECT_EQ("0", Sample(strText, std::string("cachenode_interface_status") + S3));
    double dWhen = std::atof(
        Sample(strText, std::string("cachenode_interface_last_report_timestamp_seconds") + S2)
            .c_str());
    EXPECT_GE(dWhen, m_dStart - 0.01) << strText;
    EXPECT_LE(dWhen, m_dEnd) << strText;
}

TEST_F(Listener, NodeExporterServesTheSeries) {
    StartListener();
    int nPort = testsupport::FreeLoopbackPort();
    ASSERT_NE(0, nPort);
    std::string strListen = "127.0.0.1:" + std::to_string(nPort);
    testsupport::CChild exporter;
    ASSERT_TRUE(
        exporter.Start({"/usr/bin/prometheus-node-exporter", "--web.listen-address=" + strListen,
                        "--collector.disable-defaults", "--collector.textfile",
                        "--collector.textfile.directory=" + m_dir.Path()},
                       m_dir.File("exporter")));
    std::string strCurl = "curl -sf --noproxy '*' --max-time 2 http://" + strListen + "/metrics";
    auto fnScrape = [&] {
        std::string strText = "\n";
        FILE *pIn = popen(strCurl.c_str(), "r");
        if (pIn == nullptr) return strText;
        char szBuf[4096];
        size_t n;
        while ((n = std::fread(szBuf, 1, sizeof szBuf, pIn)) > 0) strText.append(szBuf, n);
        return pclose(pIn) == 0 ? strText : std::string();
    };
    if (!WaitUntil(10, [&] { return !fnScrape().empty() || exporter.WaitExit(0) != -1; }) ||
        fnScrape().empty())
        GTEST_SKIP() << "node_exporter did not serve " << strListen << ": " << exporter.Stderr();

    SendTheSet();
    std::string strText;
    ASSERT_TRUE(WaitUntil(5, [&] {
        strText = fnScrape();
        return Sample(strText, "cachenode_dispatch_datagrams_total{result=\"ok\"}") == "2";
    })) << strText;
    // node_exporter read the file without complaint and passes every series on.
    EXPECT_EQ("0", Sample(strText, "node_textfile_scrape_error")) << strText;
    EXPECT_EQ(
        39321600.0,
        std::atof(Sample(strText, std::string("cachenode_interface_transmit_bytes_per_second") + S2)
                      .c_str()));
    EXPECT_EQ(
        262144.0,
        std::atof(Sample(strText, std::string("cachenode_interface_receive_bytes_per_second") + S3)
                      .c_str()));
    EXPECT_EQ("0", Sample(strText, std::string("cachenode_interface_status") + S3));
    EXPECT_EQ("1", Sample(strText, "cachenode_dispatch_datagrams_total{result=\"bad_tag\"}"));
    EXPECT_NE(
        "", Sample(strText, std::string("cachenode_interface_last_report_timestamp_seconds") + S3));
}

TEST_F(Listener, ReplacesTheFileWholeNeverInPlace) {
    StartListener();
    const std::string strPath = m_dir.File("cachenode_dispatch.prom");
    const std::string strLast = "cachenode_dispatch_datagrams_total{result=\"bad_tag\"} 0\n";
    int fdFirst = open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fdFirst, 0);
    // A file of some 1.5 MB (4000 interfaces), rewritten every second while a reader
    // keeps reading it: every read is a whole file.
    uint32_t nIP = 0x0A000000;
    int nReads = 0, nSent = 0;
    double dEnd = Seconds() + 3.5;
    while (Seconds() < dEnd) {
        for (int i = 0; i < 100 && nSent < 4000; ++i, ++nSent)
            ASSERT_NE(0, SendFrom("127.0.0.2", m_nPort, Datagram(110, ++nIP, 1, 1, 1)));
        for (int i = 0; i < 50; ++i, ++nReads) {
            std::string strText = Textfile();
            ASSERT_EQ(0u, strText.find("# HELP cachenode_interface_receive_bytes_per_second "))
                << "read " << nReads << ": " << strText.substr(0, 200);
            ASSERT_GE(strText.size(), strLast.size());
            ASSERT_EQ(strLast, strText.substr(strText.size() - strLast.size()))
                << "read " << nReads << " ends in: " << strText.substr(strText.size() - 200);
        }
    }
    ASSERT_TRUE(WaitForCount("ok", 4000))
        << Sample(Textfile(), "cachenode_dispatch_datagrams_total{result=\"ok\"}");
    // The first file was replaced by a rename, so the reader's copy is whole and unlinked.
    struct stat st;
    ASSERT_EQ(0, fstat(fdFirst, &st));
    EXPECT_EQ(0u, st.st_nlink);
    close(fdFirst);
}

TEST(ListenerStart, UnwritableDirectoryIsAnErrorAtStartWithStatus2) {
    testsupport::CTempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.File("plainfile"), "x"));
    for (const std::string &strDir : {dir.File("missing"), dir.File("plainfile")}) {
        testsupport::CChild listener;
        ASSERT_TRUE(listener.Start({DISPATCH_LISTEN, "127.0.0.1:0", "--textfile", strDir},
                                   dir.File("listen")));
        EXPECT_EQ(2, listener.WaitExit(5)) << strDir;
        EXPECT_NE(std::string::npos, listener.Stderr().find(strDir)) << listener.Stderr();
        EXPECT_EQ("", listener.Stdout()) << strDir;
    }
}

}  // namespace
