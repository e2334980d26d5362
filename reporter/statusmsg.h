// The 28-byte status datagram towards the dispatch servers, the rates it carries
// and the report line that describes it. Pure functions, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Outgoing rate above which an interface reports Status 0 (units of 2^20 bit/s).
extern const uint32_t MAX_OUTCOME;
// Bits per second in one unit of InCome and OutCome.
const uint64_t RATE_UNIT_BITS = 1048576;
// Bytes per second in one unit (2^17), for Prometheus, whose base unit is the byte.
const uint64_t RATE_UNIT_BYTES = RATE_UNIT_BITS / 8;

const uint32_t STATUS_TAG = 110;
const size_t STATUS_SIZE = 28;

typedef struct Morva_Vesko_Status {
    uint32_t tag;       // always STATUS_TAG
    uint32_t IP;        // a.b.c.d as a*2^24 + b*2^16 + c*2^8 + d
    uint32_t Status;    // 1: OutCome <= MAX_OUTCOME, 0: above
    uint32_t InCome;    // receive rate, units of 2^20 bit/s
    uint32_t OutCome;   // transmit rate, same unit
    uint32_t CPUUsing;  // always 0
    uint32_t MEMUsing;  // always 0
} MORVA_VESKO_STATUS;

// Writes rec into the 28 bytes at pOut, every field little-endian whatever the host.
void EncodeStatus(const MORVA_VESKO_STATUS &rec, unsigned char pOut[STATUS_SIZE]);
// Reads 28 little-endian bytes back into a record.
void DecodeStatus(const unsigned char pIn[STATUS_SIZE], MORVA_VESKO_STATUS &rec);

// Result of one counter sample (ComputeRates).
enum {
    SAMPLE_BASELINE = 0,  // no usable previous sample: counters and time only become the baseline
    SAMPLE_RATES = 1,     // rates and Status were replaced
};

// One sampling step for a record. InBW/OutBW are the new counters, InBWLast/OutBWLast
// the previous ones, lElapsed the seconds between them (> 0), bHaveBaseline whether the
// previous counters are defined. A counter lower than its previous value (the interface
// was re-created) or no baseline gives SAMPLE_BASELINE and leaves rec as it was.
int ComputeRates(uint64_t InBW, uint64_t OutBW, uint64_t InBWLast, uint64_t OutBWLast,
                 int64_t lElapsed, bool bHaveBaseline, MORVA_VESKO_STATUS &rec);

// "a.b.c.d" of an address held as the record's IP holds it.
std::string DottedQuad(uint32_t nIP);

// The report line: dotted IP, Status, InCome, OutCome, CPUUsing, MEMUsing, tab-separated.
std::string FormatReportLine(const MORVA_VESKO_STATUS &rec);
