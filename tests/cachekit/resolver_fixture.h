// The base of getmsgip's tests against a peer: the test process moved into a
// private network namespace whose loopback carries the two public resolver
// addresses, and getmsgip of the built library. Skips when the namespace cannot
// be made.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "cachekit_dl.h"
#include "dnspeer.h"

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

    void (*m_pfnGetmsgip)(char *, const char *) = nullptr;
};
