// The built fetchwrap run as a process: copied into a fresh temporary directory
// (so that kelpserver.conf is looked for there), with a stand-in kelpclient first
// on PATH that records its arguments and creates the output file only when asked
// to.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "child.h"
#include "netns.h"
#include "standin.h"
#include "tempdir.h"

namespace {

using testsupport::CTempDir;
using testsupport::Exists;
using testsupport::ReadCalls;
using testsupport::ReadFile;
using testsupport::RunShell;
using testsupport::WriteFile;

// Behind the recording, the stand-in client writes its output file on request.
const char *CLIENT_TAIL = "if [ \"$KC_CREATE\" = 1 ]; then printf data > \"$2\"; fi\n";

const std::string COMMENT = "#this shoude be the kelpserver bind port\n";

class FetchWrap : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_dir.Path().empty());
        ASSERT_EQ(RunShell("cp '" FETCHWRAP "' '" + m_dir.File("fetchwrap") + "' && mkdir '" +
                           m_dir.File("bin") + "' '" + m_dir.File("rec") + "'"),
                  0);
        testsupport::WriteStandIn(m_dir.File("bin/kelpclient"), CLIENT_TAIL);
    }

    // Runs the copied wrapper with args in the temporary directory; its exit
    // status, or -1 when it did not exit normally. Standard output goes to m_strOut.
    int Run(const std::vector<std::string> &vArgs, bool bCreate) {
        RunShell("rm -f '" + m_dir.File("rec") + "'/*");
        testsupport::CChild wrapper;
        const char *pszPath = getenv("PATH");
        wrapper.SetEnv("PATH", m_dir.File("bin") + ":" + (pszPath ? pszPath : "/usr/bin:/bin"));
        wrapper.SetEnv("STANDIN_DIR", m_dir.File("rec"));
        wrapper.SetEnv("KC_CREATE", bCreate ? "1" : "0");
        wrapper.SetDir(m_dir.Path());
        std::vector<std::string> vArgv = {m_dir.File("fetchwrap")};
        vArgv.insert(vArgv.end(), vArgs.begin(), vArgs.end());
        if (!wrapper.Start(vArgv, m_dir.File("wrapper"))) return -1;
        int nExit = wrapper.WaitExit(30);
        m_strOut = wrapper.Stdout();
        return nExit;
    }

    // The arguments the stand-in client received last; empty when it did not run.
    std::vector<std::string> ClientArgs() {
        std::vector<testsupport::Args> listCalls = ReadCalls(m_dir.File("rec/kelpclient.log"));
        return listCalls.empty() ? testsupport::Args() : listCalls.back();
    }
    bool ClientRan() { return Exists(m_dir.File("rec/kelpclient.log")); }

    std::string Conf() { return ReadFile(m_dir.File("kelpserver.conf")); }
    void SetConf(const std::string &str) {
        ASSERT_TRUE(WriteFile(m_dir.File("kelpserver.conf"), str));
    }

    CTempDir m_dir;
    std::string m_strOut;
};

TEST_F(FetchWrap, WrongArgumentCountDoesNothing) {
    const std::vector<std::vector<std::string>> vCases = {{}, {"out"}, {"out", "h/p", "x"}};
    ASSERT_TRUE(WriteFile(m_dir.File("out"), "old"));
    for (const auto &vArgs : vCases) {
        SCOPED_TRACE(vArgs.size());
        EXPECT_EQ(Run(vArgs, true), 0);
        EXPECT_EQ(m_strOut, "");
        EXPECT_FALSE(ClientRan());
        EXPECT_EQ(ReadFile(m_dir.File("out")), "old");
        EXPECT_FALSE(Exists(m_dir.File("kelpserver.conf")));
    }
}

TEST_F(FetchWrap, SuccessPrintsConfigPathAndCreatesConf) {
    EXPECT_EQ(Run({m_dir.File("out"), "http://127.0.0.1/vod/a.mp4"}, true), 0);
    EXPECT_EQ(m_strOut, "config path is " + m_dir.File("kelpserver.conf") + "\r\n");
    EXPECT_EQ(ClientArgs(),
              (std::vector<std::string>{"tulaudp://127.0.0.1:8566/vod/a.mp4", m_dir.File("out")}));
    EXPECT_EQ(Conf(), COMMENT + "port=8566\n");
}

TEST_F(FetchWrap, NoOutputFileIs255AndEarlierFileGone) {
    ASSERT_TRUE(WriteFile(m_dir.File("out"), "old"));
    EXPECT_EQ(Run({m_dir.File("out"), "127.0.0.1/a"}, false), 255);
    EXPECT_TRUE(ClientRan());
    EXPECT_FALSE(Exists(m_dir.File("out")));
}

