// uri2d and its ring: the worked example, the edge cases of the mapping, inputs
// beyond the limits, and the fast path held to the plain implementation of
// uri_literal.cc on random lists and URLs.
#include "uri.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "cachekit_dl.h"
#include "guarded.h"
#include "marker_out.h"
#include "md5.h"
#include "uri_literal.h"

namespace {

// uri2d through the export, url and dirs ending right before an inaccessible
// page, the output checked by WrittenText.
std::string uri2d(const std::string &strUrl, const std::string &strDirs) {
    const cachekit_dl::sExports &e = cachekit_dl::Exports();
    EXPECT_NE(e.uri2d, nullptr) << dlerror();
    if (e.uri2d == nullptr) return "<no uri2d>";
    CGuarded url = CGuarded::Text(strUrl), dirs = CGuarded::Text(strDirs);
    return WrittenText(URI_PATH_MAX,
                       [&](char *pszOut) { e.uri2d(pszOut, url.Bytes(), dirs.Bytes()); });
}

std::string dirOf(const std::string &strPath, const std::vector<std::string> &listDirs) {
    for (const std::string &strDir : listDirs)
        if (strPath.compare(0, strDir.size() + 1, strDir + "/") == 0) return strDir;
    return "<none>";
}

std::string randomUrl(std::mt19937 &rng) {
    static const char CHARS[] = "abXY09-_:./?=&%";
    auto piece = [&](size_t nMax) {
        std::string str;
        for (size_t n = rng() % (nMax + 1); n > 0; --n) str += CHARS[rng() % (sizeof CHARS - 1)];
        return str;
    };
    std::string strUrl;
    switch (rng() % 4) {
        case 0:
            strUrl = "http://";
            break;
        case 1:
            strUrl = rng() % 2 ? "https://" : "HTTP://";
            break;
        default:
            break;
    }
    strUrl += piece(12);
    if (rng() % 2) strUrl += ":" + std::to_string(rng() % 65536);
    for (int n = (int)(rng() % 4); n >= 0; --n) strUrl += "/" + piece(10);
    strUrl += "." + piece(6);
    if (rng() % 2) strUrl += "?" + piece(12);
    return strUrl;
}

}  // namespace

TEST(Uri2d, WorkedExample) {
    EXPECT_EQ(md5Hex("movie01", 7), "aa48f0d1bae173693af4a73240779018");
    EXPECT_EQ(ringKey("900150983cd24fb0d6963f7d28e17f72"),
              0x98500190ull + 0xb04fd23c + 0x7d3f96d6 + 0x727fe128);
    EXPECT_EQ(ringKey("900150983cd24fb0d6963f7d28e17f72"), 0x2385f4bcaull);
    EXPECT_EQ(ringKeyOf("abc", 3), 0x2385f4bcaull);

    // The point above the key of "movie01" is that of "/data2-013".
    DirRing ring = buildRing("/data1|/data2");
    EXPECT_EQ(ring.size(), 1000u);
    DirRing::const_iterator it = ring.upper_bound(ringKey("aa48f0d1bae173693af4a73240779018"));
    ASSERT_NE(it, ring.end());
    EXPECT_EQ(it->first, ringKeyOf("/data2-013", 10));
    EXPECT_EQ(it->second, "/data2");

    for (const char *pszUrl :
         {"http://node7:8080/vod/movie01.mp4?start=30", "http://node7/vod/movie01.mp4?start=30",
          "node7/vod/movie01.mp4", "node7:8080/vod/movie01.mp4"})
        EXPECT_EQ(uri2d(pszUrl, "/data1|/data2"), "/data2/node7/vod/movie01.mp4") << pszUrl;
}

TEST(DirRing, SplitList) {
    const struct {
        const char *pszText;
        std::vector<std::string> listNames;
    } CASES[] = {
        {"/data1|/data2|/data3", {"/data1", "/data2", "/data3"}},
        {"/data1 | /data2", {"/data1 ", "/data2"}},
        {"|/data1||/data2|", {"/data1", "/data2"}},
        {"/a|   |/b", {"/a", "/b"}},
        {"/a|  x |/b", {"/a", "x ", "/b"}},
        {" /a", {" /a"}},
        {"/a|\t/b", {"/a", "\t/b"}},
        {"/a|   ", {"/a"}},
        {"/a|/a", {"/a", "/a"}},
        {"", {}},
        {"|||", {}},
        {"|  ", {}},
    };
    for (const auto &c : CASES) {
        EXPECT_EQ(splitList(c.pszText), c.listNames) << '"' << c.pszText << '"';
        EXPECT_EQ(literal::splitList(c.pszText), c.listNames) << "literal: \"" << c.pszText << '"';
    }
}

