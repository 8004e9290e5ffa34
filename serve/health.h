// Each sensor's counting margin and light level as zurid serve keeps them (the figures are
// core/health.h's): the recent readings of every port, its jump buffer read every `every` as
// the port's client work (between two live-data cycles, like a client's read), and the light
// reference, taken over a period after the start and after each change of the RAM block, or
// at once when an operator asks. The figures go to the port (LinePort::health) for the JSON,
// the metrics and the MQTT bridge; `computed` tells when the stream should hear them.
#pragma once

#include "core/health.h"
#include "sensors/paramtext.h"
#include "serve/line.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

namespace zurid::serve {

inline constexpr int kHealthEveryMs = 10'000;      // jump-buffer reads
inline constexpr int kHealthReferenceMs = 600'000; // the light reference is taken over this
inline constexpr int kHealthReportMs = 60'000;     // the stream hears the figures this often

struct HealthOptions {
    int everyMs = kHealthEveryMs;
    int referenceMs = kHealthReferenceMs;
    core::HealthLimits limits{};
};

class HealthWatch : public QObject {
  public:
    HealthWatch(Line& line, HealthOptions options, QObject* parent = nullptr);
    ~HealthWatch() override;

    void start();
    void stop();

    // What the line reports, handed on by whoever owns both.
    void reading(LinePort& p, const Reading& r);
    void statusChanged(LinePort& p);
    void blockChanged(LinePort& p, Memory m);

    // Takes the light level now as the reference; false when no level is known yet.
    bool takeReference(LinePort& p);

    // After each computation of a port's figures; `report` when the stream should hear them:
    // the state changed, or kHealthReportMs have passed since it last did.
    std::function<void(LinePort&, bool report)> computed;

  private:
    struct Sample {
        double t; // monotonic seconds
        int dat0, dat1, norm;
    };
    struct Track {
        std::deque<Sample> window;
        std::optional<sensors::JumpBuffer> jump;
        double referenceFrom = -1; // monotonic start of the reference period; -1: none runs
        std::vector<double> referenceLevels;
        std::optional<double> reference;
        std::optional<core::HealthState> reported;
        double reportedAt = -1;
        bool reading = false; // a jump-buffer read waits or runs
    };

    void readBuffers();
    void compute(LinePort& p, Track& t);
    void startReference(Track& t);
    double windowSeconds() const;

    Line& line_;
    HealthOptions options_;
    QTimer timer_;
    std::unordered_map<const LinePort*, Track> tracks_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace zurid::serve
