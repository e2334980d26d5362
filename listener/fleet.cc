#include "fleet.h"

#include <charconv>
#include <cstring>

namespace {

enum {
    FAMILY_RECEIVE,
    FAMILY_TRANSMIT,
    FAMILY_STATUS,
    FAMILY_LAST_REPORT,
    INTERFACE_FAMILIES,
};
struct sFamily {
    const char *pszName;
    const char *pszHelp;
};
const sFamily aFamilies[INTERFACE_FAMILIES] = {
    {"cachenode_interface_receive_bytes_per_second",
     "Receive rate in the interface's latest status datagram, in bytes per second."},
    {"cachenode_interface_transmit_bytes_per_second",
     "Transmit rate in the interface's latest status datagram, in bytes per second."},
    {"cachenode_interface_status",
     "Status in the interface's latest status datagram: 1 at or below the ceiling, 0 above it."},
    {"cachenode_interface_last_report_timestamp_seconds",
     "When the interface's latest status datagram arrived."},
};
const char *const aResultNames[DATAGRAM_RESULTS] = {"ok", "bad_length", "bad_tag"};

// Text written in pieces of about 64 KiB, so that a fleet of any size costs one
// buffer of memory rather than a copy of the whole exposition; appending to the
// string and writing whole pieces takes half the time of stdio's per-call writes.
class CChunkWriter {
public:
    explicit CChunkWriter(FILE *pOut) : m_pOut(pOut) { m_str.reserve(CHUNK + 256); }
    void Add(const char *psz) { m_str += psz; }
    void AddU64(uint64_t n) {
        char sz[24];
        m_str.append(sz, std::to_chars(sz, sz + sizeof sz, n).ptr);
    }
    // Line end; flushes a full chunk.
    void EndLine() {
        m_str += '\n';
        if (m_str.size() >= CHUNK) Flush();
    }
    int Flush() {
        // After a failed write the rest is dropped, keeping that write's errno.
        if (m_bOk && !m_str.empty() &&
            std::fwrite(m_str.data(), 1, m_str.size(), m_pOut) != m_str.size())
            m_bOk = false;
        m_str.clear();
        return m_bOk ? 1 : 0;
    }

private:
    static const size_t CHUNK = 65536;
    FILE *m_pOut;
    std::string m_str;
    bool m_bOk = true;
};

void AddHeader(CChunkWriter &out, const char *pszName, const char *pszHelp, const char *pszType) {
    out.Add("# HELP ");
    out.Add(pszName);
    out.Add(" ");
    out.Add(pszHelp);
    out.EndLine();
    out.Add("# TYPE ");
    out.Add(pszName);
    out.Add(" ");
    out.Add(pszType);
    out.EndLine();
}

}  // namespace

int CFleet::Apply(const unsigned char *pBuf, size_t nLen, uint32_t nSender, int64_t lNowMs,
                  MORVA_VESKO_STATUS &rec) {
    unsigned char aRec[STATUS_SIZE];
    std::memset(aRec, 0, sizeof aRec);
    if (nLen > 0) std::memcpy(aRec, pBuf, nLen < sizeof aRec ? nLen : sizeof aRec);
    DecodeStatus(aRec, rec);
    int nResult = nLen != STATUS_SIZE     ? DATAGRAM_BAD_LENGTH
                  : rec.tag != STATUS_TAG ? DATAGRAM_BAD_TAG
                                          : DATAGRAM_OK;
    ++m_aCounts[nResult];
    if (nResult != DATAGRAM_OK) return nResult;

    auto it = m_mapInterfaces.find(sFleetKey{rec.IP, nSender});
    if (it == m_mapInterfaces.end()) {
        sFleetEntry entry;
        std::string strLabels =
            "ip=\"" + DottedQuad(rec.IP) + "\",sender=\"" + DottedQuad(nSender) + "\"";
        std::memcpy(entry.szLabels, strLabels.c_str(), strLabels.size() + 1);  // at most 46
        it = m_mapInterfaces.emplace(sFleetKey{rec.IP, nSender}, entry).first;
    }
    it->second.Status = rec.Status;
    it->second.InCome = rec.InCome;
    it->second.OutCome = rec.OutCome;
    it->second.lLastReportMs = lNowMs;
    return nResult;
}

int WriteExposition(const CFleet &fleet, FILE *pOut) {
    CChunkWriter out(pOut);
    for (int nFamily = 0; nFamily < INTERFACE_FAMILIES; ++nFamily) {
        const sFamily &family = aFamilies[nFamily];
        AddHeader(out, family.pszName, family.pszHelp, "gauge");
        for (const auto &item : fleet.Interfaces()) {
            const sFleetEntry &e = item.second;
            out.Add(family.pszName);
            out.Add("{");
            out.Add(e.szLabels);
            out.Add("} ");
            switch (nFamily) {
                // At most (2^32 - 1) * 2^17 < 2^53: exact as Prometheus' float64.
                case FAMILY_RECEIVE:
                    out.AddU64(e.InCome * RATE_UNIT_BYTES);
                    break;
                case FAMILY_TRANSMIT:
                    out.AddU64(e.OutCome * RATE_UNIT_BYTES);
                    break;
                case FAMILY_STATUS:
                    out.AddU64(e.Status);
                    break;
                case FAMILY_LAST_REPORT: {
                    // Seconds with three decimals; arrival times are never before 1970.
                    char szMs[4] = {'0', '0', '0', 0};
                    uint64_t lMs = (uint64_t)e.lLastReportMs;
                    for (int i = 2; i >= 0; --i, lMs /= 10) szMs[i] = (char)('0' + lMs % 10);
                    out.AddU64(lMs);
                    out.Add(".");
                    out.Add(szMs);
                    break;
                }
            }
            out.EndLine();
        }
    }
    AddHeader(out, "cachenode_dispatch_datagrams_total",
              "Status datagrams received, by what they were found to be.", "counter");
    for (int nResult = 0; nResult < DATAGRAM_RESULTS; ++nResult) {
        out.Add("cachenode_dispatch_datagrams_total{result=\"");
        out.Add(aResultNames[nResult]);
        out.Add("\"} ");
        out.AddU64(fleet.Count(nResult));
        out.EndLine();
    }
    return out.Flush();
}

std::string FormatTable(const CFleet &fleet, int64_t lNowMs, size_t nMaxRows) {
    char szLine[160];
    std::snprintf(szLine, sizeof szLine,
                  "%zu interfaces  datagrams: %llu ok  %llu bad length  %llu bad tag\n",
                  fleet.Interfaces().size(), (unsigned long long)fleet.Count(DATAGRAM_OK),
                  (unsigned long long)fleet.Count(DATAGRAM_BAD_LENGTH),
                  (unsigned long long)fleet.Count(DATAGRAM_BAD_TAG));
    std::string strOut = szLine;
    strOut += "address          sender           status         in        out    age s\n";
    size_t nRows = 0;
    for (const auto &item : fleet.Interfaces()) {
        if (nRows == nMaxRows) {
            strOut += "... " + std::to_string(fleet.Interfaces().size() - nRows) + " more\n";
            break;
        }
        const sFleetEntry &e = item.second;
        long long lAge = (lNowMs - e.lLastReportMs) / 1000;
        std::snprintf(szLine, sizeof szLine, "%-16s %-16s %6u %10u %10u %8lld\n",
                      DottedQuad(item.first.IP).c_str(), DottedQuad(item.first.Sender).c_str(),
                      e.Status, e.InCome, e.OutCome, lAge < 0 ? 0 : lAge);
        strOut += szLine;
        ++nRows;
    }
    return strOut;
}
