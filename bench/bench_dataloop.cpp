// The real data loop (GO on the real panel, offscreen) against the simulator at 4800 baud with
// wire time: cycle rate against the wire-and-pause limit, CPU share, drawing time, and the heap
// allocations per cycle of program code and of everything else.
//
// Usage: bench_dataloop [SECONDS]   (timed run, default 20)
#include "loopbench.h"

#include "gui/state.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kAnswerDelay = 0.005; // s, the simulator's answer time
constexpr double kPause = 0.050;       // the loop's pause after every cycle
constexpr int kFrameBytes = 17 + 9;    // request out, data reply back
constexpr double kByteTime = 10.0 / 4800.0;
constexpr long kCensusCycles = 50;

long censusEnd = 0;
bench::AllocCensus counted;

const char* Verdict(bool met) {
    return met ? "meets target" : "MISSES target";
}

// The census covers whole cycles: from the end of the first drawing to the end of the last.
void CensusHook(long cycle) {
    if (cycle == 1) {
        bench::BeginCensus();
        censusEnd = 1 + kCensusCycles;
    } else if (cycle == censusEnd) {
        counted = bench::EndCensus();
        bench::RequestStop();
    }
}

} // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    if (seconds < 1.0) {
        std::fprintf(stderr, "usage: %s [SECONDS >= 1]\n", argv[0]);
        return 2;
    }
    sim::SensorSim sensor(sim::Config{.answerDelay = kAnswerDelay,
                                      .wireTime = true,
                                      .ram = sim::defaultBlock(),
                                      .eeprom = sim::defaultBlock()});
    if (!sensor.start()) {
        std::fprintf(stderr, "simulator could not start\n");
        return 1;
    }
    bench::BeginCensus();
    if (!bench::StartProgramOn(sensor)) {
        std::fprintf(stderr, "program start-up or line check failed\n");
        return 1;
    }
    // Start-up allocates in program code (the callback table, status texts): proof that the
    // census sees program frames, so a zero in the loop means something.
    const bench::AllocCensus startup = bench::EndCensus();
    const double limit = 1.0 / (kFrameBytes * kByteTime + kAnswerDelay + kPause);
    std::printf("data loop on %s, 4800 baud with wire time, answer delay %.0f ms, SOURCE %d\n",
                sensor.path().c_str(), kAnswerDelay * 1000, zurid::source);
    std::printf("census check: start-up made %ld allocations in program code, %ld elsewhere%s\n\n",
                startup.program, startup.other,
                startup.program > 0 ? "" : "  -- program frames NOT recognised, census unreliable");

    // Warm-up: first drawings fill font and glyph caches.
    bench::ResetCycleTimes(100);
    bench::RunLoop(1000);

    const auto expected = static_cast<std::size_t>(seconds * limit * 1.5) + 100;
    bench::ResetCycleTimes(expected);
    bench::RunLoop(static_cast<int>(seconds * 1000));
    const bench::CycleTimes t = bench::Times();
    if (t.cycles < 2) {
        std::fprintf(stderr, "the loop ran %ld cycles\n", t.cycles);
        return 1;
    }
    const double span = t.lastEnd - t.firstEnd;
    const double rate = static_cast<double>(t.cycles - 1) / span;
    const double ratio = rate / limit;
    const double cpu = 100.0 * (t.cpuAtLast - t.cpuAtFirst) / span;
    const double drawMedian = bench::Median(t.drawMs);
    std::printf("timed run: %ld cycles in %.2f s\n", t.cycles, span);
    std::printf("  cycles per second      %.3f\n", rate);
    std::printf("  wire-and-pause limit   %.3f  (1 / (%d x 10 / 4800 + %.3f + %.3f))\n", limit,
                kFrameBytes, kAnswerDelay, kPause);
    std::printf("  ratio                  %.3f  (target >= 0.97): %s\n", ratio,
                Verdict(ratio >= 0.97));
    std::printf("  CPU share              %.2f %% of a core (target <= 5 %%): %s\n", cpu,
                Verdict(cpu <= 5.0));
    std::printf("  SetPanelData+ShowGraph median %.3f ms, worst %.3f ms (target median <= 2 ms): "
                "%s\n",
                drawMedian, bench::Max(t.drawMs), Verdict(drawMedian <= 2.0));
    std::printf("  event pass after drawing (repaint) median %.3f ms, worst %.3f ms\n",
                bench::Median(t.eventMs), bench::Max(t.eventMs));
    std::printf("  (drawing timed in the loop itself: the benchmark is linked with --wrap for\n"
                "   zurid::SetPanelData, zurid::ShowGraph and "
                "zurid::platform::ProcessSystemEvents)\n\n");

    bench::ResetCycleTimes(kCensusCycles + 10);
    bench::SetCycleHook(CensusHook);
    bench::RunLoop(0);
    bench::SetCycleHook(nullptr);
    const double n = kCensusCycles;
    std::printf("allocation census over %ld cycles (operator new and malloc family):\n",
                kCensusCycles);
    std::printf("  program code (zurid::)   %.2f per cycle (target 0): %s\n", counted.program / n,
                Verdict(counted.program == 0));
    std::printf("  Qt, toolkit layer, libc  %.2f per cycle\n", counted.other / n);
    std::printf("  simulator thread         %.2f per cycle (not the program)\n",
                counted.otherThread / n);
    std::printf("  most frequent callers:\n");
    bench::PrintCensusSites(8);

    bench::StopProgram();
    sensor.stop();
    return 0;
}
