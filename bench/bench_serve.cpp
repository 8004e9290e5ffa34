// zurid serve under load: 32 simulated sensors with the wire time of 4800 baud, 16 WebSocket
// clients of the whole stream, /metrics scraped every second and 50 GET /api/v1/sensors a
// second. Measures each sensor's readings per second against the wire limit, the longest gap
// in its live data, the daemon's CPU, the latency from a reading to the clients and of the
// GETs, then the same with one client that stops reading: the others' rate, the dropped
// messages, the daemon's memory. The line runs three times: as serve starts by default, with
// its jump buffers read more often, and with a reference verified every 30 s;
// the figures of the runs are printed side by side.
// Usage: bench_serve [SECONDS [STALL_SECONDS]]   (default 30 and 60, for each run)
#include "measure.h"
#include "sim/fleet.h"
#include "support/serve.h"
#include "support/zurid.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

constexpr int kSensors = 32;
constexpr int kClients = 16;
constexpr int kGetsPerSecond = 50;

// The runs' arguments: by default (jump buffers every 10 s); each sensor's jump buffer read
// often; and a reference verified every 30 s, a line's 10 minutes compressed so that the
// measured seconds hold a verify or two of each sensor.
const struct {
    const char* name; // the run's column
    QStringList args;
} kRuns[] = {
    {"defaults", {}},
    {"health 2s", {"--health-every", "2s"}},
    {"verify 30s", {"--reference", "line", "--verify-every", "30s"}},
};

// Requests on one kept-alive connection, one at a time, each timed from its write to its
// whole answer; a request due while the last one is still out is counted as late.
class Poller : public QObject {
  public:
    Poller(quint16 port, QByteArray target, int perSecond) : target_(std::move(target)) {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket_.waitForConnected();
        connect(&socket_, &QTcpSocket::readyRead, this, &Poller::onData);
        connect(&timer_, &QTimer::timeout, this, &Poller::send);
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.start(1000 / perSecond);
    }
    std::vector<double> ms;
    int late = 0;
    QByteArray last;

  private:
    void send() {
        if (out_ > 0) {
            ++late;
            return;
        }
        out_ = NowMono();
        socket_.write("GET " + target_ + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }
    void onData() {
        buffer_ += socket_.readAll();
        const qsizetype end = buffer_.indexOf("\r\n\r\n");
        if (end < 0) {
            return;
        }
        const qsizetype at = buffer_.indexOf("Content-Length: ");
        const qsizetype length = buffer_.mid(at + 16, buffer_.indexOf('\r', at) - at - 16).toInt();
        if (buffer_.size() < end + 4 + length) {
            return;
        }
        ms.push_back((NowMono() - out_) * 1000);
        last = buffer_.mid(end + 4, length);
        buffer_.remove(0, end + 4 + length);
        out_ = 0;
    }

    QTcpSocket socket_;
    QTimer timer_;
    QByteArray target_;
    QByteArray buffer_;
    double out_ = 0;
};

struct Client {
    QWebSocket socket;
    qint64 messages = 0;
};

// One run's figures, each as the table prints it.
struct Figures {
    double pollingCpu = 0;
    std::vector<double> rates; // readings per second of each sensor, sorted
    double rateOfLimit = 0;    // the slowest sensor's share of the wire limit
    double cpu = 0;
    double latencyMedian = 0, latencyP99 = 0, latencyWorst = 0;
    double longestGapCycles = 0;
    qint64 gapsOverTwoCycles = 0, gaps = 0;
    qint64 getBytes = 0;
    double getMedian = 0, getP99 = 0, getWorst = 0;
    std::size_t getCount = 0;
    int getLate = 0;
    double metricsP99 = 0;
    double clientRate = 0;
    double stalledClientRate = 0, stalledLatencyP99 = 0;
    QByteArray dropped;
    double rssBefore = 0, rssAfter = 0;
    int exitCode = -1;
};

double WireLimit() {
    return zurid::core::WireReadingsPerSecond();
}

// A reading's sensor and time stamp from its stream message; false for other messages.
bool ReadingOf(const QString& text, QStringView* sensor, double* t) {
    if (!text.contains(QLatin1String("\"reading\""))) {
        return false;
    }
    const qsizetype at = text.indexOf(QLatin1String("\"t\":"));
    const qsizetype named = text.indexOf(QLatin1String("\"sensor\":\""));
    if (at < 0 || named < 0) {
        return false;
    }
    *t = QStringView(text).mid(at + 4, 16).split(QLatin1Char(','))[0].toDouble();
    const qsizetype from = named + 10;
    *sensor = QStringView(text).mid(from, text.indexOf(QLatin1Char('"'), from) - from);
    return true;
}

// The line under load, started with `args` (and its reference made first when they name one).
std::optional<Figures> Run(const QStringList& args, double seconds, double stallSeconds) {
    sim::SensorFleet fleet(kSensors, WireTimedSensor());
    QTemporaryDir dir;
    ServeProcess serve;
    if (!fleet.start() || !dir.isValid()) {
        std::fprintf(stderr, "cannot start the simulators\n");
        return std::nullopt;
    }
    QStringList serveArgs = args;
    if (const qsizetype at = args.indexOf(QStringLiteral("--reference")); at >= 0) {
        QStringList backup{QStringLiteral("backup"), dir.filePath("backups/" + args.value(at + 1))};
        for (int i = 1; i <= kSensors; ++i) {
            backup << QStringLiteral("COM%1").arg(i);
        }
        QProcessEnvironment env = ZuridEnv(fleet.paths());
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir.path());
        const ZuridRun made = RunZuridIn(env, backup, 120000);
        if (made.exitCode != 0) {
            std::fprintf(stderr, "no reference: %s\n", made.err.constData());
            return std::nullopt;
        }
        serveArgs << QStringLiteral("--backups") << dir.filePath(QStringLiteral("backups"));
    }
    // All its clients come from this machine: more than one address's default share.
    serveArgs << QStringLiteral("--max-per-address") << QStringLiteral("64");
    if (!StartServe(fleet, dir, serve, serveArgs)) {
        return std::nullopt;
    }
    const quint16 port = serve.port();
    const qint64 pid = serve.pid();
    Figures f;
    {
        // The line alone, for comparison: the daemon polling its ports, nobody asking.
        Spin(2);
        const double t0 = NowMono(), cpu0 = CpuOf(pid);
        Spin(std::min(seconds, 10.0));
        f.pollingCpu = 100.0 * (CpuOf(pid) - cpu0) / (NowMono() - t0);
    }

