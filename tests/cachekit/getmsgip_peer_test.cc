// getmsgip, loaded from the built library, against a scripted DNS peer that plays
// both public resolvers inside the test's private network namespace: what it is
// sent, and how it handles what a real server would not answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <thread>

#include "dns_reply.h"
#include "resolver_fixture.h"

using dnsreply::Addresses;
using dnsreply::Bytes;
using dnsreply::NameOfLength;
using testsupport::sDnsQuery;

namespace {

// Sockets of the peer, in the order given to Start.
enum EPeerSocket { FIRST, SECOND, FORGER_LOOPBACK, FORGER_OTHER_PORT };

class GetmsgipPeer : public ResolverTest {
protected:
    // Starts peer (by default m_peer) on both servers' port 53 and two forger sockets.
    void Serve(testsupport::CDnsPeer::Script fnScript) { Serve(m_peer, std::move(fnScript)); }
    void Serve(testsupport::CDnsPeer &peer, testsupport::CDnsPeer::Script fnScript) {
        std::string strWhy;
        ASSERT_TRUE(peer.Start({"223.5.5.5:53", "8.8.8.8:53", "127.0.0.1:53", "223.5.5.5:5353"},
                               std::move(fnScript), strWhy))
            << strWhy;
    }

    std::vector<int> ServersAsked() {
        std::vector<int> listServers;
        for (const sDnsQuery &query : m_peer.Queries()) listServers.push_back(query.nSocket);
        return listServers;
    }

    testsupport::CDnsPeer m_peer;
};

// Answers every query that reaches one of the sockets listOn with fnReply(query), from that socket.
testsupport::CDnsPeer::Script AnswerOn(std::vector<int> listOn,
                                       std::function<Bytes(const Bytes &)> fnReply) {
    return [listOn, fnReply](testsupport::CDnsPeer &peer, const sDnsQuery &query) {
        if (std::find(listOn.begin(), listOn.end(), query.nSocket) != listOn.end())
            peer.SendFrom(query.nSocket, query.from, fnReply(query.bytes));
    };
}

}  // namespace

TEST_F(GetmsgipPeer, QueryBytesAsReceived) {
    Serve(AnswerOn({FIRST}, [](const Bytes &q) { return Addresses(q, {{1, 2, 3, 4}}); }));
    struct {
        std::string strHost;
        std::string strAsked;
        const char *pszWant;
    } aCases[] = {
        {"cdn.example.test", "cdn.example.test", "1.2.3.4|"},
        {"localhost", "localhost", "1.2.3.4|"},
        {"cdn.example.test.", "cdn.example.test", "1.2.3.4|"},
        {"UPPER.example.TEST", "UPPER.example.TEST", "1.2.3.4|"},
        {std::string(63, 'x') + ".test", std::string(63, 'x') + ".test", "1.2.3.4|"},
        // A query of 1024 bytes fits; the reply does not, and is cut before its record.
        {NameOfLength(1006), NameOfLength(1006), "false"},
    };
    size_t nSeen = 0;
    for (const auto &c : aCases) {
        const std::string strCase = c.strHost.substr(0, 70);
        EXPECT_EQ(Resolve(c.strHost.c_str()), c.pszWant) << strCase;
        std::vector<sDnsQuery> listQueries = m_peer.Queries();
        ASSERT_EQ(listQueries.size(), nSeen + 1) << "exactly one datagram for " << strCase;
        const sDnsQuery &query = listQueries[nSeen++];
        EXPECT_EQ(query.nSocket, FIRST);
        ASSERT_EQ(query.bytes.size(), c.strAsked.size() + 18) << strCase;
        // Flags 0x0100, QDCOUNT 1, QNAME, QTYPE A, QCLASS IN: all but the ID.
        Bytes want = dnsreply::Query(0, c.strAsked);
        EXPECT_TRUE(std::equal(want.begin() + 2, want.end(), query.bytes.begin() + 2)) << strCase;
    }
}

