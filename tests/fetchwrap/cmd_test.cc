// The client command line as a function of URL, port and output path: URL
// rewriting, quoting only where needed, and the host and command limits.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fetchcmd.h"

namespace {

TEST(ClientCommand, Table) {
    struct sCase {
        const char *pszName;
        std::string strUrl;
        const char *pszOutput;
        int nResult;
        std::string strCmd;
    };
    const std::vector<sCase> vCases = {
        {"plain texts give the bare template", "http://h.example:8080/vod/a.mp4", "/data/a.mp4",
         FETCH_CMD_OK, "kelpclient tulaudp://h.example:7000/vod/a.mp4 /data/a.mp4"},
        {"no scheme", "127.0.0.1/v/a.mp4", "out", FETCH_CMD_OK,
         "kelpclient tulaudp://127.0.0.1:7000/v/a.mp4 out"},
        {"query is quoted", "http://h/a.mp4?x=1&y=2", "o", FETCH_CMD_OK,
         "kelpclient tulaudp://h:7000/'a.mp4?x=1&y=2' o"},
        {"other scheme kept as host", "ftp://h/x", "o", FETCH_CMD_OK,
         "kelpclient tulaudp://ftp:7000//h/x o"},
        {"scheme case counts", "HTTP://h/x", "o", FETCH_CMD_OK,
         "kelpclient tulaudp://HTTP:7000//h/x o"},
        {"empty path", "h/", "o", FETCH_CMD_OK, "kelpclient tulaudp://h:7000/ o"},
        {"empty output is one argument", "h/p", "", FETCH_CMD_OK,
         "kelpclient tulaudp://h:7000/p ''"},
        {"quote in output", "h/p", "it's", FETCH_CMD_OK,
         "kelpclient tulaudp://h:7000/p 'it'\\''s'"},
        {"odd host", "h$(id):1/p", "o", FETCH_CMD_OK, "kelpclient tulaudp://'h$(id)':7000/p o"},
        {"no path", "http://h.example:80", "o", FETCH_CMD_NO_PATH, ""},
        {"no path without scheme", "h", "o", FETCH_CMD_NO_PATH, ""},
        {"host of 127 fits", std::string(127, 'h') + ":1/p", "o", FETCH_CMD_OK,
         "kelpclient tulaudp://" + std::string(127, 'h') + ":7000/p o"},
        {"host of 128 refused", std::string(128, 'h') + "/p", "o", FETCH_CMD_HOST_TOO_LONG, ""},
        // "kelpclient tulaudp://h:7000/" is 28 bytes, " o" 2: a path of 993 makes 1023.
        {"command of 1023 fits", "h/" + std::string(993, 'p'), "o", FETCH_CMD_OK,
         "kelpclient tulaudp://h:7000/" + std::string(993, 'p') + " o"},
        {"command of 1024 refused", "h/" + std::string(994, 'p'), "o", FETCH_CMD_TOO_LONG, ""},
        {"quoting counts against the limit", "h/" + std::string(992, 'p') + "&", "o",
         FETCH_CMD_TOO_LONG, ""},
    };
    for (const sCase &c : vCases) {
        SCOPED_TRACE(c.pszName);
        char szCmd[FETCH_CMD_SIZE];
        EXPECT_EQ(BuildClientCommand(c.strUrl.c_str(), 7000, c.pszOutput, szCmd), c.nResult);
        EXPECT_EQ(std::string(szCmd), c.strCmd);
    }
}

TEST(ClientCommand, PortReadsAsAtoi) {
    struct sCase {
        const char *pszValue;
        int nPort;
    };
    const std::vector<sCase> vCases = {
        {"8566", 8566}, {" 9000 ", 9000}, {"+12x", 12}, {"-5", -5},
        {"0", 0},       {"abc", 0},       {"", 0},      {"99999999999", 2147483647},
    };
    for (const sCase &c : vCases) EXPECT_EQ(ParsePort(c.pszValue), c.nPort) << c.pszValue;
}

}  // namespace
