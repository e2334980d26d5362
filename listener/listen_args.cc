#include "listen_args.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

int ParseAddrPort(const std::string &strArg, struct sockaddr_in &addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    size_t nColon = strArg.rfind(':');
    if (nColon == std::string::npos ||
        inet_pton(AF_INET, strArg.substr(0, nColon).c_str(), &addr.sin_addr) != 1)
        return 0;
    std::string strPort = strArg.substr(nColon + 1);
    if (strPort.empty() || strPort.size() > 5) return 0;
    unsigned long nPort = 0;
    for (char c : strPort) {
        if (c < '0' || c > '9') return 0;
        nPort = nPort * 10 + (unsigned long)(c - '0');
    }
    if (nPort > 65535) return 0;
    addr.sin_port = htons((uint16_t)nPort);
    return 1;
}

}  // namespace

int ParseListenArgs(int argc, const char *const *argv, sListenArgs &args, std::string &strErr) {
    bool bHaveAddr = false;
    for (int i = 1; i < argc; ++i) {
        std::string strArg = argv[i];
        if (strArg == "--table") {
            args.bTable = true;
        } else if (strArg == "--textfile") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                strErr = "--textfile needs a directory";
                return 0;
            }
            args.strTextfileDir = argv[++i];
        } else if (strArg.compare(0, 1, "-") == 0) {
            strErr = "unknown option " + strArg;
            return 0;
        } else if (bHaveAddr) {
            strErr = "more than one ADDR:PORT: " + strArg;
            return 0;
        } else if (!ParseAddrPort(strArg, args.addr)) {
            strErr = "[" + strArg + "] is not ADDR:PORT";
            return 0;
        } else {
            bHaveAddr = true;
        }
    }
    if (!bHaveAddr) {
        strErr = "no ADDR:PORT";
        return 0;
    }
    return 1;
}
