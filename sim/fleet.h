// A line of sensors: several independent simulated sensors, each on its own pseudo-terminal
// with its own thread, memories, live-data model and faults, as a machine with multi-port cards
// or USB adapters looks to the program.
#pragma once

#include "sim/sensorsim.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class SensorFleet {
  public:
    // One sensor per configuration, in order.
    explicit SensorFleet(std::vector<Config> configs);
    // `count` sensors like `base`, each with its own seed (base.seed + index) so that their
    // live data differ.
    SensorFleet(std::size_t count, const Config& base);
    ~SensorFleet(); // stops

    // Starts every sensor; if one cannot start, the others are stopped again and it is false.
    bool start();
    void stop();

    std::size_t size() const { return sensors_.size(); }
    SensorSim& at(std::size_t index) { return *sensors_.at(index); }
    const SensorSim& at(std::size_t index) const { return *sensors_.at(index); }

    // The slave sides in sensor order; ports() joins them with ':' for ZURID_PORTS.
    std::vector<std::string> paths() const;
    std::string ports() const;

  private:
    std::vector<std::unique_ptr<SensorSim>> sensors_;
};

} // namespace sim
