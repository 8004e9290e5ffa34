// What a line of simulated sensors was asked.
#pragma once

#include "sim/fleet.h"

#include <cstddef>

namespace testing_support {

// Requests that wrote a parameter block (orders 1 and 2), over every sensor of the line.
inline int Writes(const sim::SensorFleet& fleet) {
    int n = 0;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        for (const sim::Request& r : fleet.at(i).requests()) {
            n += r.bytes.size() > 1 && (r.bytes[1] == 1 || r.bytes[1] == 2) ? 1 : 0;
        }
    }
    return n;
}

} // namespace testing_support
