#include "core/health.h"

#include "core/params.h"

#include <algorithm>
#include <vector>

namespace zurid::core {

std::optional<double> Median(std::vector<double> values) {
    if (values.empty())
        return std::nullopt;
    const auto mid = values.begin() + static_cast<long>(values.size() / 2);
    std::nth_element(values.begin(), mid, values.end());
    if (values.size() % 2 == 1)
        return *mid;
    return (*std::max_element(values.begin(), mid) + *mid) / 2;
}

namespace {

std::optional<double> MedianOf(const std::vector<int>& values) {
    return Median(std::vector<double>(values.begin(), values.end()));
}

} // namespace

std::optional<double> SteadyNorm(std::span<const int> norms, int threshold) {
    std::vector<int> light;
    for (const int n : norms) {
        if (n >= threshold)
            light.push_back(n);
    }
    if (light.empty())
        return MedianOf(std::vector<int>(norms.begin(), norms.end()));
    return MedianOf(light);
}

int RearmLevel(int threshold, int hysteresis) {
    return std::max(threshold, hysteresis);
}

std::optional<double> LightMargin(std::span<const int> norms, int threshold, int hysteresis) {
    const auto steady = SteadyNorm(norms, threshold);
    if (!steady)
        return std::nullopt;
    return *steady - RearmLevel(threshold, hysteresis);
}

std::optional<double> DarkMargin(std::span<const Byte> jumpBuffer, int threshold) {
    std::vector<int> minima;
    for (const Byte b : jumpBuffer) {
        if (b != 0)
            minima.push_back(b);
    }
    const auto typical = MedianOf(minima);
    if (!typical)
        return std::nullopt;
    return threshold - *typical;
}

int HealthBand(int threshold, int hysteresis) {
    return std::max(hysteresis - threshold, kMinHealthBand);
}

std::optional<double> HealthPercent(std::optional<double> lightMargin,
                                    std::optional<double> darkMargin, int threshold,
                                    int hysteresis) {
    if (!lightMargin || !darkMargin)
        return std::nullopt;
    const double smaller = std::min(*lightMargin, *darkMargin);
    return std::clamp(100.0 * smaller / HealthBand(threshold, hysteresis), 0.0, 100.0);
}

HealthState StateOf(double percent, const HealthLimits& limits) {
    if (percent >= limits.stable)
        return HealthState::Stable;
    if (percent >= limits.marginal)
        return HealthState::Marginal;
    return HealthState::Failing;
}

std::string_view HealthStateName(HealthState state) {
    switch (state) {
    case HealthState::Stable:
        return "stable";
    case HealthState::Marginal:
        return "marginal";
    case HealthState::Failing:
        break;
    }
    return "failing";
}

std::optional<double> LightLevel(std::span<const int> dat0, std::span<const int> dat1,
                                 std::span<const int> norms, int threshold) {
    const std::size_t n = std::min({dat0.size(), dat1.size(), norms.size()});
    std::vector<int> light;
    for (std::size_t i = 0; i < n; ++i) {
        if (norms[i] >= threshold)
            light.push_back(dat0[i] + dat1[i]);
    }
    return MedianOf(light);
}

std::optional<double> LightDeclinePercent(std::optional<double> level,
                                          std::optional<double> reference) {
    if (!level || !reference || *reference <= 0)
        return std::nullopt;
    return 100.0 * (*reference - *level) / *reference;
}

void TakeLevels(HealthInput& in, const ParamBlock& block) {
    in.threshold = block[static_cast<std::size_t>(FindParam("THRESHOLD")->pos)];
    in.hysteresis = block[static_cast<std::size_t>(FindParam("HYSTERESIS")->pos)];
}

HealthFigures ComputeHealth(const HealthInput& in, const HealthLimits& limits) {
    HealthFigures f;
    f.lightReference = in.lightReference;
    if (!in.threshold || !in.hysteresis)
        return f;
    const int t = *in.threshold;
    const int h = *in.hysteresis;
    f.lightMargin = LightMargin(in.norms, t, h);
    if (in.jumpBuffer)
        f.darkMargin = DarkMargin(*in.jumpBuffer, t);
    f.percent = HealthPercent(f.lightMargin, f.darkMargin, t, h);
    if (f.percent)
        f.state = StateOf(*f.percent, limits);
    f.lightLevel = LightLevel(in.dat0, in.dat1, in.norms, t);
    f.lightDeclinePercent = LightDeclinePercent(f.lightLevel, f.lightReference);
    return f;
}

} // namespace zurid::core
