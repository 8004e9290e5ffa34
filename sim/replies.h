// The sensor's side of one exchange: what it stores and what it answers, with the injected
// faults. Plain data, used under the simulator's lock.
#pragma once

#include "sim/sensorsim.h"
#include "sim/targetmodel.h"

#include <random>

namespace sim {

struct Answer {
    bool valid = false;              // a well-formed request that the sensor acted on
    std::vector<std::uint8_t> reply; // bytes to send (empty: none)
    double delay = 0;                // from the end of the request to the reply's start
    std::vector<std::uint8_t> tail;  // sent apart, arriving `tailGap` after the reply's last byte
    double tailGap = 0;
};

struct SensorState {
    explicit SensorState(const Config& cfg);

    // Acts on one frame that completed at time t.
    Answer handle(const std::vector<std::uint8_t>& frame, double t);
    void setReply(int order, std::optional<std::vector<std::uint8_t>> raw);

    Block ram, eeprom;
    double answerDelay;
    Fault fault = Fault::None;
    unsigned orderMask = 0;
    double lateSeconds = kDefaultLateSeconds;
    double splitSeconds = kDefaultSplitSeconds;
    bool strayDone = false; // the stray prefix went out; setting a fault arms it again
    double randomChance = 0;
    std::optional<DataBlock> liveData;
    std::optional<JumpBuffer> jumpBuffer;
    std::array<std::optional<std::vector<std::uint8_t>>, 8> overrides; // by order 1..7
    std::vector<Request> requests;
    std::size_t replies = 0;

  private:
    std::vector<std::uint8_t> normalReply(int order, double t);
    Fault faultFor(int order);
    void applyFault(Fault f, int order, Answer& a);

    TargetModel model_;
    std::mt19937 rng_;
};

} // namespace sim
