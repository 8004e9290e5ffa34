// zurid ports, zurid check: the port table and the line check.
#include "cli/cli.h"
#include "cli/commands.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSerialPortInfo>

#include <algorithm>
#include <memory>
#include <vector>

namespace zurid::cli {

namespace {

const QCommandLineOption kJson(QStringLiteral("json"),
                               QStringLiteral("Print JSON instead of text."));

struct Probe {
    PortRef port;
    QString device;   // what the name leads to
    QString location; // its /dev/serial/by-path or by-id link, else the name
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

bool PrintTable(const std::vector<Probe>& probes, bool probed) {
    int device = 6;
    int location = 8;
    for (const Probe& p : probes) {
        device = std::max(device, static_cast<int>(p.device.size()));
        location = std::max(location, static_cast<int>(p.location.size()));
    }
    const auto row = [&](const QString& port, const QString& dev, const QString& loc,
                         const QString& sensor, const QString& description) {
        QString line =
            QStringLiteral("%1  %2  %3").arg(port, -5).arg(dev, -device).arg(loc, -location);
        if (probed) {
            line += QStringLiteral("  %1").arg(sensor, -30);
        }
        return (line + QStringLiteral("  ") + description).trimmed() + QLatin1Char('\n');
    };
    QString out = row(QStringLiteral("PORT"), QStringLiteral("DEVICE"), QStringLiteral("LOCATION"),
                      QStringLiteral("SENSOR"), QStringLiteral("DESCRIPTION"));
    for (const Probe& p : probes) {
        out += row(p.port.label, p.device, p.location, p.result, p.description);
    }
    return Out(out);
}

bool PrintJson(const std::vector<Probe>& probes, bool probed) {
    QJsonArray list;
    for (const Probe& p : probes) {
        QJsonObject o{{QStringLiteral("port"), p.port.label},
                      {QStringLiteral("device"), p.device},
                      {QStringLiteral("location"), p.location},
                      {QStringLiteral("description"), p.description}};
        if (probed) {
            QJsonObject probe{{QStringLiteral("ok"), p.found}};
            if (!p.found) {
                probe[QStringLiteral("error")] = p.result;
            }
            o[QStringLiteral("probe")] = probe;
        }
        list.append(o);
    }
    return OutJson(list);
}

} // namespace

int RunPorts(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("probe"),
                      QStringLiteral("Line-check every port at once and mark those with a "
                                     "sensor (all in parallel: at most 3.0 s in all).")});
    parser.addOption(kJson);
    const QString details = QStringLiteral(
        "Lists the serial ports numbered as the window numbers them: first the device paths\n"
        "in ZURID_PORTS (colon-separated), then the ports the system reports, in name order;\n"
        "one row per device, however many names lead to it. DEVICE is the device a name leads\n"
        "to, LOCATION its /dev/serial/by-path or by-id link (else the name). With PORTs, only\n"
        "those. With --probe the exit status is 0 when at least one sensor answered, 1 when\n"
        "none did; a port in use names the process that has it.");
    if (const auto done = ParseCommand(parser, args, details, 0, -1)) {
        return *done;
    }
    const bool json = parser.isSet(kJson);
    const bool probe = parser.isSet(QStringLiteral("probe"));
    QList<PortRef> refs;
    const QStringList named = parser.positionalArguments();
    if (named.isEmpty()) {
        refs = PortTable();
    } else if (const auto status = LookupPorts(QStringLiteral("ports"), named, refs)) {
        return *status;
    }
    std::vector<Probe> probes;
    for (const PortRef& ref : refs) {
        Probe p;
        p.port = ref;
        p.device = ResolvedDevice(ref);
        p.location = StableLocation(ref.device);
        p.description = Description(p.device);
        probes.push_back(std::move(p));
    }
    if (!probe) {
        if (json) {
            PrintJson(probes, false);
        } else {
            PrintTable(probes, false);
        }
        return kExitOk;
    }
    int pending = 0;
    for (Probe& p : probes) {
        p.session = std::make_unique<PortSession>(p.port.device);
        if (const Status opened = p.session->open(); !opened) {
            p.result = opened.error();
            continue;
        }
        ++pending;
        p.session->lineCheck([&p, &pending](const TransactionResult& r) {
            p.found = r.ok();
            p.result = r.ok() ? QStringLiteral("LINE OK") : r.error;
            p.session->close();
            if (--pending == 0) {
                Finish(kExitOk);
            }
        });
    }
    if (pending > 0) {
        RunLoop();
    }
    if (json) {
        PrintJson(probes, true);
    } else {
        PrintTable(probes, true);
    }
    const bool any =
        std::any_of(probes.begin(), probes.end(), [](const Probe& p) { return p.found; });
    return any ? kExitOk : kExitFailed;
}

int RunCheck(const QStringList& args) {
    QCommandLineParser parser;
    parser.addOption(kJson);
    const QString details = QStringLiteral(
        "Sends the line check (order 7) and waits up to 3.0 s for the answer AA 01 00. Prints\n"
        "the window's status text \"LINE OK ... V1.0\" and exits 0, or says what went wrong and\n"
        "exits 1. With --json the result is an object on stdout either way: port, device, ok,\n"
        "and status or error.");
    if (const auto done = ParseCommand(parser, args, details, 1, 1)) {
        return *done;
    }
    const OpenedPort opened = OpenPort(parser.positionalArguments().constFirst());
    if (!opened.session) {
        return opened.status;
    }
    const PortRef& port = opened.ref;
    const bool json = parser.isSet(kJson);
    opened.session->lineCheck([&port, json](const TransactionResult& r) {
        if (!r.ok()) {
            Message(QStringLiteral("%1: %2: no serial connection to the sensor")
                        .arg(port.label, r.error));
        }
        if (json) {
            QJsonObject o{{QStringLiteral("port"), port.label},
                          {QStringLiteral("device"), port.device},
                          {QStringLiteral("ok"), r.ok()}};
            o[r.ok() ? QStringLiteral("status") : QStringLiteral("error")] =
                r.ok() ? QString::fromLatin1(core::kLineOkText) : r.error;
            OutJson(o);
        } else if (r.ok()) {
            Out(QLatin1String(core::kLineOkText) + QLatin1Char('\n'));
        }
        Finish(r.ok() ? kExitOk : kExitFailed);
    });
    return RunLoop();
}

} // namespace zurid::cli
