// The ring scan: each path forced in turn must choose the directory that a
// std::map ring filled by assignment chooses, for random lists, every name
// length around the one-block limit, repeated names and keys that collide; the
// CPU probe must see what the compiler's own runtime sees.
#include "ringscan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "uri_literal.h"

namespace {

const eRingPath PATHS[] = {RING_PATH_SCALAR, RING_PATH_AVX2, RING_PATH_AVX512, RING_PATH_AUTO};

// The paths this CPU runs, AUTO included.
std::vector<eRingPath> pathsHere() {
    std::vector<eRingPath> listPaths;
    for (eRingPath ePath : PATHS)
        if (ringPathAvailable(ePath)) listPaths.push_back(ePath);
    return listPaths;
}

// Every available path on the list and each URL key against the map ring.
void expectAllPathsChoose(const std::vector<std::string> &listNames,
                          const std::vector<uint64_t> &listKeys, const std::string &strCase) {
    const std::map<uint64_t, std::string> ring = literal::buildRing(literal::join(listNames));
    for (uint64_t nKey : listKeys) {
        const std::string &strWant = literal::upperBoundWrap(ring, nKey);
        for (eRingPath ePath : pathsHere()) {
            const long nIndex = ringScanList(listNames, nKey, ePath);
            ASSERT_GE(nIndex, 0) << strCase;
            ASSERT_EQ(listNames[(size_t)nIndex], strWant)
                << ringPathName(ePath) << ", " << strCase << ", URL key " << nKey;
        }
    }
}

// URL keys that hit the ring's edges: each point's own key, one below and one
// above it, for a few points, plus 0, the largest key and beyond.
std::vector<uint64_t> edgeKeys(const std::vector<std::string> &listNames, std::mt19937 &rng) {
    std::vector<uint64_t> listKeys = {0, 1ull << 33, (1ull << 34) - 4, 1ull << 34, ~0ull};
    for (int i = 0; i < 6; ++i) {
        const std::string &strName = listNames[rng() % listNames.size()];
        char szLabel[1100];
        std::snprintf(szLabel, sizeof szLabel, "%s-%03d", strName.c_str(),
                      (int)(rng() % RING_POINTS));
        const uint64_t nKey = ringKeyOf(szLabel, std::strlen(szLabel));
        listKeys.insert(listKeys.end(), {nKey - 1, nKey, nKey + 1});
    }
    return listKeys;
}

// The scalar scan's fold over chosen keys, aKeys[n] the points of position n.
long foldKeys(const std::vector<std::vector<uint64_t>> &listKeys, uint64_t nUrlKey) {
    sRingScan scan;
    ringScanInit(&scan, nUrlKey, RING_PATH_SCALAR);
    for (size_t n = 0; n < listKeys.size(); ++n)
        ringScanKeys(&scan, listKeys[n].data(), listKeys[n].size(), n);
    return ringScanChosen(&scan);
}

}  // namespace

// The library's own probe (cpuid, xgetbv) against libgcc's, which the test may
// run: both ask the CPU and the operating system's enabled register states.
TEST(RingScan, PathsOfThisCpu) {
    for (eRingPath ePath : {RING_PATH_AVX2, RING_PATH_AVX512})
        if (!ringPathAvailable(ePath))
            std::printf("this CPU lacks %s: that path is not compared\n", ringPathName(ePath));
    std::printf("uri2d runs the %s path here\n", ringPathName(ringPathBest()));
    EXPECT_TRUE(ringPathAvailable(RING_PATH_SCALAR));
    __builtin_cpu_init();
    EXPECT_EQ(ringPathAvailable(RING_PATH_AVX2), __builtin_cpu_supports("avx2") != 0);
    EXPECT_EQ(ringPathAvailable(RING_PATH_AVX512), __builtin_cpu_supports("avx512f") &&
                                                       __builtin_cpu_supports("avx512vl") &&
                                                       __builtin_cpu_supports("avx512bw"));
}

