// Test helper: runs the real zurid binary (built beside the tests) with QProcess, with its port
// table set through ZURID_PORTS, and collects what it printed.
#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

namespace testing_support {

struct ZuridRun {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
    QString outText() const { return QString::fromUtf8(out); }
    QString errText() const { return QString::fromUtf8(err); }
};

inline QString ZuridPath() {
    return QCoreApplication::applicationDirPath() + "/zurid";
}

// The environment zurid runs in: only these devices are named in ZURID_PORTS.
inline QProcessEnvironment ZuridEnv(const std::vector<std::string>& ports) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList list;
    for (const std::string& p : ports) {
        list << QString::fromStdString(p);
    }
    env.insert("ZURID_PORTS", list.join(':'));
    return env;
}

inline void StartZurid(QProcess& p, const QStringList& args,
                       const std::vector<std::string>& ports) {
    p.setProcessEnvironment(ZuridEnv(ports));
    p.start(ZuridPath(), args);
}

// Runs zurid to its end (killed after timeoutMs). `stdoutFile` replaces the pipe on stdout,
// e.g. /dev/full.
inline ZuridRun RunZurid(const QStringList& args, const std::vector<std::string>& ports,
                         int timeoutMs = 20000, const QString& stdoutFile = {}) {
    QProcess p;
    if (!stdoutFile.isEmpty()) {
        p.setStandardOutputFile(stdoutFile);
    }
    StartZurid(p, args, ports);
    ZuridRun r;
    r.finished = p.waitForStarted(5000) && p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(1000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace testing_support
