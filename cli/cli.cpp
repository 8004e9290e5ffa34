#include "cli/cli.h"

#include "cli/commands.h"
#include "platform/serial/interrupt.h"
#include "platform/serial/journal_record.h"
#include "sensors/fleettable.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zurid::cli {

void Message(const QString& text) {
    const QByteArray line = QStringLiteral("zurid: %1\n").arg(text).toUtf8();
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
}

namespace {

bool stdoutFailed = false;

// "-x" or "--name" as the operator typed it, for a name the parser did not know.
QString TypedOption(const QString& name, const QStringList& args) {
    for (const QString& arg : args.mid(1)) {
        if (arg == QLatin1String("--")) {
            break;
        }
        if (arg.startsWith(QLatin1Char('-'))) {
            QString bare = arg.section(QLatin1Char('='), 0, 0);
            while (bare.startsWith(QLatin1Char('-'))) {
                bare.remove(0, 1);
            }
            if (bare == name) {
                return arg.section(QLatin1Char('='), 0, 0);
            }
        }
    }
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

} // namespace

bool Out(const QString& text) {
    if (stdoutFailed) {
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    errno = 0;
    const std::size_t n =
        std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    if (n == static_cast<std::size_t>(bytes.size()) && std::fflush(stdout) == 0) {
        return true;
    }
    const int why = errno;
    stdoutFailed = true;
    std::clearerr(stdout);
    Message(QStringLiteral("cannot write to stdout: %1")
                .arg(why != 0 ? QString::fromLocal8Bit(std::strerror(why))
                              : QStringLiteral("write error")));
    return false;
}

bool StdoutFailed() {
    return stdoutFailed;
}

bool OutJson(const QJsonValue& value) {
    const QJsonDocument doc =
        value.isArray() ? QJsonDocument(value.toArray()) : QJsonDocument(value.toObject());
    return Out(QString::fromUtf8(doc.toJson(QJsonDocument::Indented)));
}

QString CsvField(const QString& text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
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
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.isEmpty()) {
            Message(parser.errorText() + hint);
        } else {
            Message(QStringLiteral("%1: unknown option '%2'%3")
                        .arg(name, TypedOption(unknown.constFirst(), args), hint));
        }
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

std::optional<int> RefuseReason(const QCommandLineParser& parser, const QString& verb) {
    const QString reason = QStringLiteral("reason");
    const QString why =
        platform::ReasonRefusal(parser.isSet(reason) ? QJsonValue(parser.value(reason))
                                                     : QJsonValue(QJsonValue::Undefined));
    if (why.isEmpty()) {
        return std::nullopt;
    }
    Message(QStringLiteral("%1: --%2").arg(verb, why));
    return kExitUsage;
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

int ExitStatus(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::None:
        return kExitOk;
    case ErrorKind::Invalid:
    case ErrorKind::Refused:
        return kExitUsage;
    case ErrorKind::Timeout:
    case ErrorKind::WrongReply:
    case ErrorKind::Unsteady:
    case ErrorKind::NotKept:
    case ErrorKind::Gone:
    case ErrorKind::Busy:
    case ErrorKind::Unavailable:
    case ErrorKind::NotPermitted:
    case ErrorKind::NoCredentials:
    case ErrorKind::LockedOut:
    case ErrorKind::NotFound:
    case ErrorKind::Io:
    case ErrorKind::Unrecorded:
        break;
    }
    return kExitFailed;
}

std::optional<int> LookupPorts(const QString& verb, const QStringList& names,
                               QList<PortRef>& refs) {
    refs.clear();
    for (const QString& name : names) {
        const Result<PortRef> found = LookupPort(name);
        if (!found) {
            Message(found.error());
            return ExitStatus(found.kind());
        }
        refs.append(*found);
    }
    if (const QString twice = SamePortTwice(refs); !twice.isEmpty()) {
        Message(QStringLiteral("%1: %2").arg(verb, twice));
        return kExitUsage;
    }
    return std::nullopt;
}

OpenedPort OpenPort(const QString& text) {
    const Result<PortRef> found = LookupPort(text);
    if (!found) {
        Message(found.error());
        OpenedPort none;
        none.status = ExitStatus(found.kind());
        return none;
    }
    return OpenPort(*found);
}

std::optional<int> OpenPorts(const QString& verb, const QStringList& names,
                             std::vector<OpenedPort>& opened) {
    QList<PortRef> refs;
    if (const auto status = LookupPorts(verb, names, refs)) {
        return status;
    }
    for (const PortRef& ref : refs) {
        OpenedPort port = OpenPort(ref);
        if (!port.session) {
            return port.status;
        }
        opened.push_back(std::move(port));
    }
    return std::nullopt;
}

OpenedPort OpenPort(const PortRef& ref) {
    OpenedPort out;
    out.ref = ref;
    Result<std::unique_ptr<PortSession>> session = sensors::OpenSession(ref);
    if (!session) {
        Message(session.error());
        out.status = ExitStatus(session.kind());
    } else {
        out.session = std::move(*session);
    }
    return out;
}

std::optional<int> ParseFleetCommand(QCommandLineParser& parser, const QStringList& args,
                                     const char* details) {
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Folder of the backup."));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("COMn, n or a device."),
                                 QStringLiteral("[PORT...]"));
    return ParseCommand(parser, args, QLatin1String(details), 1, -1);
}

int RunFleet(const QString& verb, Fleet& fleet, Fleet::Plan plan, Fleet::Finished finished) {
    platform::OnInterrupt([&verb, &fleet] {
        if (!fleet.interrupted()) {
            Message(QStringLiteral("%1: interrupted; stopping every port").arg(verb));
            fleet.interrupt();
        }
    });
    fleet.run(std::move(plan), std::move(finished));
    platform::OnInterrupt({});
    const QByteArray text = FleetTable(fleet, verb).toUtf8();
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stderr);
    std::fflush(stderr);
    return fleet.allOk() ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
