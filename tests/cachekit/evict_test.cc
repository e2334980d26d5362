// The pieces of checkdisk that need no shell: number parsing, the threshold,
// the walk root, the insertion rule, the walk itself, the URL file and the
// command texts with their size limit.
#include "evict.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "evict_sandbox.h"
#include "tempdir.h"

using evicttest::MakeFile;
using evicttest::SetAtime;
using testsupport::CTempDir;
using testsupport::WriteFile;

namespace {

TEST(ParseCount, ReadsLikePercentDWithDefaults) {
    struct Case {
        const char *pszText;
        int nDefault;
        int nWant;
    } aCases[] = {
        {"25", 80, 25},
        {"0", 80, 80},
        {"-3", 80, 80},
        {"abc", 80, 80},
        {"", 80, 80},
        {" 15", 80, 15},
        {"25GB", 80, 25},
        {"+7", 20, 7},
        {"\t\n9", 20, 9},
        {"- 5", 20, 20},
        {"0x10", 20, 20},
        {"3.9", 20, 3},
        {"99999999999999999999", 20, 2147483647},
        {"-99999999999999999999", 20, 20},
    };
    for (const Case &c : aCases)
        EXPECT_EQ(parseCount(c.pszText, c.nDefault), c.nWant) << "text \"" << c.pszText << "\"";
}

TEST(Threshold, ComparesWholeGiBOfAvailableBlocks) {
    const uint64_t GiB = 1ull << 30;
    struct Case {
        uint64_t ullBytes;
        uint64_t ullBsize;
        int nMin;
        int nWant;
    } aCases[] = {
        {79 * GiB + GiB * 9 / 10, 4096, 80, 1},  // 79.9 GiB: 79 whole
        {80 * GiB, 4096, 80, 0},
        {80 * GiB + GiB * 9 / 10, 4096, 80, 0},
        {80 * GiB - 4096, 4096, 80, 1},  // one block short
        {80 * GiB, 1, 80, 0},
        {80 * GiB, 1u << 20, 80, 0},
        {0, 4096, 1, 1},
        {GiB - 1, 1, 1, 1},
        {GiB, 1, 1, 0},
    };
    for (const Case &c : aCases)
        EXPECT_EQ(isBelowThreshold(c.ullBytes / c.ullBsize, c.ullBsize, c.nMin), c.nWant)
            << c.ullBytes << " bytes in blocks of " << c.ullBsize << " against " << c.nMin;
}

TEST(WalkRoot, EndsInOneSlashWithBackslashesTurned) {
    struct Case {
        const char *pszDir;
        const char *pszWant;
    } aCases[] = {
        {"/data/cache", "/data/cache/"},
        {"/data//cache", "/data/cache/"},
        {"/data/cache/", "/data/cache/"},
        {"/data/cache\\", "/data/cache/"},
        {"c:\\d\\\\e", "c:/d/e/"},
        {"cache", "cache/"},
        {"///", "/"},
        {"a/\\/b", "a/b/"},
    };
    for (const Case &c : aCases)
        EXPECT_EQ(normaliseWalkRoot(c.pszDir), c.pszWant) << "dir " << c.pszDir;
}

struct Offer {
    int64_t llKey;
    const char *pszPath;
};

TEST(InsertCandidate, KeepsTheLimitSmallestDistinctTimes) {
    struct Case {
        const char *pszName;
        int nLimit;
        std::vector<Offer> vecOffers;
        OldestMap mapWant;
    } aCases[] = {
        {"distinct, room left", 3, {{5, "a"}, {3, "b"}}, {{3, "b"}, {5, "a"}}},
        {"same second with room: later wins", 3, {{5, "a"}, {5, "b"}}, {{5, "b"}}},
        {"full, equal to largest: not taken",
         2,
         {{1, "a"}, {2, "b"}, {2, "c"}},
         {{1, "a"}, {2, "b"}}},
        {"full, above largest: not taken", 2, {{1, "a"}, {2, "b"}, {3, "c"}}, {{1, "a"}, {2, "b"}}},
        {"full, new smaller: largest drops",
         2,
         {{2, "a"}, {3, "b"}, {1, "c"}},
         {{1, "c"}, {2, "a"}}},
        {"limit one: equal is not below", 1, {{9, "a"}, {4, "b"}, {4, "c"}, {7, "d"}}, {{4, "b"}}},
        {"negative times order first", 2, {{0, "a"}, {-5, "b"}, {3, "c"}}, {{-5, "b"}, {0, "a"}}},
    };
    for (const Case &c : aCases) {
        OldestMap mapGot;
        for (const Offer &o : c.vecOffers) insertCandidate(mapGot, c.nLimit, o.llKey, o.pszPath);
        EXPECT_EQ(mapGot, c.mapWant) << c.pszName;
    }
}

// Regression: a full set meeting a second time it already holds, below its
// largest, dropped the largest as well and then took the next file whatever its
// time.
TEST(InsertCandidate, FullSetHeldKeyKeepsLargestAndStaysFull) {
    OldestMap mapGot;
    for (const Offer &o : std::vector<Offer>{{1, "a"}, {3, "b"}, {1, "c"}, {9, "late"}})
        insertCandidate(mapGot, 2, o.llKey, o.pszPath);
    EXPECT_EQ(mapGot, (OldestMap{{1, "c"}, {3, "b"}}));
}

class WalkTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.Path().empty()); }
    std::string root() const { return m_dir.Path() + "/"; }
    void file(const std::string &strRel, long long llAtime) { MakeFile(root() + strRel, llAtime); }
    void dir(const std::string &strRel, long long llAtime) {
        ASSERT_EQ(mkdir((root() + strRel).c_str(), 0755), 0) << strRel;
        ASSERT_TRUE(SetAtime(root() + strRel, llAtime)) << strRel;
    }
    CTempDir m_dir;
};

