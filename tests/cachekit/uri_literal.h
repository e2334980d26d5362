// A second, deliberately plain implementation of the URL-to-cache-path mapping,
// written step by step as the mapping is defined: a std::map ring of std::string
// names, digest texts formatted with "%02x" and parsed back. The tests hold the
// library's fast path to it; bench_uri measures the fast path against it.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace literal {

std::string md5Hex(const char *pData, int nLen);
std::vector<std::string> splitList(const std::string &strText);
uint64_t ringKey(const std::string &strHex);
std::map<uint64_t, std::string> buildRing(const std::string &strDirs);
// Only for inputs within the limits (non-empty list, a '/' and a '.' behind the
// last '/' in the URL text, texts shorter than their buffers).
std::string uri2d(const std::string &strUrl, const std::string &strDirs);
// uri2d with the ring of the list already built.
std::string uri2dWithRing(const std::string &strUrl, const std::map<uint64_t, std::string> &ring);

}  // namespace literal
