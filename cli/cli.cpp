#include "cli/cli.h"

#include "cli/commands.h"
#include "platform/serial/interrupt.h"

#include <QCoreApplication>

#include <cstdio>

namespace zurid::cli {

void Message(const QString& text) {
    const QByteArray line = QStringLiteral("zurid: %1\n").arg(text).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
}

void Out(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

QString CommandHelp(const QString& name, QCommandLineParser& parser, const QString& details) {
    const Command* c = FindCommand(name);
    QString summary = QLatin1String(c != nullptr ? c->summary : "");
    if (!summary.isEmpty()) {
        summary[0] = summary[0].toUpper();
    }
    QString text = QStringLiteral("Usage: zurid %1 %2\n%3.\n")
                       .arg(name, QLatin1String(c != nullptr ? c->synopsis : ""), summary);
    if (!details.isEmpty()) {
        text += QLatin1Char('\n') + details + QLatin1Char('\n');
    }
    // Qt's option list, without its usage line.
    const QString qt = parser.helpText();
    const qsizetype at = qt.indexOf(QLatin1String("Options:"));
    if (at >= 0) {
        text += QLatin1Char('\n') + qt.mid(at);
    }
    return text;
}

std::optional<int> ParseCommand(QCommandLineParser& parser, const QStringList& args,
                                const QString& details, int minArgs, int maxArgs) {
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    parser.addOption(help);
    const QString name = args.value(0);
    const QString hint = QStringLiteral(" (see 'zurid %1 --help')").arg(name);
    if (!parser.parse(args)) {
        Message(parser.errorText() + hint);
        return kExitUsage;
    }
    if (parser.isSet(help)) {
        Out(CommandHelp(name, parser, details));
        return kExitOk;
    }
    const qsizetype n = parser.positionalArguments().size();
    if (n < minArgs) {
        Message(QStringLiteral("%1 needs more arguments%2").arg(name, hint));
        return kExitUsage;
    }
    if (maxArgs >= 0 && n > maxArgs) {
        Message(QStringLiteral("%1: too many arguments, '%2' is one too many%3")
                    .arg(name, parser.positionalArguments().value(maxArgs), hint));
        return kExitUsage;
    }
    return std::nullopt;
}

std::optional<qint64> IntOption(const QCommandLineParser& parser, const QString& name,
                                qint64 fallback, qint64 min, qint64 max) {
    if (!parser.isSet(name)) {
        return fallback;
    }
    bool ok = false;
    const QString text = parser.value(name);
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max) {
        Message(QStringLiteral("--%1 needs a whole number %2-%3, not '%4'")
                    .arg(name)
                    .arg(min)
                    .arg(max)
                    .arg(text));
        return std::nullopt;
    }
    return v;
}

int RunLoop() {
    return QCoreApplication::exec();
}

void Finish(int status) {
    // Queued, so that it also ends a loop that is only about to start.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [status] { QCoreApplication::exit(status); },
        Qt::QueuedConnection);
}

std::unique_ptr<PortSession> OpenPort(const QString& text, PortRef* ref) {
    const Result<PortRef> found = LookupPort(text);
    if (!found) {
        Message(found.error());
        return nullptr;
    }
    if (ref != nullptr) {
        *ref = *found;
    }
    Result<std::unique_ptr<PortSession>> session = sensors::OpenSession(*found);
    if (!session) {
        Message(session.error());
        return nullptr;
    }
    return std::move(*session);
}

std::optional<int> ParseFleetCommand(QCommandLineParser& parser, const QStringList& args,
                                     const char* details) {
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Folder of the backup."));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("COMn, n or a device."),
                                 QStringLiteral("[PORT...]"));
    return ParseCommand(parser, args, QLatin1String(details), 1, -1);
}

int RunFleet(Fleet& fleet, Fleet::Plan plan, Fleet::Finished finished) {
    OnInterrupt([&fleet] {
        if (!fleet.interrupted()) {
            Message(QStringLiteral("%1: interrupted; stopping every port").arg(fleet.verb()));
            fleet.interrupt();
        }
    });
    fleet.run(std::move(plan), std::move(finished));
    OnInterrupt({});
    const QByteArray text = fleet.summary().toUtf8();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fflush(stderr);
    return fleet.allOk() ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
