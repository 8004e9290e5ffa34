// The reply wait as the program runs it (ProcessSystemEvents, GetInQLen, Timer), on a
// pseudo-terminal: its CPU share while nothing arrives, and how soon it notices a reply.
#include "platform/serial/rs232.h"
#include "platform/ui/userint.h"
#include "platform/serial/utility.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kPort = 1;
constexpr double kLimit = 3.0;  // the program's reply limit
constexpr int kReplyLength = 9; // a live-data reply

double CpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The reply wait: runs the body at least once, until the limit passes or `length` bytes wait.
int ReplyWait(int length) {
    const double tstart = Timer();
    double tdiff = 0.0;
    int n = 0;
    do {
        ProcessSystemEvents();
        n = GetInQLen(kPort);
        tdiff = Timer() - tstart;
    } while (tdiff <= kLimit && n < length);
    return n;
}

// Master side of a fresh pseudo-terminal in raw mode, or -1; its slave path into `path`.
int OpenPeer(std::string* path) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        return -1;
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
    *path = ::ptsname(fd);
    return fd;
}

double Percentile(const std::vector<double>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size()) + 0.999);
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

const char* Verdict(bool met) {
    return met ? "meets target" : "MISSES target";
}

} // namespace

int main(int argc, char** argv) {
    std::string path;
    const int peer = OpenPeer(&path);
    if (peer < 0) {
        std::perror("pseudo-terminal");
        return 1;
    }
    ::setenv("ZURID_PORTS", path.c_str(), 1);
    if (InitToolkit(argc, argv) == 0) {
        std::fprintf(stderr, "toolkit could not be started\n");
        return 1;
    }
    if (const int ret = OpenComConfig(kPort, "", 4800, 0, 8, 1, 1024, 1024); ret < 0) {
        std::fprintf(stderr, "cannot open %s: %d\n", path.c_str(), ret);
        return 1;
    }
    SetComTime(kPort, 2.0);
    std::printf("reply wait on %s, limit %.1f s, reply of %d bytes\n\n", path.c_str(), kLimit,
                kReplyLength);

    // (a) Nothing arrives: the whole limit passes.
    constexpr int kIdleRuns = 3;
    double worstShare = 0.0;
    std::printf("(a) no reply, %d waits:\n", kIdleRuns);
    for (int run = 1; run <= kIdleRuns; ++run) {
        FlushInQ(kPort);
        const double cpu0 = CpuSeconds();
        const double t0 = Timer();
        const int n = ReplyWait(kReplyLength);
        const double wall = Timer() - t0;
        const double share = 100.0 * (CpuSeconds() - cpu0) / wall;
        worstShare = std::max(worstShare, share);
        std::printf("    wait %d: %.3f s, %d bytes, CPU %.2f %% of a core\n", run, wall, n, share);
    }
    std::printf("    worst CPU share %.2f %% (target < 2 %%): %s\n\n", worstShare,
                Verdict(worstShare < 2.0));

    // (b) The peer writes a reply at a random moment; time from its write to the loop's exit.
    constexpr int kReplies = 50;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayMs(20, 250);
    const std::vector<char> reply(kReplyLength, 0x5a);
    std::vector<double> latencies;
    int missed = 0;
    for (int i = 0; i < kReplies; ++i) {
        FlushInQ(kPort);
        std::atomic<double> written{0.0};
        std::thread writer([&, wait = delayMs(random)] {
            Sleep(wait);
            written = Timer();
            if (::write(peer, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
                written = -1.0;
            }
        });
        const int n = ReplyWait(kReplyLength);
        const double noticed = Timer();
        writer.join();
        if (n < kReplyLength || written.load() <= 0.0) {
            ++missed;
            continue;
        }
        latencies.push_back((noticed - written.load()) * 1000.0);
    }
    FlushInQ(kPort);
    std::sort(latencies.begin(), latencies.end());
    std::printf("(b) reply at a random moment, %d waits (%d missed):\n", kReplies, missed);
    if (!latencies.empty()) {
        const double p95 = Percentile(latencies, 0.95);
        std::printf("    write to notice: median %.3f ms, 95th percentile %.3f ms, max %.3f ms\n",
                    Percentile(latencies, 0.5), p95, latencies.back());
        std::printf("    95th percentile (target < 1 ms): %s\n", Verdict(p95 < 1.0));
    }
    CloseCom(kPort);
    ::close(peer);
    return 0;
}
