// The resolver's pure parts: the query's bytes and the refusal of bad names, the
// acceptance rule for a reply, and the scan for answer records.
#include "dns.h"

#include <gtest/gtest.h>

#include <memory>

#include "dns_reply.h"
#include "udp.h"

using dnsreply::Bytes;
using dnsreply::NameOfLength;
using testsupport::Addr;

namespace {

// dnsBuildQuery into a heap buffer of exactly DNS_QUERY_SIZE bytes, so that a write
// past it is caught by the sanitizer build.
Bytes Build(const std::string &strName, unsigned nId, int *pLen) {
    std::unique_ptr<unsigned char[]> pQuery(new unsigned char[DNS_QUERY_SIZE]);
    *pLen = dnsBuildQuery(pQuery.get(), strName, nId);
    return Bytes(pQuery.get(), pQuery.get() + (*pLen > 0 ? *pLen : 0));
}

}  // namespace

TEST(DnsBuildQuery, WritesHeaderQuestionAndLength) {
    struct {
        const char *pszName;
        std::string strAsked;  // the name as it must stand in QNAME
    } aCases[] = {
        {"cdn.example.test", "cdn.example.test"},
        {"localhost", "localhost"},                 // no dot: one label
        {"cdn.example.test.", "cdn.example.test"},  // the root's dot is dropped
        {"MiXed.Case.TEST", "MiXed.Case.TEST"},     // bytes unchanged
        {"a", "a"},
    };
    for (const auto &c : aCases) {
        int nLen = 0;
        Bytes query = Build(c.pszName, 0xABCD, &nLen);
        EXPECT_EQ(nLen, static_cast<int>(c.strAsked.size()) + 18) << c.pszName;
        EXPECT_EQ(query, dnsreply::Query(0xABCD, c.strAsked)) << c.pszName;
    }
}

TEST(DnsBuildQuery, TakesLowSixteenBitsAsId) {
    int nLen = 0;
    Bytes query = Build("a.test", 0x12345, &nLen);
    ASSERT_GT(nLen, 2);
    EXPECT_EQ(query[0], 0x23);
    EXPECT_EQ(query[1], 0x45);
}

TEST(DnsBuildQuery, LimitsOfLabelAndName) {
    struct {
        std::string strName;
        int nLen;  // 0: refused
    } aCases[] = {
        {std::string(63, 'x') + ".test", 63 + 5 + 18},
        {std::string(64, 'x') + ".test", 0},
        {"test." + std::string(64, 'x'), 0},
        {NameOfLength(DNS_MAX_NAME), DNS_QUERY_SIZE},  // exact fit
        {NameOfLength(DNS_MAX_NAME) + ".", DNS_QUERY_SIZE},
        {NameOfLength(DNS_MAX_NAME + 1), 0},
        {NameOfLength(4000), 0},
    };
    for (const auto &c : aCases) {
        int nLen = -1;
        Build(c.strName, 1, &nLen);
        EXPECT_EQ(nLen, c.nLen) << "name of " << c.strName.size()
                                << " bytes: " << c.strName.substr(0, 70);
    }
}

TEST(DnsBuildQuery, RefusesEmptyLabels) {
    for (const char *pszName :
         {"", ".", "..", ".test", "a..test", "a.test..", "a.test...", "a. .b"}) {
        int nLen = -1;
        Build(pszName, 1, &nLen);
        if (std::string(pszName) == "a. .b")
            EXPECT_EQ(nLen, 5 + 18) << "a blank is a byte like any other";
        else
            EXPECT_EQ(nLen, 0) << '"' << pszName << '"';
    }
}

TEST(DnsCheckReply, AcceptanceRule) {
    const sockaddr_in server = Addr("223.5.5.5", 53);
    Bytes good =
        dnsreply::Reply(dnsreply::Query(0x4711, "a.test"), 1, dnsreply::ARecord(1, 2, 3, 4));
    Bytes wrongLow = good;
    wrongLow[1] ^= 0xFF;
    Bytes wrongHigh = good;
    wrongHigh[0] ^= 0xFF;
    Bytes noAnswer = dnsreply::Reply(dnsreply::Query(0x4711, "a.test"), 0, {}, 3);
    Bytes highAnCount = good;
    highAnCount[6] = 1;
    highAnCount[7] = 0;
    // ANCOUNT lies beyond the received length: the bytes behind it do not count.
    Bytes cut(good.begin(), good.begin() + 7);
    cut.push_back(1);
    // Seven bytes carry ANCOUNT's high byte; the missing low byte counts as zero.
    Bytes cutHigh = highAnCount;
    cutHigh.resize(7);

    struct {
        const char *pszCase;
        const Bytes &reply;
        int nLen;
        sockaddr_in from;
        EDnsReply eWant;
    } aCases[] = {
        {"genuine", good, static_cast<int>(good.size()), server, DNS_REPLY_ACCEPT},
        {"ID low byte differs", wrongLow, static_cast<int>(good.size()), server, DNS_REPLY_ACCEPT},
        {"ID high byte differs", wrongHigh, static_cast<int>(good.size()), server,
         DNS_REPLY_REJECT},
        {"ANCOUNT 0 (name error)", noAnswer, static_cast<int>(noAnswer.size()), server,
         DNS_REPLY_REJECT},
        {"ANCOUNT 256", highAnCount, static_cast<int>(good.size()), server, DNS_REPLY_ACCEPT},
        {"empty datagram", good, 0, server, DNS_REPLY_REJECT},
        {"receive failed", good, -1, server, DNS_REPLY_REJECT},
        {"7 bytes", cut, 7, server, DNS_REPLY_REJECT},
        {"7 bytes, byte 6 not 0", cutHigh, 7, server, DNS_REPLY_ACCEPT},
        {"8 bytes", cut, 8, server, DNS_REPLY_ACCEPT},
        {"other address, port 53", good, static_cast<int>(good.size()), Addr("127.0.0.1", 53),
         DNS_REPLY_FOREIGN},
        {"the other server", good, static_cast<int>(good.size()), Addr("8.8.8.8", 53),
         DNS_REPLY_FOREIGN},
        {"server address, other port", good, static_cast<int>(good.size()), Addr("223.5.5.5", 5353),
         DNS_REPLY_FOREIGN},
        {"no IPv4 sender", good, static_cast<int>(good.size()), sockaddr_in{}, DNS_REPLY_FOREIGN},
    };
    for (const auto &c : aCases)
        EXPECT_EQ(dnsCheckReply(c.reply.data(), c.nLen, 0x47, c.from, server), c.eWant)
            << c.pszCase;
}

