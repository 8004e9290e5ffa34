#include "cli/cli.h"

#include "cli/commands.h"
#include "platform/serial/rs232.h"

#include <QCoreApplication>
#include <QRegularExpression>

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

QList<PortRef> PortTable() {
    QList<PortRef> out;
    int n = 0;
    for (const ComPortEntry& e : ComPortTable()) {
        out.append({QStringLiteral("COM%1").arg(++n), QString::fromStdString(e.device)});
    }
    return out;
}

PortLookup LookupPort(const QString& text) {
    static const QRegularExpression number(QStringLiteral("^(?:COM)?([0-9]{1,9})$"),
                                           QRegularExpression::CaseInsensitiveOption);
    if (const auto m = number.match(text); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        const QString device = QString::fromStdString(ComPortDevice(n));
        if (device.isEmpty()) {
            const qsizetype size = PortTable().size();
            const QString have = size == 0 ? QStringLiteral("no serial ports were found")
                                           : QStringLiteral("the ports are COM1-COM%1").arg(size);
            return {{},
                    QStringLiteral("COM%1: no such port (%2; see 'zurid ports')").arg(n).arg(have)};
        }
        return {{QStringLiteral("COM%1").arg(n), device}, {}};
    }
    if (text.contains(QLatin1Char('/'))) {
        const int n = ComPortNumber(text.toStdString());
        return {{n > 0 ? QStringLiteral("COM%1").arg(n) : text, text}, {}};
    }
    return {{},
            QStringLiteral("'%1' is not a port: give COMn, a number or a device path").arg(text)};
}

std::unique_ptr<PortSession> OpenPort(const QString& text, PortRef* ref) {
    const PortLookup found = LookupPort(text);
    if (!found.error.isEmpty()) {
        Message(found.error);
        return nullptr;
    }
    if (ref != nullptr) {
        *ref = found.port;
    }
    auto session = std::make_unique<PortSession>(found.port.device);
    const QString error = session->open();
    if (!error.isEmpty()) {
        const QString name =
            found.port.label == found.port.device
                ? found.port.label
                : QStringLiteral("%1 (%2)").arg(found.port.label, found.port.device);
        Message(QStringLiteral("%1: %2").arg(name, error));
        return nullptr;
    }
    return session;
}

} // namespace zurid::cli
