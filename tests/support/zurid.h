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
    int exitCode = -1;     // -1 also when it was killed
    bool finished = false; // within the time limit
    bool killed = false;   // ended by a signal
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

// Runs zurid in `env` and waits for its end.
inline ZuridRun RunZuridIn(const QProcessEnvironment& env, const QStringList& args,
                           int timeoutMs = 20000) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(ZuridPath(), args);
    ZuridRun r;
    r.finished = p.waitForStarted(5000) && p.waitForFinished(timeoutMs);
    if (!r.finished) {
        p.kill();
        p.waitForFinished(1000);
    }
    r.killed = r.finished && p.exitStatus() == QProcess::CrashExit;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

inline ZuridRun RunZurid(const QStringList& args, const std::vector<std::string>& ports,
                         int timeoutMs = 20000) {
    return RunZuridIn(ZuridEnv(ports), args, timeoutMs);
}

} // namespace testing_support
