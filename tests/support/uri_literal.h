// A second, deliberately plain implementation of the URL-to-cache-path mapping,
// written step by step as the mapping is defined: a std::map ring of std::string
// names, digest texts formatted with "%02x" and parsed back. The tests and the
// uri2d fuzz target hold the library's fast path to it; bench_uri and bench_ring
// measure the fast path against it. Below it, the helpers they share.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
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
// uri2d with the directory for the URL key chosen by fnChoose instead of a ring.
std::string uri2dChoosing(const std::string &strUrl,
                          const std::function<std::string(uint64_t)> &fnChoose);

// The directory list of the names, joined by '|'.
std::string join(const std::vector<std::string> &listNames);
// The directory a non-empty ring gives a key: that of the first point above
// the key, else that of the smallest point.
const std::string &upperBoundWrap(const std::map<uint64_t, std::string> &ring, uint64_t nKey);
// The limits uri2d is defined within: a list shorter than 10,240 bytes with at
// least one name and none longer than 1,019 bytes; a URL text (without a
// leading "http://") shorter than 1,024 bytes with a '.' behind its last '/'.
bool listWithinLimits(const std::string &strDirs);
bool urlWithinLimits(const std::string &strUrl);
// A random directory name: mostly short, some around the one-block limit of 51
// bytes, a few long. With bListBytes it may hold '|' and begin with a space,
// which the list syntax treats specially; without, it stands for itself in a
// joined list.
std::string randomName(std::mt19937 &rng, bool bListBytes);

}  // namespace literal