// Every name length from one to two tail blocks, with and without blocks before
// the point number, gives exactly the ring of the plain implementation.
TEST(DirRing, EqualsPlainRingForEveryNameLength) {
    std::string strShort, strLong;
    for (size_t nLen = 1; nLen <= 130; ++nLen)
        strShort += std::string(nLen, (char)('a' + nLen % 26)) + "|";
    for (size_t nLen : {1000, 1011, 1012, 1018, 1019})
        strLong += std::string(nLen, (char)('z' - nLen % 3)) + "|";
    for (const std::string &strDirs : {strShort, strLong}) {
        ASSERT_LT(strDirs.size(), 10240u);
        EXPECT_TRUE(buildRing(strDirs.c_str()) == literal::buildRing(strDirs)) << strDirs.size();
    }
}

TEST(Uri2d, EdgeCases) {
    const struct {
        const char *pszUrl;
        const char *pszPath;
    } CASES[] = {
        {"h:80/v/x.flv?y=1", "/d/h/v/x.flv"},
        {"http://h:80/v/x.flv?y=1", "/d/h/v/x.flv"},
        {"h/v/a.b.mp4", "/d/h/v/a.b"},
        {"h/v/.mp4", "/d/h/v/.mp4"},
        {"/vod/x.mp4", "/d//vod/x.mp4"},
        {"https://h/v/a.mp4", "/d/https//h/v/a.mp4"},
        {"HTTP://h/v/a.mp4", "/d/HTTP//h/v/a.mp4"},
        {"host/a:b/x.mp4", "/d/host/a/a"},
        {"h/v/x.mp4?a=b:c", "/d/h/v/x.mp4"},
        {"h/v/x.", "/d/h/v/x."},
        {"h/v/x.MP4x9-1", "/d/h/v/x.MP4x9"},
        {"h/v/x.mp\xc3\xa4"
         "4",
         "/d/h/v/x.mp"},
        {"h/v/a:b.mp4", "/d/h/v/a/v/a"},
        {"http://", ""},
        {"http:///.", "/d//."},
    };
    for (const auto &c : CASES)
        EXPECT_EQ(uri2d(c.pszUrl, "/d"), c.pszPath) << '"' << c.pszUrl << '"';
}

TEST(Uri2d, OnlyTheFileNameChoosesTheDirectory) {
    const std::string strDirs = "/data1|/data2|/data3|/data4|/data5|/data6|/data7";
    const std::vector<std::string> listDirs = splitList(strDirs.c_str());
    for (const char *pszName : {"movie01", "a", "", "x y", "clip-7"}) {
        const std::string strName = pszName;
        const std::string strDir = dirOf(uri2d("a/x/" + strName + ".mp4", strDirs), listDirs);
        for (const std::string &strUrl :
             {"b/y/" + strName + ".flv", "http://c:81/" + strName + ".mp4?q=1",
              "d/e/f/" + strName + ".a.b", "/" + strName + "."})
            EXPECT_EQ(dirOf(uri2d(strUrl, strDirs), listDirs), strDir) << strUrl;
        // The key of the file name alone, looked up in the ring.
        EXPECT_EQ(literal::upperBoundWrap(buildRing(strDirs.c_str()),
                                          ringKeyOf(strName.data(), strName.size())),
                  strDir)
            << strName;
    }
}

TEST(Uri2d, OneDirectoryTakesEveryUrl) {
    for (int i = 0; i < 300; ++i) {
        const std::string strFile = "m" + std::to_string(i * 7919);
        EXPECT_EQ(uri2d("h/v/" + strFile + ".mp4", "/only"), "/only/h/v/" + strFile + ".mp4");
    }
}

// A key above every point wraps to the directory of the smallest point.
TEST(Uri2d, KeyAboveLargestPointWraps) {
    const std::string strDirs = "/data1|/data2|/data3";
    DirRing ring = buildRing(strDirs.c_str());
    const uint64_t nLargest = ring.rbegin()->first;
    int nFound = 0;
    for (int i = 0; i < 200000 && nFound < 3; ++i) {
        const std::string strFile = "f" + std::to_string(i);
        if (ringKeyOf(strFile.data(), strFile.size()) < nLargest) continue;
        ++nFound;
        EXPECT_EQ(uri2d("h/" + strFile + ".mp4", strDirs),
                  ring.begin()->second + "/h/" + strFile + ".mp4");
    }
    EXPECT_GT(nFound, 0);
}

