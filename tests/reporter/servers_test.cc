// The worker's configuration: the server list of the "servers" key, and the
// shipped example configuration read the way the worker reads it.
#include "servers.h"

#include <SimpleIni.h>
#include <gtest/gtest.h>

#include <list>
#include <map>
#include <string>
#include <vector>

namespace {

TEST(ParseServers, Grammar) {
    struct Case {
        const char *pszServers;
        std::vector<std::string> vecList;
        std::map<std::string, int> mapPorts;
    } aCases[] = {
        {"", {}, {}},
        {"127.0.0.1", {"127.0.0.1"}, {{"127.0.0.1", 1234}}},
        {"127.0.0.1:80|127.0.0.2",
         {"127.0.0.1", "127.0.0.2"},
         {{"127.0.0.1", 80}, {"127.0.0.2", 1234}}},
        {"127.0.0.1||127.0.0.2",
         {"127.0.0.1", "", "127.0.0.2"},
         {{"127.0.0.1", 1234}, {"", 1234}, {"127.0.0.2", 1234}}},
        {"|127.0.0.1|", {"", "127.0.0.1"}, {{"", 1234}, {"127.0.0.1", 1234}}},
        {"127.0.0.3:5009|127.0.0.3:5002", {"127.0.0.3", "127.0.0.3"}, {{"127.0.0.3", 5002}}},
        {"127.0.0.3:5009|127.0.0.3", {"127.0.0.3", "127.0.0.3"}, {{"127.0.0.3", 1234}}},
        {"127.0.0.1:|127.0.0.2:port",
         {"127.0.0.1", "127.0.0.2"},
         {{"127.0.0.1", 0}, {"127.0.0.2", 0}}},
        {" 127.0.0.1 :9", {" 127.0.0.1 "}, {{" 127.0.0.1 ", 9}}},
        {"|", {""}, {{"", 1234}}},
    };
    for (const Case &c : aCases) {
        std::list<std::string> listServers;
        std::map<std::string, int> mapPorts;
        ParseServers(c.pszServers, listServers, mapPorts);
        EXPECT_EQ(std::list<std::string>(c.vecList.begin(), c.vecList.end()), listServers)
            << "[" << c.pszServers << "]";
        EXPECT_EQ(c.mapPorts, mapPorts) << "[" << c.pszServers << "]";
    }
}

// The shipped example, read the way the reporter reads its configuration: each
// key must carry its value alone (a comment on a value line would become part
// of the value) and the values must be the documented defaults.
TEST(ExampleConfiguration, ReadsAsDocumented) {
    CSimpleIniA ini(false, false, false);
    ASSERT_GE(ini.LoadFile(EXAMPLE_INI), 0);
    EXPECT_STREQ(ini.GetValue("config", "servers", "missing"), "127.0.0.1:1234");
    EXPECT_EQ(ini.GetLongValue("config", "intervalbw", -1), 10);
    EXPECT_EQ(ini.GetLongValue("config", "intervalrp", -1), 40);
    CSimpleIniA::TNamesDepend listKeys;
    ini.GetAllKeys("config", listKeys);
    EXPECT_EQ(listKeys.size(), 3u);
}

}  // namespace