TEST_F(FetchWrap, RefusedUrlsAre1WithoutClient) {
    const std::vector<std::string> vUrls = {"http://127.0.0.1", "127.0.0.1:80",
                                            std::string(128, 'h') + "/p",
                                            "127.0.0.1/" + std::string(1100, 'p')};
    for (const std::string &strUrl : vUrls) {
        SCOPED_TRACE(strUrl.substr(0, 40));
        RunShell("rm -f '" + m_dir.File("kelpserver.conf") + "'");
        EXPECT_EQ(Run({"out", strUrl}, true), 1);
        EXPECT_FALSE(ClientRan());
        EXPECT_EQ(Conf(), COMMENT + "port=8566\n") << "configuration is loaded and repaired first";
    }
}

TEST_F(FetchWrap, ConfigCreatedOrRepaired) {
    struct sCase {
        const char *pszName;
        const char *pszIn;  // null: no file
        std::string strOut;
        int nPort;
    };
    const std::vector<sCase> vCases = {
        {"missing file", nullptr, COMMENT + "port=8566\n", 8566},
        {"missing key", "# mine\nother = 1\n", "# mine\nother=1\n" + COMMENT + "port=8566\n", 8566},
        {"comment already there", "#this shoude be the kelpserver bind port\nx=1\n",
         COMMENT + "x=1\nport=8566\n", 8566},
        {"zero", "# c\nport=0\nz=2\n", "# c\nport=8566\nz=2\n", 8566},
        {"negative", "port=-7\n#tail\n", "port=8566\n#tail\n", 8566},
        {"no digits", "a=b\nport=abc\n", "a=b\nport=8566\n", 8566},
        {"valid file untouched", "# c\nport = 9000 \n", "# c\nport = 9000 \n", 9000},
        {"digits then junk", "port=7001x\n", "port=7001x\n", 7001},
    };
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.pszName);
        RunShell("rm -f '" + m_dir.File("kelpserver.conf") + "'");
        if (c.pszIn) SetConf(c.pszIn);
        EXPECT_EQ(Run({"out", "127.0.0.1/f"}, true), 0);
        EXPECT_EQ(Conf(), c.strOut);
        std::vector<std::string> vArgs = ClientArgs();
        ASSERT_EQ(vArgs.size(), 2u);
        EXPECT_EQ(vArgs[0], "tulaudp://127.0.0.1:" + std::to_string(c.nPort) + "/f");
    }
}

TEST_F(FetchWrap, UrlRewriting) {
    struct sCase {
        const char *pszUrl;
        const char *pszClientUrl;
    };
    const std::vector<sCase> vCases = {
        {"http://127.0.0.1/vod/a.mp4", "tulaudp://127.0.0.1:7000/vod/a.mp4"},
        {"http://127.0.0.1:8080/vod/a.mp4?x=1&y=2", "tulaudp://127.0.0.1:7000/vod/a.mp4?x=1&y=2"},
        {"127.0.0.1:81/a", "tulaudp://127.0.0.1:7000/a"},
        {"ftp://127.0.0.1/a", "tulaudp://ftp:7000//127.0.0.1/a"},
        {"127.0.0.1/", "tulaudp://127.0.0.1:7000/"},
    };
    SetConf("port=7000\n");
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.pszUrl);
        EXPECT_EQ(Run({"out", c.pszUrl}, true), 0);
        EXPECT_EQ(ClientArgs(), (std::vector<std::string>{c.pszClientUrl, "out"}));
    }
}

// Shell syntax in the URL or the output path reaches the client as data: two
// whole arguments, and the marker that an executed fragment would create is absent.
TEST_F(FetchWrap, OddTextsAreTwoWholeArgumentsAndNothingRuns) {
    std::string strMarker = m_dir.File("marker");
    const std::string strTouch = "touch " + strMarker;
    struct sCase {
        std::string strPath;    // URL path after "127.0.0.1/"
        std::string strOutput;  // file name inside the temporary directory
    };
    const std::vector<sCase> vCases = {
        {"a?x=1&" + strTouch + "&y=2", "o&" + strTouch},
        {"a b  c", "out put"},
        {"it's \"q\"", "o'u\"t"},
        {"$(" + strTouch + ")", "$(" + strTouch + ")x"},
        {"`" + strTouch + "`", "`" + strTouch + "`"},
        {"a;" + strTouch, "o;" + strTouch},
        {"a\n" + strTouch, "o\n" + strTouch},
        {"'$(" + strTouch + ")'", "'\\''"},
    };
    SetConf("port=7000\n");
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.strPath);
        std::string strOut = c.strOutput;
        for (char &ch : strOut)
            if (ch == '/') ch = '_';
        strOut = m_dir.File(strOut);
        EXPECT_EQ(Run({strOut, "http://127.0.0.1:8080/" + c.strPath}, true), 0);
        EXPECT_EQ(ClientArgs(),
                  (std::vector<std::string>{"tulaudp://127.0.0.1:7000/" + c.strPath, strOut}));
        EXPECT_TRUE(Exists(strOut));
        EXPECT_FALSE(Exists(strMarker));
        RunShell("rm -f '" + strMarker + "'");
    }
}

}  // namespace
