// Counting margin and light level: how far a sensor is from missing counts, from what crosses the
// line anyway (NORM against THRESHOLD and HYSTERESIS, the jump buffer, DAT0 + DAT1).
//
// The sensor counts when NORM drops below THRESHOLD and re-arms once NORM is back above
// HYSTERESIS (never lower than THRESHOLD). The light margin is how far the steady NORM between
// edges stands above the re-arm level; the dark margin how far the typical lowest NORM after an
// edge stands below THRESHOLD. Health is the smaller of the two as a share of the band between
// the two levels. A figure that cannot be known from the readings given is std::nullopt.
#pragma once

#include "core/protocol.h"

#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace zurid::core {

// The band is taken as at least this many NORM steps, so that a narrow or inverted band does
// not turn a few steps of noise into a large share.
inline constexpr int kMinHealthBand = 10;

enum class HealthState { Stable, Marginal, Failing };

// Percent limits of the states: stable from `stable`, marginal from `marginal`, failing below.
struct HealthLimits {
    double stable = 100;
    double marginal = 50;
};

// The median (the mean of the middle two for an even count); unknown when there are none.
std::optional<double> Median(std::vector<double> values);

// The steady NORM between edges: the median of the readings at or above THRESHOLD (the dips left
// out). When none is, the light never came back and the median of all readings stands for it.
// Nothing read: unknown.
std::optional<double> SteadyNorm(std::span<const int> norms, int threshold);

// The level at which the sensor re-arms: HYSTERESIS, or THRESHOLD when HYSTERESIS is below it.
int RearmLevel(int threshold, int hysteresis);

// The steady NORM minus the re-arm level; negative when the sensor cannot re-arm.
std::optional<double> LightMargin(std::span<const int> norms, int threshold, int hysteresis);

// THRESHOLD minus the median of the jump buffer's nonzero entries (a zero entry is a slot no
// edge has filled yet). No edge seen: unknown.
std::optional<double> DarkMargin(std::span<const Byte> jumpBuffer, int threshold);

// The band HYSTERESIS - THRESHOLD, at least kMinHealthBand.
int HealthBand(int threshold, int hysteresis);

// The smaller margin as a percentage of the band, 0-100. Unknown when either margin is.
std::optional<double> HealthPercent(std::optional<double> lightMargin,
                                    std::optional<double> darkMargin, int threshold,
                                    int hysteresis);

HealthState StateOf(double percent, const HealthLimits& limits = {});
std::string_view HealthStateName(HealthState state); // "stable", "marginal", "failing"

// DAT0 + DAT1 between edges: the median over the readings whose NORM is at or above THRESHOLD.
// `dat0`, `dat1` and `norms` are readings taken together, index by index.
std::optional<double> LightLevel(std::span<const int> dat0, std::span<const int> dat1,
                                 std::span<const int> norms, int threshold);

// How far the light level has fallen below its reference, in percent (negative when it rose).
// Unknown without both or with a reference of zero.
std::optional<double> LightDeclinePercent(std::optional<double> level,
                                          std::optional<double> reference);

// Everything above for one sensor at once.
struct HealthFigures {
    std::optional<double> percent;
    std::optional<HealthState> state;
    std::optional<double> lightMargin;
    std::optional<double> darkMargin;
    std::optional<double> lightLevel;
    std::optional<double> lightReference;
    std::optional<double> lightDeclinePercent;
};

struct HealthInput {
    std::span<const int> norms; // recent readings, oldest first
    std::span<const int> dat0;  // the same readings' DAT0 and DAT1 (may be empty)
    std::span<const int> dat1;
    std::optional<std::span<const Byte>> jumpBuffer; // nullopt until it has been read
    std::optional<Byte> threshold;                   // nullopt until the RAM block is known
    std::optional<Byte> hysteresis;
    std::optional<double> lightReference;
};

// THRESHOLD and HYSTERESIS of the block into the input.
void TakeLevels(HealthInput& in, const ParamBlock& block);

HealthFigures ComputeHealth(const HealthInput& in, const HealthLimits& limits = {});

} // namespace zurid::core