    // Every reading's way from the daemon to the clients: its time stamp to the arrival. The
    // first client also keeps each sensor's last time stamp, for the gaps in its live data.
    const double cycle = 1.0 / WireLimit();
    std::vector<double> latencyMs;
    latencyMs.reserve(1 << 20);
    QHash<QString, double> lastOf;
    bool gapsCounted = true; // while all clients read
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<Client>();
        Client* raw = c.get();
        QObject::connect(
            &c->socket, &QWebSocket::textMessageReceived,
            [raw, i, cycle, &latencyMs, &lastOf, &gapsCounted, &f](const QString& text) {
                ++raw->messages;
                QStringView sensor;
                double t = 0;
                if (!ReadingOf(text, &sensor, &t)) {
                    return;
                }
                latencyMs.push_back((NowUnix() - t) * 1000);
                if (i != 0 || !gapsCounted) {
                    return;
                }
                double& last = lastOf[sensor.toString()];
                if (last > 0) {
                    const double gap = (t - last) / cycle;
                    f.longestGapCycles = std::max(f.longestGapCycles, gap);
                    f.gapsOverTwoCycles += gap > 2 ? 1 : 0;
                    ++f.gaps;
                }
                last = t;
            });
        c->socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/stream").arg(port)));
        clients.push_back(std::move(c));
    }
    Spin(3); // connected, queues settled
    Poller metrics(port, "/metrics", 1);
    Poller gets(port, "/api/v1/sensors", kGetsPerSecond);
    latencyMs.clear();
    f.longestGapCycles = 0;
    f.gapsOverTwoCycles = f.gaps = 0;

    // The clients' messages a second each and each sensor's readings a second over `span`;
    // false without the readings counters.
    const auto measure = [&](double span, double* clientRate, double* cpu,
                             std::vector<double>* rates) {
        const std::vector<qint64> r0 = Readings(port);
        qint64 m0 = 0;
        for (const auto& c : clients) {
            m0 += c->messages;
        }
        const double t0 = NowMono(), cpu0 = CpuOf(pid);
        Spin(span);
        const double wall = NowMono() - t0;
        *cpu = 100.0 * (CpuOf(pid) - cpu0) / wall;
        const std::vector<qint64> r1 = Readings(port);
        qint64 m1 = 0;
        for (const auto& c : clients) {
            m1 += c->messages;
        }
        rates->clear();
        for (std::size_t i = 0; i < r0.size() && i < r1.size(); ++i) {
            rates->push_back(static_cast<double>(r1[i] - r0[i]) / wall);
        }
        std::sort(rates->begin(), rates->end());
        *clientRate = static_cast<double>(m1 - m0) / wall / kClients;
        return !rates->empty();
    };

    std::printf("  all clients reading, %.0f s\n", seconds);
    if (!measure(seconds, &f.clientRate, &f.cpu, &f.rates)) {
        std::fprintf(stderr, "no readings counter from the API\n");
        return std::nullopt;
    }
    f.rateOfLimit = f.rates.front() / WireLimit();
    f.latencyMedian = Percentile(latencyMs, 0.5);
    f.latencyP99 = Percentile(latencyMs, 0.99);
    f.latencyWorst = Percentile(latencyMs, 1.0);
    f.getBytes = gets.last.size();
    f.getMedian = Percentile(gets.ms, 0.5);
    f.getP99 = Percentile(gets.ms, 0.99);
    f.getWorst = Percentile(gets.ms, 1.0);
    f.getCount = gets.ms.size();
    f.getLate = gets.late;
    f.metricsP99 = Percentile(metrics.ms, 0.99);
    gapsCounted = false;

    // One client that stops reading: a socket that did its handshake and reads no more, with
    // small buffers so that the daemon's side fills up soon.
    f.rssBefore = RssMiB(pid);
    QTcpSocket stalled;
    stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    stalled.setReadBufferSize(4096);
    stalled.connectToHost(QStringLiteral("127.0.0.1"), port);
    stalled.waitForConnected();
    stalled.write("GET /api/v1/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n");
    latencyMs.clear();
    std::printf("  one client stops reading, %.0f s\n", stallSeconds);
    double cpu = 0;
    std::vector<double> rates;
    measure(stallSeconds, &f.stalledClientRate, &cpu, &rates);
    f.stalledLatencyP99 = Percentile(latencyMs, 0.99);
    const QByteArray text = metrics.last;
    const qsizetype at = text.indexOf("\nzurid_stream_dropped_messages_total ") + 1;
    f.dropped = text.mid(at + 36, text.indexOf('\n', at) - at - 36);
    f.rssAfter = RssMiB(pid);
    f.exitCode = serve.terminate();
    return f;
}

