#include "textfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

const char *const TEXTFILE_NAME = "cachenode_dispatch.prom";

namespace {

int Fail(std::string &strErr, const char *pszCall, const std::string &strObject, int nErrno) {
    strErr = std::string(pszCall) + " " + strObject + ": " + std::strerror(nErrno);
    return 0;
}

}  // namespace

int WriteTextfile(const std::string &strDir, const CFleet &fleet, std::string &strErr) {
    std::string strFinal = strDir + "/" + TEXTFILE_NAME;
    std::string strTemp = strDir + "/." + TEXTFILE_NAME + ".tmp";
    // No fsync: the content is rebuilt from the datagrams within a second of any
    // restart, and the rename alone is what keeps readers from partial files.
    int fd = open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return Fail(strErr, "open", strTemp, errno);
    FILE *pOut = fdopen(fd, "w");
    if (pOut == nullptr) {
        int nErrno = errno;
        close(fd);
        unlink(strTemp.c_str());
        return Fail(strErr, "fdopen", strTemp, nErrno);
    }
    int nWritten = WriteExposition(fleet, pOut);
    int nErrno = errno;
    if (std::fclose(pOut) != 0 && nWritten) {
        nWritten = 0;
        nErrno = errno;
    }
    if (!nWritten) {
        unlink(strTemp.c_str());
        return Fail(strErr, "write", strTemp, nErrno);
    }
    if (rename(strTemp.c_str(), strFinal.c_str()) != 0) {
        nErrno = errno;
        unlink(strTemp.c_str());
        return Fail(strErr, "rename", strTemp + " to " + strFinal, nErrno);
    }
    return 1;
}
