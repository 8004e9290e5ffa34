// What a line of simulated sensors was asked.
#pragma once

#include "core/protocol.h"
#include "sim/fleet.h"

#include <cstddef>

namespace testing_support {

// Requests that wrote a parameter block to one sensor.
inline int Writes(const sim::SensorSim& sensor) {
    int n = 0;
    for (const sim::Request& r : sensor.requests()) {
        const auto is = [&r](zurid::core::Order o) {
            return r.bytes.size() > 1 && r.bytes[1] == static_cast<zurid::core::Byte>(o);
        };
        n += is(zurid::core::Order::WriteRam) || is(zurid::core::Order::WriteEeprom);
    }
    return n;
}

// The same over every sensor of the line.
inline int Writes(const sim::SensorFleet& fleet) {
    int n = 0;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        n += Writes(fleet.at(i));
    }
    return n;
}

} // namespace testing_support
