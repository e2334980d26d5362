// Quoting for the shell and escaping for find patterns.
#include "shellquote.h"

#include <cstring>

namespace {

bool isPlainByte(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr("/._-+,:@%=", c) != nullptr;
}

}  // namespace

bool isShellPlain(const std::string &str) {
    if (str.empty() || str[0] == '-') return false;
    for (char c : str)
        if (!isPlainByte((unsigned char)c)) return false;
    return true;
}

bool isShellPlainUrl(const std::string &str) {
    for (char c : str)
        if (!isPlainByte((unsigned char)c) && c != '?' && c != '&') return false;
    return !str.empty();
}

std::string shellSingleQuote(const std::string &str) {
    std::string strOut;
    strOut.reserve(str.size() + 2);
    strOut += '\'';
    for (char c : str) {
        // A single quote cannot stand inside single quotes: close, add it
        // backslash-escaped, reopen.
        if (c == '\'')
            strOut += "'\\''";
        else
            strOut += c;
    }
    strOut += '\'';
    return strOut;
}

std::string findPatternEscape(const std::string &str) {
    std::string strOut;
    strOut.reserve(str.size());
    for (char c : str) {
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') strOut += '\\';
        strOut += c;
    }
    return strOut;
}
