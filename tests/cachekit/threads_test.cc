// The exports called from many threads at once give what they give alone: the
// library shares nothing between calls.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cachekit_dl.h"
#include "tempdir.h"

namespace {

struct sTask {
    enum { MD5DATA, MD5FILE, URI2D, FILEEXIST } eKind;
    std::string strA, strB;  // data or path or URL; directory list
    std::string strExpected;
};

std::string run(const cachekit_dl::sExports &e, const sTask &task) {
    char szOut[3067];
    switch (task.eKind) {
        case sTask::MD5DATA:
            e.md5data(szOut, task.strA.data(), (int)task.strA.size());
            break;
        case sTask::MD5FILE:
            e.md5file(szOut, task.strA.c_str());
            break;
        case sTask::URI2D:
            e.uri2d(szOut, task.strA.c_str(), task.strB.c_str());
            break;
        case sTask::FILEEXIST:
            return std::to_string(e.fileExist(task.strA.c_str()));
    }
    return szOut;
}

}  // namespace

TEST(CachekitThreads, ConcurrentCallsMatchSingleThreaded) {
    const cachekit_dl::sExports &e = cachekit_dl::Exports();
    ASSERT_TRUE(e.md5data && e.md5file && e.uri2d && e.fileExist) << dlerror();
    testsupport::CTempDir dir;
    std::mt19937 rng(8);

    std::vector<sTask> listTasks;
    for (int i = 0; i < 6; ++i) {
        std::string strData((size_t)(rng() % (3u << 20)), 0);
        for (char &c : strData) c = (char)rng();
        const std::string strPath = dir.File("f" + std::to_string(i));
        ASSERT_TRUE(testsupport::WriteFile(strPath, strData));
        listTasks.push_back({sTask::MD5FILE, strPath, "", ""});
        listTasks.push_back({sTask::FILEEXIST, strPath, "", ""});
        listTasks.push_back({sTask::FILEEXIST, strPath + ".missing", "", ""});
    }
    listTasks.push_back({sTask::MD5FILE, dir.Path(), "", ""});
    for (int i = 0; i < 60; ++i) {
        std::string strData((size_t)(rng() % 5000), 0);
        for (char &c : strData) c = (char)rng();
        listTasks.push_back({sTask::MD5DATA, strData, "", ""});
    }
    for (int i = 0; i < 40; ++i) {
        std::string strDirs;
        for (int n = (int)(rng() % 6); n >= 0; --n)
            strDirs += "|/cache/d" + std::to_string(rng() % 100);
        const std::string strUrl =
            "http://n" + std::to_string(i) + ":80/v/m" + std::to_string(rng()) + ".mp4?s=1";
        listTasks.push_back({sTask::URI2D, strUrl, strDirs, ""});
    }
    for (sTask &task : listTasks) task.strExpected = run(e, task);

    const int THREADS = 8;
    std::atomic<int> nMismatches(0);
    std::vector<std::thread> listThreads;
    for (int t = 0; t < THREADS; ++t) {
        listThreads.emplace_back([&, t] {
            // Each thread walks the tasks from a different start, twice round.
            for (size_t i = 0; i < 2 * listTasks.size(); ++i) {
                const sTask &task = listTasks[(i + (size_t)t * 13) % listTasks.size()];
                if (run(e, task) != task.strExpected) ++nMismatches;
            }
        });
    }
    for (std::thread &thread : listThreads) thread.join();
    EXPECT_EQ(nMismatches.load(), 0);
}