// Beyond the limits nothing is read or written outside the texts and the
// result is the empty path; exactly at the limits the result is the normal one.
TEST(Uri2d, LimitsAndBeyond) {
    const std::string strUrl1023 = "h/" + std::string(1015, 'v') + "/x.mp4";
    const std::string strName1019(1019, 'n'), strName1020(1020, 'n');
    std::string strDirs10239 = "/d";
    while (strDirs10239.size() < 10239) strDirs10239 += "|/d" + std::to_string(strDirs10239.size());
    strDirs10239.resize(10239);
    ASSERT_EQ(strUrl1023.size(), 1023u);

    const struct {
        std::string strUrl, strDirs;
        bool bEmpty;
    } CASES[] = {
        {"movie01.mp4", "/d", true},
        {"h:80", "/d", true},
        {"h/v/movie01", "/d", true},
        {"h/v/x.mp4?r=/a", "/d", true},
        {"", "/d", true},
        {"http://", "/d", true},
        {"h/v/x.mp4", "", true},
        {"h/v/x.mp4", "|||", true},
        {"h/v/x.mp4", "|   |", true},
        {strUrl1023, "/d", false},
        {"http://" + strUrl1023, "/d", false},
        {strUrl1023 + "4", "/d", true},
        {"h/v/x.mp4", "/a|" + strName1019, false},
        {"h/v/x.mp4", "/a|" + strName1020, true},
        {"h/v/x.mp4", strDirs10239, false},
        {"h/v/x.mp4", strDirs10239 + "x", true},
        {"h:" + std::string(1000, '9') + "/" + std::string(10, 'v') + ":/x.mp4", strName1019,
         false},
    };
    for (const auto &c : CASES) {
        const std::string strPath = uri2d(c.strUrl, c.strDirs);
        const std::string strCase =
            c.strUrl.substr(0, 40) + " (" + std::to_string(c.strUrl.size()) + ") in " +
            c.strDirs.substr(0, 20) + " (" + std::to_string(c.strDirs.size()) + ")";
        if (c.bEmpty)
            EXPECT_EQ(strPath, "") << strCase;
        else
            EXPECT_EQ(strPath, literal::uri2d(c.strUrl, c.strDirs)) << strCase;
    }
}

TEST(Uri2d, AgreesWithPlainImplementation) {
    std::mt19937 rng(2024);
    int nCompared = 0;
    for (int nList = 0; nList < 120; ++nList) {
        std::string strDirs;
        const int nNames = 1 + (int)(rng() % (nList % 5 == 0 ? 24 : 8));
        for (int i = 0; i < nNames; ++i)
            strDirs += (rng() % 4 == 0 ? "| " : "|") + literal::randomName(rng, true);
        if (!literal::listWithinLimits(strDirs)) continue;
        const std::map<uint64_t, std::string> ring = literal::buildRing(strDirs);
        for (int nUrl = 0; nUrl < 40; ++nUrl) {
            const std::string strUrl = randomUrl(rng);
            if (!literal::urlWithinLimits(strUrl)) continue;
            ASSERT_EQ(uri2d(strUrl, strDirs), literal::uri2dWithRing(strUrl, ring))
                << "url \"" << strUrl << "\" dirs \"" << strDirs << '"';
            ++nCompared;
        }
    }
    EXPECT_GT(nCompared, 3000);
}

// Consistent hashing: a new directory takes URLs only for itself, a removed one
// gives away only its own, and the order of the list does not matter.
TEST(Uri2d, RingMovesOnlyWhatItMust) {
    std::vector<std::string> listDirs;
    for (int i = 1; i <= 8; ++i) listDirs.push_back("/cache" + std::to_string(i));
    using literal::join;
    std::vector<std::string> listUrls;
    for (int i = 0; i < 400; ++i)
        listUrls.push_back("h/v/movie" + std::to_string(i * 104729) + ".mp4");

    std::vector<std::string> listPlus = listDirs;
    listPlus.push_back("/cache9");
    std::vector<std::string> listMinus = listDirs;
    listMinus.erase(listMinus.begin() + 3);
    std::vector<std::string> listMixed = listDirs;
    std::shuffle(listMixed.begin(), listMixed.end(), std::mt19937(5));
    int nMovedIn = 0, nMovedOut = 0;
    for (const std::string &strUrl : listUrls) {
        const std::string strBase = dirOf(uri2d(strUrl, join(listDirs)), listDirs);
        const std::string strPlus = dirOf(uri2d(strUrl, join(listPlus)), listPlus);
        const std::string strMinus = dirOf(uri2d(strUrl, join(listMinus)), listMinus);
        EXPECT_EQ(dirOf(uri2d(strUrl, join(listMixed)), listMixed), strBase) << strUrl;
        if (strPlus != strBase) {
            EXPECT_EQ(strPlus, "/cache9") << strUrl;
            ++nMovedIn;
        }
        if (strMinus != strBase) {
            EXPECT_EQ(strBase, "/cache4") << strUrl;
            ++nMovedOut;
        } else {
            EXPECT_NE(strBase, "/cache4") << strUrl;
        }
    }
    EXPECT_GT(nMovedIn, 0);
    EXPECT_GT(nMovedOut, 0);
}