TEST_F(GetmsgipPeer, NoQueryForMissingOrMalformedName) {
    Serve(AnswerOn({FIRST, SECOND}, [](const Bytes &q) { return Addresses(q, {{1, 2, 3, 4}}); }));
    std::string aHosts[] = {
        "",
        ".",
        "..",
        ".example.test",
        "cdn..example.test",
        "cdn.example.test..",
        std::string(64, 'x') + ".test",
        NameOfLength(1007),
    };
    EXPECT_EQ(Resolve(nullptr), "false");
    m_pfnGetmsgip(nullptr, "cdn.example.test");  // no out: nothing to answer into
    for (const std::string &strHost : aHosts) {
        EXPECT_EQ(Resolve(strHost.c_str()), "false") << '"' << strHost.substr(0, 70) << '"';
        EXPECT_LT(m_lMs, 90) << "refused without waiting: " << strHost.substr(0, 70);
    }
    usleep(200 * 1000);
    EXPECT_TRUE(m_peer.Queries().empty());
}

TEST_F(GetmsgipPeer, SilentFirstServer) {
    Serve(AnswerOn({SECOND}, [](const Bytes &q) { return Addresses(q, {{5, 6, 7, 8}}); }));
    EXPECT_EQ(Resolve("cdn.example.test"), "5.6.7.8|");
    std::vector<sDnsQuery> listQueries = m_peer.Queries();
    ASSERT_EQ(ServersAsked(), (std::vector<int>{FIRST, SECOND}));
    double dGap = listQueries[1].dMs - listQueries[0].dMs;
    EXPECT_GE(dGap, 90);
    EXPECT_LT(dGap, 1000);
    EXPECT_EQ(listQueries[0].bytes, listQueries[1].bytes) << "every attempt sends the same query";
}

TEST_F(GetmsgipPeer, NeverAnsweredTenAlternatingAttempts) {
    Serve(nullptr);
    EXPECT_EQ(Resolve("cdn.example.test"), "false");
    EXPECT_EQ(ServersAsked(), (std::vector<int>{FIRST, SECOND, FIRST, SECOND, FIRST, SECOND, FIRST,
                                                SECOND, FIRST, SECOND}));
    EXPECT_GE(m_lMs, 900);
    EXPECT_LT(m_lMs, 5000);
    for (const sDnsQuery &query : m_peer.Queries())
        EXPECT_EQ(query.bytes, m_peer.Queries()[0].bytes);
}

// Replies the resolver must pass over: the attempt ends and the other server is asked.
TEST_F(GetmsgipPeer, UnusableReplyGoesToOtherServer) {
    struct {
        const char *pszCase;
        std::function<Bytes(const Bytes &)> fnFirst;
    } aCases[] = {
        {"ANCOUNT 0 (name error)", [](const Bytes &q) { return dnsreply::Reply(q, 0, {}, 3); }},
        {"ID high byte differs",
         [](const Bytes &q) {
             Bytes r = Addresses(q, {{6, 6, 6, 6}});
             r[0] ^= 0xFF;
             return r;
         }},
        {"one byte", [](const Bytes &q) { return Bytes(q.begin(), q.begin() + 1); }},
        {"empty datagram", [](const Bytes &) { return Bytes(); }},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszCase);
        testsupport::CDnsPeer peer;
        auto fnFirst = c.fnFirst;
        ASSERT_NO_FATAL_FAILURE(Serve(peer, [fnFirst](testsupport::CDnsPeer &p,
                                                      const sDnsQuery &q) {
            p.SendFrom(q.nSocket, q.from,
                       q.nSocket == FIRST ? fnFirst(q.bytes) : Addresses(q.bytes, {{5, 6, 7, 8}}));
        }));
        EXPECT_EQ(Resolve("cdn.example.test"), "5.6.7.8|");
        ASSERT_EQ(peer.Queries().size(), 2u);
        EXPECT_EQ(peer.Queries()[1].nSocket, SECOND);
    }
}

