// zurid ports, zurid check: the port table and the line check.
#include "cli/cli.h"
#include "cli/commands.h"

#include <QSerialPortInfo>

#include <memory>
#include <vector>

namespace zurid::cli {

namespace {

struct Probe {
    PortRef port;
    QString description;
    std::unique_ptr<PortSession> session;
    QString result; // "LINE OK", or why not
    bool found = false;
};

QString Description(const QString& device) {
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() == device) {
            return info.description();
        }
    }
    return {};
}

void PrintTable(const std::vector<Probe>& probes, bool probed) {
    QString out =
        QStringLiteral("%1  %2").arg(QStringLiteral("PORT"), -5).arg(QStringLiteral("DEVICE"), -20);
    if (probed) {
        out += QStringLiteral("  %1").arg(QStringLiteral("SENSOR"), -30);
    }
    out += QStringLiteral("  DESCRIPTION\n");
    for (const Probe& p : probes) {
        QString line = QStringLiteral("%1  %2").arg(p.port.label, -5).arg(p.port.device, -20);
        if (probed) {
            line += QStringLiteral("  %1").arg(p.result, -30);
        }
        line += QStringLiteral("  ") + p.description;
        out += line.trimmed() + QLatin1Char('\n');
    }
    Out(out);
}

} // namespace

int RunPorts(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("probe"),
                      QStringLiteral("Line-check every port at once and mark those with a "
                                     "sensor (all in parallel: at most 3.0 s in all).")});
    const QString details = QStringLiteral(
        "Lists the serial ports numbered as the window numbers them: first the device paths\n"
        "in ZURID_PORTS (colon-separated), then the ports the system reports, in name order.\n"
        "With PORTs, only those. With --probe the exit status is 0 when at least one sensor\n"
        "answered, 1 when none did.");
    if (const auto done = ParseCommand(parser, args, details, 0, -1)) {
        return *done;
    }
    std::vector<Probe> probes;
    const QStringList named = parser.positionalArguments();
    if (named.isEmpty()) {
        for (const PortRef& p : PortTable()) {
            probes.push_back({p, {}, nullptr, {}, false});
        }
    }
    for (const QString& text : named) {
        const Result<PortRef> found = LookupPort(text);
        if (!found) {
            Message(found.error());
            return kExitUsage;
        }
        probes.push_back({*found, {}, nullptr, {}, false});
    }
    for (Probe& p : probes) {
        p.description = Description(p.port.device);
    }
    if (!parser.isSet(QStringLiteral("probe"))) {
        PrintTable(probes, false);
        return kExitOk;
    }
    int pending = 0;
    for (Probe& p : probes) {
        p.session = std::make_unique<PortSession>(p.port.device);
        p.result = p.session->open();
        if (!p.result.isEmpty()) {
            continue;
        }
        ++pending;
        p.session->lineCheck([&p, &pending](const Reply& r) {
            p.found = r.ok;
            p.result = r.ok ? QStringLiteral("LINE OK") : r.error;
            p.session->close();
            if (--pending == 0) {
                Finish(kExitOk);
            }
        });
    }
    if (pending > 0) {
        RunLoop();
    }
    PrintTable(probes, true);
    const bool any =
        std::any_of(probes.begin(), probes.end(), [](const Probe& p) { return p.found; });
    return any ? kExitOk : kExitFailed;
}

int RunCheck(const QStringList& args) {
    QCommandLineParser parser;
    const QString details = QStringLiteral(
        "Sends the line check (order 7) and waits up to 3.0 s for the answer AA 01 00. Prints\n"
        "the window's status text \"LINE OK ... V1.0\" and exits 0, or says what went wrong and\n"
        "exits 1.");
    if (const auto done = ParseCommand(parser, args, details, 1, 1)) {
        return *done;
    }
    PortRef port;
    const auto session = OpenPort(parser.positionalArguments().constFirst(), &port);
    if (!session) {
        return kExitUsage;
    }
    session->lineCheck([&port](const Reply& r) {
        if (r.ok) {
            Out(QLatin1String(core::kLineOkText) + QLatin1Char('\n'));
            Finish(kExitOk);
        } else {
            Message(QStringLiteral("%1: %2: no serial connection to the sensor")
                        .arg(port.label, r.error));
            Finish(kExitFailed);
        }
    });
    return RunLoop();
}

} // namespace zurid::cli
