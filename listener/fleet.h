// The fleet as a dispatch listener sees it: the latest report of every interface,
// keyed by the interface's address and the datagram's source address, and counts
// of what arrived. Renders it as Prometheus text exposition and as a terminal table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "statusmsg.h"

// What one datagram was found to be. Each datagram has exactly one result: the
// length is judged first, since the tag of a short datagram is not a tag.
enum {
    DATAGRAM_OK = 0,          // STATUS_SIZE bytes with tag STATUS_TAG
    DATAGRAM_BAD_LENGTH = 1,  // any other length
    DATAGRAM_BAD_TAG = 2,     // STATUS_SIZE bytes, another tag
    DATAGRAM_RESULTS = 3,
};

// Both addresses in host order (a.b.c.d is a*2^24 + ... + d), so that the map's
// order is the numeric order of the interface address, then of the sender.
struct sFleetKey {
    uint32_t IP;
    uint32_t Sender;
    bool operator<(const sFleetKey &o) const { return IP != o.IP ? IP < o.IP : Sender < o.Sender; }
};

struct sFleetEntry {
    uint32_t Status;
    uint32_t InCome;
    uint32_t OutCome;
    int64_t lLastReportMs;  // arrival of the latest datagram, ms since the epoch
    // ip="a.b.c.d",sender="e.f.g.h": formatted once, as the exposition writes it four
    // times per interface. Dotted quads need no escaping in a label value.
    char szLabels[48];
};

class CFleet {
public:
    // Counts one datagram of nLen bytes (pBuf holds at least its first STATUS_SIZE, or
    // all of a shorter one) that came from nSender (host order) at lNowMs
    // (ms since the epoch); only a DATAGRAM_OK one becomes the latest report of its
    // (IP, sender). rec receives the first STATUS_SIZE bytes decoded, zero-padded when
    // shorter. Returns the DATAGRAM_* result.
    int Apply(const unsigned char *pBuf, size_t nLen, uint32_t nSender, int64_t lNowMs,
              MORVA_VESKO_STATUS &rec);

    const std::map<sFleetKey, sFleetEntry> &Interfaces() const { return m_mapInterfaces; }
    // Datagrams counted with result nResult (DATAGRAM_OK .. DATAGRAM_BAD_TAG).
    uint64_t Count(int nResult) const { return m_aCounts[nResult]; }

private:
    std::map<sFleetKey, sFleetEntry> m_mapInterfaces;
    uint64_t m_aCounts[DATAGRAM_RESULTS] = {0, 0, 0};
};

// Writes the fleet to pOut in Prometheus' text exposition format: for each family
// its HELP and TYPE lines, then one sample per interface in the map's order; the
// datagram counter has all three results, zeros included. Returns 1 when every
// write succeeded, 0 otherwise (errno from the failed write).
int WriteExposition(const CFleet &fleet, FILE *pOut);

// The terminal table: a summary line, a header, then one row per interface (address,
// sender, status, in, out, whole seconds since its latest report at lNowMs) in the
// map's order. At most nMaxRows rows; the rest are counted on one more line. Every
// line ends in "\n".
std::string FormatTable(const CFleet &fleet, int64_t lNowMs, size_t nMaxRows);
