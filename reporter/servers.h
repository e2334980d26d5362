// The dispatch server list of the "servers" key: items "addr[:port]" separated by '|'.
#pragma once

#include <list>
#include <map>
#include <string>

// Default port of an item that names none.
const int serversport = 1234;

// Appends each item of strIP2Servers to listServers (in order, repeats and empty
// items kept) and sets mapServersPort[address] to its port; a later item for the same
// address replaces the earlier port, back to 1234 when it names none. A trailing '|'
// adds no item. Nothing is validated.
void ParseServers(const std::string &strIP2Servers, std::list<std::string> &listServers,
                  std::map<std::string, int> &mapServersPort);
