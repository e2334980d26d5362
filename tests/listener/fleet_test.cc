// The listener's pure parts: the interface table, its exposition (checked with
// promtool, as Prometheus parses it), the terminal table and the command line.
#include "fleet.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "datagram.h"
#include "listen_args.h"
#include "netns.h"
#include "tempdir.h"
#include "udp.h"

namespace {

uint32_t Addr(const char *pszDotted) {
    sockaddr_in addr = testsupport::Addr(pszDotted, 0);
    EXPECT_EQ(AF_INET, addr.sin_family) << pszDotted;
    return ntohl(addr.sin_addr.s_addr);
}

std::string Exposition(const CFleet &fleet) {
    char *pText = nullptr;
    size_t nSize = 0;
    FILE *pOut = open_memstream(&pText, &nSize);
    EXPECT_EQ(1, WriteExposition(fleet, pOut));
    std::fclose(pOut);
    std::string strText(pText, nSize);
    std::free(pText);
    return strText;
}

TEST(Fleet, KeepsTheLatestReportPerInterfaceAndSenderAndOnlyCountsBadDatagrams) {
    const int64_t T0 = 1700000000123;
    CFleet fleet;
    MORVA_VESKO_STATUS rec;
    auto fnApply = [&](const std::vector<unsigned char> &v, const char *pszFrom, int64_t lMs) {
        return fleet.Apply(v.data(), v.size(), Addr(pszFrom), lMs, rec);
    };
    EXPECT_EQ(DATAGRAM_OK, fnApply(Datagram(110, Addr("10.0.0.2"), 1, 5, 300), "127.0.0.2", T0));
    // The same interface through another sender is a series of its own; the largest
    // rate does not wrap at 32 bits once in bytes/s.
    EXPECT_EQ(DATAGRAM_OK,
              fnApply(Datagram(110, Addr("10.0.0.2"), 0, 1, 4294967295u), "127.0.0.3", T0 + 882));
    EXPECT_EQ(DATAGRAM_OK, fnApply(Datagram(110, Addr("9.0.0.1"), 1, 0, 0), "127.0.0.2", T0 + 5));
    EXPECT_EQ(DATAGRAM_OK,
              fnApply(Datagram(110, Addr("10.0.0.2"), 1, 7, 8), "127.0.0.2", T0 + 1877));

    // Bad datagrams about a known interface: counted, never applied.
    std::vector<unsigned char> vecGood = Datagram(110, Addr("10.0.0.2"), 0, 99, 99);
    std::vector<unsigned char> vecShort(vecGood.begin(), vecGood.end() - 1), vecLong = vecGood;
    vecLong.push_back(0);
    EXPECT_EQ(DATAGRAM_BAD_LENGTH, fnApply(vecShort, "127.0.0.2", T0 + 9000));
    EXPECT_EQ(DATAGRAM_BAD_LENGTH, fnApply(vecLong, "127.0.0.2", T0 + 9000));
    EXPECT_EQ(DATAGRAM_BAD_LENGTH, fnApply({}, "127.0.0.2", T0 + 9000));
    EXPECT_EQ(DATAGRAM_BAD_TAG,
              fnApply(Datagram(111, Addr("10.0.0.2"), 0, 99, 99), "127.0.0.2", T0));
    EXPECT_EQ(111u, rec.tag);
    EXPECT_EQ(3u, fleet.Interfaces().size());

    std::string strText = Exposition(fleet);
    const char *const aLines[] = {
        "cachenode_interface_receive_bytes_per_second{ip=\"9.0.0.1\",sender=\"127.0.0.2\"} 0\n"
        "cachenode_interface_receive_bytes_per_second{ip=\"10.0.0.2\",sender=\"127.0.0.2\"} "
        "917504\n"
        "cachenode_interface_receive_bytes_per_second{ip=\"10.0.0.2\",sender=\"127.0.0.3\"} "
        "131072\n",
        "# TYPE cachenode_interface_transmit_bytes_per_second gauge\n",
        "cachenode_interface_transmit_bytes_per_second{ip=\"10.0.0.2\",sender=\"127.0.0.3\"} "
        "562949953290240\n",
        "cachenode_interface_status{ip=\"10.0.0.2\",sender=\"127.0.0.3\"} 0\n",
        "cachenode_interface_last_report_timestamp_seconds{ip=\"9.0.0.1\",sender=\"127.0.0.2\"} "
        "1700000000.128\n",
        "cachenode_interface_last_report_timestamp_seconds{ip=\"10.0.0.2\",sender=\"127.0.0.2\"} "
        "1700000002.000\n",
        "# TYPE cachenode_dispatch_datagrams_total counter\n"
        "cachenode_dispatch_datagrams_total{result=\"ok\"} 4\n"
        "cachenode_dispatch_datagrams_total{result=\"bad_length\"} 3\n"
        "cachenode_dispatch_datagrams_total{result=\"bad_tag\"} 1\n",
    };
    for (const char *pszLines : aLines)
        EXPECT_NE(std::string::npos, strText.find(pszLines)) << pszLines << "\nin:\n" << strText;
    for (const char *pszFamily :
         {"cachenode_interface_receive_bytes_per_second",
          "cachenode_interface_transmit_bytes_per_second", "cachenode_interface_status",
          "cachenode_interface_last_report_timestamp_seconds",
          "cachenode_dispatch_datagrams_total"}) {
        EXPECT_NE(std::string::npos, strText.find(std::string("# HELP ") + pszFamily + " "));
        EXPECT_NE(std::string::npos, strText.find(std::string("# TYPE ") + pszFamily + " "));
    }

    // Rows by numeric address (9 before 10), then sender; the rest counted.
    std::string strTable = FormatTable(fleet, T0 + 1877 + 5999, 2);
    std::istringstream in(strTable);
    std::string strSummary, strHeader, strRow1, strRow2, strMore;
    std::getline(in, strSummary) && std::getline(in, strHeader) && std::getline(in, strRow1) &&
        std::getline(in, strRow2) && std::getline(in, strMore);
    EXPECT_EQ("3 interfaces  datagrams: 4 ok  3 bad length  1 bad tag", strSummary);
    EXPECT_EQ(0u, strRow1.find("9.0.0.1 ")) << strTable;
    EXPECT_EQ("10.0.0.2         127.0.0.2             1          7          8        5", strRow2);
    EXPECT_EQ("... 1 more", strMore);

    // promtool parses the exposition as Prometheus would, and its lint finds nothing.
    if (testsupport::RunShell("command -v promtool >/dev/null") != 0)
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    testsupport::CTempDir dir;
    ASSERT_TRUE(testsupport::WriteFile(dir.File("x.prom"), strText));
    int nStatus = testsupport::RunShell("promtool check metrics <" + dir.File("x.prom") + " >" +
                                        dir.File("lint.txt") + " 2>&1");
    std::string strLint = testsupport::ReadFile(dir.File("lint.txt"));
    EXPECT_EQ(0, nStatus) << strLint;
    EXPECT_EQ("", strLint);
}

TEST(ListenArgs, AddressPortAndOptions) {
    struct sCase {
        std::vector<const char *> vecArgs;
        int nOk;
        int nPort;
        const char *pszDir;
        bool bTable;
    } aCases[] = {
        {{"127.0.0.1:1234"}, 1, 1234, "", false},
        {{"--table", "127.0.0.1:0", "--textfile", "/srv/x"}, 1, 0, "/srv/x", true},
        {{"127.0.0.1:65535", "--textfile", "d"}, 1, 65535, "d", false},
        {{"127.0.0.1:65536"}, 0, 0, "", false},
        {{"127.0.0.1:12a"}, 0, 0, "", false},
        {{"127.0.0.1:"}, 0, 0, "", false},
        {{"localhost:1234"}, 0, 0, "", false},
        {{"127.0.0.1:1", "--textfile"}, 0, 0, "", false},
        {{"127.0.0.1:1", "--textfile", ""}, 0, 0, "", false},
        {{"127.0.0.1:1", "127.0.0.1:2"}, 0, 0, "", false},
        {{"--tabel", "127.0.0.1:1"}, 0, 0, "", false},
        {{"--table"}, 0, 0, "", false},
    };
    for (const sCase &c : aCases) {
        std::vector<const char *> vecArgv = {"dispatch_listen"};
        vecArgv.insert(vecArgv.end(), c.vecArgs.begin(), c.vecArgs.end());
        std::string strCase;
        for (const char *psz : c.vecArgs) strCase += std::string("[") + psz + "] ";
        sListenArgs args;
        std::string strErr;
        ASSERT_EQ(c.nOk, ParseListenArgs((int)vecArgv.size(), vecArgv.data(), args, strErr))
            << strCase << strErr;
        if (!c.nOk) {
            EXPECT_FALSE(strErr.empty()) << strCase;
            continue;
        }
        EXPECT_EQ(c.nPort, ntohs(args.addr.sin_port)) << strCase;
        EXPECT_EQ(htonl(INADDR_LOOPBACK), args.addr.sin_addr.s_addr) << strCase;
        EXPECT_EQ(c.pszDir, args.strTextfileDir) << strCase;
        EXPECT_EQ(c.bTable, args.bTable) << strCase;
    }
}

}  // namespace
