// checkdisk as a host process calls it: the built library loaded with dlopen,
// run in a private root (own mount namespace, chroot) with the real /bin/sh, rm,
// find, xargs, date and curl, and a notification endpoint on 127.0.0.1 that
// answers 200 OK for some vids and 403 for others.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "cachekit_dl.h"
#include "child.h"
#include "evict_sandbox.h"
#include "tempdir.h"

using evicttest::GetAtime;
using evicttest::HOSTILE_NAMES;
using evicttest::MakeFile;
using evicttest::RunInPrivateRoot;
using evicttest::SANDBOX_PASSED;
using evicttest::SANDBOX_SKIPPED;
using evicttest::SetAtime;
using testsupport::CTempDir;
using testsupport::Exists;
using testsupport::ReadFile;
using testsupport::WaitUntil;
using testsupport::WriteFile;

namespace {

const char *LOG_PATH = "/usr/local/dadiv-urede/logs/autodel.log";
const char *URL_FILE = "/usr/local/dadiv-urede/conf/onDelete.txt";

// Answers HEAD requests: 403 when the vid (everything after "&vid=", as sent)
// holds "keep", else 200; appends every vid and a line feed to the vid file.
const char *SERVER_PY = R"(import http.server, os, sys
port_file, vid_file = sys.argv[1], sys.argv[2]
class Handler(http.server.BaseHTTPRequestHandler):
    def do_HEAD(self):
        vid = self.path.split('&vid=', 1)[1] if '&vid=' in self.path else ''
        with open(vid_file, 'a') as f:
            f.write(vid + '\n')
        self.send_response(403 if 'keep' in vid else 200)
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(('127.0.0.1', 0), Handler)
with open(port_file + '.tmp', 'w') as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + '.tmp', port_file)
server.serve_forever()
)";

// The server as a child process, stopped with the object.
class CNotifyServer {
public:
    // Starts the server; false when python3 could not bring it up within 10 s.
    bool Start() {
        if (!WriteFile(m_dir.File("server.py"), SERVER_PY) || !WriteFile(VidFile(), "") ||
            !m_server.Start({"python3", m_dir.File("server.py"), m_dir.File("port"), VidFile()},
                            m_dir.File("server")))
            return false;
        std::string strPort;
        WaitUntil(10, [&] {
            strPort = ReadFile(m_dir.File("port"));
            return !strPort.empty() || !m_server.Running();
        });
        m_nPort = std::atoi(strPort.c_str());
        return m_nPort > 0;
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(m_nPort) + "/notify?node=7";
    }
    std::string VidFile() const { return m_dir.File("vids"); }

private:
    CTempDir m_dir;
    testsupport::CChild m_server;
    int m_nPort = 0;
};

// The lines of a text, each without its line feed.
std::vector<std::string> lines(const std::string &strText) {
    std::vector<std::string> vecLines;
    size_t nPos = 0, nEol;
    while ((nEol = strText.find('\n', nPos)) != std::string::npos) {
        vecLines.push_back(strText.substr(nPos, nEol - nPos));
        nPos = nEol + 1;
    }
    return vecLines;
}

// Checks that the log holds exactly these entries, in order: each a line made
// of date's output, a blank and the text given.
void expectLog(const std::vector<std::string> &vecWant) {
    std::vector<std::string> vecGot = lines(ReadFile(LOG_PATH));
    ASSERT_EQ(vecGot.size(), vecWant.size()) << ReadFile(LOG_PATH);
    for (size_t i = 0; i < vecWant.size(); ++i) {
        const std::string strTail = " " + vecWant[i];
        ASSERT_GT(vecGot[i].size(), strTail.size()) << vecGot[i];
        EXPECT_EQ(vecGot[i].substr(vecGot[i].size() - strTail.size()), strTail) << "log line " << i;
        // date's output: a day name, digits, a year; never part of the entry text.
        EXPECT_NE(vecGot[i].find_first_of("0123456789"), std::string::npos) << vecGot[i];
    }
}

class CheckdiskE2e : public ::testing::Test {
protected:
    // Runs fnBody in a private root whose /data is a tmpfs of pszSize, with
    // m_fnCheckdisk the library's export; fnPrepare runs before the chroot.
    void Run(
        const char *pszSize, const std::function<void()> &fnBody,
        const std::function<void()> &fnPrepare = [] {}) {
        std::string strWhy;
        int nResult = RunInPrivateRoot(
            pszSize,
            [&] {
                ASSERT_NE(cachekit_dl::Exports().pHandle, nullptr) << dlerror();
                m_fnCheckdisk = cachekit_dl::Exports().checkdisk;
                ASSERT_NE(m_fnCheckdisk, nullptr);
                fnPrepare();
            },
            [&] {
                if (m_fnCheckdisk != nullptr) fnBody();
            },
            strWhy);
        if (nResult == SANDBOX_SKIPPED) GTEST_SKIP() << strWhy;
        EXPECT_EQ(nResult, SANDBOX_PASSED) << strWhy;
    }
    void (*m_fnCheckdisk)(const char *, const char *, const char *) = nullptr;
};

