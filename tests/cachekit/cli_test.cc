// The cachekit front run as a process against the built library: answers of
// each command, one-line errors with their exit status, the library's own limits
// (from its headers) at exact fit and one over, the checkdisk refusal, and the
// rebalance table. resolve runs only inside a private network namespace whose
// loopback carries both resolvers' addresses, and checkdisk never with --yes, so
// no test sends to the network or removes a file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "cachekit/dns.h"
#include "cachekit/uri.h"
#include "child.h"
#include "dns_reply.h"
#include "dnspeer.h"
#include "tempdir.h"

namespace {

using dnsreply::NameOfLength;
using testsupport::CTempDir;
using testsupport::ReadFile;
using testsupport::WriteFile;

struct sRun {
    int nStatus = -1;
    std::string strOut;
    std::string strErr;
};

// Runs the front with the built library named by CACHEKIT_LIB.
sRun RunCli(const std::vector<std::string> &listArgs) {
    CTempDir dir;
    testsupport::CChild cli;
    cli.SetEnv("CACHEKIT_LIB", CACHEKIT_LIB);
    std::vector<std::string> listArgv = {CACHEKIT_CLI};
    listArgv.insert(listArgv.end(), listArgs.begin(), listArgs.end());
    sRun run;
    if (cli.Start(listArgv, dir.File("cli"))) run.nStatus = cli.WaitExit(60);
    run.strOut = cli.Stdout();
    run.strErr = cli.Stderr();
    return run;
}

TEST(CachekitCli, AnswersComeFromTheLibrary) {
    CTempDir dir;
    ASSERT_TRUE(WriteFile(dir.File("abc.bin"), std::string("a\0bc", 4)));
    // A URL text and a directory name of the largest lengths the library takes.
    const std::string strLongUrl = "h/" + std::string(URL_TEXT_MAX - 1 - 6, 'v') + ".mp4";
    const std::string strLongDir = "/" + std::string(DIR_NAME_MAX - 1, 'd');
    struct sCase {
        std::vector<std::string> listArgs;
        int nStatus;
        std::string strOut;
    } const cases[] = {
        {{"uri", "http://node7:8080/vod/movie01.mp4?start=30", "/data1|/data2"},
         0,
         "/data2/node7/vod/movie01.mp4\n"},
        {{"uri", "node7/vod/movie01.mp4", "/data1|/data2"}, 0, "/data2/node7/vod/movie01.mp4\n"},
        {{"uri", "h/v/x.flv", "/only"}, 0, "/only/h/v/x.flv\n"},
        {{"uri", "http://" + strLongUrl, strLongDir}, 0, strLongDir + "/" + strLongUrl + "\n"},
        {{"md5", "abc"}, 0, "900150983cd24fb0d6963f7d28e17f72\n"},
        {{"md5", ""}, 0, "d41d8cd98f00b204e9800998ecf8427e\n"},
        {{"md5", "--", "-x"}, 0, "d25c186e3f3096a9ff4a918f7b3141d4\n"},
        // The four bytes a, NUL, b, c: the file is hashed whole, not up to the NUL.
        {{"md5", "--file", dir.File("abc.bin")}, 0, "a5f5d1ebd362d6639389a7e1fede534d\n"},
        {{"exists", dir.Path()}, 0, "exists\n"},
        {{"exists", dir.File("nothing")}, 1, "missing\n"},
    };
    for (const sCase &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.listArgs));
        sRun run = RunCli(c.listArgs);
        EXPECT_EQ(run.nStatus, c.nStatus) << run.strErr;
        EXPECT_EQ(run.strOut, c.strOut);
        EXPECT_EQ(run.strErr, "");
    }
}

