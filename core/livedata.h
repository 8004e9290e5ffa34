// Live-data reply decoding: the nine bytes and the two percentages the window shows.
#pragma once

#include "core/protocol.h"

namespace zurid::core {

struct LiveValues {
    int dat0 = 0;
    int dat1 = 0;
    int norm = 0;
    unsigned in0 = 0;     // trigger period, 16-bit
    unsigned in1 = 0;     // active window, 16-bit
    unsigned edge = 0;    // edge position, 16-bit
    unsigned edgePct = 0; // 100*edge/in0, 0 when in0 is 0
    unsigned winPct = 0;  // 100*in1/in0, 0 when in0 is 0
};

LiveValues DecodeLiveData(std::span<const Byte, kDataLen> reply);

} // namespace zurid::core
