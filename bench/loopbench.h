// Shared by the data-loop benchmarks: the real program started in-process against a simulator,
// the loop started and stopped with its own buttons, a per-cycle hook, and a census of heap
// allocations that tells the program's own from everything else.
//
// The hook needs no change to program code: the benchmark is linked with
// --wrap=zurid::SetPanelData, --wrap=zurid::ShowGraph and
// --wrap=zurid::platform::ProcessSystemEvents, so the data loop's own calls go through timing
// wrappers here before reaching the real functions.
#pragma once

#include "sim/sensorsim.h"

#include <cstddef>
#include <vector>

namespace bench {

// Sets QT_QPA_PLATFORM=offscreen unless set, points the port table at the simulator and runs
// the program's start-up up to the shown panel (line check included). False on failure.
bool StartProgramOn(const sim::SensorSim& sensor);
void StopProgram();

// Called after every drawn cycle (from inside the loop) with the count so far.
using CycleHook = void (*)(long cycle);
void SetCycleHook(CycleHook hook);

// Clicks GO and returns when the loop has ended; `stopAfterMs` > 0 clicks STOP that much later.
void RunLoop(int stopAfterMs);
// Asks for STOP as soon as the event loop runs (safe from the cycle hook).
void RequestStop();

struct CycleTimes {
    long cycles = 0;
    double firstEnd = 0; // monotonic seconds at the end of the first and last drawn cycle
    double lastEnd = 0;
    double cpuAtFirst = 0; // process CPU seconds at the same moments
    double cpuAtLast = 0;
    std::vector<double> drawMs;  // SetPanelData + ShowGraph, per cycle
    std::vector<double> eventMs; // the event pass right after the drawing (repaint)
};
// Starts a fresh record, room reserved for `expectedCycles` so that recording never allocates.
void ResetCycleTimes(std::size_t expectedCycles);
const CycleTimes& Times();

double Now(); // monotonic seconds

// Heap allocations (operator new and malloc family) while a census runs.
struct AllocCensus {
    long program = 0;     // first caller outside the allocator and std:: is in namespace zurid
    long other = 0;       // Qt, the toolkit layer, libc and everything else on the main thread
    long otherThread = 0; // other threads (the simulator)
};
// Loads what the census needs (symbol table, unwinder) once; StartProgramOn calls it so that
// it is in place before any memory figure is taken.
void PrepareCensus();
void BeginCensus();
AllocCensus EndCensus();
// Prints the most frequent callers behind the last census, program code first.
void PrintCensusSites(int perClass);

// Memory figures from the system: resident set (VmRSS) and bytes handed out by malloc.
long ResidentKiB();
long HeapInUseKiB();

// Median and maximum of a sample (sorted copy).
double Median(std::vector<double> v);
double Max(const std::vector<double>& v);

} // namespace bench
