// The key=value store: reading and writing rules as round trips, lookups and
// changes, the limits (long lines, many entries, failed saves), saves that fail
// or are killed half-way, and the mkdir command of createDirByName.
#include "config.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
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
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tempdir.h"

namespace {

using testsupport::CTempDir;
using testsupport::ReadFile;
using testsupport::WriteFile;

// The entries as "P key=value", "C #text" or "B" joined by '|'.
std::string Describe(const sBaseConfig &config) {
    std::string str;
    for (int i = 0; i < config.entryCount; ++i) {
        const char *pBlock = config.entries[i];
        const char *pszText = pBlock + 1;
        if (!str.empty()) str += '|';
        if (pBlock[0] == CONFIG_KIND_PAIR)
            str += std::string("P ") + pszText + "=" + (pszText + std::strlen(pszText) + 1);
        else if (pszText[0] == '#')
            str += std::string("C ") + pszText;
        else
            str += "B";
    }
    return str;
}

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

const int SKIP_EXIT = 77;

// Runs fnBody in a forked child, whose gtest failures print as usual. 0 when they
// all held, SKIP_EXIT when the child could not set itself up (it says why).
int RunInChild(const std::function<void()> &fnBody) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        fnBody();
        std::fflush(stdout);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int nStatus = 0;
    if (pid < 0 || waitpid(pid, &nStatus, 0) != pid) return -1;
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

struct sRoundTrip {
    const char *pszName;
    std::string strIn;
    std::string strEntries;
    std::string strSaved;
};

TEST(ConfigStore, ReadingRulesRoundTrip) {
    const std::vector<sRoundTrip> vCases = {
        {"spaces around =", "port = 80\n", "P port=80", "port=80\n"},
        {"trailing spaces kept", "k=v  \n", "P k=v  ", "k=v  \n"},
        {"CRLF cut", "a=1\r\nb=2\r\n", "P a=1|P b=2", "a=1\nb=2\n"},
        {"lone CR kept in value", "a=1\rx\n", "P a=1\rx", "a=1\rx\n"},
        {"line starting with = vanishes", "=x\na=1\n", "P a=1", "a=1\n"},
        {"line without = vanishes", "junk\na=1\n", "P a=1", "a=1\n"},
        {"indented comment loses indent", "   # c = d\n", "C # c = d", "# c = d\n"},
        {"blank and spaces-only lines", "\n   \na=1\n", "B|B|P a=1", "\n\na=1\n"},
        {"= inside value", "url=http://h/?a=b=c\n", "P url=http://h/?a=b=c",
         "url=http://h/?a=b=c\n"},
        {"key cut at space", "my key = v\n", "P my=v", "my=v\n"},
        {"tab is not a blank", "\tk=v\n", "P \tk=v", "\tk=v\n"},
        {"hash in value kept", "k=v # not a comment\n", "P k=v # not a comment",
         "k=v # not a comment\n"},
        {"empty value", "k=\n", "P k=", "k=\n"},
        {"last line without newline", "#c\nk=v", "C #c|P k=v", "#c\nk=v\n"},
        {"order and comments kept", "#a\nx=1\n\n#b\ny=2\n", "C #a|P x=1|B|C #b|P y=2",
         "#a\nx=1\n\n#b\ny=2\n"},
    };
    for (const sRoundTrip &c : vCases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        std::string strFile = dir.File("t.conf");
        ASSERT_TRUE(WriteFile(strFile, c.strIn));
        std::unique_ptr<sBaseConfig> pConfig(ReadConfig(strFile.c_str()));
        EXPECT_EQ(Describe(*pConfig), c.strEntries);
        EXPECT_EQ(SaveConfig(pConfig.get()), 1);
        EXPECT_EQ(ReadFile(strFile), c.strSaved);
    }
}

// A value or comment that ends in a CR used to be saved with a bare "\n"; the
// "\r\n" that made read back as a CRLF ending and the CR was lost. Found by
// the kvstore fuzz target (a line "...\r" cut by NUL bytes).
TEST(ConfigStore, TrailingCarriageReturnSurvivesSave) {
    using namespace std::string_literals;
    const std::vector<sRoundTrip> vCases = {
        {"CR then NUL bytes", "k=1\r\0\0\nport\n"s, "P k=1\r", "k=1\r\r\n"},
        {"comment CR then NUL", "#c=1\r\0\n"s, "C #c=1\r", "#c=1\r\r\n"},
        {"last line ends in CR", "k=v\r", "P k=v\r", "k=v\r\r\n"},
        {"CR before CRLF", "k=v\r\r\n", "P k=v\r", "k=v\r\r\n"},
        {"value only a CR", "k=\r\r\n", "P k=\r", "k=\r\r\n"},
        {"text cut at NUL", "k=ab\0cd\r\n"s, "P k=ab", "k=ab\n"},
    };
    for (const sRoundTrip &c : vCases) {
        SCOPED_TRACE(c.pszName);
        CTempDir dir;
        std::string strFile = dir.File("t.conf");
        ASSERT_TRUE(WriteFile(strFile, c.strIn));
        std::unique_ptr<sBaseConfig> pFirst(ReadConfig(strFile.c_str()));
        EXPECT_EQ(Describe(*pFirst), c.strEntries);
        EXPECT_EQ(SaveConfig(pFirst.get()), 1);
        EXPECT_EQ(ReadFile(strFile), c.strSaved);
        std::unique_ptr<sBaseConfig> pSecond(ReadConfig(strFile.c_str()));
        EXPECT_EQ(Describe(*pSecond), c.strEntries);
    }
}

TEST(ConfigStore, MissingFileIsEmptyAndFirstChangeCreatesIt) {
    CTempDir dir;
    std::string strFile = dir.File("sub/dir/new.conf");
    CBaseConfig config(strFile.c_str());
    ASSERT_NE(config.store, nullptr);
    EXPECT_EQ(config.store->entryCount, 0);
    EXPECT_EQ(config.GetValue("port"), nullptr);
    EXPECT_EQ(config.AddValue("#note"), 1);
    EXPECT_EQ(config.AddValue("plain text"), 1);  // kind 0 without '#': an empty line
    EXPECT_EQ(config.AddValue("port", "8566"), 1);
    EXPECT_EQ(ReadFile(strFile), "#note\n\nport=8566\n");
    mode_t nUmask = umask(022);
    umask(nUmask);
    struct stat st;
    ASSERT_EQ(stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~nUmask) << "a new file's mode is the umask's";
}

TEST(ConfigStore, LookupsAndChanges) {
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    const std::string strIn = "#c\nk = first\nk=second\nother=1\n";
    ASSERT_TRUE(WriteFile(strFile, strIn));
    CBaseConfig config(strFile.c_str());

    ASSERT_NE(config.GetValue("k"), nullptr);
    EXPECT_STREQ(config.GetValue("k"), "first");
    EXPECT_EQ(config.GetValue("K"), nullptr) << "case counts";
    EXPECT_EQ(config.GetValue("#c"), nullptr) << "a comment carries no value";
    EXPECT_EQ(config.AddValue("k", "third"), 0);
    EXPECT_EQ(config.AddValue("#c"), 0) << "no second copy of a comment";
    EXPECT_EQ(config.SetValue("missing", "x"), 0);
    EXPECT_EQ(config.SetValue("#c", "x"), 0);
    EXPECT_EQ(ReadFile(strFile), strIn) << "refusals leave the file untouched";

    EXPECT_EQ(config.SetValue("k", "new"), 1);
    EXPECT_EQ(ReadFile(strFile), "#c\nk=new\nk=second\nother=1\n");
    EXPECT_EQ(config.DelValue("k"), 1);
    EXPECT_EQ(ReadFile(strFile), "#c\nk=second\nother=1\n");
    EXPECT_EQ(config.DelValue("#c"), 1);
    EXPECT_EQ(config.DelValue("nothing"), 0);
    EXPECT_EQ(ReadFile(strFile), "k=second\nother=1\n");
}

TEST(ConfigStore, RemovingOnlyEntryLeavesEmptyFile) {
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    ASSERT_TRUE(WriteFile(strFile, "port=1\n"));
    CBaseConfig config(strFile.c_str());
    EXPECT_EQ(config.DelValue("port"), 1);
    struct stat st;
    ASSERT_EQ(stat(strFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

// Lines and values past the 1024-byte line buffer and the 512-byte block stay
// whole and stay one entry.
TEST(ConfigStore, OverlongLineIsOneWholeEntry) {
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    for (size_t nLen : {508u, 509u, 510u, 1022u, 1023u, 1024u, 5000u}) {
        SCOPED_TRACE(nLen);
        std::string strValue(nLen, 'v');
        std::string strComment = "#" + std::string(nLen, 'c');
        ASSERT_TRUE(WriteFile(strFile, "k=" + strValue + "\n" + strComment + "\n"));
        CBaseConfig config(strFile.c_str());
        ASSERT_EQ(config.store->entryCount, 2);
        ASSERT_NE(config.GetValue("k"), nullptr);
        EXPECT_EQ(config.GetValue("k"), strValue);
        std::string strLonger(nLen * 2, 'w');
        EXPECT_EQ(config.SetValue("k", strLonger.c_str()), 1);
        EXPECT_EQ(ReadFile(strFile), "k=" + strLonger + "\n" + strComment + "\n");
    }
}

TEST(ConfigStore, TooManyEntriesIsNeverSaved) {
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    std::string strIn;
    for (int i = 0; i < CONFIG_MAX_ENTRIES + 5; ++i) strIn += "k" + std::to_string(i) + "=1\n";
    ASSERT_TRUE(WriteFile(strFile, strIn));
    CBaseConfig config(strFile.c_str());
    EXPECT_EQ(config.store->entryCount, CONFIG_MAX_ENTRIES);
    EXPECT_TRUE(config.store->bIncomplete);
    EXPECT_EQ(SaveConfig(config.store), 0);
    EXPECT_EQ(config.AddValue("new", "1"), 0) << "no room for another entry";
    EXPECT_EQ(config.SetValue("k0", "2"), 1);  // in memory; the save refuses
    EXPECT_EQ(ReadFile(strFile), strIn) << "lines that were not loaded must not be lost";
}

TEST(ConfigStore, ExactlyFullStoreSavesButRefusesMore) {
    CTempDir dir;
    std::string strFile = dir.File("t.conf");
    std::string strIn;
    for (int i = 0; i < CONFIG_MAX_ENTRIES; ++i) strIn += "k" + std::to_string(i) + "=1\n";
    ASSERT_TRUE(WriteFile(strFile, strIn));
    CBaseConfig config(strFile.c_str());
    EXPECT_FALSE(config.store->bIncomplete);
    EXPECT_EQ(config.AddValue("#more"), 0);
    EXPECT_EQ(SaveConfig(config.store), 1);
    EXPECT_EQ(ReadFile(strFile), strIn);
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
    int nEnd = RunInChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=64k,mode=700") != 0) {
            std::printf("no private mount namespace with a tmpfs: %s\n", std::strerror(errno));
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
    int nEnd = RunInChild([&] {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(SKIP_EXIT);
        CBaseConfig config(strFile.c_str());
        EXPECT_EQ(SaveConfig(config.store), 0);
        EXPECT_EQ(Names(dir.Path()), (std::vector<std::string>{"kelpserver.conf"}));
    });
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

TEST(CreateDirByName, CommandText) {
    struct sCase {
        const char *pszName;
        int nResult;
        const char *pszCmd;
    };
    const std::vector<sCase> vCases = {
        {"/var/a\\b\\c", 1, "mkdir -p /var/a/b/c/"},
        {"rel", 1, "mkdir -p rel/"},
        {"a b", 1, "mkdir -p 'a b/'"},
        {"it's", 1, "mkdir -p 'it'\\''s/'"},
        {"x;$(touch m)`id`", 1, "mkdir -p 'x;$(touch m)`id`/'"},
        {"", 0, ""},
        {nullptr, 0, ""},
    };
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.pszName ? c.pszName : "(null)");
        char szCmd[1024];
        EXPECT_EQ(FormatMkdirCommand(c.pszName, szCmd, sizeof(szCmd)), c.nResult);
        EXPECT_STREQ(szCmd, c.pszCmd);
    }
    // "mkdir -p " + name + "/" is 1023 bytes: fits; one more does not.
    char szCmd[1024];
    std::string strName(1023 - 10, 'n');
    EXPECT_EQ(FormatMkdirCommand(strName.c_str(), szCmd, sizeof(szCmd)), 1);
    strName += 'n';
    EXPECT_EQ(FormatMkdirCommand(strName.c_str(), szCmd, sizeof(szCmd)), 0);
    EXPECT_EQ(createDirByName(strName.c_str()), 0);
}

TEST(CreateDirByName, RealMkdir) {
    CTempDir dir;
    EXPECT_EQ(createDirByName((dir.Path() + "\\x\\y").c_str()), 1);
    struct stat st;
    EXPECT_EQ(stat(dir.File("x/y").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    std::string strMarker = dir.File("marker");
    std::string strOdd = dir.File("a b;$(touch " + strMarker + ")");
    EXPECT_EQ(createDirByName(strOdd.c_str()), 1);
    EXPECT_EQ(stat(dir.File("a b;$(touch ").c_str(), &st), 0) << "the name is taken literally";
    EXPECT_NE(stat(strMarker.c_str(), &st), 0) << "nothing of the name was run";
}

}  // namespace
