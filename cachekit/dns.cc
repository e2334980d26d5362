// The stub resolver: the A query's bytes, the acceptance rule for a reply, the scan
// for answer records, and the loop that asks the two servers in turn.
#include "dns.h"

#include <sys/time.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "sock.h"

const char *const DNS_SERVERS[2] = {"223.5.5.5", "8.8.8.8"};

namespace {

// Bytes C0 0C 00 01 open a recognised record: NAME is a compression pointer to
// offset 12 (the question's name), TYPE is 1 (A).
const unsigned char A_RECORD_LEAD[4] = {0xC0, 0x0C, 0x00, 0x01};

// Lead (4) + CLASS 2 + TTL 4 + RDLENGTH 2 put the address at +12; the record
// ends 16 bytes after its start.
const int A_RECORD_ADDR = 12;
const int A_RECORD_SIZE = 16;

void put16(unsigned char *p, unsigned nValue) {
    p[0] = static_cast<unsigned char>(nValue >> 8);
    p[1] = static_cast<unsigned char>(nValue);
}

long msSince(const timespec &tsStart) {
    timespec tsNow;
    clock_gettime(CLOCK_MONOTONIC, &tsNow);
    return (tsNow.tv_sec - tsStart.tv_sec) * 1000L + (tsNow.tv_nsec - tsStart.tv_nsec) / 1000000L;
}

// One attempt: a fresh socket connected to port 53 of pszServer, the query, then
// datagrams read until the server's own reply comes or DNS_WAIT_MS pass. Returns
// the accepted reply's length in pReply, or 0.
int askServer(const char *pszServer, const unsigned char *pQuery, int nQueryLen,
              unsigned char *pReply) {
    sockaddr_in server;
    if (sockAddrOf(pszServer, DNS_PORT, &server) != 0) return 0;
    int fd = sockCreate(0);
    if (fd < 0) return 0;
    // Connected, the kernel itself drops datagrams of other senders; the sender is
    // still compared below, so the rule holds whatever the socket's state.
    if (sockConnect(fd, pszServer, DNS_PORT) != 0 || sockSend(fd, pQuery, nQueryLen) < 0) {
        sockClose(fd);
        return 0;
    }
    timespec tsStart;
    clock_gettime(CLOCK_MONOTONIC, &tsStart);
    int nAccepted = 0;
    for (;;) {
        long lLeft = DNS_WAIT_MS - msSince(tsStart);
        // Never pass 0: sockRecv would then wait without limit.
        if (lLeft < 1) break;
        std::memset(pReply, 0, DNS_REPLY_SIZE);
        sockaddr_in from;
        int nLen = sockRecvFrom(fd, pReply, DNS_REPLY_SIZE, static_cast<int>(lLeft), &from);
        if (nLen < 0) break;
        EDnsReply eVerdict = dnsCheckReply(pReply, nLen, pQuery[0], from, server);
        if (eVerdict == DNS_REPLY_FOREIGN) continue;
        if (eVerdict == DNS_REPLY_ACCEPT) nAccepted = nLen;
        break;
    }
    sockClose(fd);
    return nAccepted;
}

}  // namespace

