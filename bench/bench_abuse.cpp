// zurid serve tried as an attacker and as a control room would for a minute: 8 simulated
// sensors with the wire time, and at once WebSocket sessions that open and close (a page that
// reconnects), pipelined floods of parameter reads that hang up, requests that close or break
// a limit after a good one, half-sent requests, a flood of connections from one address,
// foreign Host headers, wrong tokens, verify jobs without one, absurd values, bad stream input
// and a stream client that never reads; plus page loads in headless Chromium
// (bench/page_loads.py). Each kind of attacker comes from an address of its own (127.0.0.2,
// .3, ...), as on a plant network; the measurements from 127.0.0.1.
// Prints each sensor's rate against the wire limit before, during and after, the daemon's CPU
// and memory before and after, and the connections open once the abuse has stopped.
// Usage: bench_abuse [SECONDS [PAGE_LOADS]]   (default 60 and 1000)
#include "measure.h"
#include "sim/fleet.h"
#include "support/serve.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

using namespace testing_support;

namespace {

constexpr int kSensors = 8;

// One kind of attacker: every `everyMs` it opens a connection from its own address and sends
// what `bytes` gives; what comes back is counted by status; `after` decides what it does next.
class Attacker : public QObject {
  public:
    enum class Then { Close, Abort, Keep };

    Attacker(QString name, quint16 port, int source, int everyMs,
             std::function<QByteArray(int n)> bytes, Then then, int burst)
        : name_(std::move(name)), port_(port), bytes_(std::move(bytes)), then_(then),
          from_(QStringLiteral("127.0.0.%1").arg(source)) {
        connect(&timer_, &QTimer::timeout, this, [this, burst] {
            for (int i = 0; i < burst; ++i) {
                fire();
            }
        });
        timer_.setInterval(everyMs);
        timer_.start();
    }
    void start() { timer_.start(); }
    void stop() {
        timer_.stop();
        held_.clear();
    }
    QString report() const {
        QStringList parts;
        for (const auto& [status, n] : statuses_) {
            parts << QStringLiteral("%1×%2").arg(n).arg(status == 0 ? QStringLiteral("closed")
                                                                    : QString::number(status));
        }
        return QStringLiteral("%1: %2 sent; %3")
            .arg(name_)
            .arg(sent_)
            .arg(parts.join(QStringLiteral(", ")));
    }

  private:
    void fire() {
        auto s = std::make_unique<QTcpSocket>();
        QTcpSocket* raw = s.get();
        s->bind(QHostAddress(from_));
        s->connectToHost(QStringLiteral("127.0.0.1"), port_);
        const QByteArray bytes = bytes_(sent_++);
        connect(raw, &QTcpSocket::connected, raw, [raw, bytes, this] {
            raw->write(bytes);
            if (then_ == Then::Abort) {
                raw->flush();
                raw->abort();
            }
        });
        connect(raw, &QTcpSocket::readyRead, raw, [raw, this] {
            const QByteArray head = raw->peek(16);
            if (head.startsWith("HTTP/1.")) {
                ++statuses_[head.mid(9, 3).toInt()];
            }
            raw->readAll();
            if (then_ == Then::Close) {
                raw->disconnectFromHost();
            }
        });
        connect(raw, &QTcpSocket::disconnected, raw, [raw, this] {
            for (auto it = held_.begin(); it != held_.end(); ++it) {
                if (it->get() == raw) {
                    it->release()->deleteLater();
                    held_.erase(it);
                    return;
                }
            }
        });
        held_.push_back(std::move(s));
        // Not more than a few hundred of our own sockets at once, whatever the server does.
        while (held_.size() > 300) {
            held_.erase(held_.begin());
        }
    }

    QString name_;
    quint16 port_;
    std::function<QByteArray(int)> bytes_;
    Then then_;
    QString from_;
    QTimer timer_;
    int sent_ = 0;
    std::map<int, int> statuses_;
    std::vector<std::unique_ptr<QTcpSocket>> held_;
};

QByteArray Request(const QByteArray& method, const QByteArray& target, const QByteArray& extra = {},
                   const QByteArray& body = {}) {
    return method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
           (body.isEmpty() ? QByteArray()
                           : "Content-Length: " + QByteArray::number(body.size()) + "\r\n") +
           "\r\n" + body;
}

// A masked WebSocket text frame (clients must mask), payload under 126 bytes.
QByteArray TextFrame(const QByteArray& payload) {
    QByteArray f;
    f += static_cast<char>(0x81);
    f += static_cast<char>(0x80 | payload.size());
    f += QByteArray(4, '\0'); // mask 0: the payload as it is
    return f + payload;
}

std::vector<double> Rates(quint16 port, double seconds) {
    const std::vector<qint64> a = Readings(port);
    const double t0 = NowMono();
    Spin(seconds);
    const std::vector<qint64> b = Readings(port);
    const double dt = NowMono() - t0;
    std::vector<double> out;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        out.push_back(static_cast<double>(b[i] - a[i]) / dt);
    }
    return out;
}

