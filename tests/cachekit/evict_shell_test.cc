// The generated commands in a real /bin/sh: hostile file names and URLs reach rm,
// find, xargs and curl as single arguments and execute nothing. The tools are
// stand-ins first on PATH that record their arguments and do nothing else; the
// run happens in a mount namespace of its own where /usr/local is a tmpfs, so
// the log line lands there.
#include <fnmatch.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "evict.h"
#include "evict_sandbox.h"
#include "shellquote.h"
#include "standin.h"
#include "tempdir.h"

using testsupport::CTempDir;
using testsupport::ReadFile;

namespace {

using testsupport::Args;

// What a run of sh -c "printf %s <word>" prints.
std::string shellEcho(const std::string &strWord) {
    CTempDir dir;
    std::string strCmd = "printf %s " + strWord + " >" + dir.File("out");
    EXPECT_EQ(std::system(strCmd.c_str()), 0) << strCmd;
    return ReadFile(dir.File("out"));
}

TEST(ShellQuote, SingleQuotedWordReadsBackByteForByte) {
    std::string strAll;
    for (int c = 1; c < 256; ++c) strAll += (char)c;
    for (const std::string &str : {std::string("it's"), std::string("''"), std::string("a\nb"),
                                   std::string("$(x)`y`\\z\"w"), std::string(""), strAll}) {
        EXPECT_EQ(shellEcho(shellSingleQuote(str)), str) << "text " << str;
    }
}

TEST(ShellQuote, PlainSets) {
    EXPECT_TRUE(isShellPlain("/data/v1/a-b_c.1+2,3:4@5%6=7.mp4"));
    for (const char *psz : {"", "-x/a.mp4", "a b", "a'b", "a*b", "a?b", "a[b", "a]b", "a\\b", "a$b",
                            "a`b", "a;b", "a&b", "a|b", "a\nb", "a\"b", "a{b", "a~b", "a\xc3\xa9"})
        EXPECT_FALSE(isShellPlain(psz)) << psz;
    EXPECT_TRUE(isShellPlainUrl("http://127.0.0.1:80/d?a=1&b=-"));
    for (const char *psz : {"", "http://h/d?a=$x", "http://h/d?a=`x`", "http://h/d?a=\"",
                            "http://h/d?a=\\", "http://h/d a", "http://h/[1-2]", "http://h/{a,b}"})
        EXPECT_FALSE(isShellPlainUrl(psz)) << psz;
}

TEST(FindPattern, MatchesTheNameAndNothingLikeIt) {
    struct Case {
        const char *pszName;
        const char *pszLookalike;
    } aCases[] = {
        {"/d/st*r.mp4", "/d/stXr.mp4"}, {"/d/a?.mp4", "/d/ab.mp4"},     {"/d/[ab].mp4", "/d/a.mp4"},
        {"/d/x]y.mp4", "/d/xy.mp4"},    {"/d/b\\*.mp4", "/d/b\\x.mp4"}, {"/d/*", "/d/anything"},
    };
    for (const Case &c : aCases) {
        std::string strPat = findPatternEscape(c.pszName);
        EXPECT_EQ(fnmatch(strPat.c_str(), c.pszName, 0), 0) << c.pszName << " as " << strPat;
        EXPECT_NE(fnmatch(strPat.c_str(), c.pszLookalike, 0), 0)
            << c.pszLookalike << " by " << strPat;
    }
}

// Stand-in tools that record their calls (testsupport::WriteStandIn): date prints
// DATE; curl prints $STANDIN_CURL_REPLY as a header line.
void writeStandIns(const std::string &strDir) {
    const std::map<std::string, std::string> mapTail = {
        {"rm", ""},
        {"find", ""},
        {"xargs", "cat >/dev/null\n"},
        {"date", "echo DATE\n"},
        {"curl", "printf '%s\\r\\n' \"$STANDIN_CURL_REPLY\"\n"},
    };
    for (const auto &tool : mapTail)
        testsupport::WriteStandIn(strDir + "/" + tool.first, tool.second);
}

enum Reply { NO_URL, URL_OK, URL_REFUSED };

TEST(AutodelShell, HostileNamesAndUrlsAreOnlyData) {
    const std::vector<std::string> vecUrls = {
        "http://127.0.0.1:9/d?k=1",
        "http://127.0.0.1:9/d?k='`touch Y`'$(touch Y)\\\"",
    };
    std::string strWhy;
    int nResult = evicttest::RunWithPrivateNodeDir(
        [&] {
            CTempDir dirBin, dirWork;
            writeStandIns(dirBin.Path());
            setenv("PATH", (dirBin.Path() + ":/usr/bin:/bin").c_str(), 1);
            setenv("STANDIN_DIR", dirBin.Path().c_str(), 1);
            ASSERT_EQ(chdir(dirWork.Path().c_str()), 0);
            std::vector<char> vecCmd(AUTODEL_CMD_SIZE);
            for (const std::string &strName : evicttest::HOSTILE_NAMES) {
                const std::string strPath = "/data/cache/" + strName;
                for (Reply reply : {NO_URL, URL_OK, URL_REFUSED}) {
                    for (const std::string &strUrlChoice : vecUrls) {
                        const std::string strUrl = reply == NO_URL ? "" : strUrlChoice;
                        if (reply == NO_URL && &strUrlChoice != &vecUrls[0]) continue;
                        const std::string strCase = "name [" + strName + "] url [" + strUrl + "]" +
                                                    (reply == URL_REFUSED ? " refused" : "");
                        for (const char *pszTool : {"rm", "find", "xargs", "date", "curl"})
                            unlink((dirBin.Path() + "/" + pszTool + ".log").c_str());
                        unlink(AUTODEL_LOG);
                        setenv("STANDIN_CURL_REPLY",
                               reply == URL_OK ? "HTTP/1.1 200 OK" : "HTTP/1.1 403 Forbidden", 1);
                        ASSERT_EQ(buildAutodelCommand(vecCmd.data(), strPath, strUrl), 1)
                            << strCase;
                        std::system(vecCmd.data());

                        const bool bPlain =
                            isShellPlain(strPath) && (strUrl.empty() || isShellPlainUrl(strUrl));
                        std::map<std::string, std::vector<Args>> mapWant;
                        if (reply != NO_URL) {
                            Args curl = {"-I", "-s", "--max-time", "10"};
                            if (!bPlain) curl.push_back("--globoff");
                            curl.push_back(strUrl + "&vid=" + strPath);
                            mapWant["curl"] = {curl};
                        }
                        mapWant["date"] = {{}};
                        if (reply != URL_REFUSED) {
                            mapWant["rm"] = {bPlain ? Args{"-f", strPath}
                                                    : Args{"-f", "--", strPath}};
                            mapWant["find"] = {
                                {"/", "-lname", findPatternEscape(strPath), "-print0"}};
                            mapWant["xargs"] = {{"-0", "rm", "-f"}};
                        }
                        for (const char *pszTool : {"rm", "find", "xargs", "date", "curl"})
                            EXPECT_EQ(
                                testsupport::ReadCalls(dirBin.Path() + "/" + pszTool + ".log"),
                                mapWant[pszTool])
                                << strCase << ", tool " << pszTool << "\n"
                                << vecCmd.data();
                        std::string strLine =
                            reply == URL_REFUSED ? "can not autodel " : "autodel ";
                        EXPECT_EQ(ReadFile(AUTODEL_LOG), "DATE " + strLine + strPath + "\n")
                            << strCase;
                        EXPECT_FALSE(testsupport::Exists(dirWork.File("X"))) << strCase;
                        EXPECT_FALSE(testsupport::Exists(dirWork.File("Y"))) << strCase;
                    }
                }
            }
        },
        strWhy);
    if (nResult == evicttest::SANDBOX_SKIPPED) GTEST_SKIP() << strWhy;
    EXPECT_EQ(nResult, evicttest::SANDBOX_PASSED) << strWhy;
}

}  // namespace
