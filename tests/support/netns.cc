#include "netns.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

bool EnterPrivateNetns(std::string &strWhy) {
    if (unshare(CLONE_NEWNET) != 0) {
        strWhy = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
        return false;
    }
    if (RunShell("ip link set lo up") != 0) {
        strWhy = "ip link set lo up failed in the new namespace";
        return false;
    }
    return true;
}

bool EnterPrivateMountNs(std::string &strWhy) {
    if (unshare(CLONE_NEWNS) != 0) {
        strWhy = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        return false;
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        strWhy = std::string("mount --make-rprivate /: ") + std::strerror(errno);
        return false;
    }
    return true;
}

int RunShell(const std::string &strCmd) {
    int nStatus = std::system(strCmd.c_str());
    if (nStatus == -1 || !WIFEXITED(nStatus)) return -1;
    return WEXITSTATUS(nStatus);
}

bool RouteIsLocal(const char *pszAddr) {
    std::string strCmd = std::string("ip route get ") + pszAddr + " 2>/dev/null";
    FILE *pPipe = popen(strCmd.c_str(), "r");
    if (pPipe == nullptr) return false;
    char szLine[512];
    bool bLocal = false;
    if (std::fgets(szLine, sizeof szLine, pPipe) != nullptr)
        bLocal =
            std::strncmp(szLine, "local ", 6) == 0 && std::strstr(szLine, " dev lo ") != nullptr;
    pclose(pPipe);
    return bLocal;
}

}  // namespace testsupport
