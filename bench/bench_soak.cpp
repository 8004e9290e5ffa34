// A long run of the real data loop against the simulator (no wire time, 1 ms answer delay):
// resident memory and heap in use after a warm-up, every 5 000 cycles and at the end, heap
// allocations per cycle of program code and of everything else, and whether memory grew.
//
// Usage: bench_soak [CYCLES]   (measured cycles after the warm-up, default 20000)
#include "loopbench.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr long kWarmUp = 200;
constexpr long kReportEvery = 5000;
constexpr long kHeapGrowthKiB = 64; // more than this at the end counts as growth

long measured = 20000;
long rssStart = 0;
long heapStart = 0;
long lastReport = 0;
bench::AllocCensus total;
double startTime = 0;
sim::SensorSim* sensorInUse = nullptr;

void Report(long cycle) {
    const bench::AllocCensus part = bench::EndCensus();
    total.program += part.program;
    total.other += part.other;
    total.otherThread += part.otherThread;
    const auto n = static_cast<double>(cycle - lastReport);
    std::printf("  %6ld  %9ld  %9ld  %8.2f  %10.1f  %8.1f\n", cycle - kWarmUp, bench::ResidentKiB(),
                bench::HeapInUseKiB(), part.program / n, part.other / n, bench::Now() - startTime);
    std::fflush(stdout);
    lastReport = cycle;
}

void SoakHook(long cycle) {
    // The simulator logs every request it receives; emptied here so that the figures are
    // the program's and not the log's (about 100 bytes a cycle).
    sensorInUse->clearRequests();
    if (cycle == kWarmUp / 2) {
        bench::BeginCensus(); // a first census fills its tables before memory is measured
        return;
    }
    if (cycle == kWarmUp) {
        bench::EndCensus();
        rssStart = bench::ResidentKiB();
        heapStart = bench::HeapInUseKiB();
        startTime = bench::Now();
        lastReport = cycle;
        std::printf("  %6s  %9s  %9s  %8s  %10s  %8s\n", "cycle", "RSS KiB", "heap KiB", "prog/cyc",
                    "other/cyc", "time s");
        std::printf("  %6d  %9ld  %9ld\n", 0, rssStart, heapStart);
        std::fflush(stdout);
        bench::BeginCensus();
        return;
    }
    if (cycle < kWarmUp) {
        return;
    }
    const long done = cycle - kWarmUp;
    if (done % kReportEvery == 0 || done == measured) {
        Report(cycle);
        if (done == measured) {
            bench::RequestStop();
            return;
        }
        bench::BeginCensus();
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        measured = std::atol(argv[1]);
    }
    if (measured < 1) {
        std::fprintf(stderr, "usage: %s [CYCLES >= 1]\n", argv[0]);
        return 2;
    }
    sim::SensorSim sensor(sim::Config{.answerDelay = 0.001,
                                      .wireTime = false,
                                      .ram = sim::defaultBlock(),
                                      .eeprom = sim::defaultBlock()});
    if (!sensor.start()) {
        std::fprintf(stderr, "simulator could not start\n");
        return 1;
    }
    if (!bench::StartProgramOn(sensor)) {
        std::fprintf(stderr, "program start-up or line check failed\n");
        return 1;
    }
    sensorInUse = &sensor;
    std::printf("soak: %ld data cycles after %ld warm-up cycles, no wire time, answer delay 1 ms\n",
                measured, kWarmUp);
    std::printf("  (memory after each report's cycle; allocations per cycle since the last row)\n");
    bench::ResetCycleTimes(0);
    bench::SetCycleHook(SoakHook);
    bench::RunLoop(0);
    bench::SetCycleHook(nullptr);

    const bench::CycleTimes& t = bench::Times();
    if (t.cycles < kWarmUp + measured) {
        std::printf("the loop ended early, after %ld cycles\n", t.cycles);
        return 1;
    }
    const long rssEnd = bench::ResidentKiB();
    const long heapEnd = bench::HeapInUseKiB();
    const auto n = static_cast<double>(measured);
    std::printf("\nallocations per cycle over %ld cycles: program code %.3f, Qt/toolkit/libc %.1f, "
                "simulator thread %.1f\n",
                measured, total.program / n, total.other / n, total.otherThread / n);
    std::printf("resident memory %ld -> %ld KiB (%+ld KiB), heap in use %ld -> %ld KiB (%+ld KiB, "
                "%.1f bytes per cycle)\n",
                rssStart, rssEnd, rssEnd - rssStart, heapStart, heapEnd, heapEnd - heapStart,
                1024.0 * static_cast<double>(heapEnd - heapStart) / n);
    const bool grew = heapEnd - heapStart > kHeapGrowthKiB;
    std::printf("memory %s (heap growth limit %ld KiB)\n", grew ? "GREW" : "did not grow",
                kHeapGrowthKiB);
    std::printf("most frequent callers since the last report:\n");
    bench::PrintCensusSites(5);

    bench::StopProgram();
    sensor.stop();
    return 0;
}
