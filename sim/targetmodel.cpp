#include "sim/targetmodel.h"

#include "core/params.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {

namespace {

constexpr double kStep = 0.001;      // the sensor's loop period
constexpr double kMaxCatchUp = 20.0; // longer idle spans are skipped: the model is periodic
constexpr int kPowerCodes = zurid::core::kPowerMaxCode; // POWER code 0 = full, 46 = none

// The signal at full intensity: DAT0 = kDat0 * (1 - kDarken * c), DAT1 = kDat1 + kMark1 * c for
// a mark of contrast c (0 none, 1 full).
constexpr double kDat0 = 170, kDarken = 0.8, kDat1 = 60, kMark1 = 110;
// Shallow marks end this many NORM steps below THRESHOLD (before the noise).
constexpr double kShallowBelow = 3.0;

// The contrast whose dip ends at NORM `norm`: solves NORM/255 = DAT0 / (DAT0 + DAT1) for c.
double contrastForNorm(double norm) {
    const double r = norm / 255.0;
    const double c =
        (kDat0 - r * (kDat0 + kDat1)) / (kDat0 * kDarken + r * (kMark1 - kDat0 * kDarken));
    return std::clamp(c, 0.0, 1.0);
}

std::uint8_t clampByte(double v) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

void putWord(DataBlock& b, std::size_t at, unsigned value) {
    b[at] = static_cast<std::uint8_t>(value & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

// A blank sensor (THRESHOLD 0) would never see an edge; treat it as mid-scale.
std::uint8_t thresholdOf(const Block& ram) {
    return ram[0] != 0 ? ram[0] : 128;
}

} // namespace

std::uint8_t normOf(std::uint8_t dat0, std::uint8_t dat1) {
    const unsigned sum = unsigned{dat0} + dat1;
    return sum == 0 ? 0 : static_cast<std::uint8_t>(unsigned{dat0} * 255 / sum);
}

TargetModel::TargetModel(unsigned seed) : rng_(seed) {
    schedulePass();
}

// Picks the next mark: a gap of 0.9..1.6 s after the current one, 0.15..0.3 s long, of varying
// contrast so that some passes stay above a typical threshold.
void TargetModel::schedulePass() {
    std::uniform_real_distribution<double> gap(0.9, 1.6), length(0.15, 0.30), depth(0.55, 0.95);
    passStart_ += passLength_ + gap(rng_);
    passLength_ = length(rng_);
    passDepth_ = depth(rng_);
}

// 0 with no mark in view, up to the mark's depth in the middle of a pass (raised cosine).
double TargetModel::contrast(double depth) const {
    const double x = (now_ - passStart_) / passLength_;
    if (x <= 0 || x >= 1)
        return 0;
    return depth * 0.5 * (1 - std::cos(2 * std::numbers::pi * x));
}

double TargetModel::lightLost() const {
    return std::clamp(aging_.foulingPercentPerMinute / 100 * now_ / 60, 0.0, 1.0);
}

TargetModel::Signal TargetModel::signalNow(const Block& ram) {
    const int power = std::min<int>(ram[2], kPowerCodes);
    const double intensity = (0.25 + 0.75 * (kPowerCodes - power) / kPowerCodes) *
                             (1 + 0.05 * std::sin(2 * std::numbers::pi * now_ / 7.0));
    const double lost = lightLost();
    const double depth =
        aging_.shallow ? contrastForNorm(thresholdOf(ram) - kShallowBelow) : passDepth_;
    const double c = contrast(depth);
    // The dirt sits in front of the receiver of the background's light.
    return {clampByte(intensity * (1 - lost) * kDat0 * (1 - kDarken * c) + noise_(rng_)),
            clampByte(intensity * (kDat1 + kMark1 * c) + noise_(rng_))};
}

void TargetModel::step(const Block& ram) {
    now_ += kStep;
    if (now_ >= passStart_ + passLength_)
        schedulePass();
    const Signal s = signalNow(ram);
    const std::uint8_t norm = normOf(s.dat0, s.dat1);
    const std::uint8_t threshold = thresholdOf(ram);
    const std::uint8_t rearm = std::max(ram[1], threshold);
    if (armed_) {
        if (norm < threshold) {
            armed_ = false;
            minimum_ = norm;
        }
        return;
    }
    minimum_ = std::min(minimum_, norm);
    if (norm > rearm) {
        std::shift_left(jump_.begin(), jump_.end(), 1);
        jump_.back() = minimum_;
        ++edges_;
        armed_ = true;
    }
}

void TargetModel::advance(double seconds, const Block& ram) {
    const long steps = std::lround(std::min(seconds, kMaxCatchUp) / kStep);
    for (long i = 0; i < steps; ++i)
        step(ram);
}

void TargetModel::advanceTo(double t, const Block& ram) {
    if (origin_ < 0) {
        origin_ = t;
        return;
    }
    const double target = t - origin_;
    if (target - now_ > kMaxCatchUp) {
        // Skip an idle stretch; the passes are rescheduled from the new time.
        now_ = target - kMaxCatchUp;
        passStart_ = now_;
        passLength_ = 0;
        schedulePass();
    }
    advance(target - now_, ram);
}

DataBlock TargetModel::sample(const Block& ram) {
    const Signal s = signalNow(ram);
    DataBlock b{};
    b[0] = s.dat0;
    b[1] = s.dat1;
    b[2] = normOf(s.dat0, s.dat1);
    if (ram[5] == 2) { // ADJ EXT: the measured trigger timing, in the sensor's time unit
        std::uniform_int_distribution<int> jitter(-8, 8);
        putWord(b, 3, static_cast<unsigned>(300 + 2 * jitter(rng_)));
        putWord(b, 5, static_cast<unsigned>(1000 + jitter(rng_)));
        putWord(b, 7, static_cast<unsigned>(600 + jitter(rng_)));
    }
    return b;
}

} // namespace sim
