// The key=value store's saves: a failed write or an overlong path, a full disk,
// the saving process killed before its rename, and the mode, owner and symbolic
// links of the file kept.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "child.h"
#include "config.h"
#include "netns.h"
#include "tempdir.h"

namespace {

using testsupport::CTempDir;
using testsupport::ReadFile;
using testsupport::RunForked;
using testsupport::SKIP_EXIT;
using testsupport::WriteFile;

// The names in strDir, sorted: a save must leave no file of its own behind.
std::vector<std::string> Names(const std::string &strDir) {
    std::vector<std::string> vNames;
    DIR *pDir = opendir(strDir.c_str());
    if (pDir == nullptr) return vNames;
    while (const dirent *pEntry = readdir(pDir))
        if (std::strcmp(pEntry->d_name, ".") != 0 && std::strcmp(pEntry->d_name, "..") != 0)
            vNames.push_back(pEntry->d_name);
    closedir(pDir);
    std::sort(vNames.begin(), vNames.end());
    return vNames;
}

TEST(ConfigStore, SaveReportsFailedWriteAndOverlongPath) {
    // /dev/full fails every write, but a save never gets that far: a new file
    // renamed over it would replace the device (reading it never ends, so the
    // store is loaded from a missing file and pointed there).
    CTempDir dirFull;
    CBaseConfig config(dirFull.File("none").c_str());
    std::snprintf(config.store->fileName, sizeof(config.store->fileName), "/dev/full");
    EXPECT_EQ(config.AddValue("k", "v"), 1);  // changes report 1 whatever the save did
    EXPECT_EQ(SaveConfig(config.store), 0) << "only a regular file is replaced";
    struct stat st;
    EXPECT_TRUE(stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode));

    for (size_t nLen : {1023u, 1024u}) {
        CTempDir dir;
        std::string strPath = dir.Path() + "/";
        strPath += std::string(nLen - strPath.size(), 'p');
        std::unique_ptr<sBaseConfig> pConfig(ReadConfig(strPath.c_str()));
        EXPECT_EQ(pConfig->bIncomplete, nLen >= CONFIG_PATH_SIZE) << nLen;
    }
}

// A save used to truncate the file and then write it: on a full disk the file
// came back cut short, its last value (the port) gone. On a full tmpfs of its
// own the save fails and the old bytes stay; with room again it succeeds.
TEST(ConfigStore, FailedSaveOnFullDiskKeepsOldFile) {
    CTempDir dir;
    const std::string strFile = dir.File("kelpserver.conf");
    // 4096 bytes: one page of the tmpfs, whose last line is the port to repair.
    const std::string strOld = "#" + std::string(4087, 'c') + "\nport=0\n";
    int nEnd = RunForked([&] {
        std::string strWhy;
        if (!testsupport::EnterPrivateMountNs(strWhy) ||
            mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=64k,mode=700") != 0) {
            std::printf("no private mount namespace with a tmpfs: %s\n",
                        strWhy.empty() ? std::strerror(errno) : strWhy.c_str());
            _exit(SKIP_EXIT);
        }
        ASSERT_TRUE(WriteFile(strFile, strOld));
        ASSERT_EQ(strOld.size(), 4096u);
        int fd = open(dir.File("fill").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        char aBlock[4096] = {0};
        while (write(fd, aBlock, sizeof aBlock) > 0) {
        }
        close(fd);

        CBaseConfig config(strFile.c_str());
        EXPECT_EQ(config.SetValue("port", "8566"), 1);
        EXPECT_EQ(SaveConfig(config.store), 0);
        std::string strNow = ReadFile(strFile);
        EXPECT_TRUE(strNow == strOld) << strNow.size() << " bytes, ending " << strNow.substr(4080);
        EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"fill", "kelpserver.conf"}));

        unlink(dir.File("fill").c_str());
        EXPECT_EQ(SaveConfig(config.store), 1);
        EXPECT_TRUE(ReadFile(strFile) == strOld.substr(0, 4089) + "port=8566\n");
        EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"kelpserver.conf"}));
    });
    if (nEnd == SKIP_EXIT) GTEST_SKIP() << "needs root for a private mount namespace";
    EXPECT_EQ(nEnd, 0);
}

// The saving process killed at the last moment before its rename: the new content
// is whole in a file of its own, the old file is still byte for byte what it was.
// The child is traced and killed at the entry of its rename system call.
TEST(ConfigStore, KilledSaveBeforeRenameKeepsOldFile) {
    CTempDir dir;
    const std::string strFile = dir.File("kelpserver.conf");
    const std::string strOld = "# c\nport=0\n";
    ASSERT_TRUE(WriteFile(strFile, strOld));
    CBaseConfig config(strFile.c_str());
    std::fflush(stdout);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(SKIP_EXIT);
        raise(SIGSTOP);
        config.SetValue("port", "8566");
        _exit(0);
    }
    // Ends the child on every way out of the test unless it was reaped already
    // (its pid may then be another process's). Only a real child's pid ever reaches
    // kill(): 0 or -1 there would signal whole groups of processes.
    struct sReaper {
        pid_t pid;
        ~sReaper() {
            if (pid <= 0) return;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    } reaper = {pid};
    int nStatus = 0;
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    if (!WIFSTOPPED(nStatus)) {
        reaper.pid = 0;
        GTEST_SKIP() << "ptrace is not allowed here";
    }
    ASSERT_EQ(ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL),
              0);
    bool bAtRename = false;
    int nSignal = 0;
    while (!bAtRename && ptrace(PTRACE_SYSCALL, pid, nullptr, nSignal) == 0 &&
           waitpid(pid, &nStatus, 0) == pid && WIFSTOPPED(nStatus)) {
        nSignal = WSTOPSIG(nStatus) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(nStatus);
        user_regs_struct regs;
        if (nSignal != 0 || ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0) continue;
        long lCall = (long)regs.orig_rax;
        bAtRename = lCall == SYS_rename || lCall == SYS_renameat || lCall == SYS_renameat2;
    }
    if (!WIFSTOPPED(nStatus)) reaper.pid = 0;
    ASSERT_TRUE(bAtRename) << "the save ended without a rename";
    std::vector<std::string> vNames = Names(dir.Path());
    ASSERT_EQ(vNames.size(), 2u);
    EXPECT_EQ(ReadFile(dir.File(vNames[0])), "# c\nport=8566\n") << vNames[0];
    reaper.pid = 0;
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(nStatus));
    EXPECT_EQ(ReadFile(strFile), strOld);
}

