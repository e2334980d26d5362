// The base of getmsgip's tests against a peer: the test process moved into a
// private network namespace whose loopback carries the two public resolver
// addresses, and getmsgip of the built library with its output checked. Skips
// when the namespace cannot be made.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "cachekit_dl.h"
#include "dnspeer.h"
#include "marker_out.h"

class ResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string strWhy;
        // Nothing may be sent before the two addresses are known to be local.
        if (!testsupport::EnterResolverNetns(strWhy)) GTEST_SKIP() << strWhy;
        ASSERT_NE(cachekit_dl::Exports().pHandle, nullptr) << dlerror();
        m_pfnGetmsgip = cachekit_dl::Exports().getmsgip;
        ASSERT_NE(m_pfnGetmsgip, nullptr);
    }

    // getmsgip's text, checked to end within its 1361 bytes with nothing written
    // behind it; the call's time in m_lMs.
    std::string Resolve(const char *pszHost) {
        auto tStart = std::chrono::steady_clock::now();
        std::string strOut =
            WrittenText(1361, [&](char *pszOut) { m_pfnGetmsgip(pszOut, pszHost); });
        m_lMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - tStart)
                                      .count());
        return strOut;
    }

    void (*m_pfnGetmsgip)(char *, const char *) = nullptr;
    long m_lMs = 0;
};
