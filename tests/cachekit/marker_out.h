// An export's text output checked byte for byte: the caller's buffer is filled
// with a marker before the call, the text must end with a NUL within the size the
// export promises, and every byte behind that NUL must still hold the marker.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

constexpr char OUT_MARKER = 0x5a;
constexpr size_t OUT_SLACK = 64;  // marked bytes behind the promised size

// Calls fn(pszOut) with a marked buffer of nMax + OUT_SLACK bytes; returns the
// text written (its first nMax bytes when no NUL ends it there).
template <typename F>
std::string WrittenText(size_t nMax, F fn) {
    std::vector<char> out(nMax + OUT_SLACK, OUT_MARKER);
    fn(out.data());
    const size_t nLen = strnlen(out.data(), nMax);
    EXPECT_LT(nLen, nMax) << "no NUL within " << nMax << " bytes";
    for (size_t i = nLen + 1; i < out.size(); ++i) {
        if (out[i] != OUT_MARKER) {
            ADD_FAILURE() << "byte " << i << " written behind a text of " << nLen << " bytes";
            break;
        }
    }
    return std::string(out.data(), nLen);
}