// A save keeps mode and owner, refuses a file this process may not write, and
// replaces what a symbolic link leads to, leaving the link as it was.
TEST(ConfigStore, SaveKeepsModeOwnerAndLinks) {
    CTempDir dir;
    std::string strFile = dir.File("kelpserver.conf");
    ASSERT_TRUE(WriteFile(strFile, "port=0\n"));
    ASSERT_EQ(chmod(strFile.c_str(), 0640), 0);
    bool bRoot = geteuid() == 0;
    ASSERT_TRUE(!bRoot || chown(strFile.c_str(), 4321, 8765) == 0);
    {
        CBaseConfig config(strFile.c_str());
        EXPECT_EQ(SaveConfig(config.store), 1);
    }
    struct stat st;
    ASSERT_EQ(stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(!bRoot || (st.st_uid == 4321 && st.st_gid == 8765))
        << st.st_uid << ":" << st.st_gid;

    // Read-only for a process that is not root, in a directory it may write.
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    ASSERT_EQ(chmod(strFile.c_str(), 0444), 0);
    int nEnd = RunForked([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(SKIP_EXIT);
        CBaseConfig config(strFile.c_str());
        EXPECT_EQ(SaveConfig(config.store), 0);
        EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"kelpserver.conf"}));
    });
    if (nEnd == SKIP_EXIT)
        std::printf("no unprivileged user to run as: the read-only refusal is not checked\n");
    else
        EXPECT_EQ(nEnd, 0);

    struct sLinkCase {
        const char *pszCase;
        std::vector<std::pair<std::string, std::string>> vLinks;  // name, text
        const char *pszTarget;  // the file replaced; null: the save is refused
    };
    const std::vector<sLinkCase> vCases = {
        {"relative", {{"kelp.conf", "real.conf"}}, "real.conf"},
        {"two links, the second relative to its own directory",
         {{"kelp.conf", "sub/mid"}, {"sub/mid", "../real.conf"}},
         "real.conf"},
        {"absolute, into another directory", {{"kelp.conf", "@/sub/real.conf"}}, "sub/real.conf"},
        {"dangling: its target is created", {{"kelp.conf", "new.conf"}}, "new.conf"},
        {"loop", {{"kelp.conf", "loop.conf"}, {"loop.conf", "kelp.conf"}}, nullptr},
    };
    for (const sLinkCase &c : vCases) {
        SCOPED_TRACE(c.pszCase);
        CTempDir dirLinks;
        ASSERT_EQ(mkdir(dirLinks.File("sub").c_str(), 0755), 0);
        ASSERT_TRUE(WriteFile(dirLinks.File("real.conf"), "port=1\n"));
        ASSERT_TRUE(WriteFile(dirLinks.File("sub/real.conf"), "port=1\n"));
        // '@' stands for the directory, which the table cannot know.
        auto fnText = [&](const std::string &str) {
            return str[0] == '@' ? dirLinks.Path() + str.substr(1) : str;
        };
        for (auto &link : c.vLinks)
            ASSERT_EQ(symlink(fnText(link.second).c_str(), dirLinks.File(link.first).c_str()), 0);
        std::vector<std::string> vBefore = Names(dirLinks.Path());
        std::vector<std::string> vBeforeSub = Names(dirLinks.File("sub"));
        CBaseConfig config(dirLinks.File("kelp.conf").c_str());
        EXPECT_EQ(config.AddValue("k", "v"), 1);
        EXPECT_EQ(SaveConfig(config.store), c.pszTarget ? 1 : 0);
        for (auto &link : c.vLinks) {
            char szText[4096] = {0};
            EXPECT_GT(readlink(dirLinks.File(link.first).c_str(), szText, sizeof szText - 1), 0);
            EXPECT_EQ(fnText(link.second), szText);
        }
        bool bNew = c.pszTarget && std::string(c.pszTarget) == "new.conf";
        if (bNew)
            vBefore.insert(std::lower_bound(vBefore.begin(), vBefore.end(), "new.conf"),
                           "new.conf");
        EXPECT_EQ(Names(dirLinks.Path()), vBefore);
        EXPECT_EQ(Names(dirLinks.File("sub")), vBeforeSub);
        if (c.pszTarget) {
            EXPECT_EQ(ReadFile(dirLinks.File(c.pszTarget)), bNew ? "k=v\n" : "port=1\nk=v\n");
        }
    }
}
}  // namespace
