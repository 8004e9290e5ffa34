// Test and benchmark helper: CPU time of the whole process (every thread), to tell a wait that
// sleeps from one that spins.
#pragma once

#include <ctime>

namespace testing_support {

inline double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace testing_support
