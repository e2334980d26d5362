// getmsgip, loaded from the built library, against a real DNS server (dnsmasq)
// that serves the two public resolver addresses inside the test's private network
// namespace from records the test writes.
#include <gtest/gtest.h>

#include "child.h"
#include "dnsmasq.h"
#include "resolver_fixture.h"
#include "tempdir.h"

namespace {

class GetmsgipDnsmasq : public ResolverTest {
protected:
    void SetUp() override {
        ResolverTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        std::string strWhy, strHosts = m_dns.Dir() + "/records.hosts";
        ASSERT_TRUE(testsupport::WriteFile(strHosts,
                                           "10.1.1.1 two.example.test\n"
                                           "10.1.1.2 two.example.test\n"));
        std::string strConf = "addn-hosts=" + strHosts + "\n" +
                              "host-record=target.example.test,10.4.4.4\n"
                              "cname=alias.example.test,target.example.test\n"
                              "host-record=single,10.3.3.3\n"
                              // Names below example.test that have no record do not exist.
                              "local=/example.test/\n";
        if (!m_dns.Start({"223.5.5.5", "8.8.8.8"}, strConf, strWhy)) GTEST_SKIP() << strWhy;
    }

    // Queries for the A records of strName in the server's log.
    int QueriesFor(const std::string &strName) {
        std::string strLog = m_dns.Log();
        std::string strNeedle = "query[A] " + strName + " from ";
        int nCount = 0;
        for (size_t nPos = strLog.find(strNeedle); nPos != std::string::npos;
             nPos = strLog.find(strNeedle, nPos + 1))
            nCount++;
        return nCount;
    }

    testsupport::CDnsmasq m_dns;
};

}  // namespace

TEST_F(GetmsgipDnsmasq, NameWithTwoRecords) {
    std::string strOut = Resolve("two.example.test");
    // The server picks the order; each address once, each with its bar.
    EXPECT_TRUE(strOut == "10.1.1.1|10.1.1.2|" || strOut == "10.1.1.2|10.1.1.1|") << strOut;
    EXPECT_EQ(QueriesFor("two.example.test"), 1);
}

TEST_F(GetmsgipDnsmasq, SingleRecordNames) {
    struct {
        const char *pszHost;
        const char *pszWant;
    } aCases[] = {
        {"target.example.test", "10.4.4.4|"},
        {"target.example.test.", "10.4.4.4|"},
        {"TARGET.Example.Test", "10.4.4.4|"},
        {"single", "10.3.3.3|"},
    };
    for (const auto &c : aCases) EXPECT_EQ(Resolve(c.pszHost), c.pszWant) << c.pszHost;
}

// The target's record has the target's name as owner, not the question's: no
// address, and the reply still ends the attempts.
TEST_F(GetmsgipDnsmasq, CnameWithTarget) {
    EXPECT_EQ(Resolve("alias.example.test"), "false");
    EXPECT_EQ(QueriesFor("alias.example.test"), 1);
}

// A name error has no answer records: every one of the ten attempts is made.
TEST_F(GetmsgipDnsmasq, NameThatDoesNotExist) {
    EXPECT_EQ(Resolve("missing.example.test"), "false");
    int nQueries = 0;
    testsupport::WaitUntil(1,
                           [&] { return (nQueries = QueriesFor("missing.example.test")) >= 10; });
    EXPECT_EQ(nQueries, 10);
}
