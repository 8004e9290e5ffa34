#include "serve/health.h"

#include <algorithm>
#include <chrono>

namespace zurid::serve {

namespace {

// The readings behind the figures: those since the last few jump-buffer reads, and never fewer
// than a few passes of the marks.
constexpr double kWindowReads = 3;
constexpr double kShortestWindowSeconds = 5;

double Monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

HealthWatch::HealthWatch(Line& line, HealthOptions options, QObject* parent)
    : QObject(parent), line_(line), options_(options) {
    connect(&timer_, &QTimer::timeout, this, [this] { readBuffers(); });
}

HealthWatch::~HealthWatch() {
    *alive_ = false;
}

void HealthWatch::start() {
    timer_.start(std::max(options_.everyMs, 1));
}

void HealthWatch::stop() {
    timer_.stop();
}

double HealthWatch::windowSeconds() const {
    return std::max(kWindowReads * options_.everyMs / 1000.0, kShortestWindowSeconds);
}

void HealthWatch::reading(LinePort& p, const Reading& r) {
    Track& t = tracks_[&p];
    const double now = Monotonic();
    t.window.push_back({now, r.values.dat0, r.values.dat1, r.values.norm});
    while (!t.window.empty() && now - t.window.front().t > windowSeconds()) {
        t.window.pop_front();
    }
}

// A sensor that does not work has no figures; its reference stays for when it is back.
void HealthWatch::statusChanged(LinePort& p) {
    if (p.status == SensorStatus::Ok) {
        return;
    }
    Track& t = tracks_[&p];
    t.window.clear();
    t.jump.reset();
    compute(p, t);
}

// What was read under the old parameters says nothing about the new ones; the light reference
// is taken again (POWER changes the light, and so does a swapped sensor).
void HealthWatch::blockChanged(LinePort& p, Memory m) {
    if (m != Memory::Ram) {
        return;
    }
    Track& t = tracks_[&p];
    t.window.clear();
    t.jump.reset();
    t.reference.reset();
    startReference(t);
    compute(p, t);
}

void HealthWatch::startReference(Track& t) {
    t.referenceFrom = Monotonic();
    t.referenceLevels.clear();
}

bool HealthWatch::takeReference(LinePort& p) {
    Track& t = tracks_[&p];
    compute(p, t);
    if (!p.health.lightLevel) {
        return false;
    }
    t.reference = p.health.lightLevel;
    t.referenceFrom = -1;
    compute(p, t);
    return true;
}

// Each working port's jump buffer, one read at a time per port, in the client queue.
void HealthWatch::readBuffers() {
    for (const auto& port : line_.ports()) {
        LinePort& p = *port;
        Track& t = tracks_[&p];
        if (!p.session() || t.reading) {
            continue;
        }
        t.reading = true;
        const std::weak_ptr<bool> alive = alive_;
        const auto run = [this, alive, &p](PortSession& s, const ClientTurn& turn) {
            s.readJumpBuffer(0, [this, alive, &p, turn](const sensors::TransactionResult& r) {
                const auto jump = sensors::ToJumpBuffer(r.bytes);
                if (alive.lock() && r.ok() && jump) {
                    Track& t = tracks_[&p];
                    t.jump = jump;
                    compute(p, t);
                }
                turn.answer({});
            });
        };
        Waiter waiter{[alive] { return !alive.expired(); },
                      [this, alive, &p](const Answer&) {
                          if (alive.lock()) {
                              tracks_[&p].reading = false;
                          }
                      }};
        line_.submit(p, {QStringLiteral("health"), false, run}, std::move(waiter));
    }
}

void HealthWatch::compute(LinePort& p, Track& t) {
    std::vector<int> dat0, dat1, norm;
    for (const Sample& s : t.window) {
        dat0.push_back(s.dat0);
        dat1.push_back(s.dat1);
        norm.push_back(s.norm);
    }
    core::HealthInput in;
    in.norms = norm;
    in.dat0 = dat0;
    in.dat1 = dat1;
    if (t.jump) {
        in.jumpBuffer = std::span<const core::Byte>(*t.jump);
    }
    if (p.ram && p.status == SensorStatus::Ok) {
        core::TakeLevels(in, *p.ram);
    }
    // The reference: the median of the levels seen over its period, taken at the period's end.
    const double now = Monotonic();
    if (t.referenceFrom >= 0 && p.status == SensorStatus::Ok && !t.window.empty()) {
        if (const auto level = core::LightLevel(dat0, dat1, norm, in.threshold.value_or(0))) {
            t.referenceLevels.push_back(*level);
        }
        if (now - t.referenceFrom >= options_.referenceMs / 1000.0) {
            t.reference = core::Median(t.referenceLevels);
            if (t.reference) {
                t.referenceFrom = -1;
            } else {
                startReference(t); // nothing seen: the period starts over
            }
        }
    }
    in.lightReference = t.reference;
    p.health = core::ComputeHealth(in, options_.limits);

    const bool changed = p.health.state != t.reported;
    const bool due = t.reportedAt < 0 || now - t.reportedAt >= kHealthReportMs / 1000.0;
    if (changed || due) {
        t.reported = p.health.state;
        t.reportedAt = now;
    }
    if (computed) {
        computed(p, changed || due);
    }
}

} // namespace zurid::serve
