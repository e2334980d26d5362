// The reporter's configuration file as its worker reads it: SimpleIni with its
// three flags false, the keys "servers", "intervalbw" and "intervalrp" of
// section "config", the server list parsed from the first. Any file content
// loads or fails without harm.
#include <SimpleIni.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "fuzz_check.h"
#include "servers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    CSimpleIniA ini(false, false, false);
    if (ini.LoadData((const char *)pData, nSize) < 0) return 0;
    const char *pszServers = ini.GetValue("config", "servers", "");
    FUZZ_CHECK(pszServers != nullptr, "no default for servers");
    std::string strIP2Servers = pszServers;
    std::list<std::string> listServers;
    std::map<std::string, int> mapServersPort;
    ParseServers(strIP2Servers, listServers, mapServersPort);
    FUZZ_CHECK(mapServersPort.size() <= listServers.size(), "more ports than items");
    volatile int32_t intervalbw = (int32_t)ini.GetLongValue("config", "intervalbw", 10);
    volatile int32_t intervalrp = (int32_t)ini.GetLongValue("CONFIG", "IntervalRP", 40);
    (void)intervalbw;
    (void)intervalrp;
    return 0;
}
