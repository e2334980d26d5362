// Shell quoting for the wrapper's command lines.
#include "shellword.h"

#include <cstring>

bool IsShellPlain(const std::string &str) {
    for (char c : str) {
        unsigned char u = (unsigned char)c;
        bool bPlain = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
                      (u != 0 && std::strchr("/._-+,:@%=", u) != nullptr);
        if (!bPlain) return false;
    }
    return true;
}

std::string ShellWord(const std::string &str, bool bAllowEmpty) {
    if (IsShellPlain(str) && (bAllowEmpty || !str.empty())) return str;
    std::string strOut = "'";
    for (char c : str) {
        if (c == '\'')
            strOut += "'\\''";
        else
            strOut += c;
    }
    strOut += '\'';
    return strOut;
}