TEST(CachekitCli, ErrorsAreOneLineAndExitTwo) {
    CTempDir dir;
    const std::string strLongName(DIR_NAME_MAX + 1, 'd');
    const std::string strLongUrl = "h/" + std::string(URL_TEXT_MAX - 6, 'v') + ".mp4";
    struct sCase {
        std::vector<std::string> listArgs;
        std::string strNeedle;
    } cases[] = {
        {{}, "usage"},
        {{"frobnicate"}, "unknown command"},
        {{"--bogus", "md5", "x"}, "unknown option"},
        {{"uri", "h/v/x.mp4"}, "expected URL and DIRS"},
        {{"uri", "nohostpath.mp4", "/d1"}, "no '/'"},
        {{"uri", "h/v/noextension", "/d1"}, "no extension"},
        {{"uri", "h/v/x.mp4", "|||"}, "names no directory"},
        {{"uri", "h/v/x.mp4", std::string(DIRS_TEXT_MAX, 'd')}, "list is longer than"},
        {{"uri", "h/v/x.mp4", "/d1|" + strLongName},
         "longer than " + std::to_string(DIR_NAME_MAX) + " bytes"},
        {{"uri", strLongUrl, "/d1"}, "longer than " + std::to_string(URL_TEXT_MAX - 1) + " bytes"},
        {{"md5"}, "expected TEXT or --file"},
        {{"md5", "-x"}, "unknown option -x"},
        {{"checkdisk", dir.Path(), "--yes=1"}, "unknown option --yes=1"},
        {{"md5", "--file", dir.File("missing")}, "No such file"},
        {{"md5", "--file", dir.Path()}, "is a directory"},
        {{"exists"}, "expected one PATH"},
        {{"resolve"}, "expected one HOST"},
        {{"resolve", ""}, "not a valid host name"},
        {{"resolve", "a..b"}, "not a valid host name"},
        {{"resolve", std::string(DNS_MAX_LABEL + 1, 'x') + ".test"}, "not a valid host name"},
        {{"resolve", NameOfLength(DNS_MAX_NAME + 1)}, "not a valid host name"},
        {{"checkdisk"}, "expected DIR"},
        {{"checkdisk", dir.File("missing")}, "No such file"},
        {{"checkdisk", dir.Path(), "--min-free", "abc"}, "whole number"},
        {{"checkdisk", dir.Path(), "--max-files", "0"}, "whole number"},
        {{"checkdisk", "/"}, "whole file system"},
        {{"rebalance", "/d1"}, "two directory lists"},
        {{"rebalance", "/d1", "/d2", "--generate", "0"}, "--generate wants"},
        {{"rebalance", "/d1", "/d2", "--names", dir.File("missing")}, "cannot read"},
        {{"rebalance", "/d1", "/d2", "--names", "x", "--generate", "5"},
         "either --names or --generate"},
        {{"--lib", dir.File("nolib.so"), "md5", "x"}, "cannot load the library"},
    };
    for (const sCase &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.listArgs));
        sRun run = RunCli(c.listArgs);
        EXPECT_EQ(run.nStatus, 2) << run.strErr;
        EXPECT_EQ(run.strOut, "");
        if (c.listArgs.empty()) continue;  // the bare command prints its usage
        EXPECT_EQ(std::count(run.strErr.begin(), run.strErr.end(), '\n'), 1) << run.strErr;
        EXPECT_NE(run.strErr.find(c.strNeedle), std::string::npos) << run.strErr;
    }
}

TEST(CachekitCli, EveryCommandHasHelp) {
    for (const char *pszCommand : {"uri", "md5", "exists", "resolve", "checkdisk", "rebalance"}) {
        sRun run = RunCli({pszCommand, "--help"});
        EXPECT_EQ(run.nStatus, 0) << pszCommand;
        EXPECT_EQ(run.strOut.rfind(std::string("usage: cachekit ") + pszCommand, 0), 0u)
            << run.strOut;
        EXPECT_EQ(run.strOut, RunCli({"help", pszCommand}).strOut) << pszCommand;
        EXPECT_NE(RunCli({"--help"}).strOut.find(std::string("  ") + pszCommand + " "),
                  std::string::npos)
            << pszCommand;
    }
    EXPECT_NE(RunCli({"checkdisk", "--help"}).strOut.find("REMOVES FILES"), std::string::npos);
}

