// One uri2d ring lookup per call with 4, 12 and 24 directories: the plain
// implementation (std::map ring, "%02x" texts parsed back), the scan on each
// path, and the bare compressions each path's width runs for the same number
// of points, all in one run. Medians of repeated timings, microseconds per call.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "md5.h"
#include "ringscan_kernel.h"
#include "uri.h"
#include "uri_literal.h"

namespace {

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Median over 7 rounds of the time per call, each round at least dRound seconds.
template <typename F>
double usPerCall(double dRound, F fn) {
    std::vector<double> listUs;
    for (int nRound = 0; nRound < 7; ++nRound) {
        size_t nCalls = 0;
        const double t0 = nowSeconds();
        double t1 = t0;
        do {
            fn();
            ++nCalls;
            t1 = nowSeconds();
        } while (t1 - t0 < dRound);
        listUs.push_back((t1 - t0) * 1e6 / nCalls);
    }
    std::sort(listUs.begin(), listUs.end());
    return listUs[3];
}

}  // namespace

int main() {
    volatile uint64_t nSink = 0;
    int nResult = 0;
    std::printf("us per call (median of 7)   ratio = scalar / path\n");
    for (int nDirs : {4, 12, 24}) {
        std::vector<std::string> listNames;
        for (int i = 1; i <= nDirs; ++i) listNames.push_back("/cache/disk" + std::to_string(i));
        const std::string strDirs = literal::join(listNames);
        const std::string strUrl = "http://node7:8080/vod/movie01.mp4?start=30";
        const uint64_t nUrlKey = ringKeyOf("movie01", 7);

        const long nWant = ringScanList(listNames, nUrlKey, RING_PATH_SCALAR);
        const std::string strWant = literal::uri2d(strUrl, strDirs);
        if (strWant.compare(0, listNames[(size_t)nWant].size() + 1,
                            listNames[(size_t)nWant] + "/") != 0) {
            std::printf("MISMATCH scalar against the plain implementation\n");
            nResult = 1;
        }
        std::printf("%2d directories (%d points)\n", nDirs, nDirs * RING_POINTS);
        const double dLiteral =
            usPerCall(0.2, [&] { nSink = nSink + literal::uri2d(strUrl, strDirs).size(); });
        std::printf("  %-28s %9.1f\n", "plain map ring", dLiteral);

        sRingJob job;
        ringJobInit(&job, listNames[0].data(), listNames[0].size(), 0);
        double dScalar = 0;
        for (eRingPath ePath : {RING_PATH_SCALAR, RING_PATH_AVX2, RING_PATH_AVX512}) {
            if (!ringPathAvailable(ePath)) {
                std::printf("  %-28s   (CPU lacks it)\n", ringPathName(ePath));
                continue;
            }
            if (ringScanList(listNames, nUrlKey, ePath) != nWant) {
                std::printf("MISMATCH on %s\n", ringPathName(ePath));
                nResult = 1;
            }
            const double dScan = usPerCall(
                0.2, [&] { nSink = nSink + (uint64_t)ringScanList(listNames, nUrlKey, ePath); });
            double dBare;
            if (ePath == RING_PATH_SCALAR) {
                dScalar = dScan;
                unsigned char aBlock[64] = {1};
                dBare = usPerCall(0.2, [&] {
                    uint32_t state[4] = {1, 2, 3, (uint32_t)nSink};
                    for (int i = 0; i < nDirs * RING_POINTS; ++i) md5Transform(state, aBlock);
                    nSink = nSink + state[0];
                });
            } else {
                const size_t nPoints = (size_t)nDirs * RING_POINTS;
                dBare = usPerCall(0.2, [&] {
                    nSink = nSink + (ePath == RING_PATH_AVX512 ? ringBareAvx512(&job, nPoints)
                                                               : ringBareAvx2(&job, nPoints));
                });
            }
            char szLabel[64];
            std::snprintf(szLabel, sizeof szLabel, "%s scan", ringPathName(ePath));
            std::printf("  %-28s %9.1f   x%-6.1f (%.2f ns/point)\n", szLabel, dScan,
                        dScalar / dScan, dScan * 1000 / (nDirs * RING_POINTS));
            std::snprintf(szLabel, sizeof szLabel, "%s bare compressions", ringPathName(ePath));
            std::printf("  %-28s %9.1f   scan/bare %.2f\n", szLabel, dBare, dScan / dBare);
        }
        std::printf("  plain / scalar x%.1f\n", dLiteral / dScalar);
    }
    std::printf("targets with 12 directories: avx512 >= x25 and scan/bare <= 1.5; avx2 >= x10\n");
    return nResult;
}
