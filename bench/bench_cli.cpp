// zurid's speed against the simulator with the wire time of 4800 baud: the watch rate against
// what the wire and the pause allow (default pause and --pause 0), its CPU share, the wall time
// of `get` against its wire-and-settle floor, process start to the first request, and the wall
// time of `set` with its journal (against another zurid, e.g. one built before the journal).
//
// bench_cli [SECONDS [OTHER_ZURID]]  (watch length, default 20; 0 leaves the watch out)
#include "sim/sensorsim.h"
#include "support/cputime.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

using testing_support::ChildCpuSeconds;

namespace {

constexpr double kByte = sim::kByteSeconds;
constexpr double kRequestWire = 17 * kByte;

// Runs zurid to its end; its wall time in seconds, or -1 when it failed.
double Run(const QString& zurid, const QStringList& args, const std::string& port,
           double* started = nullptr) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZURID_PORTS", QString::fromStdString(port));
    p.setProcessEnvironment(env);
    p.setStandardOutputFile(QProcess::nullDevice());
    const double t0 = sim::monotonicSeconds();
    if (started != nullptr) {
        *started = t0;
    }
    p.start(zurid, args);
    if (!p.waitForFinished(-1) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "zurid %s failed: %s\n", qPrintable(args.join(' ')),
                     p.readAllStandardError().constData());
        return -1;
    }
    return sim::monotonicSeconds() - t0;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Watch(const QString& zurid, sim::SensorSim& s, int pauseMs, double seconds,
           const QString& csvPath) {
    const double cpu0 = ChildCpuSeconds();
    const double wall = Run(zurid,
                            {"watch", "COM1", "--seconds", QString::number(seconds), "--pause",
                             QString::number(pauseMs), "--csv", csvPath},
                            s.path());
    const double cpu = ChildCpuSeconds() - cpu0;
    QFile f(csvPath);
    if (wall < 0 || !f.open(QIODevice::ReadOnly)) {
        return;
    }
    const QList<QByteArray> lines = f.readAll().trimmed().split('\n');
    if (lines.size() < 3) {
        std::printf("watch --pause %d: only %lld rows\n", pauseMs,
                    static_cast<long long>(lines.size()) - 1);
        return;
    }
    // Rows over the time between the first and the last row: the cycle, without the settle.
    const double first = lines[1].split(',')[0].toDouble();
    const double last = lines.back().split(',')[0].toDouble();
    const double rate = static_cast<double>(lines.size() - 2) / (last - first);
    const double limit = 1.0 / (26 * kByte + pauseMs / 1000.0);
    std::printf("watch --pause %-3d %6lld rows in %.1f s: %.2f rows/s, limit %.2f (26 bytes of "
                "wire + pause): %.3f of it; CPU %.2f %% of a core\n",
                pauseMs, static_cast<long long>(lines.size()) - 1, wall, rate, limit, rate / limit,
                100.0 * cpu / wall);
}

// `set` of THRESHOLD, 41 times, each time to the value the sensor does not hold (a write and
// read-back),
// journaled into a fresh file per program; each program's median wall time in seconds (empty
// when a run failed). The programs take turns, so that a machine busy for a while slows both.
std::vector<double> SetMedians(const QStringList& programs, sim::SensorSim& s,
                               const QTemporaryDir& journals) {
    std::vector<std::vector<double>> times(programs.size());
    for (int i = 0; i < 41; ++i) {
        for (qsizetype k = 0; k < programs.size(); ++k) {
            qputenv("ZURID_JOURNAL", QFile::encodeName(journals.filePath(QString::number(k))));
            const double t =
                Run(programs[k],
                    {"set", "COM1",
                     QStringLiteral("THRESHOLD=%1").arg(80 + (i * programs.size() + k) % 2)},
                    s.path());
            if (t < 0) {
                return {};
            }
            times[k].push_back(t);
        }
    }
    std::vector<double> medians;
    for (const auto& t : times) {
        medians.push_back(Median(t));
    }
    return medians;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const QString zurid = QCoreApplication::applicationDirPath() + "/zurid";
    // No answer delay: the sensor's own answer time is not zurid's; the wire time is on.
    sim::SensorSim s(sim::Config{.answerDelay = 0.0, .wireTime = true, .ram = sim::defaultBlock()});
    QTemporaryDir dir;
    if (!s.start() || !dir.isValid()) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return 1;
    }
    std::printf("zurid against the simulator, wire time on (%.3f ms a byte), no answer delay\n",
                kByte * 1000);

    if (seconds > 0) {
        Watch(zurid, s, 50, seconds, dir.filePath("pause50.csv"));
        Watch(zurid, s, 0, seconds, dir.filePath("pause0.csv"));
    }

    // get: the settle delay, the request and the 15-byte reply.
    const double floor = 0.1 + 32 * kByte;
    std::vector<double> gets;
    for (int i = 0; i < 15; ++i) {
        const double t = Run(zurid, {"get", "COM1"}, s.path());
        if (t < 0) {
            return 1;
        }
        gets.push_back(t);
    }
    std::printf("get: median %.1f ms, worst %.1f ms of wall time (process start to exit); floor "
                "%.1f ms (0.1 s settle + 32 bytes of wire): %.3fx (worst %.3fx)\n",
                Median(gets) * 1000, *std::max_element(gets.begin(), gets.end()) * 1000,
                floor * 1000, Median(gets) / floor,
                *std::max_element(gets.begin(), gets.end()) / floor);

    // check has no settle delay: the request starts as soon as the process is ready.
    std::vector<double> starts;
    for (int i = 0; i < 15; ++i) {
        s.clearRequests();
        double started = 0;
        if (Run(zurid, {"check", "COM1"}, s.path(), &started) < 0 || s.requests().empty()) {
            return 1;
        }
        // The log has the moment the request was complete; it began one request's wire earlier.
        starts.push_back(s.requests().front().t - kRequestWire - started);
    }
    std::sort(starts.begin(), starts.end());
    std::printf("process start to first request (check): median %.1f ms, worst %.1f ms\n",
                Median(starts) * 1000, starts.back() * 1000);

    // The journals in the current folder: on a disk, as the user's is (/tmp may be in memory).
    QTemporaryDir journals(QDir::currentPath() + "/bench-journal-XXXXXX");
    QStringList programs{zurid};
    if (argc > 2) {
        programs << QString::fromLocal8Bit(argv[2]);
    }
    const std::vector<double> sets = SetMedians(programs, s, journals);
    if (sets.empty()) {
        return 1;
    }
    std::printf("set (read twice, write, read back, journaled): median %.1f ms\n", sets[0] * 1000);
    if (sets.size() > 1) {
        std::printf("set by %s, in turns with it: median %.1f ms; this one %+.1f ms\n", argv[2],
                    sets[1] * 1000, (sets[0] - sets[1]) * 1000);
    }
    return 0;
}