void PrintRates(const char* when, const std::vector<double>& rates) {
    const double limit = zurid::core::WireReadingsPerSecond();
    std::printf("  %-7s", when);
    double worst = 1e9;
    for (const double r : rates) {
        std::printf(" %.2f", r);
        worst = std::min(worst, r);
    }
    std::printf("  /s; wire limit %.2f; worst %.3f of it\n", limit, worst / limit);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known
    const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const int pageLoads = argc > 2 ? std::atoi(argv[2]) : 1000;
    sim::SensorFleet fleet(kSensors, WireTimedSensor());
    QTemporaryDir dir;
    ServeProcess serve;
    // Room for every attacker's 16 connections: each address is held to its share, and the
    // measurements (from an address of their own) always get in.
    if (!StartLine(fleet, dir, serve,
                   {QStringLiteral("--max-connections"), QStringLiteral("256")})) {
        return 1;
    }
    const quint16 port = serve.port();
    const qint64 pid = serve.pid();
    const QByteArray token = [&dir] {
        QFile f(dir.filePath(QStringLiteral("zurid/token")));
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    }();
    std::printf("bench_abuse: %d sensors (wire time on), %.0f s of abuse, %d page loads\n",
                kSensors, seconds, pageLoads);
    std::printf("readings per sensor:\n");
    Spin(2);
    PrintRates("before", Rates(port, 5));
    const double cpu0 = CpuOf(pid);
    const double t0 = NowMono();
    Spin(5);
    const double idleCpu = 100.0 * (CpuOf(pid) - cpu0) / (NowMono() - t0);
    const double rss0 = RssMiB(pid);
    const int idleConnections = OpenConnections(port);

    const QByteArray host = "Host: 127.0.0.1\r\n";
    using Then = Attacker::Then;
    std::vector<std::unique_ptr<Attacker>> attackers;
    const auto add = [&](const char* name, int everyMs, std::function<QByteArray(int)> bytes,
                         Then then, int burst = 1) {
        const int source = static_cast<int>(attackers.size()) + 2;
        attackers.push_back(std::make_unique<Attacker>(QString::fromLatin1(name), port, source,
                                                       everyMs, std::move(bytes), then, burst));
    };
    add(
        "WebSocket sessions, closed", 20, [](int) { return WebSocketHandshake("127.0.0.1"); },
        Then::Close);
    add(
        "WebSocket sessions, cut", 25, [](int) { return WebSocketHandshake("127.0.0.1"); },
        Then::Abort);
    add(
        "50 pipelined parameter reads, then hang up", 250,
        [](int n) {
            return Request("GET", n % 2 ? "/api/v1/sensors/COM1/parameters"
                                        : "/api/v1/sensors/COM1/parameters?memory=eeprom")
                .repeated(50);
        },
        Then::Abort);
    add(
        "Connection: close and HTTP/1.0", 50,
        [](int n) {
            return n % 2 ? Request("GET", "/api/v1/sensors", "Connection: close\r\n")
                         : QByteArray("GET /metrics HTTP/1.0\r\n\r\n");
        },
        Then::Keep);
    add(
        "a good request, then one over a limit", 100,
        [](int) {
            return Request("GET", "/api/v1/sensors/COM2") +
                   Request("PATCH", "/api/v1/sensors/COM2/parameters",
                           "Content-Length: 1000000\r\n") +
                   QByteArray(20000, 'x');
        },
        Then::Keep);
    add(
        "half-sent requests", 500, [](int) { return QByteArray("GET /api/v1/sens"); }, Then::Keep);
    add(
        "40 connections at once from one address", 2000, [](int) { return QByteArray(); },
        Then::Keep, 40);
    add(
        "foreign Host", 50,
        [](int n) {
            return n % 2 ? QByteArray("GET /api/v1/sensors HTTP/1.1\r\nHost: evil.example\r\n\r\n")
                         : WebSocketHandshake("rebind.example");
        },
        Then::Close);
    add(
        "wrong tokens", 100,
        [](int n) {
            return Request("PATCH", "/api/v1/sensors/COM3/parameters",
                           "Authorization: Bearer guess-" + QByteArray::number(n) + "\r\n",
                           "{\"THRESHOLD\": 1}");
        },
        Then::Close);
    add(
        "verify jobs without a token", 200,
        [](int) { return Request("POST", "/api/v1/backups/none/verify"); }, Then::Close);
    add(
        "absurd values with the token", 300,
        [&token](int) {
            return Request("PATCH", "/api/v1/sensors/COM4/parameters",
                           "Authorization: Bearer " + token + "\r\n", "{\"THRESHOLD\": 1e300}");
        },
        Then::Close);
    add(
        "bad stream input", 200,
        [](int n) {
            static const QByteArray inputs[] = {"{\"sensors\": 5}", "{\"sensors\": null}",
                                                "{\"sensors\": [5]}", "not json"};
            return WebSocketHandshake("127.0.0.1") + TextFrame(inputs[n % 4]);
        },
        Then::Keep);
    add(
        "stream clients that never read", 3000, [](int) { return WebSocketHandshake("127.0.0.1"); },
        Then::Keep);

    // The first minutes of any daemon's life allocate what it keeps for good (buffers, caches):
    // a few seconds of the same abuse first, then the memory figure it is measured against.
    const auto settle = [&] {
        const double since = NowMono();
        while (OpenConnections(port) != idleConnections && NowMono() - since < 90) {
            Spin(1);
        }
    };
    Spin(5);
    for (const auto& a : attackers) {
        a->stop();
    }
    settle();
    Spin(31); // past the daemon's next return of free memory
    const double rssWarm = RssMiB(pid);
    for (const auto& a : attackers) {
        a->start();
    }

    QProcess loads;
    loads.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    loads.start(QStringLiteral("python3"), {QStringLiteral(ZURID_BENCH_DIR "/page_loads.py"),
                                            QStringLiteral("http://127.0.0.1:%1/").arg(port),
                                            QString::number(pageLoads), QString::number(kSensors)});

    const double cpuA = CpuOf(pid);
    const double tA = NowMono();
    const std::vector<double> during = Rates(port, seconds);
    double loadSeconds = seconds;
    if (pageLoads > 0) {
        while (loads.state() != QProcess::NotRunning) {
            Spin(0.5);
        }
        loadSeconds = NowMono() - tA;
    }
    const double abuseCpu = 100.0 * (CpuOf(pid) - cpuA) / (NowMono() - tA);
    for (const auto& a : attackers) {
        a->stop();
    }
    PrintRates("during", during);
    std::printf("%s", loads.readAllStandardOutput().constData());
    // What the server holds once every attacker is gone: the idle time-out ends the
    // half-sent requests, the stream's ping rule the clients that never read.
    const double tEnd = NowMono();
    int open = OpenConnections(port);
    while (open != idleConnections && NowMono() - tEnd < 90) {
        Spin(1);
        open = OpenConnections(port);
    }
    std::printf("connections: %d idle before, %d %.0f s after the abuse ended\n", idleConnections,
                open, NowMono() - tEnd);
    if (open != idleConnections) {
        // Who still holds one, as the system sees it.
        QProcess ss;
        ss.start(QStringLiteral("ss"),
                 {QStringLiteral("-tn"), QStringLiteral("sport = :%1").arg(port)});
        ss.waitForFinished(5000);
        std::printf("%s", ss.readAllStandardOutput().constData());
    }
    PrintRates("after", Rates(port, 5));
    const double cpu1 = CpuOf(pid);
    const double t1 = NowMono();
    Spin(5);
    std::printf("daemon CPU: %.1f %% of a core idle before, %.1f %% under abuse (%.0f s), %.1f %% "
                "idle after\n",
                idleCpu, abuseCpu, loadSeconds, 100.0 * (CpuOf(pid) - cpu1) / (NowMono() - t1));
    const double rss1 = RssMiB(pid);
    std::printf("daemon RSS: %.1f MiB at start, %.1f MiB after a warm-up of 5 s, %.1f MiB after "
                "(%+.2f MiB)\n",
                rss0, rssWarm, rss1, rss1 - rssWarm);
    for (const auto& a : attackers) {
        std::printf("  %s\n", qPrintable(a->report()));
    }
    const int status = serve.terminate();
    std::printf("zurid serve ended with %d after SIGTERM\n", status);
    if (status != 0) {
        std::printf("%s\n", qPrintable(serve.errText().right(3000)));
    }
    return status == 0 ? 0 : 1;
}
