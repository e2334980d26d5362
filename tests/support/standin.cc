#include "standin.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "tempdir.h"

namespace testsupport {

void WriteStandIn(const std::string &strPath, const std::string &strTail) {
    static const char RECORD[] =
        "#!/bin/sh\n"
        "{ printf 'CALL %d\\n' \"$#\"; for a in \"$@\"; do printf '%d:%s\\n' \"${#a}\" \"$a\"; "
        "done; } >>\"$STANDIN_DIR/${0##*/}.log\"\n";
    ASSERT_TRUE(WriteFile(strPath, RECORD + strTail));
    ASSERT_EQ(chmod(strPath.c_str(), 0755), 0);
}

std::vector<Args> ReadCalls(const std::string &strLog) {
    std::vector<Args> vecCalls;
    std::string strText = ReadFile(strLog);
    size_t nPos = 0;
    while (nPos < strText.size()) {
        size_t nEol = strText.find('\n', nPos);
        if (strText.compare(nPos, 5, "CALL ") != 0 || nEol == std::string::npos) {
            ADD_FAILURE() << "bad record in " << strLog << ": " << strText.substr(nPos);
            break;
        }
        int nArgs = std::atoi(strText.substr(nPos + 5, nEol - nPos - 5).c_str());
        nPos = nEol + 1;
        Args args;
        for (int i = 0; i < nArgs; ++i) {
            size_t nColon = strText.find(':', nPos);
            size_t nLen = (size_t)std::atol(strText.substr(nPos, nColon - nPos).c_str());
            args.push_back(strText.substr(nColon + 1, nLen));
            nPos = nColon + 1 + nLen + 1;
        }
        vecCalls.push_back(args);
    }
    return vecCalls;
}

}  // namespace testsupport
