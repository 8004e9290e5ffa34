#include "sim/fleet.h"

namespace sim {

SensorFleet::SensorFleet(std::vector<Config> configs) {
    sensors_.reserve(configs.size());
    for (const Config& c : configs)
        sensors_.push_back(std::make_unique<SensorSim>(c));
}

SensorFleet::SensorFleet(std::size_t count, const Config& base) {
    sensors_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        Config c = base;
        c.seed = base.seed + static_cast<unsigned>(i);
        sensors_.push_back(std::make_unique<SensorSim>(c));
    }
}

SensorFleet::~SensorFleet() {
    stop();
}

bool SensorFleet::start() {
    for (auto& s : sensors_) {
        if (!s->start()) {
            stop();
            return false;
        }
    }
    return true;
}

void SensorFleet::stop() {
    for (auto& s : sensors_)
        s->stop();
}

std::vector<std::string> SensorFleet::paths() const {
    std::vector<std::string> out;
    out.reserve(sensors_.size());
    for (const auto& s : sensors_)
        out.push_back(s->path());
    return out;
}

std::string SensorFleet::ports() const {
    std::string out;
    for (const auto& s : sensors_) {
        if (!out.empty())
            out += ':';
        out += s->path();
    }
    return out;
}

} // namespace sim
