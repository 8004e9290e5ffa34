// Test helper: plays a reply's arrivals through the exchange judge as a reader does, on a clock
// of its own: it takes in every byte that has arrived, asks the judge, and looks again at the
// next arrival or when the judge's wait runs out, whichever comes first.
#pragma once

#include "core/exchange.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testing_support {

struct Arrival {
    double at = 0; // seconds after the request
    std::vector<std::uint8_t> bytes;
};

struct Played {
    zurid::core::Judgement judged;
    double at = 0;                   // when the judge decided
    std::vector<std::uint8_t> taken; // the bytes it had then
    double lastByteAt = 0;           // arrival of the last of them
};

inline Played PlayReply(const zurid::core::ExchangePlan& plan,
                        const std::vector<Arrival>& arrivals) {
    Played p;
    std::size_t next = 0;
    // Rounding can leave a wait of a few ulps; a bounded number of looks always decides.
    for (int look = 0; look < 1000000; ++look) {
        while (next < arrivals.size() && arrivals[next].at <= p.at) {
            p.taken.insert(p.taken.end(), arrivals[next].bytes.begin(), arrivals[next].bytes.end());
            p.lastByteAt = std::max(p.lastByteAt, arrivals[next].at);
            ++next;
        }
        p.judged = zurid::core::JudgeReply(plan, p.taken, p.at, p.at - p.lastByteAt);
        if (p.judged.verdict != zurid::core::Verdict::Wait) {
            return p;
        }
        const double wake = p.at + p.judged.waitSeconds;
        p.at = next < arrivals.size() ? std::min(wake, std::max(p.at, arrivals[next].at)) : wake;
    }
    return p;
}

} // namespace testing_support