// Each figure on its line, one column a run.
void PrintSideBySide(const QStringList& names, const std::vector<Figures>& runs) {
    const auto row = [&](const QString& label, const std::function<QString(const Figures&)>& cell) {
        QString line = QStringLiteral("%1").arg(label, -50);
        for (const Figures& f : runs) {
            line += QStringLiteral("%1").arg(cell(f), -26);
        }
        std::printf("%s\n", qPrintable(line.trimmed()));
    };
    const auto n = [](double v, int decimals = 2) { return QString::number(v, 'f', decimals); };
    row(QStringLiteral("zurid serve"), [&](const Figures& f) { return names[&f - runs.data()]; });
    row("polling alone: daemon CPU, % of a core",
        [&](const Figures& f) { return n(f.pollingCpu); });
    row("readings per sensor min / median / max, /s", [&](const Figures& f) {
        return n(f.rates.front()) + " / " + n(f.rates[f.rates.size() / 2]) + " / " +
               n(f.rates.back());
    });
    const QString limit = QStringLiteral("slowest sensor's share of the wire limit %1 /s")
                              .arg(WireLimit(), 0, 'f', 2);
    row(limit, [&](const Figures& f) { return n(f.rateOfLimit, 3); });
    row("longest live-data gap, cycles", [&](const Figures& f) { return n(f.longestGapCycles); });
    row("gaps over two cycles (of all gaps)", [&](const Figures& f) {
        return QStringLiteral("%1 (of %2)").arg(f.gapsOverTwoCycles).arg(f.gaps);
    });
    row("daemon CPU, % of a core", [&](const Figures& f) { return n(f.cpu); });
    row("reading to client median / p99 / worst, ms", [&](const Figures& f) {
        return n(f.latencyMedian) + " / " + n(f.latencyP99) + " / " + n(f.latencyWorst);
    });
    row("GET /api/v1/sensors median / p99 / worst, ms", [&](const Figures& f) {
        return n(f.getMedian) + " / " + n(f.getP99) + " / " + n(f.getWorst);
    });
    row("GET /api/v1/sensors: bytes, requests, late", [&](const Figures& f) {
        return QStringLiteral("%1, %2, %3").arg(f.getBytes).arg(f.getCount).arg(f.getLate);
    });
    row("GET /metrics p99, ms", [&](const Figures& f) { return n(f.metricsP99); });
    row("messages per client, /s", [&](const Figures& f) { return n(f.clientRate, 1); });
    row("stalled: messages per other client, /s",
        [&](const Figures& f) { return n(f.stalledClientRate, 1); });
    row("stalled: reading to client p99, ms",
        [&](const Figures& f) { return n(f.stalledLatencyP99); });
    row("stalled: messages dropped for it",
        [&](const Figures& f) { return QString::fromLatin1(f.dropped); });
    row("daemon RSS before / after the stall, MiB",
        [&](const Figures& f) { return n(f.rssBefore, 1) + " / " + n(f.rssAfter, 1); });
    row("exit status after SIGTERM", [&](const Figures& f) { return QString::number(f.exitCode); });
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // progress as it happens
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const double stallSeconds = argc > 2 ? std::atof(argv[2]) : 60.0;
    std::printf("bench_serve: %d sensors (wire time on, no answer delay), %d WebSocket clients "
                "of the whole stream, /metrics every second, %d GET /api/v1/sensors a second\n",
                kSensors, kClients, kGetsPerSecond);
    QStringList names;
    std::vector<Figures> runs;
    for (const auto& run : kRuns) {
        names << QLatin1String(run.name);
        std::printf("%s: zurid serve %s\n", run.name, qPrintable(run.args.join(QLatin1Char(' '))));
        const std::optional<Figures> f = Run(run.args, seconds, stallSeconds);
        if (!f) {
            return 1;
        }
        runs.push_back(*f);
    }
    PrintSideBySide(names, runs);
    return 0;
}
