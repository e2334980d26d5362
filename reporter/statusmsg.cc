// Encoding of the status datagram and the rate arithmetic.
#include "statusmsg.h"

#include <charconv>
#include <cstdio>

const uint32_t MAX_OUTCOME = 850;

namespace {

void PutLE32(unsigned char *p, uint32_t u) {
    p[0] = (unsigned char)(u & 0xff);
    p[1] = (unsigned char)((u >> 8) & 0xff);
    p[2] = (unsigned char)((u >> 16) & 0xff);
    p[3] = (unsigned char)((u >> 24) & 0xff);
}

uint32_t GetLE32(const unsigned char *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

}  // namespace

//  0       4       8       12      16      20      24      28
//  +-------+-------+-------+-------+-------+-------+-------+
//  | tag   | IP    |Status |InCome |OutCome|CPU    |MEM    |   each u32 little-endian;
//  +-------+-------+-------+-------+-------+-------+-------+   IP of a.b.c.d is d c b a
void EncodeStatus(const MORVA_VESKO_STATUS &rec, unsigned char pOut[STATUS_SIZE]) {
    PutLE32(pOut + 0, rec.tag);
    PutLE32(pOut + 4, rec.IP);
    PutLE32(pOut + 8, rec.Status);
    PutLE32(pOut + 12, rec.InCome);
    PutLE32(pOut + 16, rec.OutCome);
    PutLE32(pOut + 20, rec.CPUUsing);
    PutLE32(pOut + 24, rec.MEMUsing);
}

void DecodeStatus(const unsigned char pIn[STATUS_SIZE], MORVA_VESKO_STATUS &rec) {
    rec.tag = GetLE32(pIn + 0);
    rec.IP = GetLE32(pIn + 4);
    rec.Status = GetLE32(pIn + 8);
    rec.InCome = GetLE32(pIn + 12);
    rec.OutCome = GetLE32(pIn + 16);
    rec.CPUUsing = GetLE32(pIn + 20);
    rec.MEMUsing = GetLE32(pIn + 24);
}

int ComputeRates(uint64_t InBW, uint64_t OutBW, uint64_t InBWLast, uint64_t OutBWLast,
                 int64_t lElapsed, bool bHaveBaseline, MORVA_VESKO_STATUS &rec) {
    if (!bHaveBaseline || lElapsed <= 0) return SAMPLE_BASELINE;
    if (InBW < InBWLast || OutBW < OutBWLast) return SAMPLE_BASELINE;
    // Bytes to bits (x 8) over seconds x 2^20: units of 2^20 bit/s, truncated.
    uint64_t uDivisor = (uint64_t)lElapsed * RATE_UNIT_BITS;
    rec.InCome = (uint32_t)(((InBW - InBWLast) * 8) / uDivisor);
    rec.OutCome = (uint32_t)(((OutBW - OutBWLast) * 8) / uDivisor);
    rec.Status = rec.OutCome > MAX_OUTCOME ? 0 : 1;
    return SAMPLE_RATES;
}

std::string DottedQuad(uint32_t nIP) {
    // to_chars rather than a format: the dispatch listener prints two per datagram.
    char szIP[16];
    char *p = szIP;
    for (int nShift = 24; nShift >= 0; nShift -= 8) {
        p = std::to_chars(p, szIP + sizeof szIP, (nIP >> nShift) & 0xff).ptr;
        if (nShift > 0) *p++ = '.';
    }
    return std::string(szIP, p);
}

std::string FormatReportLine(const MORVA_VESKO_STATUS &rec) {
    char szLine[128];
    std::snprintf(szLine, sizeof szLine, "%s\t%u\t%u\t%u\t%u\t%u", DottedQuad(rec.IP).c_str(),
                  rec.Status, rec.InCome, rec.OutCome, rec.CPUUsing, rec.MEMUsing);
    return szLine;
}