// Accepted replies end the attempts, whether or not they hold a usable record.
TEST_F(GetmsgipPeer, AcceptedReplyEndsTheAttempts) {
    const std::string strHost = "cdn.example.test";
    const unsigned nTarget = static_cast<unsigned>(dnsreply::Query(0, strHost).size()) + 12;
    struct {
        const char *pszCase;
        std::function<Bytes(const Bytes &)> fnReply;
        const char *pszWant;
    } aCases[] = {
        {"ID low byte differs",
         [](const Bytes &q) {
             Bytes r = Addresses(q, {{1, 2, 3, 4}});
             r[1] ^= 0xFF;
             return r;
         },
         "1.2.3.4|"},
        {"two records",
         [](const Bytes &q) {
             return Addresses(q, {{10, 0, 0, 1}, {10, 0, 0, 2}});
         },
         "10.0.0.1|10.0.0.2|"},
        {"duplicates",
         [](const Bytes &q) {
             return Addresses(q, {{1, 2, 3, 4}, {1, 2, 3, 4}});
         },
         "1.2.3.4|1.2.3.4|"},
        {"address reading C0 0C 00 01",
         [](const Bytes &q) {
             return Addresses(q, {{192, 12, 0, 1}, {10, 0, 0, 2}});
         },
         "192.12.0.1|10.0.0.2|"},
        {"CNAME and its target",
         [nTarget](const Bytes &q) {
             return dnsreply::Reply(
                 q, 2,
                 dnsreply::Cat({dnsreply::CnameRecord("edge.example.test"),
                                dnsreply::ARecord(10, 9, 9, 9, 0xC000 | nTarget)}));
         },
         "false"},
        {"7 bytes, ANCOUNT's high byte not 0",
         [](const Bytes &q) { return Bytes{q[0], q[1], 0x81, 0x80, 0, 1, 1}; }, "false"},
        {"header only",
         [](const Bytes &q) {
             Bytes r = Addresses(q, {{1, 2, 3, 4}});
             r.resize(12);
             return r;
         },
         "false"},
        {"15 bytes, a record lead among them",
         [](const Bytes &q) {
             return Bytes{q[0], q[1], 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0, 0xC0, 0x0C, 0x00};
         },
         "false"},
    };
    for (const auto &c : aCases) {
        SCOPED_TRACE(c.pszCase);
        testsupport::CDnsPeer peer;
        auto fnReply = c.fnReply;
        ASSERT_NO_FATAL_FAILURE(
            Serve(peer, [fnReply](testsupport::CDnsPeer &p, const sDnsQuery &q) {
                p.SendFrom(q.nSocket, q.from, fnReply(q.bytes));
            }));
        EXPECT_EQ(Resolve(strHost.c_str()), c.pszWant);
        EXPECT_EQ(peer.Queries().size(), 1u);
    }
}

// A reply larger than the receive buffer is cut at 1024 bytes; only whole records count.
TEST_F(GetmsgipPeer, ReplyCutAtBufferSize) {
    Serve(AnswerOn({FIRST}, [](const Bytes &q) {
        std::vector<std::array<unsigned, 4>> listAddr;
        for (unsigned i = 0; i < 70; i++) listAddr.push_back({10, 0, 0, i});
        return Addresses(q, listAddr);
    }));
    std::string strOut = Resolve("a");
    // Header 12 and question 7 leave room for 62 whole records in 1024 bytes.
    EXPECT_EQ(std::count(strOut.begin(), strOut.end(), '|'), 62);
    EXPECT_EQ(strOut.substr(0, 18), "10.0.0.0|10.0.0.1|");
    EXPECT_NE(strOut.find("|10.0.0.61|"), std::string::npos);
    EXPECT_EQ(strOut.find("10.0.0.62"), std::string::npos);
}

// Datagrams from anyone but the asked server's port 53 are no reply; the genuine one
// that follows them within the attempt is.
TEST_F(GetmsgipPeer, ForgedRepliesBeforeGenuineAreIgnored) {
    Serve([](testsupport::CDnsPeer &peer, const sDnsQuery &query) {
        if (query.nSocket != FIRST) return;
        Bytes forged = Addresses(query.bytes, {{6, 6, 6, 6}});
        for (int nSocket : {FORGER_LOOPBACK, FORGER_OTHER_PORT, SECOND})
            peer.SendFrom(nSocket, query.from, forged);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.SendFrom(FIRST, query.from, Addresses(query.bytes, {{1, 2, 3, 4}}));
    });
    EXPECT_EQ(Resolve("cdn.example.test"), "1.2.3.4|");
    EXPECT_EQ(ServersAsked(), (std::vector<int>{FIRST}));
}

TEST_F(GetmsgipPeer, OnlyForgedRepliesMeanTimeOut) {
    Serve([](testsupport::CDnsPeer &peer, const sDnsQuery &query) {
        if (query.nSocket == FIRST)
            peer.SendFrom(FORGER_LOOPBACK, query.from, Addresses(query.bytes, {{6, 6, 6, 6}}));
        else if (query.nSocket == SECOND)
            peer.SendFrom(SECOND, query.from, Addresses(query.bytes, {{5, 6, 7, 8}}));
    });
    EXPECT_EQ(Resolve("cdn.example.test"), "5.6.7.8|");
    EXPECT_EQ(ServersAsked(), (std::vector<int>{FIRST, SECOND}));
}