// Names of 40 to 70 bytes straddle the one-block limit of 51 and every offset
// of the digits in their words, across the block edge included (62, 63).
TEST(RingScan, EveryNameLengthAroundTheBlockLimit) {
    std::mt19937 rng(7);
    std::vector<size_t> listLens;
    for (size_t n = 1; n <= 130; ++n) listLens.push_back(n);
    for (size_t n : {500, 1000, 1010, 1011, 1012, 1018, 1019}) listLens.push_back(n);
    for (size_t nLen : listLens) {
        const std::string strName(nLen, (char)('a' + nLen % 26));
        expectAllPathsChoose({strName}, edgeKeys({strName}, rng),
                             "one name of " + std::to_string(nLen));
        const std::vector<std::string> listTwo = {"/d" + std::to_string(nLen), strName};
        expectAllPathsChoose(listTwo, edgeKeys(listTwo, rng), "two names, " + std::to_string(nLen));
    }
}

TEST(RingScan, RandomListsAndUrls) {
    std::mt19937 rng(2026);
    for (int nList = 0; nList < 150; ++nList) {
        std::vector<std::string> listNames(1 + rng() % (nList % 5 == 0 ? 24 : 12));
        for (std::string &strName : listNames) strName = literal::randomName(rng, false);
        std::vector<uint64_t> listKeys = edgeKeys(listNames, rng);
        for (int i = 0; i < 30; ++i) {
            const std::string strFile = "movie" + std::to_string(rng());
            listKeys.push_back(ringKeyOf(strFile.data(), strFile.size()));
        }
        expectAllPathsChoose(listNames, listKeys, "list " + std::to_string(nList));
    }
}

// A name that stands twice gives the same points twice: the later position owns
// every one of them, on every path.
TEST(RingScan, RepeatedNameLaterPositionWins) {
    const struct {
        std::vector<std::string> listNames;
        long nWant;  // position that owns the repeated name's points
    } CASES[] = {
        {{"/d", "/d"}, 1},
        {{"/d", "/d", "/d"}, 2},
        {{std::string(60, 'q'), std::string(60, 'q')}, 1},
        {{std::string(1019, 'r'), std::string(1019, 'r')}, 1},
    };
    std::mt19937 rng(3);
    for (const auto &c : CASES) {
        for (uint64_t nKey : edgeKeys(c.listNames, rng)) {
            for (eRingPath ePath : pathsHere()) {
                EXPECT_EQ(ringScanList(c.listNames, nKey, ePath), c.nWant)
                    << ringPathName(ePath) << ", " << c.listNames[0].size() << " bytes, key "
                    << nKey;
            }
        }
    }
    // Between distinct names the repeat still takes the later position.
    const std::vector<std::string> listMixed = {"/a", "/b", "/a"};
    for (uint64_t nKey : edgeKeys(listMixed, rng)) {
        for (eRingPath ePath : pathsHere()) {
            EXPECT_NE(ringScanList(listMixed, nKey, ePath), 0)
                << ringPathName(ePath) << ", key " << nKey;
        }
    }
}

// Keys chosen to collide: A (position 0) holds 10, 20, 40; B holds 20, 40 and 5.
// Of two points with one key the later owns it.
TEST(RingScan, LaterPointOwnsEqualKey) {
    const struct {
        uint64_t nUrlKey;
        long nWant;
    } CASES[] = {{0, 1}, {5, 0}, {9, 0}, {10, 1}, {15, 1}, {20, 1}, {39, 1}, {40, 1}, {99, 1}};
    for (const auto &c : CASES)
        EXPECT_EQ(foldKeys({{10, 20, 40}, {20, 40, 5}}, c.nUrlKey), c.nWant) << c.nUrlKey;
}

// Crowded small keys make collisions common, within a directory and between
// directories: the fold has to agree with upper_bound on a map filled by
// assignment, wrap included.
TEST(RingScan, AgreesWithMapOnCollidingKeys) {
    std::mt19937 rng(99);
    for (int nCase = 0; nCase < 2000; ++nCase) {
        std::map<uint64_t, std::string> ring;
        std::vector<std::vector<uint64_t>> listKeys(1 + rng() % 6);
        for (size_t n = 0; n < listKeys.size(); ++n) {
            listKeys[n].resize(1 + rng() % 8);
            for (uint64_t &nKey : listKeys[n]) ring[nKey = rng() % 40] = std::to_string(n);
        }
        const uint64_t nUrlKey = rng() % 45;
        ASSERT_EQ(std::to_string(foldKeys(listKeys, nUrlKey)),
                  literal::upperBoundWrap(ring, nUrlKey))
            << "case " << nCase << ", URL key " << nUrlKey;
    }
}

TEST(RingScan, EmptyListChoosesNothing) {
    for (eRingPath ePath : PATHS) EXPECT_EQ(ringScanList({}, 5, ePath), -1);
}
