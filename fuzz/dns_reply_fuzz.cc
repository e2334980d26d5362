// The resolver's reply check and address scan on any bytes: the first byte is the
// query's ID high byte, the second chooses the sender and the receive's result
// (short, negative), the rest is the datagram in a buffer of exactly its size.
// The addresses, joined as getmsgip joins them, fit its 1361-byte out.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dns.h"
#include "fuzz_check.h"

// getmsgip's caller-provided buffer.
static const size_t MSGIP_OUT_SIZE = 1361;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *pData, size_t nSize) {
    if (nSize < 2) return 0;
    unsigned char cIdHigh = pData[0];
    unsigned char cMode = pData[1];
    size_t nReply = nSize - 2;
    if (nReply > (size_t)DNS_REPLY_SIZE) nReply = DNS_REPLY_SIZE;  // one recv never gives more
    unsigned char *pReply = new unsigned char[nReply + 1];
    std::memcpy(pReply, pData + 2, nReply);

    sockaddr_in server = {};
    server.sin_family = AF_INET;
    server.sin_port = htons(DNS_PORT);
    inet_pton(AF_INET, DNS_SERVERS[cMode & 1], &server.sin_addr);
    sockaddr_in from = server;
    if (cMode & 2) from.sin_port = htons(DNS_PORT + 1);
    if (cMode & 4) from.sin_addr.s_addr ^= htonl(1);
    int nLen = (int)nReply;
    if (cMode & 8) nLen = -1;  // the receive failed

    EDnsReply eVerdict = dnsCheckReply(pReply, nLen, cIdHigh, from, server);
    bool bForeign = (cMode & 6) != 0;
    FUZZ_CHECK(bForeign == (eVerdict == DNS_REPLY_FOREIGN), "mode %u verdict %d", cMode,
               (int)eVerdict);
    if (eVerdict == DNS_REPLY_ACCEPT)
        FUZZ_CHECK(nLen > 0 && pReply[0] == cIdHigh, "accepted a bad reply");

    std::vector<std::string> listAddr = dnsScanAddresses(pReply, (int)nReply);
    FUZZ_CHECK(listAddr.size() <= nReply / 16, "%zu addresses from %zu bytes", listAddr.size(),
               nReply);
    for (const std::string &strAddr : listAddr) {
        in_addr addr;
        FUZZ_CHECK(inet_pton(AF_INET, strAddr.c_str(), &addr) == 1, "not an address: %s",
                   strAddr.c_str());
    }
    size_t nText = dnsJoinAddresses(listAddr).size();
    FUZZ_CHECK(nText + 1 <= MSGIP_OUT_SIZE, "%zu addresses need %zu bytes", listAddr.size(),
               nText + 1);
    delete[] pReply;
    return 0;
}
