// Test and benchmark helpers: CPU time of the whole process (every thread), to tell a wait that
// sleeps from one that spins, and of the programs it ran.
#pragma once

#include <ctime>
#include <sys/resource.h>

namespace testing_support {

inline double CpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU time of the children this process has waited for (the programs a benchmark ran).
inline double ChildCpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace testing_support