// Without --yes nothing may be removed, whatever the threshold.
TEST(CachekitCli, CheckdiskRefusesWithoutYes) {
    CTempDir dir;
    ASSERT_TRUE(WriteFile(dir.File("old.mp4"), "video"));
    sRun run = RunCli({"checkdisk", dir.Path(), "--min-free", "1000000000", "--max-files", "5"});
    EXPECT_EQ(run.nStatus, 2);
    EXPECT_NE(run.strErr.find("WARNING"), std::string::npos) << run.strErr;
    EXPECT_NE(run.strErr.find("nothing was removed"), std::string::npos) << run.strErr;
    EXPECT_NE(run.strOut.find("files would be removed"), std::string::npos) << run.strOut;
    EXPECT_EQ(ReadFile(dir.File("old.mp4")), "video");
}

// In a namespace of its own, with both resolvers' addresses on its loopback and
// nothing listening there, nothing answers: the lookup must come back as "not
// found", exit 1. The longest name the library takes is asked, not refused.
TEST(CachekitCli, ResolveWithNoResolverReachable) {
    const int SKIP = 77;
    int nStatus = testsupport::RunForked([&] {
        std::string strWhy;
        // Nothing may be sent before the two addresses are known to be local.
        if (!testsupport::EnterResolverNetns(strWhy)) _exit(SKIP);
        for (const std::string &strHost :
             {std::string("node7.example"), NameOfLength(DNS_MAX_NAME)}) {
            sRun run = RunCli({"resolve", strHost});
            EXPECT_EQ(run.nStatus, 1) << run.strErr;
            EXPECT_EQ(run.strOut, "");
            EXPECT_EQ(run.strErr, "cachekit resolve: no address found for " + strHost + "\n");
        }
    });
    if (nStatus == SKIP) GTEST_SKIP() << "cannot build a private network namespace";
    EXPECT_EQ(nStatus, 0);
}

struct sRow {
    double dNow = -1, dPlanned = -1;
    long nLeave = -1, nArrive = -1;
};

// Rows of the rebalance table by directory name, and the moved share.
bool ParseTable(const std::string &strOut, std::map<std::string, sRow> &mapRows, double &dMoved) {
    size_t nPos = 0;
    bool bInTable = false;
    dMoved = -1;
    while (nPos < strOut.size()) {
        size_t nEnd = strOut.find('\n', nPos);
        std::string strLine = strOut.substr(nPos, nEnd - nPos);
        nPos = nEnd == std::string::npos ? strOut.size() : nEnd + 1;
        if (strLine.rfind("directory", 0) == 0) {
            bInTable = true;
        } else if (strLine.rfind("moved: ", 0) == 0) {
            dMoved = std::atof(strLine.c_str() + 7);
        } else if (bInTable && !strLine.empty()) {
            char szName[256];
            sRow row;
            // Bars sit between the figures; read the name and the percentages,
            // then the two counts at the end of the line.
            if (std::sscanf(strLine.c_str(), "%255s %lf%%", szName, &row.dNow) != 2) return false;
            size_t nSecond = strLine.find('%', strLine.find('%') + 1);
            size_t nBefore = strLine.rfind(' ', nSecond);
            row.dPlanned = std::atof(strLine.c_str() + nBefore + 1);
            if (std::sscanf(strLine.c_str() + strLine.find_last_not_of(" 0123456789") + 1,
                            "%ld %ld", &row.nLeave, &row.nArrive) != 2)
                return false;
            mapRows[szName] = row;
        } else if (bInTable) {
            bInTable = false;
        }
    }
    return dMoved >= 0;
}

