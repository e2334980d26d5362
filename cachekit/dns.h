// The stub resolver: A queries to the two fixed public resolvers.
#pragma once

#include <string>
#include <vector>

// Addresses of strName's A records as dotted-quad texts, in reply order; empty when
// none was found.
std::vector<std::string> dnsQueryA(std::string strName);
