// The moving-target model behind the simulated sensor's live data: a contrast mark passes the
// sensor now and then, so DAT0 falls and DAT1 rises smoothly, with noise. The model runs the
// sensor's own 1 ms loop, which detects edges (NORM below THRESHOLD, re-armed above HYSTERESIS)
// and keeps the minimum NORM of each edge in a 16-value jump buffer. Deterministic per seed.
#pragma once

#include "sim/sensorsim.h"

#include <random>

namespace sim {

// NORM as the sensor computes it: DAT0*255/(DAT0+DAT1), 0 when both are 0.
std::uint8_t normOf(std::uint8_t dat0, std::uint8_t dat1);

class TargetModel {
  public:
    explicit TargetModel(unsigned seed);

    // Runs the sensor loop forward to monotonic time t (the first call only sets the origin).
    // The RAM block supplies THRESHOLD, HYSTERESIS and POWER.
    void advanceTo(double t, const Block& ram);
    // Runs the loop for a span of model time, in 1 ms steps.
    void advance(double seconds, const Block& ram);

    // The measurement block now: DAT0, DAT1, NORM, and in ADJ EXT (TRIGGER 2) the edge time,
    // IN0 period and window length, 16-bit low byte first; zero timing otherwise.
    DataBlock sample(const Block& ram);
    // Minima of the last 16 edges, oldest first; zero where no edge has been seen yet.
    const JumpBuffer& jumpBuffer() const { return jump_; }
    int edgeCount() const { return edges_; }

    void setAging(const Aging& aging) { aging_ = aging; }
    // The share of DAT0's light the dirt has taken by now (0..1).
    double lightLost() const;

  private:
    struct Signal {
        std::uint8_t dat0, dat1;
    };
    Signal signalNow(const Block& ram);
    double contrast(double depth) const;
    void step(const Block& ram);
    void schedulePass();

    std::mt19937 rng_;
    std::normal_distribution<double> noise_{0.0, 1.5};
    double now_ = 0;     // model seconds
    double origin_ = -1; // monotonic time of model second 0, once known
    double passStart_ = 0, passLength_ = 0, passDepth_ = 0;
    bool armed_ = true;
    std::uint8_t minimum_ = 255;
    JumpBuffer jump_{};
    int edges_ = 0;
    Aging aging_{};
};

} // namespace sim
