// zurid backup, restore and verify over a line of simulated sensors with the wire time of
// 4800 baud: wall time for N = 1, 4, 16 and 32 sensors against one, the CPU share of the zurid
// process, restore+verify of 32 against one, and one silent sensor among 16.
// Usage: bench_fleet [FOLDER]  -- the backups go to a temporary folder inside FOLDER (default
// the system's temporary folder); each file is synced to disk, so a busy disk shows.
#include "sim/fleet.h"
#include "support/cputime.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using testing_support::ChildCpuSeconds;

namespace {

constexpr int kRuns = 3; // each figure is the median of this many runs

struct Timing {
    double wall = 0; // s
    double cpu = 0;  // s of the zurid process
    int exitCode = -1;
};

Timing Zurid(const QStringList& args, const sim::SensorFleet& fleet) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ZURID_PORTS", QString::fromStdString(fleet.ports()));
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedOutputChannel); // the summary table is noise here
    p.setStandardErrorFile(QProcess::nullDevice());
    const double cpu0 = ChildCpuSeconds();
    QElapsedTimer t;
    t.start();
    p.start(QCoreApplication::applicationDirPath() + "/zurid", args);
    p.waitForFinished(120000);
    Timing r;
    r.wall = static_cast<double>(t.nsecsElapsed()) / 1e9;
    r.cpu = ChildCpuSeconds() - cpu0;
    r.exitCode = p.exitCode();
    return r;
}

QStringList Ports(std::size_t n) {
    QStringList out;
    for (std::size_t i = 1; i <= n; ++i) {
        out << QStringLiteral("COM%1").arg(i);
    }
    return out;
}

Timing Median(std::vector<Timing> runs) {
    std::sort(runs.begin(), runs.end(),
              [](const Timing& a, const Timing& b) { return a.wall < b.wall; });
    return runs[runs.size() / 2];
}

// Backup of n sensors (one of them silent when `silent` >= 0), median of kRuns.
Timing Backup(std::size_t n, const QString& dir, int silent = -1) {
    sim::SensorFleet fleet(n, sim::Config{});
    if (!fleet.start()) {
        std::fprintf(stderr, "bench_fleet: cannot open %zu pseudo-terminals\n", n);
        std::exit(1);
    }
    if (silent >= 0) {
        fleet.at(static_cast<std::size_t>(silent)).setFault(sim::Fault::Silent);
    }
    std::vector<Timing> runs;
    for (int i = 0; i < kRuns; ++i) {
        runs.push_back(Zurid(QStringList{"backup", dir} + Ports(n), fleet));
    }
    return Median(runs);
}

// Restore (EEPROM, read back) followed by verify of n sensors, from a backup made first.
Timing RestoreVerify(std::size_t n, const QString& dir) {
    sim::SensorFleet fleet(n, sim::Config{});
    if (!fleet.start()) {
        std::exit(1);
    }
    Zurid(QStringList{"backup", dir} + Ports(n), fleet);
    std::vector<Timing> runs;
    for (int i = 0; i < kRuns; ++i) {
        const Timing a = Zurid({"restore", dir}, fleet);
        const Timing b = Zurid({"verify", dir}, fleet);
        runs.push_back({a.wall + b.wall, a.cpu + b.cpu, a.exitCode != 0 ? a.exitCode : b.exitCode});
    }
    return Median(runs);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir tmp(argc > 1 ? QString::fromLocal8Bit(argv[1]) + "/bench_fleet-XXXXXX"
                               : QString());
    if (!tmp.isValid()) {
        std::fprintf(stderr, "bench_fleet: cannot make a folder: %s\n",
                     qPrintable(tmp.errorString()));
        return 1;
    }
    std::printf("backups in %s\n", qPrintable(tmp.path()));
    std::printf("zurid backup with wire time (4800 baud, 5 ms answer delay), median of %d runs\n",
                kRuns);
    std::printf("%4s  %8s  %8s  %9s  %4s\n", "N", "wall s", "ratio", "CPU %core", "exit");
    double one = 0;
    for (std::size_t n : {1, 4, 16, 32}) {
        const Timing t = Backup(n, tmp.filePath(QStringLiteral("b%1").arg(n)));
        if (n == 1) {
            one = t.wall;
        }
        std::printf("%4zu  %8.3f  %8.3f  %9.2f  %4d\n", n, t.wall, t.wall / one,
                    100.0 * t.cpu / t.wall, t.exitCode);
    }
    std::printf("target: N = 32 within 1.3x of N = 1, CPU <= 10 %% of a core\n\n");

    const Timing r1 = RestoreVerify(1, tmp.filePath("r1"));
    const Timing r32 = RestoreVerify(32, tmp.filePath("r32"));
    std::printf("restore + verify:  N = 1 %.3f s   N = 32 %.3f s   ratio %.3f   CPU %.2f %%   "
                "exit %d/%d\n",
                r1.wall, r32.wall, r32.wall / r1.wall, 100.0 * r32.cpu / r32.wall, r1.exitCode,
                r32.exitCode);
    std::printf("target: within 1.3x\n\n");

    const Timing s = Backup(16, tmp.filePath("silent"), 7);
    std::printf("backup of 16 with one silent: %.3f s (limit 3.0 s + one sensor %.3f s = %.3f s)"
                "   exit %d\n",
                s.wall, one, 3.0 + one, s.exitCode);
    return 0;
}
