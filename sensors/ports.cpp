#include "sensors/ports.h"

#include "platform/serial/portlock.h"
#include "platform/serial/rs232.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace zurid::sensors {

QList<PortRef> PortTable() {
    QList<PortRef> out;
    int n = 0;
    for (const platform::ComPortEntry& e : platform::ComPortTable()) {
        out.append({QStringLiteral("COM%1").arg(++n), QString::fromStdString(e.device)});
    }
    return out;
}

namespace {

const QRegularExpression& NumberPattern() {
    static const QRegularExpression number(QStringLiteral("^(?:COM)?([0-9]{1,9})$"),
                                           QRegularExpression::CaseInsensitiveOption);
    return number;
}

} // namespace

bool IsPortText(const QString& text) {
    return NumberPattern().match(text).hasMatch() || text.contains(QLatin1Char('/'));
}

QString ResolvedDevice(const PortRef& ref) {
    return QString::fromStdString(platform::CanonicalDevice(ref.device.toStdString()));
}

QString SamePortTwice(const QList<PortRef>& refs) {
    for (qsizetype i = 0; i < refs.size(); ++i) {
        for (qsizetype j = 0; j < i; ++j) {
            const QString device = ResolvedDevice(refs[i]);
            if (ResolvedDevice(refs[j]) == device) {
                const QString a = refs[j].label;
                const QString b = refs[i].label;
                const QString where = b == device ? QString() : QStringLiteral(" (%1)").arg(device);
                if (a == b) {
                    return QStringLiteral("the same port twice: %1%2").arg(a, where);
                }
                return QStringLiteral("the same port twice: %1 and %2%3").arg(a, b, where);
            }
        }
    }
    return {};
}

Result<PortRef> LookupPort(const QString& text) {
    if (const auto m = NumberPattern().match(text); m.hasMatch()) {
        const int n = m.captured(1).toInt();
        const QString device = QString::fromStdString(platform::ComPortDevice(n));
        if (device.isEmpty()) {
            const qsizetype size = PortTable().size();
            const QString have = size == 0 ? QStringLiteral("no serial ports were found")
                                           : QStringLiteral("the ports are COM1-COM%1").arg(size);
            return Result<PortRef>::failure(
                ErrorKind::NotFound,
                QStringLiteral("COM%1: no such port (%2; see 'zurid ports')").arg(n).arg(have));
        }
        return PortRef{QStringLiteral("COM%1").arg(n), device};
    }
    if (text.contains(QLatin1Char('/'))) {
        const int n = platform::ComPortNumber(text.toStdString());
        return PortRef{n > 0 ? QStringLiteral("COM%1").arg(n) : text, text};
    }
    return Result<PortRef>::failure(
        ErrorKind::Invalid,
        QStringLiteral("'%1' is not a port: give COMn, a number or a device path").arg(text));
}

QString StableLocation(const QString& device, const QString& root) {
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty()) {
        return device;
    }
    for (const char* kind : {"by-path", "by-id"}) {
        const QDir dir(root + QLatin1Char('/') + QLatin1String(kind));
        const QFileInfoList links =
            dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& link : links) {
            if (link.isSymLink() && link.canonicalFilePath() == target) {
                return link.absoluteFilePath();
            }
        }
    }
    return device;
}

QString PortName(const PortRef& ref) {
    return ref.label == ref.device ? ref.label
                                   : QStringLiteral("%1 (%2)").arg(ref.label, ref.device);
}

Result<std::unique_ptr<PortSession>> OpenSession(const PortRef& ref) {
    auto session = std::make_unique<PortSession>(ref.device);
    const Status opened = session->open();
    if (!opened) {
        return Result<std::unique_ptr<PortSession>>::failure(
            opened.kind(), QStringLiteral("%1: %2").arg(PortName(ref), opened.error()));
    }
    return session;
}

} // namespace zurid::sensors