int dnsBuildQuery(unsigned char *pQuery, std::string strName, unsigned nId) {
    if (!strName.empty() && strName.back() == '.') strName.pop_back();
    if (strName.empty() || strName.size() > static_cast<size_t>(DNS_MAX_NAME)) return 0;

    std::memset(pQuery, 0, DNS_QUERY_SIZE);
    //  0  ID (2)   2  flags 0x0100: RD only, QR 0, OPCODE 0
    //  4  QDCOUNT 1   6  ANCOUNT 0   8  NSCOUNT 0   10  ARCOUNT 0
    put16(pQuery + 0, nId & 0xFFFF);
    put16(pQuery + 2, 0x0100);
    put16(pQuery + 4, 1);

    // QNAME from offset 12: per label a length byte and the label's bytes. The name
    // is consumed from the front, one label per round; the last has no dot.
    int nPos = 12;
    for (;;) {
        size_t nDot = strName.find('.');
        size_t nLabel = nDot == std::string::npos ? strName.size() : nDot;
        if (nLabel == 0 || nLabel > static_cast<size_t>(DNS_MAX_LABEL)) return 0;
        pQuery[nPos++] = static_cast<unsigned char>(nLabel);
        std::memcpy(pQuery + nPos, strName.data(), nLabel);
        nPos += static_cast<int>(nLabel);
        if (nDot == std::string::npos) break;
        strName.erase(0, nDot + 1);
    }
    // The zero byte that ends QNAME is already there; then QTYPE 1 (A), QCLASS 1 (IN).
    nPos++;
    put16(pQuery + nPos, 1);
    put16(pQuery + nPos + 2, 1);
    return nPos + 4;
}

EDnsReply dnsCheckReply(const unsigned char *pReply, int nLen, unsigned char cIdHigh,
                        const sockaddr_in &from, const sockaddr_in &server) {
    if (from.sin_family != AF_INET || from.sin_addr.s_addr != server.sin_addr.s_addr ||
        from.sin_port != server.sin_port)
        return DNS_REPLY_FOREIGN;
    if (nLen <= 0 || pReply[0] != cIdHigh) return DNS_REPLY_REJECT;
    // ANCOUNT as it stands in the receive buffer, zeroed before the read: a byte
    // that did not arrive is 0, so 7 bytes still carry its high byte.
    unsigned nAnCount =
        (nLen > 6 ? static_cast<unsigned>(pReply[6]) << 8 : 0) | (nLen > 7 ? pReply[7] : 0);
    return nAnCount != 0 ? DNS_REPLY_ACCEPT : DNS_REPLY_REJECT;
}

std::vector<std::string> dnsScanAddresses(const unsigned char *pReply, int nLen) {
    std::vector<std::string> listAddr;
    int k = 0;
    while (nLen - k >= A_RECORD_SIZE) {
        if (std::memcmp(pReply + k, A_RECORD_LEAD, sizeof A_RECORD_LEAD) != 0) {
            k++;
            continue;
        }
        const unsigned char *pAddr = pReply + k + A_RECORD_ADDR;
        char szAddr[128];
        std::memset(szAddr, 0, sizeof szAddr);
        std::snprintf(szAddr, sizeof szAddr, "%d.%d.%d.%d", pAddr[0], pAddr[1], pAddr[2], pAddr[3]);
        listAddr.push_back(szAddr);
        // Go on behind the address: the address bytes themselves may read C0 0C 00 01
        // (192.12.0.1) and are no record.
        k += A_RECORD_SIZE;
    }
    return listAddr;
}

std::string dnsJoinAddresses(const std::vector<std::string> &listAddr) {
    if (listAddr.empty()) return "false";
    std::string strText;
    for (const std::string &strAddr : listAddr) strText += strAddr + "|";
    return strText;
}

std::vector<std::string> dnsQueryA(std::string strName) {
    unsigned char aQuery[DNS_QUERY_SIZE];
    timeval tv;
    gettimeofday(&tv, nullptr);
    // The ID is the low 16 bits of the microseconds of the time of day; every
    // attempt sends the same query.
    int nQueryLen = dnsBuildQuery(aQuery, std::move(strName), static_cast<unsigned>(tv.tv_usec));
    if (nQueryLen == 0) return {};

    unsigned char aReply[DNS_REPLY_SIZE];
    std::memset(aReply, 0, sizeof aReply);
    for (int i = 0; i < DNS_ATTEMPTS; i++) {
        int nLen = askServer(DNS_SERVERS[i % 2], aQuery, nQueryLen, aReply);
        if (nLen > 0) return dnsScanAddresses(aReply, nLen);
    }
    return {};
}
