#include "evict_sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "child.h"
#include "netns.h"
#include "tempdir.h"

namespace evicttest {

namespace {

using testsupport::SKIP_EXIT;

// Reports a setup failure through the pipe and leaves the child.
[[noreturn]] void skipChild(int nFd, const std::string &strWhat) {
    std::string strMsg = strWhat + ": " + std::strerror(errno);
    ssize_t nWritten = write(nFd, strMsg.data(), strMsg.size());
    (void)nWritten;
    _exit(SKIP_EXIT);
}

bool makeDirs(const std::string &strPath) {
    for (size_t nPos = 1; nPos <= strPath.size(); ++nPos) {
        if (nPos != strPath.size() && strPath[nPos] != '/') continue;
        std::string strPart = strPath.substr(0, nPos);
        if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool bindReadOnly(const std::string &strFrom, const std::string &strTo) {
    if (mount(strFrom.c_str(), strTo.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return false;
    return mount(nullptr, strTo.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

bool mountNodeDir(const std::string &strAt) {
    if (!makeDirs(strAt)) return false;
    if (mount("tmpfs", strAt.c_str(), "tmpfs", 0, "size=16m,mode=755") != 0) return false;
    return makeDirs(strAt + "/conf") && makeDirs(strAt + "/logs");
}

// Runs fnChild (which sets up and runs the body) in a forked child, with a pipe for
// the reason of a skip, and maps the child's end onto the three results.
int runChild(const std::function<void(int)> &fnChild, std::string &strWhy) {
    int aPipe[2];
    if (pipe(aPipe) != 0) {
        strWhy = "pipe failed";
        return SANDBOX_SKIPPED;
    }
    int nExit = testsupport::RunForked([&] {
        close(aPipe[0]);
        fnChild(aPipe[1]);
    });
    close(aPipe[1]);
    char szBuf[512];
    ssize_t nRead;
    strWhy.clear();
    while ((nRead = read(aPipe[0], szBuf, sizeof szBuf)) > 0) strWhy.append(szBuf, (size_t)nRead);
    close(aPipe[0]);
    if (nExit == SKIP_EXIT || nExit == -1) {
        if (nExit == -1) strWhy = "fork failed";
        return SANDBOX_SKIPPED;
    }
    if (nExit > 128) strWhy = "child killed by signal " + std::to_string(nExit - 128);
    return nExit == 0 ? SANDBOX_PASSED : SANDBOX_FAILED;
}

}  // namespace

int RunWithPrivateNodeDir(const std::function<void()> &fnBody, std::string &strWhy) {
    return runChild(
        [&](int nFd) {
            std::string strWhy;  // errno still says why, for skipChild
            if (!testsupport::EnterPrivateMountNs(strWhy))
                skipChild(nFd, "private mount namespace");
            if (mount("tmpfs", "/usr/local", "tmpfs", 0, "size=16m,mode=755") != 0)
                skipChild(nFd, "tmpfs on /usr/local");
            if (!mountNodeDir("/usr/local/dadiv-urede"))
                skipChild(nFd, "tmpfs on /usr/local/dadiv-urede");
            close(nFd);
            fnBody();
        },
        strWhy);
}

int RunInPrivateRoot(const char *pszDataSize, const std::function<void()> &fnPrepare,
                     const std::function<void()> &fnBody, std::string &strWhy) {
    testsupport::CTempDir dirRoot;  // stays empty on the real file system
    if (dirRoot.Path().empty()) {
        strWhy = "no temporary directory";
        return SANDBOX_SKIPPED;
    }
    const std::string strRoot = dirRoot.Path();
    return runChild(
        [&](int nFd) {
            std::string strWhy;  // errno still says why, for skipChild
            if (!testsupport::EnterPrivateMountNs(strWhy))
                skipChild(nFd, "private mount namespace");
            if (mount("tmpfs", strRoot.c_str(), "tmpfs", 0, "size=16m,mode=755") != 0)
                skipChild(nFd, "tmpfs for the private root");
            // Top-level names of a merged /usr are links; on other layouts they
            // are directories, bound like the ones below.
            for (const char *pszTop : {"bin", "sbin", "lib", "lib64"}) {
                std::string strHost = std::string("/") + pszTop;
                struct stat st;
                if (lstat(strHost.c_str(), &st) != 0) continue;
                std::string strIn = strRoot + strHost;
                if (S_ISLNK(st.st_mode)) {
                    char szTarget[4096];
                    ssize_t nLen = readlink(strHost.c_str(), szTarget, sizeof szTarget - 1);
                    if (nLen < 0) skipChild(nFd, "readlink " + strHost);
                    szTarget[nLen] = 0;
                    if (symlink(szTarget, strIn.c_str()) != 0) skipChild(nFd, "symlink " + strIn);
                } else if (S_ISDIR(st.st_mode)) {
                    if (!makeDirs(strIn) || !bindReadOnly(strHost, strIn))
                        skipChild(nFd, "bind " + strHost);
                }
            }
            for (const char *pszDir :
                 {"/usr/bin", "/usr/sbin", "/usr/lib/x86_64-linux-gnu", "/usr/lib64"}) {
                struct stat st;
                if (lstat(pszDir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
                std::string strIn = strRoot + pszDir;
                if (!makeDirs(strIn) || !bindReadOnly(pszDir, strIn))
                    skipChild(nFd, std::string("bind ") + pszDir);
            }
            std::string strNull = strRoot + "/dev/null";
            if (!makeDirs(strRoot + "/dev")) skipChild(nFd, "mkdir dev");
            int nNull = open(strNull.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
            if (nNull < 0) skipChild(nFd, "create " + strNull);
            close(nNull);
            if (mount("/dev/null", strNull.c_str(), nullptr, MS_BIND, nullptr) != 0)
                skipChild(nFd, "bind /dev/null");
            if (!mountNodeDir(strRoot + "/usr/local/dadiv-urede")) skipChild(nFd, "node directory");
            if (!makeDirs(strRoot + "/links") || !makeDirs(strRoot + "/data"))
                skipChild(nFd, "mkdir");
            std::string strOpts = std::string("size=") + pszDataSize + ",mode=755";
            if (mount("tmpfs", (strRoot + "/data").c_str(), "tmpfs", 0, strOpts.c_str()) != 0)
                skipChild(nFd, "tmpfs on /data");
            fnPrepare();
            if (chroot(strRoot.c_str()) != 0 || chdir("/") != 0) skipChild(nFd, "chroot");
            setenv("PATH", "/usr/bin:/bin", 1);
            close(nFd);
            fnBody();
        },
        strWhy);
}

bool SetAtime(const std::string &strPath, long long llSeconds) {
    struct timespec aTimes[2];
    aTimes[0].tv_sec = (time_t)llSeconds;
    aTimes[0].tv_nsec = 0;
    aTimes[1].tv_sec = 0;
    aTimes[1].tv_nsec = UTIME_OMIT;
    return utimensat(AT_FDCWD, strPath.c_str(), aTimes, 0) == 0;
}

long long GetAtime(const std::string &strPath) {
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) return -1;
    return (long long)st.st_atime;
}

void MakeFile(const std::string &strPath, long long llAtime) {
    ASSERT_TRUE(testsupport::WriteFile(strPath, "video")) << strPath;
    ASSERT_TRUE(SetAtime(strPath, llAtime)) << strPath;
}

const std::vector<std::string> HOSTILE_NAMES = {
    "plain.mp4",        "$(touch X).mp4",  "`touch X`.mp4",
    "a;b.mp4",          "a b.mp4",         "it's.mp4",
    "st*r.mp4",         "new\nline.mp4",   "\\`touch X\\`.mp4",
    "\\$(touch X).mp4", "dq\"$HOME\".mp4", "q\"$HOME",
    "bs\\n.mp4",        "bs\\n\\t.mp4",    "[ab]{c,d}~!&|<>.mp4",
    "\t.mp4",           "'\\''.mp4",
};

}  // namespace evicttest
