// The "servers" value: items "addr[:port]" between '|'. Every item reaches the
// list in order; each address's port is that of its last item, as IPPortSplit
// reads it (1234 when the item names none).
#include <cstdint>
#include <cstdlib>
#include <list>
#include <map>
#include <string>

#include "fuzz_check.h"
#include "netif.h"
#include "servers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    std::string strText((const char *)pData, nSize);
    strText = strText.c_str();  // an INI value is a C text

    std::list<std::string> listServers;
    std::map<std::string, int> mapPort;
    ParseServers(strText, listServers, mapPort);

    // The same list cut by hand, and the ports each address must end with.
    std::list<std::string> listWant;
    std::map<std::string, int> mapWant;
    size_t nStart = 0;
    while (nStart < strText.size()) {
        size_t nBar = strText.find('|', nStart);
        std::string strItem =
            strText.substr(nStart, nBar == std::string::npos ? std::string::npos : nBar - nStart);
        std::string strIP;
        int nPort = serversport;
        FUZZ_CHECK(IPPortSplit(strItem, strIP, nPort) == 0, "IPPortSplit result");
        size_t nColon = strItem.find(':');
        FUZZ_CHECK(strIP == strItem.substr(0, nColon), "address of [%s] is [%s]", strItem.c_str(),
                   strIP.c_str());
        if (nColon != std::string::npos)
            FUZZ_CHECK(nPort == std::atoi(strItem.c_str() + nColon + 1), "port of [%s]",
                       strItem.c_str());
        listWant.push_back(strIP);
        mapWant[strIP] = nPort;
        if (nBar == std::string::npos) break;
        nStart = nBar + 1;
    }
    FUZZ_CHECK(listServers.size() == listWant.size(), "%zu items, want %zu", listServers.size(),
               listWant.size());
    FUZZ_CHECK(mapPort == mapWant, "ports differ");
    return 0;
}
