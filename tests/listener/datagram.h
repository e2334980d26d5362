// A status datagram's 28 bytes, as the reporter sends them, for the listener's tests.
#pragma once

#include <cstdint>
#include <vector>

#include "statusmsg.h"

inline std::vector<unsigned char> Datagram(uint32_t nTag, uint32_t nIP, uint32_t nStatus,
                                           uint32_t nIn, uint32_t nOut) {
    MORVA_VESKO_STATUS rec = {nTag, nIP, nStatus, nIn, nOut, 0, 0};
    std::vector<unsigned char> v(STATUS_SIZE);
    EncodeStatus(rec, v.data());
    return v;
}
