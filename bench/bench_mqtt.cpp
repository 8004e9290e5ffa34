// zurid serve --mqtt under load: 32 simulated sensors with the wire time of 4800 baud, every
// reading published to a local mosquitto, one subscriber (libmosquitto in a thread of its own)
// counting. Prints each sensor's readings per second against the wire limit, the daemon's CPU
// without and with the bridge, the latency from a reading to the subscriber, whether every
// published reading arrived, and after mosquitto is killed and started again the seconds until
// the first reading arrives again.
// Usage: bench_mqtt [SECONDS [DOWN_SECONDS]]   (default 30 and 3)
#include "measure.h"
#include "sim/fleet.h"
#include "support/mosquitto.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <mosquitto.h>

#include <atomic>
#include <cstdio>
#include <mutex>

using namespace testing_support;

namespace {

constexpr int kSensors = 32;
const char kPrefix[] = "bench/line";

// Counts the live readings and keeps each one's latency (its "t" to its arrival).
class Counter {
  public:
    explicit Counter(quint16 port) {
        mosquitto_lib_init();
        m_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(m_, [](mosquitto* m, void*, int) {
            mosquitto_subscribe(m, nullptr, "bench/line/sensors/+/live", 0);
        });
        mosquitto_message_callback_set(m_,
                                       [](mosquitto*, void* self, const mosquitto_message* msg) {
                                           static_cast<Counter*>(self)->onMessage(msg);
                                       });
        mosquitto_connect(m_, "127.0.0.1", port, 30);
        mosquitto_loop_start(m_);
    }
    ~Counter() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, false);
        mosquitto_destroy(m_);
    }
    std::atomic<qint64> received{0};
    std::atomic<double> first{0}; // NowMono() of the first reading
    std::vector<double> takeLatencies() {
        std::lock_guard lock(mutex_);
        return std::exchange(latencyMs_, {});
    }

  private:
    void onMessage(const mosquitto_message* msg) {
        const double now = NowUnix();
        double zero = 0;
        first.compare_exchange_strong(zero, NowMono());
        ++received;
        const QByteArray payload(static_cast<const char*>(msg->payload), msg->payloadlen);
        const qsizetype at = payload.indexOf("\"t\":");
        if (at >= 0) {
            const double t = payload.mid(at + 4, 20).split(',').value(0).toDouble();
            std::lock_guard lock(mutex_);
            latencyMs_.push_back((now - t) * 1000);
        }
    }
    mosquitto* m_ = nullptr;
    std::mutex mutex_;
    std::vector<double> latencyMs_;
};

// A counter from the daemon's /metrics.
double Metric(quint16 port, const QByteArray& name) {
    const QByteArray text = Http(port, "GET", "/metrics").body;
    const qsizetype at = text.indexOf("\n" + name + " ");
    return at < 0 ? -1 : text.mid(at + name.size() + 2, 24).split('\n').value(0).toDouble();
}

