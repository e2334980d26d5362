// uri2d calls per second with 4, 12 and 24 cache directories, against the plain
// implementation of the tests (std::map ring, "%02x" digest texts parsed back).
// Both run single-threaded on the same URLs and keep nothing between calls.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "uri.h"
#include "uri_literal.h"

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Calls per second of fn over the URLs, running for at least dMinSeconds.
template <typename F>
double callsPerSecond(const std::vector<std::string> &listUrls, double dMinSeconds, F fn) {
    size_t nCalls = 0;
    const double t0 = nowSeconds();
    double t1 = t0;
    do {
        for (const std::string &strUrl : listUrls) fn(strUrl);
        nCalls += listUrls.size();
        t1 = nowSeconds();
    } while (t1 - t0 < dMinSeconds);
    return nCalls / (t1 - t0);
}

}  // namespace

int main() {
    std::vector<std::string> listUrls;
    for (int i = 0; i < 16; ++i) {
        char szUrl[128];
        std::snprintf(szUrl, sizeof szUrl, "http://node%d:8080/vod/%03d/movie%05d.mp4?start=%d",
                      i % 7, i, i * 7919, i * 3);
        listUrls.push_back(szUrl);
    }

    int nResult = 0;
    for (int nDirs : {4, 12, 24}) {
        std::string strDirs;
        for (int i = 1; i <= nDirs; ++i)
            strDirs += (i > 1 ? "|/cache/disk" : "/cache/disk") + std::to_string(i);

        for (const std::string &strUrl : listUrls) {
            char szOut[URI_PATH_MAX];
            uriToPath(szOut, strUrl.c_str(), strDirs.c_str());
            if (literal::uri2d(strUrl, strDirs) != szOut) {
                std::printf("MISMATCH for %s\n", strUrl.c_str());
                nResult = 1;
            }
        }

        char szOut[URI_PATH_MAX];
        size_t nSink = 0;
        const double dRef = callsPerSecond(listUrls, 1.0, [&](const std::string &strUrl) {
            nSink += literal::uri2d(strUrl, strDirs).size();
        });
        const double dOurs = callsPerSecond(listUrls, 1.0, [&](const std::string &strUrl) {
            uriToPath(szOut, strUrl.c_str(), strDirs.c_str());
            nSink += szOut[0];
        });
        std::printf(
            "%2d directories: uri2d %8.0f calls/s   plain map ring %7.0f calls/s   ratio %.1f%s  "
            "(%zu)\n",
            nDirs, dOurs, dRef, dOurs / dRef, nDirs == 12 ? " (target >= 3)" : "", nSink % 10);
    }
    return nResult;
}