TEST(DnsScanAddresses, RecordsInReplyOrder) {
    const Bytes query = dnsreply::Query(0x0101, "cdn.example.test");
    // CNAME target's A record: its owner points at the name inside the CNAME record.
    const unsigned nTarget = static_cast<unsigned>(query.size()) + 12;
    const Bytes lead = {0xC0, 0x0C, 0x00, 0x01};
    struct {
        const char *pszCase;
        Bytes reply;
        std::vector<std::string> want;
    } aCases[] = {
        {"two records",
         dnsreply::Reply(
             query, 2,
             dnsreply::Cat({dnsreply::ARecord(10, 0, 0, 1), dnsreply::ARecord(10, 0, 0, 2)})),
         {"10.0.0.1", "10.0.0.2"}},
        {"duplicates stay",
         dnsreply::Reply(
             query, 2,
             dnsreply::Cat({dnsreply::ARecord(1, 2, 3, 4), dnsreply::ARecord(1, 2, 3, 4)})),
         {"1.2.3.4", "1.2.3.4"}},
        {"address 192.12.0.1 is no record lead",
         dnsreply::Reply(
             query, 2,
             dnsreply::Cat({dnsreply::ARecord(192, 12, 0, 1), dnsreply::ARecord(10, 0, 0, 2)})),
         {"192.12.0.1", "10.0.0.2"}},
        {"CNAME, then the target's A",
         dnsreply::Reply(query, 2,
                         dnsreply::Cat({dnsreply::CnameRecord("edge.example.test"),
                                        dnsreply::ARecord(10, 9, 9, 9, 0xC000 | nTarget)})),
         {}},
        {"high bytes print unsigned",
         dnsreply::Reply(query, 1, dnsreply::ARecord(255, 254, 128, 0)),
         {"255.254.128.0"}},
        {"lead with 15 bytes left", dnsreply::Cat({lead, Bytes(11, 7)}), {}},
        {"lead with exactly 16 bytes left",
         dnsreply::Cat({lead, Bytes(8, 0), {9, 8, 7, 6}}),
         {"9.8.7.6"}},
        {"empty", {}, {}},
    };
    for (const auto &c : aCases) {
        // A heap copy of exactly the reply's length: reading past it is caught by the
        // sanitizer build.
        std::unique_ptr<unsigned char[]> pReply(new unsigned char[c.reply.size() + 1]);
        std::copy(c.reply.begin(), c.reply.end(), pReply.get());
        EXPECT_EQ(dnsScanAddresses(pReply.get(), static_cast<int>(c.reply.size())), c.want)
            << c.pszCase;
    }
}

// Records follow each other without gaps: a full buffer gives one address per 16
// bytes and the output of getmsgip stays far within its 1361 bytes.
TEST(DnsScanAddresses, FullBufferOfRecords) {
    Bytes reply;
    for (int i = 0; i < DNS_REPLY_SIZE / 16; i++) {
        Bytes record = dnsreply::ARecord(192, 12, 0, 1);
        reply.insert(reply.end(), record.begin(), record.end());
    }
    std::vector<std::string> listAddr =
        dnsScanAddresses(reply.data(), static_cast<int>(reply.size()));
    EXPECT_EQ(listAddr.size(), 64u);
    EXPECT_EQ(std::count(listAddr.begin(), listAddr.end(), "192.12.0.1"), 64);
}

TEST(DnsJoinAddresses, BarAfterEachOrFalse) {
    struct {
        std::vector<std::string> listAddr;
        std::string strWant;
    } aCases[] = {
        {{}, "false"},
        {{"1.2.3.4"}, "1.2.3.4|"},
        {{"10.0.0.1", "10.0.0.2", "10.0.0.1"}, "10.0.0.1|10.0.0.2|10.0.0.1|"},
        {std::vector<std::string>(DNS_REPLY_SIZE / 16, "255.255.255.255"),
         [] {
             std::string str;
             for (int i = 0; i < DNS_REPLY_SIZE / 16; i++) str += "255.255.255.255|";
             return str;
         }()},
    };
    for (const auto &c : aCases)
        EXPECT_EQ(dnsJoinAddresses(c.listAddr), c.strWant) << c.listAddr.size() << " addresses";
    EXPECT_EQ(dnsJoinAddresses(aCases[3].listAddr).size(), 1024u) << "getmsgip's out holds 1361";
}