void SetSilent(sim::SensorFleet& fleet, bool silent) {
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        fleet.at(i).setFault(silent ? sim::Fault::Silent : sim::Fault::None);
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const double downSeconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    sim::SensorFleet fleet(kSensors, WireTimedSensor());
    QTemporaryDir dir;
    Mosquitto broker;
    if (!fleet.start() || !dir.isValid() || !broker.start()) {
        std::fprintf(stderr, "cannot start the simulators or mosquitto\n");
        return 1;
    }
    QStringList ports;
    for (int i = 1; i <= kSensors; ++i) {
        ports << QStringLiteral("COM%1").arg(i);
    }
    std::printf("bench_mqtt: %d sensors (wire time on, no answer delay), every reading to a "
                "local mosquitto, one subscriber\n",
                kSensors);
    const double limit = zurid::core::WireReadingsPerSecond();

    double cpuAlone = 0;
    {
        ServeProcess plain;
        if (!plain.start(ports, fleet.paths(), dir.filePath("plain")) ||
            !plain.waitForStatus("ok", 30000)) {
            std::fprintf(stderr, "zurid serve did not start: %s\n", qPrintable(plain.errText()));
            return 1;
        }
        Spin(2);
        const double t0 = NowMono(), cpu0 = CpuOf(plain.pid());
        Spin(std::min(seconds, 10.0));
        cpuAlone = 100.0 * (CpuOf(plain.pid()) - cpu0) / (NowMono() - t0);
        std::printf("without --mqtt: daemon CPU %.2f %% of a core\n", cpuAlone);
        plain.terminate();
    }

    auto counter = std::make_unique<Counter>(broker.port());
    ServeProcess serve;
    if (!serve.start(ports + QStringList{"--mqtt", broker.url(), "--mqtt-prefix", kPrefix},
                     fleet.paths(), dir.filePath("mqtt")) ||
        !serve.waitForStatus("ok", 30000)) {
        std::fprintf(stderr, "zurid serve did not start: %s\n", qPrintable(serve.errText()));
        return 1;
    }
    const quint16 port = serve.port();
    Spin(2);
    counter->takeLatencies();
    const std::vector<qint64> r0 = Readings(port);
    const double t0 = NowMono(), cpu0 = CpuOf(serve.pid());
    Spin(seconds);
    const double wall = NowMono() - t0, cpu = 100.0 * (CpuOf(serve.pid()) - cpu0) / wall;
    const std::vector<qint64> r1 = Readings(port);
    std::vector<double> rates;
    for (std::size_t i = 0; i < r0.size() && i < r1.size(); ++i) {
        rates.push_back(static_cast<double>(r1[i] - r0[i]) / wall);
    }
    std::sort(rates.begin(), rates.end());
    const std::vector<double> latency = counter->takeLatencies();
    std::printf("with --mqtt, %.0f s:\n", wall);
    std::printf("  readings per sensor: min %.2f, median %.2f, max %.2f /s; wire limit %.2f /s: "
                "min %.3f of it\n",
                rates.front(), rates[rates.size() / 2], rates.back(), limit, rates.front() / limit);
    std::printf("  daemon CPU %.2f %% of a core (%.2f %% more than without the bridge)\n", cpu,
                cpu - cpuAlone);
    std::printf("  reading to subscriber: median %.2f ms, p99 %.2f ms, worst %.2f ms (%zu "
                "readings; t has ms resolution)\n",
                Percentile(latency, 0.5), Percentile(latency, 0.99), Percentile(latency, 1.0),
                latency.size());

    // The line falls silent, so that the counts stand still, then published against received.
    SetSilent(fleet, true);
    Spin(4);
    const double published = Metric(port, "zurid_mqtt_readings_published_total");
    const double dropped = Metric(port, "zurid_mqtt_readings_dropped_total");
    std::printf("  published %.0f, received %lld, dropped %.0f: %s\n", published,
                static_cast<long long>(counter->received.load()), dropped,
                published == static_cast<double>(counter->received.load()) && dropped == 0
                    ? "every reading arrived"
                    : "READINGS MISSING");
    SetSilent(fleet, false);
    serve.waitForStatus("ok", 30000);

    // The broker dies and comes back: seconds from its restart to the first reading.
    counter.reset();
    broker.kill();
    Spin(downSeconds);
    if (!broker.start()) {
        std::fprintf(stderr, "mosquitto did not start again\n");
        return 1;
    }
    const double restarted = NowMono();
    counter = std::make_unique<Counter>(broker.port());
    while (counter->first.load() == 0 && NowMono() - restarted < 60) {
        Spin(0.01);
    }
    std::printf("mosquitto killed, down %.1f s, started again: first reading after %.2f s\n",
                downSeconds, counter->first.load() - restarted);
    std::printf("zurid serve ended with %d after SIGTERM\n", serve.terminate());
    return 0;
}
