// The text tools, the private-range test and the counters-file reader.
#include "netif.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tempdir.h"

namespace {

uint32_t Addr(const char *pszDotted) {
    unsigned a, b, c, d;
    EXPECT_EQ(4, std::sscanf(pszDotted, "%u.%u.%u.%u", &a, &b, &c, &d)) << pszDotted;
    return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(CheckInternalIP, RangesAtTheirBounds) {
    struct Case {
        const char *pszIP;
        int nPrivate;
    } aCases[] = {
        {"9.255.255.255", 0},   {"10.0.0.0", 1},    {"10.255.255.255", 1},  {"11.0.0.0", 0},
        {"172.15.255.255", 0},  {"172.16.0.0", 1},  {"172.31.255.255", 1},  {"172.32.0.0", 0},
        {"192.167.255.255", 0}, {"192.168.0.0", 1}, {"192.168.255.255", 1}, {"192.169.0.0", 0},
        {"127.0.0.0", 0},       {"127.0.0.1", 1},   {"127.0.0.2", 0},       {"169.254.1.1", 0},
        {"100.64.0.1", 0},      {"0.0.0.0", 0},     {"198.51.100.7", 0},    {"255.255.255.255", 0},
    };
    for (const Case &c : aCases) EXPECT_EQ(c.nPrivate, CheckInternalIP(Addr(c.pszIP))) << c.pszIP;
}

TEST(Trim, BothEnds) {
    struct Case {
        const char *pszIn;
        const char *pszOut;
    } aCases[] = {
        {"", ""},
        {" \t\r\n ", ""},
        {"a", "a"},
        {"  a b \n", "a b"},
        {"\teth0: 1 2", "eth0: 1 2"},
        {"x\r\n", "x"},
        {" \n x", "x"},
    };
    for (const Case &c : aCases) {
        char szBuf[64];
        std::snprintf(szBuf, sizeof szBuf, "%s", c.pszIn);
        EXPECT_EQ(szBuf, Trim(szBuf));
        EXPECT_STREQ(c.pszOut, szBuf) << "[" << c.pszIn << "]";
    }
    EXPECT_EQ(nullptr, Trim(nullptr));
}

TEST(Strsplit, RunsAndEndsGiveNoEmptyPieces) {
    std::vector<std::string> vec{"kept"};
    EXPECT_EQ(2, strsplit("  a  b ", vec, ' '));
    EXPECT_EQ((std::vector<std::string>{"kept", "a", "b"}), vec);
    EXPECT_EQ(0, strsplit(nullptr, vec, ' '));
    EXPECT_EQ(0, strsplit("   ", vec, ' '));
    EXPECT_EQ(1, strsplit("abc", vec, ' '));
    EXPECT_EQ(3u + 1u, vec.size());
}

TEST(IPPortSplit, Items) {
    struct Case {
        const char *pszItem;
        const char *pszIP;
        int nPort;
    } aCases[] = {
        {"127.0.0.1", "127.0.0.1", 1234},
        {"127.0.0.1:99", "127.0.0.1", 99},
        {"127.0.0.1:", "127.0.0.1", 0},
        {"127.0.0.1:x9", "127.0.0.1", 0},
        {"a: 42z", "a", 42},
        {"a:7:8", "a", 7},
        {":5", "", 5},
        {"", "", 1234},
        {"h:-3", "h", -3},
    };
    for (const Case &c : aCases) {
        std::string strIP = "old";
        int nPort = 1234;
        EXPECT_EQ(0, IPPortSplit(c.pszItem, strIP, nPort));
        EXPECT_EQ(c.pszIP, strIP) << c.pszItem;
        EXPECT_EQ(c.nPort, nPort) << c.pszItem;
    }
}

const char *const kHeader =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

TEST(GetBW, CountersFiles) {
    struct Case {
        const char *pszName;
        const char *pszBody;
        int nResult;
        uint64_t uIn, uOut;
    } aCases[] = {
        {"eth0", "  eth0: 100 2 0 0 0 0 0 0 200 3 0 0 0 0 0 0\n", 1, 100, 200},
        {"eth0", "eth0:100 2 0 0 0 0 0 0 200 3 0 0 0 0 0 0\n", 1, 100, 200},
        {"eth0", "eth0:\n", 0, 7, 9},
        {"eth0", "eth0:", 0, 7, 9},
        {"eth0", "eth0: 100 2 0 0 0 0 0 0 200 3 0 0 0 0 0\n", 0, 7, 9},
        {"eth0", "eth0: 100 2 0 0 0 0 0 0 200 3 0 0 0 0 0 0 1\n", 0, 7, 9},
        // A name that is the prefix of another never takes the other's counters, in
        // either order and whatever follows the other's colon.
        {"eth1", "eth1: 1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\neth10: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\n",
         1, 1, 2},
        {"eth1", "eth10: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\neth1: 1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\n",
         1, 1, 2},
        {"eth1",
         "eth1:1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\neth10:123456789 0 0 0 0 0 0 0 6 0 0 0 0 0 0 0\n", 1,
         1, 2},
        {"eth1", "eth10: 5 0 0 0 0 0 0 0 6 0 0 0 0 0 0\n", 0, 7, 9},
        {"eth0:1", "eth0:123456 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\n", 0, 7, 9},
        {"eth2", "eth0: 1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\n", 0, 7, 9},
        {"lo", "lo: 18446744073709551615 0 0 0 0 0 0 0 x 0 0 0 0 0 0 0\n", 1,
         9223372036854775807ull, 0},
        {"veth", "\tveth:\t1 0 0 0 0 0 0 0 2 0 0 0 0 0 0 0\r\n", 1, 1, 2},
    };
    testsupport::CTempDir dir;
    for (const Case &c : aCases) {
        std::string strFile = dir.File("dev");
        ASSERT_TRUE(testsupport::WriteFile(strFile, std::string(kHeader) + c.pszBody));
        uint64_t uIn = 7, uOut = 9;
        EXPECT_EQ(c.nResult, GetBWFromFile(uIn, uOut, c.pszName, strFile.c_str())) << c.pszBody;
        EXPECT_EQ(c.uIn, uIn) << c.pszBody;
        EXPECT_EQ(c.uOut, uOut) << c.pszBody;
    }
    uint64_t uIn = 7, uOut = 9;
    EXPECT_EQ(0, GetBWFromFile(uIn, uOut, "eth0", dir.File("missing").c_str()));
    EXPECT_EQ(7u, uIn);
}

TEST(GetBW, LoopbackOfThisMachine) {
    uint64_t uIn = 0, uOut = 0;
    EXPECT_EQ(1, GetBW(uIn, uOut, "lo"));
}

}  // namespace
