// The program's reply wait (RequestReply: ProcessSystemEvents, GetInQLen, Timer) on a
// pseudo-terminal: its CPU share while nothing arrives, and how soon it notices a reply.
#include "link/frames.h"
#include "link/state.h"
#include "platform/serial/rs232.h"
#include "platform/serial/utility.h"
#include "platform/ui/userint.h"
#include "sim/pty.h"
#include "support/cputime.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using zurid::platform::CloseCom;
using zurid::platform::OpenComConfig;
using zurid::platform::SetComTime;
using zurid::platform::Sleep;
using zurid::platform::Timer;

namespace {

constexpr int kPort = 1;
constexpr int kReplyLength = 9; // a live-data reply

// The program's own reply wait, as the data loop runs it: request written, then events and the
// input queue polled until the reply is in or the limit has passed.
zurid::ReplyOutcome ReplyWait() {
    return zurid::RequestReply(zurid::kOrderData, {});
}

// Drops the requests the wait wrote, so that the line never fills up.
void DrainRequests(int master) {
    char buf[256];
    while (::read(master, buf, sizeof buf) > 0) {
    }
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
    sim::PtyEnds line;
    if (!sim::OpenPty(&line, true)) {
        std::perror("pseudo-terminal");
        return 1;
    }
    const std::string path = line.path;
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
    zurid::com = kPort;
    std::printf("reply wait on %s, limit %.1f s, reply of %d bytes\n\n", path.c_str(),
                zurid::kReplyLimit, kReplyLength);

    // (a) Nothing arrives: the whole limit passes.
    constexpr int kIdleRuns = 3;
    double worstShare = 0.0;
    std::printf("(a) no reply, %d waits:\n", kIdleRuns);
    for (int run = 1; run <= kIdleRuns; ++run) {
        const double cpu0 = testing_support::CpuSeconds();
        const double t0 = Timer();
        const bool replied = ReplyWait() == zurid::ReplyOutcome::Accepted;
        const double wall = Timer() - t0;
        const double share = 100.0 * (testing_support::CpuSeconds() - cpu0) / wall;
        DrainRequests(line.master);
        worstShare = std::max(worstShare, share);
        std::printf("    wait %d: %.3f s, %s, CPU %.2f %% of a core\n", run, wall,
                    replied ? "a reply (unexpected)" : "no reply", share);
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
        std::atomic<double> written{0.0};
        std::thread writer([&, wait = delayMs(random)] {
            Sleep(wait);
            written = Timer();
            if (::write(line.master, reply.data(), reply.size()) !=
                static_cast<ssize_t>(reply.size())) {
                written = -1.0;
            }
        });
        const zurid::ReplyOutcome got = ReplyWait();
        const double noticed = Timer();
        writer.join();
        DrainRequests(line.master);
        if (got != zurid::ReplyOutcome::Accepted || written.load() <= 0.0) {
            ++missed;
            continue;
        }
        latencies.push_back((noticed - written.load()) * 1000.0);
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("(b) reply at a random moment, %d waits (%d missed):\n", kReplies, missed);
    if (!latencies.empty()) {
        const double p95 = Percentile(latencies, 0.95);
        std::printf("    write to notice: median %.3f ms, 95th percentile %.3f ms, max %.3f ms\n",
                    Percentile(latencies, 0.5), p95, latencies.back());
        std::printf("    95th percentile (target < 1 ms): %s\n", Verdict(p95 < 1.0));
    }
    CloseCom(kPort);
    sim::ClosePty(&line);
    return 0;
}
