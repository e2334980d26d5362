// Every export called many times through dlopen, as the host calls them, on
// paths that cover their allocations (file reads, ring building, the disk check,
// the name check). In a build with NODE_SANITIZE, LeakSanitizer checks at exit
// that nothing was left allocated; in any build the results must stay the same
// from the first call to the last.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cachekit_dl.h"
#include "tempdir.h"

namespace {

using testsupport::CTempDir;
using testsupport::WriteFile;

const int kRounds = 2000;

TEST(CachekitLeaks, EveryExportManyTimes) {
    const cachekit_dl::sExports &e = cachekit_dl::Exports();
    ASSERT_TRUE(e.fileExist && e.md5data && e.md5file && e.uri2d && e.checkdisk && e.getmsgip)
        << dlerror();

    CTempDir dir;
    std::string strFile = dir.File("seg.ts");
    ASSERT_TRUE(WriteFile(strFile, std::string(3000, 'x')));
    // The directory of this path has well over 1 GiB free, so checkdisk returns
    // after the check; a path without a '.' returns before it. Nothing is removed.
    std::string strCheck = dir.File("probe.mp4");
    const std::string strNoDot = "/nonexistent/cachenode";

    // Names refused before any query: null, empty, empty labels, an overlong label.
    const std::string strLongLabel(64, 'a');
    const char *apszRefused[] = {nullptr, "", "a..b", ".a", strLongLabel.c_str()};

    char szFirst[33] = {0}, szFile[33] = {0};
    char szOut[3067], szUriFirst[3067] = {0};
    char szIp[1361];
    for (int i = 0; i < kRounds; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(e.fileExist(strFile.c_str()), 0);
        ASSERT_EQ(e.fileExist(dir.File("missing").c_str()), -1);
        char szMd5[33];
        e.md5data(szMd5, "abc", 3);
        if (i == 0) std::memcpy(szFirst, szMd5, sizeof szMd5);
        ASSERT_STREQ(szMd5, szFirst);
        e.md5file(szMd5, strFile.c_str());
        if (i == 0) std::memcpy(szFile, szMd5, sizeof szMd5);
        ASSERT_STREQ(szMd5, szFile);
        e.md5file(szMd5, dir.File("missing").c_str());
        ASSERT_STREQ(szMd5, "d41d8cd98f00b204e9800998ecf8427e");
        e.uri2d(szOut, "http://host/a/b/seg.ts", "/data1|/data2|/data3");
        if (i == 0) std::memcpy(szUriFirst, szOut, sizeof szOut);
        ASSERT_STREQ(szOut, szUriFirst);
        e.uri2d(szOut, "no slash here", "/data1");
        ASSERT_STREQ(szOut, "");
        e.checkdisk(strCheck.c_str(), "1", "5");
        e.checkdisk(strNoDot.c_str(), "1", "5");
        for (const char *pszName : apszRefused) {
            e.getmsgip(szIp, pszName);
            ASSERT_STREQ(szIp, "false") << (pszName ? pszName : "(null)");
        }
        // A null out: every export with one returns at once.
        e.md5data(nullptr, "abc", 3);
        e.md5file(nullptr, strFile.c_str());
        e.uri2d(nullptr, "http://host/a/b/seg.ts", "/data1");
        e.getmsgip(nullptr, "");
    }
    EXPECT_EQ(e.fileExist(strFile.c_str()), 0) << "checkdisk removed a file";
    EXPECT_NE(szUriFirst[0], 0);
}

}  // namespace