TEST_F(WalkTest, ChoosesOldestFilesDepthFirstNeverDirectories) {
    dir("old", 1);
    dir("old/deeper", 2);
    file("old/deeper/f1.mp4", 1000);
    file(".hidden.mp4", 1001);
    file("old/f2.mp4", 1003);
    file("f3.mp4", 1002);
    file("f4.mp4", 1004);
    OldestMap mapGot;
    collectOldest(root(), 3, mapGot);
    EXPECT_EQ(mapGot, (OldestMap{{1000, root() + "old/deeper/f1.mp4"},
                                 {1001, root() + ".hidden.mp4"},
                                 {1002, root() + "f3.mp4"}}));
}

TEST_F(WalkTest, SharedSecondsGiveOneFileEach) {
    file("a.mp4", 500);
    file("b.mp4", 500);
    file("c.mp4", 600);
    OldestMap mapGot;
    collectOldest(root(), 20, mapGot);
    ASSERT_EQ(mapGot.size(), 2u);
    EXPECT_TRUE(mapGot[500] == root() + "a.mp4" || mapGot[500] == root() + "b.mp4") << mapGot[500];
    EXPECT_EQ(mapGot[600], root() + "c.mp4");
}

TEST_F(WalkTest, LinkRanksByItsTargetAndDanglingLinkCountsNothing) {
    CTempDir dirOutside;
    MakeFile(dirOutside.File("target.mp4"), 50);
    ASSERT_EQ(symlink(dirOutside.File("target.mp4").c_str(), (root() + "link.mp4").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/nothing", (root() + "dangling.mp4").c_str()), 0);
    file("plain.mp4", 70);
    OldestMap mapGot;
    collectOldest(root(), 20, mapGot);
    EXPECT_EQ(mapGot, (OldestMap{{50, root() + "link.mp4"}, {70, root() + "plain.mp4"}}));
}

TEST_F(WalkTest, MissingRootGivesNothing) {
    OldestMap mapGot;
    collectOldest(root() + "absent/", 20, mapGot);
    EXPECT_TRUE(mapGot.empty());
}

TEST(ReadDeleteUrl, FirstLineCutAtCrThenLf) {
    struct Case {
        const char *pszName;
        std::string strContent;
        const char *pszWant;
    } aCases[] = {
        {"crlf", "http://127.0.0.1/d?k=1\r\nsecond\n", "http://127.0.0.1/d?k=1"},
        {"lf", "http://127.0.0.1/d\n", "http://127.0.0.1/d"},
        {"no line end", "http://127.0.0.1/d", "http://127.0.0.1/d"},
        {"lone lf", "\nhttp://127.0.0.1/second\n", ""},
        {"empty file", "", ""},
        {"blanks kept", " u \t\n", " u \t"},
        {"cr inside", "a\rb\n", "a"},
        {"long line", std::string(2000, 'x'), nullptr},
    };
    for (const Case &c : aCases) {
        CTempDir dir;
        ASSERT_TRUE(WriteFile(dir.File("onDelete.txt"), c.strContent));
        std::string strWant = c.pszWant ? c.pszWant : std::string(1023, 'x');
        EXPECT_EQ(readDeleteUrl(dir.File("onDelete.txt").c_str()), strWant) << c.pszName;
    }
    CTempDir dir;
    EXPECT_EQ(readDeleteUrl(dir.File("missing.txt").c_str()), "");
}

std::string build(const std::string &strPath, const std::string &strUrl, int *pnResult = nullptr) {
    std::vector<char> vecCmd(AUTODEL_CMD_SIZE, 'Z');
    int nResult = buildAutodelCommand(vecCmd.data(), strPath, strUrl);
    if (pnResult) *pnResult = nResult;
    return std::string(vecCmd.data());
}

TEST(AutodelCommand, PlainPathWithoutUrl) {
    EXPECT_EQ(
        build("/data/cache/v1/a-b_c.1+2,3:4@5%6=7.mp4", ""),
        "#!/bin/bash\n"
        "rm -f /data/cache/v1/a-b_c.1+2,3:4@5%6=7.mp4\n"
        "find / -lname /data/cache/v1/a-b_c.1+2,3:4@5%6=7.mp4 -print0 |xargs -0 rm -f\n"
        "echo \"$(date) autodel "
        "/data/cache/v1/a-b_c.1+2,3:4@5%6=7.mp4\">>/usr/local/dadiv-urede/logs/autodel.log\n");
}

TEST(AutodelCommand, PlainPathWithUrl) {
    EXPECT_EQ(
        build("/data/cache/a.mp4", "http://127.0.0.1:8080/del?node=7&k=v"),
        "#!/bin/bash\n"
        "ret=`curl -I -s --max-time 10 "
        "\"http://127.0.0.1:8080/del?node=7&k=v&vid=/data/cache/a.mp4\" |grep \"200 OK\"`\n"
        "if [ \"$ret\" = \"\" ]\n"
        "then\n"
        "echo \"$(date) can not autodel "
        "/data/cache/a.mp4\">>/usr/local/dadiv-urede/logs/autodel.log\n"
        "else\n"
        "rm -f /data/cache/a.mp4\n"
        "find / -lname /data/cache/a.mp4 -print0 |xargs -0 rm -f\n"
        "echo \"$(date) autodel /data/cache/a.mp4\">>/usr/local/dadiv-urede/logs/autodel.log\n"
        "fi\n");
}

TEST(AutodelCommand, OtherNamesOnlyThroughQuotedVariables) {
    EXPECT_EQ(
        build("/data/it's [1].mp4", "http://127.0.0.1/d?x=$y"),
        "#!/bin/bash\n"
        "p='/data/it'\\''s [1].mp4'\n"
        "pat='/data/it'\\''s \\[1\\].mp4'\n"
        "u='http://127.0.0.1/d?x=$y'\n"
        "ret=`curl -I -s --max-time 10 --globoff \"$u&vid=$p\" |grep \"200 OK\"`\n"
        "if [ \"$ret\" = \"\" ]\n"
        "then\n"
        "printf '%s\\n' \"$(date) can not autodel $p\">>/usr/local/dadiv-urede/logs/autodel.log\n"
        "else\n"
        "rm -f -- \"$p\"\n"
        "find / -lname \"$pat\" -print0 |xargs -0 rm -f\n"
        "printf '%s\\n' \"$(date) autodel $p\">>/usr/local/dadiv-urede/logs/autodel.log\n"
        "fi\n");
    // A plain path with a URL that is not plain is quoted as a whole, and so is a
    // path that rm would take for an option.
    EXPECT_NE(build("/data/a.mp4", "http://127.0.0.1/d?a=`b`").find("p='/data/a.mp4'\n"),
              std::string::npos);
    EXPECT_NE(build("-data/a.mp4", "").find("rm -f -- \"$p\"\n"), std::string::npos);
}

// Builds for paths of lengths around the buffer's limit: the text is complete
// exactly when it fits with its NUL, and otherwise nothing is left to run.
TEST(AutodelCommand, TooLongForTheBufferIsSkippedNotCut) {
    struct Variant {
        const char *pszName;
        std::string strUrlBase;
        bool bQuoted;
    } aVariants[] = {
        {"plain, no URL", "", false},
        {"plain, URL", "http://127.0.0.1/d?k=", false},
        {"quoted, no URL", "", true},
        {"quoted, URL", "http://127.0.0.1/d?k=", true},
    };
    for (const Variant &v : aVariants) {
        for (size_t nUrlPad = 0; nUrlPad < (v.strUrlBase.empty() ? 1u : 5u); ++nUrlPad) {
            std::string strUrl =
                v.strUrlBase.empty() ? "" : v.strUrlBase + std::string(nUrlPad, 'u');
            const std::string strHead = v.bQuoted ? "/d d/" : "/d/";
            // Length as a function of the path's length: fixed part + per byte.
            std::string strP1 = strHead + "a", strP2 = strHead + "aa";
            size_t nLen1 = build(strP1, strUrl).size(), nLen2 = build(strP2, strUrl).size();
            size_t nPerByte = nLen2 - nLen1, nFixed = nLen1 - nPerByte * strP1.size();
            size_t nMaxPath = (AUTODEL_CMD_SIZE - 1 - nFixed) / nPerByte;
            for (size_t nPath = nMaxPath - 2; nPath <= nMaxPath + 2; ++nPath) {
                std::string strPath = strHead + std::string(nPath - strHead.size(), 'a');
                int nResult = -1;
                std::string strText = build(strPath, strUrl, &nResult);
                size_t nWant = nFixed + nPerByte * nPath;
                if (nWant <= AUTODEL_CMD_SIZE - 1) {
                    EXPECT_EQ(nResult, 1) << v.pszName << " path " << nPath;
                    EXPECT_EQ(strText.size(), nWant) << v.pszName << " path " << nPath;
                } else {
                    EXPECT_EQ(nResult, 0) << v.pszName << " path " << nPath;
                    EXPECT_EQ(strText, "") << v.pszName << " path " << nPath;
                }
            }
        }
    }
}

}  // namespace
