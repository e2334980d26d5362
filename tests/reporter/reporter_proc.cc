#include "reporter_proc.h"

#include <cstdio>
#include <filesystem>
#include <sstream>

CReporterRun::CReporterRun(const testsupport::CTempDir &dir,
                           const std::vector<std::string> &vecArgs)
    : m_strExe(dir.File("vesko_c")) {
    std::error_code ec;
    std::filesystem::copy_file(VESKO_C, m_strExe, ec);
    if (ec) return;
    std::vector<std::string> vecArgv{m_strExe};
    vecArgv.insert(vecArgv.end(), vecArgs.begin(), vecArgs.end());
    m_bStarted = m_child.Start(vecArgv, m_strExe);
}

std::vector<pid_t> CReporterRun::Workers() const {
    std::vector<pid_t> vec;
    std::istringstream in(Stdout());
    std::string strLine;
    while (std::getline(in, strLine)) {
        int nPid = 0;
        char cEnd = 0;
        if (std::sscanf(strLine.c_str(), "pid=%d start%c", &nPid, &cEnd) == 2 && nPid > 0)
            vec.push_back(nPid);
    }
    return vec;
}

int CountLines(const std::string &strText, const std::string &strPart) {
    std::istringstream in(strText);
    std::string strLine;
    int n = 0;
    while (std::getline(in, strLine))
        if (strLine.find(strPart) != std::string::npos) ++n;
    return n;
}
