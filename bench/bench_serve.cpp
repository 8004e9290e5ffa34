// zurid serve under load: 32 simulated sensors with the wire time of 4800 baud, 16 WebSocket
// clients of the whole stream, /metrics scraped every second and 50 GET /api/v1/sensors a
// second. Prints each sensor's readings per second against the wire limit, the daemon's CPU,
// the latency from a reading to the clients and of the GETs, then the same with one client
// that stops reading: the others' rate, the dropped messages, the daemon's memory.
// Usage: bench_serve [SECONDS [STALL_SECONDS]]   (default 30 and 60)
#include "measure.h"
#include "sim/fleet.h"
#include "support/serve.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

constexpr int kSensors = 32;
constexpr int kClients = 16;
constexpr int kGetsPerSecond = 50;

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
    const double stallSeconds = argc > 2 ? std::atof(argv[2]) : 60.0;
    sim::SensorFleet fleet(kSensors, WireTimedSensor());
    QTemporaryDir dir;
    ServeProcess serve;
    // All its clients come from this machine: more than one address's default share.
    if (!StartLine(fleet, dir, serve,
                   {QStringLiteral("--max-per-address"), QStringLiteral("64")})) {
        return 1;
    }
    const quint16 port = serve.port();
    const qint64 pid = serve.pid();
    std::printf("bench_serve: %d sensors (wire time on, no answer delay), %d WebSocket clients "
                "of the whole stream, /metrics every second, %d GET /api/v1/sensors a second\n",
                kSensors, kClients, kGetsPerSecond);
    {
        // The line alone, for comparison: the daemon polling its ports, nobody asking.
        Spin(2);
        const double t0 = NowMono(), cpu0 = CpuOf(pid);
        Spin(std::min(seconds, 10.0));
        std::printf("polling alone: daemon CPU %.2f %% of a core\n",
                    100.0 * (CpuOf(pid) - cpu0) / (NowMono() - t0));
    }

    // Every reading's way from the daemon to the clients: its time stamp to the arrival.
    std::vector<double> latencyMs;
    latencyMs.reserve(1 << 20);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kClients; ++i) {
        auto c = std::make_unique<Client>();
        Client* raw = c.get();
        QObject::connect(
            &c->socket, &QWebSocket::textMessageReceived, [raw, &latencyMs](const QString& text) {
                ++raw->messages;
                const qsizetype at = text.indexOf(QLatin1String("\"t\":"));
                if (at >= 0 && text.contains(QLatin1String("\"reading\""))) {
                    const double t =
                        QStringView(text).mid(at + 4, 16).split(QLatin1Char(','))[0].toDouble();
                    latencyMs.push_back((NowUnix() - t) * 1000);
                }
            });
        c->socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/stream").arg(port)));
        clients.push_back(std::move(c));
    }
    Spin(3); // connected, queues settled
    Poller metrics(port, "/metrics", 1);
    Poller gets(port, "/api/v1/sensors", kGetsPerSecond);
    latencyMs.clear();

    const auto measure = [&](double span, double* clientRate) {
        const std::vector<qint64> r0 = Readings(port);
        qint64 m0 = 0;
        for (const auto& c : clients) {
            m0 += c->messages;
        }
        const double t0 = NowMono(), cpu0 = CpuOf(pid);
        Spin(span);
        const double wall = NowMono() - t0, cpu = CpuOf(pid) - cpu0;
        const std::vector<qint64> r1 = Readings(port);
        qint64 m1 = 0;
        for (const auto& c : clients) {
            m1 += c->messages;
        }
        std::vector<double> rates;
        for (std::size_t i = 0; i < r0.size() && i < r1.size(); ++i) {
            rates.push_back(static_cast<double>(r1[i] - r0[i]) / wall);
        }
        *clientRate = static_cast<double>(m1 - m0) / wall / kClients;
        if (rates.empty()) {
            std::printf("  no readings counter from the API\n");
            return 0.0;
        }
        std::sort(rates.begin(), rates.end());
        const double limit = 1.0 / (26 * sim::kByteSeconds + zurid::core::kDataPauseMs / 1000.0);
        std::printf("  readings per sensor: min %.2f, median %.2f, max %.2f /s; wire limit %.2f "
                    "/s (26 bytes of wire + %d ms pause): min %.3f of it\n",
                    rates.front(), rates[rates.size() / 2], rates.back(), limit,
                    zurid::core::kDataPauseMs, rates.front() / limit);
        std::printf("  daemon CPU: %.2f %% of a core over %.1f s\n", 100.0 * cpu / wall, wall);
        return rates.front() / limit;
    };

    std::printf("all clients reading, %.0f s:\n", seconds);
    double rateBefore = 0;
    measure(seconds, &rateBefore);
    std::printf("  reading to WebSocket client: median %.2f ms, p99 %.2f ms, worst %.2f ms "
                "(%zu messages)\n",
                Percentile(latencyMs, 0.5), Percentile(latencyMs, 0.99), Percentile(latencyMs, 1.0),
                latencyMs.size());
    std::printf("  GET /api/v1/sensors (%lld bytes): median %.2f ms, p99 %.2f ms, worst %.2f ms "
                "(%zu requests, %d late)\n",
                static_cast<long long>(gets.last.size()), Percentile(gets.ms, 0.5),
                Percentile(gets.ms, 0.99), Percentile(gets.ms, 1.0), gets.ms.size(), gets.late);
    std::printf("  GET /metrics: p99 %.2f ms (%zu scrapes)\n", Percentile(metrics.ms, 0.99),
                metrics.ms.size());
    std::printf("  messages per client: %.1f /s\n", rateBefore);

    // One client that stops reading: a socket that did its handshake and reads no more, with
    // small buffers so that the daemon's side fills up soon.
    const double rssBefore = RssMiB(pid);
    QTcpSocket stalled;
    stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    stalled.setReadBufferSize(4096);
    stalled.connectToHost(QStringLiteral("127.0.0.1"), port);
    stalled.waitForConnected();
    stalled.write("GET /api/v1/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n");
    latencyMs.clear();
    std::printf("one client stops reading, %.0f s:\n", stallSeconds);
    double rateDuring = 0;
    measure(stallSeconds, &rateDuring);
    const QByteArray text = metrics.last;
    const qsizetype at = text.indexOf("\nzurid_stream_dropped_messages_total ") + 1;
    std::printf("  messages per other client: %.1f /s (before %.1f /s); reading to client p99 "
                "%.2f ms\n",
                rateDuring, rateBefore, Percentile(latencyMs, 0.99));
    std::printf("  dropped for the stalled client: %s messages\n",
                text.mid(at + 36, text.indexOf('\n', at) - at - 36).constData());
    std::printf("  daemon RSS: %.1f MiB before the stall, %.1f MiB after it\n", rssBefore,
                RssMiB(pid));
    std::printf("zurid serve ended with %d after SIGTERM\n", serve.terminate());
    return 0;
}
