// Interface discovery through SIOCGIFCONF/SIOCGIFADDR and the counters of /proc/net/dev.
#include "netif.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

const char *const NET = "/proc/net/dev";

namespace {

void CopyText(char *pszDest, size_t nSize, const char *pszSrc) {
    size_t nLen = std::strlen(pszSrc);
    if (nLen >= nSize) nLen = nSize - 1;
    std::memcpy(pszDest, pszSrc, nLen);
    pszDest[nLen] = '\0';
}

uint32_t Quad(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    return (a << 24) | (b << 16) | (c << 8) | d;
}

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

int GetLocalIP(char ethName[MAX_INTERFACE][64], char IPs[MAX_INTERFACE][64]) {
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) return 0;

    // The kernel fills at most as many records as the announced length holds.
    struct ifreq aReq[MAX_INTERFACE];
    struct ifconf ifc;
    std::memset(aReq, 0, sizeof aReq);
    ifc.ifc_len = sizeof aReq;
    ifc.ifc_req = aReq;
    if (ioctl(sock, SIOCGIFCONF, &ifc) < 0) {
        close(sock);
        return 0;
    }

    int nRecords = ifc.ifc_len / (int)sizeof(struct ifreq);
    int nIPCount = 0;
    for (int i = nRecords - 1; i >= 0 && nIPCount < MAX_INTERFACE; --i) {
        if (ioctl(sock, SIOCGIFADDR, &aReq[i]) < 0) continue;
        struct sockaddr_in sin;
        std::memcpy(&sin, &aReq[i].ifr_addr, sizeof sin);
        if (CheckInternalIP(ntohl(sin.sin_addr.s_addr)) == 1) continue;
        CopyText(IPs[nIPCount], 64, inet_ntoa(sin.sin_addr));
        char szName[IFNAMSIZ + 1];
        std::memcpy(szName, aReq[i].ifr_name, IFNAMSIZ);
        szName[IFNAMSIZ] = '\0';
        CopyText(ethName[nIPCount], 64, szName);
        ++nIPCount;
    }
    close(sock);
    return nIPCount;
}

int CheckInternalIP(uint32_t ip_addr) {
    struct Range {
        uint32_t uFirst;
        uint32_t uLast;
    };
    static const Range aPrivate[] = {
        {Quad(10, 0, 0, 0), Quad(10, 255, 255, 255)},
        {Quad(172, 16, 0, 0), Quad(172, 31, 255, 255)},
        {Quad(192, 168, 0, 0), Quad(192, 168, 255, 255)},
        {Quad(127, 0, 0, 1), Quad(127, 0, 0, 1)},
    };
    for (const Range &r : aPrivate)
        if (ip_addr >= r.uFirst && ip_addr <= r.uLast) return 1;
    return 0;
}

int ParseCounterLine(char *pszLine, const char *ethName, uint64_t &In, uint64_t &Out) {
    Trim(pszLine);
    size_t nLen = std::strlen(ethName);
    // The name must be followed by its colon: eth1 must not take the line of eth10,
    // whose colon the kernel writes right before a wide first counter ("eth10:123456789").
    if (std::strncmp(pszLine, ethName, nLen) != 0 || pszLine[nLen] != ':') return 0;
    // Skip the name and its colon; the first counter may follow the colon without a blank.
    std::vector<std::string> vecPieces;
    strsplit(pszLine + nLen + 1, vecPieces, ' ');
    // Receive columns 0-7 (bytes first), transmit columns 8-15 (bytes first).
    if (vecPieces.size() != 16) return 0;
    In = (uint64_t)std::strtol(vecPieces[0].c_str(), nullptr, 10);
    Out = (uint64_t)std::strtol(vecPieces[8].c_str(), nullptr, 10);
    return 1;
}

int GetBWFromFile(uint64_t &In, uint64_t &Out, const char *ethName, const char *pszFile) {
    int nResult = 0;
    FILE *pFile = std::fopen(pszFile, "r");
    if (pFile == nullptr) return 0;
    char szLine[1024];
    std::memset(szLine, 0, sizeof szLine);
    while (std::fgets(szLine, 1023, pFile) != nullptr)
        if (ParseCounterLine(szLine, ethName, In, Out) == 1) nResult = 1;
    std::fclose(pFile);
    return nResult;
}

int GetBW(uint64_t &In, uint64_t &Out, const char *ethName) {
    return GetBWFromFile(In, Out, ethName, NET);
}

char *Trim(char *String) {
    if (String == nullptr) return nullptr;
    size_t nLen = std::strlen(String);
    while (nLen > 0 && IsTrimmed(String[nLen - 1])) --nLen;
    String[nLen] = '\0';
    size_t nFront = 0;
    while (nFront < nLen && IsTrimmed(String[nFront])) ++nFront;
    if (nFront > 0) std::memmove(String, String + nFront, nLen - nFront + 1);
    return String;
}

int strsplit(const char *p, std::vector<std::string> &resutl, char s) {
    if (p == nullptr) return 0;
    int nCount = 0;
    std::string strPiece;
    for (; *p != '\0'; ++p) {
        if (*p != s) {
            strPiece += *p;
        } else if (!strPiece.empty()) {
            resutl.push_back(strPiece);
            strPiece.clear();
            ++nCount;
        }
    }
    if (!strPiece.empty()) {
        resutl.push_back(strPiece);
        ++nCount;
    }
    return nCount;
}

int IPPortSplit(std::string strIPPort, std::string &strIP, int &Port) {
    size_t nColon = strIPPort.find(':');
    if (nColon == std::string::npos) {
        strIP = strIPPort;
        return 0;
    }
    strIP = strIPPort.substr(0, nColon);
    Port = std::atoi(strIPPort.c_str() + nColon + 1);
    return 0;
}