// Files and links of the low-space cases: a, b and c are the three oldest.
void makeTree() {
    ASSERT_EQ(mkdir("/data/v", 0755), 0);
    ASSERT_EQ(mkdir("/data/old", 0755), 0);
    MakeFile("/data/v/a.mp4", 1000);
    MakeFile("/data/v/b.mp4", 2000);
    MakeFile("/data/c.mp4", 3000);
    MakeFile("/data/.d.mp4", 4000);
    MakeFile("/data/v/e.mp4", 5000);
    MakeFile("/data/old/f.mp4", 6000);
    ASSERT_TRUE(SetAtime("/data/old", 10));
    ASSERT_EQ(symlink("/data/v/a.mp4", "/links/l-a"), 0);
    ASSERT_EQ(symlink("/data/v/b.mp4", "/links/x y"), 0);
    ASSERT_EQ(symlink("/data/c.mp4", "/links/it's"), 0);
    ASSERT_EQ(symlink("/data/v/e.mp4", "/links/keep"), 0);
    MakeFile("/links/x", 1);
    MakeFile("/links/y", 1);
}

TEST_F(CheckdiskE2e, LowSpaceRemovesOldestFilesAndLinksToThem) {
    Run("64m", [&] {
        makeTree();
        m_fnCheckdisk("/data/nodot", "80", "3");
        EXPECT_TRUE(Exists("/data/v/a.mp4")) << "a path without a dot does nothing";
        EXPECT_FALSE(Exists(LOG_PATH));

        m_fnCheckdisk("/data/any.mp4", "80", "3");
        for (const char *psz : {"/data/v/a.mp4", "/data/v/b.mp4", "/data/c.mp4", "/links/l-a",
                                "/links/x y", "/links/it's"})
            EXPECT_FALSE(Exists(psz)) << psz;
        for (const char *psz : {"/data/.d.mp4", "/data/v/e.mp4", "/data/old/f.mp4", "/data/old",
                                "/data/v", "/links/keep", "/links/x", "/links/y"})
            EXPECT_TRUE(Exists(psz)) << psz;
        expectLog({"autodel /data/v/a.mp4", "autodel /data/v/b.mp4", "autodel /data/c.mp4"});
    });
}

TEST_F(CheckdiskE2e, ThresholdAgainstRealFreeSpace) {
    Run("200g", [&] {
        makeTree();
        m_fnCheckdisk("/data/any.mp4", "80", "3");
        EXPECT_TRUE(Exists("/data/v/a.mp4")) << "200 GiB free is not below 80";
        EXPECT_FALSE(Exists(LOG_PATH));
        m_fnCheckdisk("/data/any.mp4", "300", "1");
        EXPECT_FALSE(Exists("/data/v/a.mp4")) << "200 GiB free is below 300";
        EXPECT_TRUE(Exists("/data/v/b.mp4"));
        expectLog({"autodel /data/v/a.mp4"});
    });
}

TEST_F(CheckdiskE2e, RelativePathWalksFromTheWorkingDirectory) {
    Run("64m", [&] {
        ASSERT_EQ(mkdir("/data/r", 0755), 0);
        MakeFile("/data/r/a.mp4", 1000);
        MakeFile("/data/r/b.mp4", 2000);
        ASSERT_EQ(symlink("data/r/a.mp4", "/links/rel"), 0);
        ASSERT_EQ(chdir("/"), 0);
        m_fnCheckdisk("data/r/x.mp4", "80", "1");
        EXPECT_FALSE(Exists("/data/r/a.mp4"));
        EXPECT_FALSE(Exists("/links/rel"));
        EXPECT_TRUE(Exists("/data/r/b.mp4"));
        expectLog({"autodel data/r/a.mp4"});
    });
}

TEST_F(CheckdiskE2e, NotifyEndpointDecidesEachRemoval) {
    CNotifyServer server;
    if (!server.Start()) GTEST_SKIP() << "python3 http.server did not start";
    Run("64m", [&] {
        ASSERT_TRUE(WriteFile(URL_FILE, server.Url() + "\r\n"));
        // A FIFO is a candidate like any file; the one-byte read must not wait
        // for a writer.
        ASSERT_EQ(mkfifo("/data/pipe.fifo", 0644), 0);
        ASSERT_TRUE(SetAtime("/data/pipe.fifo", 500));
        MakeFile("/data/keep-a.mp4", 1000);
        MakeFile("/data/b.mp4", 2000);
        MakeFile("/data/keep-c.mp4", 3000);
        MakeFile("/data/d.mp4", 4000);
        ASSERT_EQ(symlink("/data/b.mp4", "/links/lb"), 0);
        ASSERT_EQ(symlink("/data/keep-a.mp4", "/links/lk"), 0);
        m_fnCheckdisk("/data/x.mp4", "80", "10");
        for (const char *psz : {"/data/pipe.fifo", "/data/b.mp4", "/data/d.mp4", "/links/lb"})
            EXPECT_FALSE(Exists(psz)) << psz;
        for (const char *psz : {"/data/keep-a.mp4", "/data/keep-c.mp4", "/links/lk"})
            EXPECT_TRUE(Exists(psz)) << psz;
        expectLog({"autodel /data/pipe.fifo", "can not autodel /data/keep-a.mp4",
                   "autodel /data/b.mp4", "can not autodel /data/keep-c.mp4",
                   "autodel /data/d.mp4"});
        // The one-byte read before the request made the refused file recent.
        EXPECT_GT(GetAtime("/data/keep-a.mp4"), 1000000000LL);
    });
    EXPECT_EQ(lines(ReadFile(server.VidFile())),
              (std::vector<std::string>{"/data/pipe.fifo", "/data/keep-a.mp4", "/data/b.mp4",
                                        "/data/keep-c.mp4", "/data/d.mp4"}));
}

