// What the benchmarks of zurid serve measure with: clocks, a wait on the event loop, percentiles,
// a process's CPU time and memory, each sensor's readings counter from the API.
#pragma once

#include "sim/fleet.h"
#include "support/serve.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace testing_support {

// A sensor of the line as the benchmarks load it: the wire time of 4800 baud, no answer delay.
inline sim::Config WireTimedSensor() {
    return sim::Config{.answerDelay = 0.0,
                       .wireTime = true,
                       .ram = sim::defaultBlock(),
                       .eeprom = sim::defaultBlock()};
}

// zurid serve on a fleet that runs already (COM1..COMn, with `args`), every sensor ok; false
// after a message on stderr.
inline bool StartServe(const sim::SensorFleet& fleet, const QTemporaryDir& dir, ServeProcess& serve,
                       const QStringList& args = {}) {
    QStringList ports;
    for (std::size_t i = 1; i <= fleet.size(); ++i) {
        ports << QStringLiteral("COM%1").arg(i);
    }
    if (!serve.start(ports + args, fleet.paths(), dir.path()) ||
        !serve.waitForStatus("ok", 30000)) {
        std::fprintf(stderr, "zurid serve did not start: %s\n", qPrintable(serve.errText()));
        return false;
    }
    return true;
}

// The line of a benchmark: its simulators started and zurid serve on them, as StartServe.
inline bool StartLine(sim::SensorFleet& fleet, const QTemporaryDir& dir, ServeProcess& serve,
                      const QStringList& args = {}) {
    if (!fleet.start() || !dir.isValid()) {
        std::fprintf(stderr, "cannot start the simulators\n");
        return false;
    }
    return StartServe(fleet, dir, serve, args);
}

inline double NowUnix() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

inline double NowMono() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void Spin(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

inline double Percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// utime + stime of a process, in seconds.
inline double CpuOf(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / ticks;
}

inline double RssMiB(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) {
        return 0;
    }
    for (const QByteArray& line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
        }
    }
    return 0;
}

// Each sensor's readings counter, by id.
inline std::vector<qint64> Readings(quint16 port) {
    std::vector<qint64> out;
    for (const QJsonValue& s : Http(port, "GET", "/api/v1/sensors").json()["sensors"].toArray()) {
        out.push_back(s.toObject()["readings"].toInteger());
    }
    return out;
}

} // namespace testing_support