TEST(CachekitCli, RebalanceAddingADiskMovesOnlyToIt) {
    sRun run =
        RunCli({"rebalance", "/d1|/d2|/d3", "/d1|/d2|/d3|/d4", "--generate", "400", "--ascii"});
    ASSERT_EQ(run.nStatus, 0) << run.strErr;
    std::map<std::string, sRow> mapRows;
    double dMoved = 0;
    ASSERT_TRUE(ParseTable(run.strOut, mapRows, dMoved)) << run.strOut;
    ASSERT_EQ(mapRows.size(), 4u) << run.strOut;
    double dNowSum = 0, dPlannedSum = 0;
    long nArrived = 0;
    for (const auto &entry : mapRows) {
        dNowSum += entry.second.dNow;
        dPlannedSum += entry.second.dPlanned;
        nArrived += entry.second.nArrive;
    }
    EXPECT_NEAR(dNowSum, 100.0, 0.1) << run.strOut;
    EXPECT_NEAR(dPlannedSum, 100.0, 0.1) << run.strOut;
    // Consistent hashing: the old directories lose files and gain none; the new
    // one holds exactly what moved, about a quarter (generous bounds).
    for (const char *pszOld : {"/d1", "/d2", "/d3"})
        EXPECT_EQ(mapRows[pszOld].nArrive, 0) << pszOld;
    EXPECT_EQ(mapRows["/d4"].dNow, 0.0);
    EXPECT_EQ(mapRows["/d4"].nLeave, 0);
    EXPECT_NEAR(mapRows["/d4"].dPlanned, dMoved, 0.01) << run.strOut;
    EXPECT_EQ(nArrived, mapRows["/d4"].nArrive);
    EXPECT_GT(dMoved, 10.0) << run.strOut;
    EXPECT_LT(dMoved, 40.0) << run.strOut;
    for (unsigned char c : run.strOut) EXPECT_LT(c, 0x80) << "non-ASCII byte with --ascii";
}

TEST(CachekitCli, RebalanceOverNamesFromAFile) {
    CTempDir dir;
    // URLs, paths and bare names; only the name up to the first '.' counts, so
    // the first three lines are one file. A blank line and CRLF are tolerated.
    ASSERT_TRUE(WriteFile(
        dir.File("names"),
        "http://h:80/v/movie01.mp4?x=1\r\nb/y/movie01.flv\nmovie01\n\nclip:7.mp4\nother.ts\n"));
    sRun same =
        RunCli({"rebalance", "/d1|/d2", "/d2|/d1", "--names", dir.File("names"), "--unicode"});
    ASSERT_EQ(same.nStatus, 0) << same.strErr;
    EXPECT_NE(same.strOut.find("5 names"), std::string::npos) << same.strOut;
    EXPECT_NE(same.strOut.find("moved: 0.00%"), std::string::npos)
        << "reordering the list moved files\n"
        << same.strOut;
    EXPECT_NE(same.strOut.find("\xe2\x96"), std::string::npos)
        << "no block characters with --unicode";

    // Removing /d2 moves exactly what /d2 held.
    sRun removed = RunCli({"rebalance", "/d1|/d2", "/d1", "--names", dir.File("names")});
    ASSERT_EQ(removed.nStatus, 0) << removed.strErr;
    std::map<std::string, sRow> mapRows;
    double dMoved = 0;
    ASSERT_TRUE(ParseTable(removed.strOut, mapRows, dMoved)) << removed.strOut;
    EXPECT_NEAR(mapRows["/d2"].dNow, dMoved, 0.01) << removed.strOut;
    EXPECT_EQ(mapRows["/d1"].dPlanned, 100.0) << removed.strOut;
    // The three spellings of movie01 go to one directory: 3 of 5 files at least.
    EXPECT_TRUE(mapRows["/d1"].dNow >= 60.0 || mapRows["/d2"].dNow >= 60.0) << removed.strOut;
}

}  // namespace
