// The dispatch server list: the "servers" key cut into items at '|', each split
// into its address and port.
#include "servers.h"

#include "netif.h"

namespace {

void AddServer(const std::string &strItem, std::list<std::string> &listServers,
               std::map<std::string, int> &mapServersPort) {
    std::string strIP;
    int nPort = serversport;
    IPPortSplit(strItem, strIP, nPort);
    listServers.push_back(strIP);
    mapServersPort[strIP] = nPort;
}

}  // namespace

void ParseServers(const std::string &strIP2Servers, std::list<std::string> &listServers,
                  std::map<std::string, int> &mapServersPort) {
    std::string S = strIP2Servers;
    size_t nBar;
    while ((nBar = S.find('|')) != std::string::npos) {
        AddServer(S.substr(0, nBar), listServers, mapServersPort);
        S = S.substr(nBar + 1);
    }
    if (!S.empty()) AddServer(S, listServers, mapServersPort);
}