// Hostile names, oldest; decoys named like pieces of them, newer; links to one
// hostile name and to the decoy its pattern characters would also match.
void makeHostileTree() {
    long long llAtime = 1000;
    for (const std::string &strName : HOSTILE_NAMES) MakeFile("/data/" + strName, llAtime++);
    for (const char *psz : {"/data/a", "/data/b.mp4", "/data/stXr.mp4", "/data/new", "/data/X"})
        MakeFile(psz, 9000);
    ASSERT_EQ(symlink("/data/st*r.mp4", "/links/star"), 0);
    ASSERT_EQ(symlink("/data/stXr.mp4", "/links/stx"), 0);
}

void expectNothingExecuted() {
    EXPECT_FALSE(Exists("/X"));
    for (const char *psz :
         {"/data/a", "/data/b.mp4", "/data/stXr.mp4", "/data/new", "/data/X", "/links/stx"})
        EXPECT_TRUE(Exists(psz)) << psz;
}

TEST_F(CheckdiskE2e, HostileNamesAreRemovedAsData) {
    Run("64m", [&] {
        makeHostileTree();
        m_fnCheckdisk("/data/x.mp4", "80", std::to_string(HOSTILE_NAMES.size()).c_str());
        std::string strLog = ReadFile(LOG_PATH);
        for (const std::string &strName : HOSTILE_NAMES) {
            EXPECT_FALSE(Exists("/data/" + strName)) << strName;
            EXPECT_NE(strLog.find(" autodel /data/" + strName + "\n"), std::string::npos)
                << strName;
        }
        EXPECT_FALSE(Exists("/links/star"));
        expectNothingExecuted();
    });
}

// curl refuses some names in a URL (blanks, line feeds); those count as refused
// and stay. Every name the endpoint did see and accept is removed.
TEST_F(CheckdiskE2e, HostileNamesWithNotification) {
    CNotifyServer server;
    if (!server.Start()) GTEST_SKIP() << "python3 http.server did not start";
    int nVidFd = -1;
    Run(
        "64m",
        [&] {
            ASSERT_NE(m_fnCheckdisk, nullptr);
            ASSERT_TRUE(WriteFile(URL_FILE, server.Url() + "\n"));
            makeHostileTree();
            m_fnCheckdisk("/data/x.mp4", "80", std::to_string(HOSTILE_NAMES.size()).c_str());
            std::string strVids;
            char szBuf[4096];
            ssize_t nRead;
            off_t nOff = 0;
            while ((nRead = pread(nVidFd, szBuf, sizeof szBuf, nOff)) > 0) {
                strVids.append(szBuf, (size_t)nRead);
                nOff += nRead;
            }
            std::set<std::string> setSeen;
            for (const std::string &strVid : lines(strVids)) setSeen.insert(strVid);
            std::string strLog = ReadFile(LOG_PATH);
            size_t nSeen = 0;
            for (const std::string &strName : HOSTILE_NAMES) {
                const std::string strPath = "/data/" + strName;
                if (setSeen.count(strPath)) {
                    ++nSeen;
                    EXPECT_FALSE(Exists(strPath)) << strName;
                    EXPECT_NE(strLog.find(" autodel " + strPath + "\n"), std::string::npos)
                        << strName;
                } else {
                    EXPECT_TRUE(Exists(strPath)) << strName;
                    EXPECT_NE(strLog.find(" can not autodel " + strPath + "\n"), std::string::npos)
                        << strName;
                }
            }
            EXPECT_GE(nSeen, 4u)
                << "names with quotes, semicolons and pattern characters reach the endpoint";
            EXPECT_EQ(setSeen.size(), nSeen) << "the endpoint saw only whole names:\n" << strVids;
            EXPECT_FALSE(Exists("/links/star"));
            expectNothingExecuted();
        },
        [&] {
            nVidFd = open(server.VidFile().c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(nVidFd, 0);
        });
}

}  // namespace
