// fetchwrap: fetches one URL into one file by running the transfer client with a
// tulaudp:// URL on the port kept in kelpserver.conf beside the executable; the
// exit status says whether the output file exists afterwards.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config.h"
#include "fetchcmd.h"

namespace {

const size_t APP_PATH_SIZE = 10240;
const char *PORT_KEY = "port";
const char *PORT_COMMENT = "#this shoude be the kelpserver bind port";

}  // namespace

// The running executable's directory with its trailing '/', or the empty text
// when /proc/self/exe cannot be read (tried again on the next call). The text
// belongs to the function and lives until exit.
const char *GetAppPath() {
    struct sTemp {
        sTemp() : pszBuf(new char[APP_PATH_SIZE]()) {}
        ~sTemp() {
            delete[] pszBuf;
            pszBuf = nullptr;
        }
        char *pszBuf;
    };
    static sTemp t;
    if (t.pszBuf[0] == 0) {
        ssize_t n = readlink("/proc/self/exe", t.pszBuf, APP_PATH_SIZE - 1);
        if (n <= 0) {
            t.pszBuf[0] = 0;
            return t.pszBuf;
        }
        t.pszBuf[n] = 0;
        for (ssize_t i = n - 1; i >= 0; --i) {
            if (t.pszBuf[i] == '/' || t.pszBuf[i] == '\\') {
                t.pszBuf[i + 1] = 0;
                break;
            }
        }
    }
    return t.pszBuf;
}

int main(int argc, char **argv) {
    if (argc != 3) return 0;
    const char *pszOutput = argv[1];
    const char *pszUrl = argv[2];
    std::remove(pszOutput);

    char szConfig[APP_PATH_SIZE] = {0};
    std::snprintf(szConfig, sizeof(szConfig), "%skelpserver.conf", GetAppPath());
    std::printf("config path is %s\r\n", szConfig);
    std::fflush(stdout);

    int nPort = FETCH_DEFAULT_PORT;
    {
        const std::string strDefault = std::to_string(FETCH_DEFAULT_PORT);
        CBaseConfig config(szConfig);
        const char *pszPort = config.GetValue(PORT_KEY);
        if (pszPort != nullptr) {
            nPort = ParsePort(pszPort);
            if (nPort < 1) {
                nPort = FETCH_DEFAULT_PORT;
                config.SetValue(PORT_KEY, strDefault.c_str());
            }
        } else {
            config.AddValue(PORT_COMMENT);
            config.AddValue(PORT_KEY, strDefault.c_str());
        }
    }

    char szCmd[FETCH_CMD_SIZE] = {0};
    if (BuildClientCommand(pszUrl, nPort, pszOutput, szCmd) != FETCH_CMD_OK) return 1;
    int nIgnored = std::system(szCmd);
    (void)nIgnored;

    FILE *pFile = std::fopen(pszOutput, "rb");
    if (pFile != nullptr) {
        std::fclose(pFile);
        return 0;
    }
    std::remove(pszOutput);
    return -1;
}
