// The datagram bytes, and the rate arithmetic with its baseline rules.
#include "statusmsg.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

MORVA_VESKO_STATUS Record(uint32_t IP) {
    MORVA_VESKO_STATUS rec;
    std::memset(&rec, 0, sizeof rec);
    rec.tag = STATUS_TAG;
    rec.IP = IP;
    rec.Status = 1;
    return rec;
}

TEST(EncodeStatus, EveryByteLittleEndian) {
    MORVA_VESKO_STATUS rec = Record((192u << 24) | (2u << 8) | 7u);
    rec.InCome = 5;
    rec.OutCome = 300;
    unsigned char aOut[STATUS_SIZE];
    std::memset(aOut, 0xAA, sizeof aOut);
    EncodeStatus(rec, aOut);
    const unsigned char aWant[STATUS_SIZE] = {0x6E, 0, 0, 0, 0x07, 0x02, 0x00, 0xC0, 1, 0,
                                              0,    0, 5, 0, 0,    0,    0x2C, 0x01, 0, 0,
                                              0,    0, 0, 0, 0,    0,    0,    0};
    for (size_t i = 0; i < STATUS_SIZE; ++i) EXPECT_EQ(aWant[i], aOut[i]) << "offset " << i;

    rec.CPUUsing = 0x01020304;
    rec.MEMUsing = 0xA0B0C0D0;
    EncodeStatus(rec, aOut);
    MORVA_VESKO_STATUS back;
    DecodeStatus(aOut, back);
    EXPECT_EQ(0, std::memcmp(&rec, &back, sizeof rec));
    EXPECT_EQ(0x04, aOut[20]);
    EXPECT_EQ(0xA0, aOut[27]);
}

// Bytes for a rate of n units (2^20 bit/s) over lSeconds.
uint64_t Bytes(uint64_t n, int64_t lSeconds) {
    return n * 131072u * (uint64_t)lSeconds;
}

TEST(ComputeRates, UnitsAndCeiling) {
    struct Case {
        uint64_t uInDelta, uOutDelta;
        int64_t lElapsed;
        uint32_t uIn, uOut, uStatus;
    } aCases[] = {
        {Bytes(850, 11), Bytes(850, 11), 11, 850, 850, 1},
        {0, Bytes(851, 11), 11, 0, 851, 0},
        {Bytes(851, 3), Bytes(850, 3) + 1, 3, 851, 850, 1},
        {Bytes(1, 2) - 1, Bytes(1, 2) - 1, 2, 0, 0, 1},
        {131072, 131072 * 3 - 1, 1, 1, 2, 1},
        {0, 0, 1, 0, 0, 1},
    };
    for (const Case &c : aCases) {
        MORVA_VESKO_STATUS rec = Record(1);
        rec.Status = 7;
        EXPECT_EQ(SAMPLE_RATES, ComputeRates(1000 + c.uInDelta, 50 + c.uOutDelta, 1000, 50,
                                             c.lElapsed, true, rec));
        EXPECT_EQ(c.uIn, rec.InCome) << c.uInDelta << " over " << c.lElapsed;
        EXPECT_EQ(c.uOut, rec.OutCome) << c.uOutDelta << " over " << c.lElapsed;
        EXPECT_EQ(c.uStatus, rec.Status) << c.uOutDelta << " over " << c.lElapsed;
    }
}

TEST(ComputeRates, CounterThatWentDownIsANewBaselineNotAHugeRate) {
    struct Case {
        const char *pszWhat;
        uint64_t uIn, uOut, uInLast, uOutLast;
        int64_t lElapsed;
        bool bBaseline;
    } aCases[] = {
        {"receive counter reset", 10, 5000, 9000, 100, 11, true},
        {"transmit counter reset", 9000, 5, 100, 6000, 11, true},
        {"no baseline yet", 9000, 9000, 0, 0, 11, false},
        {"no time passed", 9000, 9000, 0, 0, 0, true},
        {"clock went back", 9000, 9000, 0, 0, -5, true},
    };
    for (const Case &c : aCases) {
        MORVA_VESKO_STATUS rec = Record(1);
        rec.InCome = 3;
        rec.OutCome = 4;
        rec.Status = 1;
        EXPECT_EQ(SAMPLE_BASELINE,
                  ComputeRates(c.uIn, c.uOut, c.uInLast, c.uOutLast, c.lElapsed, c.bBaseline, rec))
            << c.pszWhat;
        EXPECT_EQ(3u, rec.InCome) << c.pszWhat;
        EXPECT_EQ(4u, rec.OutCome) << c.pszWhat;
        EXPECT_EQ(1u, rec.Status) << c.pszWhat;
    }
}

TEST(FormatReportLine, SixTabSeparatedValues) {
    MORVA_VESKO_STATUS rec = Record((198u << 24) | (51u << 16) | (100u << 8) | 7u);
    rec.Status = 0;
    rec.InCome = 12;
    rec.OutCome = 4294967295u;
    EXPECT_EQ("198.51.100.7\t0\t12\t4294967295\t0\t0", FormatReportLine(rec));
    EXPECT_EQ("0.0.0.0\t1\t0\t0\t0\t0", FormatReportLine(Record(0)));
}

}  // namespace
