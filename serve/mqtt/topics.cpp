#include "serve/mqtt/topics.h"

#include <QJsonDocument>
#include <QSysInfo>

namespace zurid::serve::mqtt {

namespace {

constexpr int kMaxPrefixBytes = 256;

bool IsControl(QChar c) {
    return c.unicode() < 0x20 || (c.unicode() >= 0x7F && c.unicode() <= 0x9F);
}

// Characters that a level of ours never holds as they are.
bool NeedsEscape(QChar c) {
    return c == u'/' || c == u'+' || c == u'#' || c == u'%' || IsControl(c);
}

int HexDigit(QChar c) {
    if (c >= u'0' && c <= u'9') {
        return c.unicode() - u'0';
    }
    if (c >= u'A' && c <= u'F') {
        return c.unicode() - u'A' + 10;
    }
    return -1;
}

sensors::Status Bad(QString why) {
    return sensors::Status::failure(sensors::ErrorKind::Invalid, std::move(why));
}

} // namespace

sensors::Status CheckPrefix(const QString& prefix) {
    if (prefix.isEmpty()) {
        return Bad(QStringLiteral("the MQTT prefix is empty"));
    }
    if (prefix.toUtf8().size() > kMaxPrefixBytes) {
        return Bad(QStringLiteral("the MQTT prefix is longer than %1 bytes").arg(kMaxPrefixBytes));
    }
    if (prefix.startsWith(u'$')) {
        return Bad(
            QStringLiteral("the MQTT prefix may not start with $ (the broker's own topics)"));
    }
    for (const QChar c : prefix) {
        if (c == u'+' || c == u'#') {
            return Bad(QStringLiteral("the MQTT prefix may not hold the wildcards + and #"));
        }
        if (IsControl(c) || c.isSurrogate()) {
            return Bad(QStringLiteral("the MQTT prefix may not hold control characters"));
        }
    }
    for (const QString& level : prefix.split(u'/')) {
        if (level.isEmpty()) {
            return Bad(QStringLiteral("the MQTT prefix has an empty level (a / at the start, at "
                                      "the end or twice)"));
        }
    }
    return {};
}

QString DefaultPrefix() {
    QString host = QSysInfo::machineHostName();
    if (host.isEmpty()) {
        host = QStringLiteral("localhost");
    }
    return QStringLiteral("zurid/") + EncodeLevel(host);
}

QString EncodeLevel(const QString& id) {
    QString out;
    out.reserve(id.size());
    for (const QChar c : id) {
        if (NeedsEscape(c)) {
            out += QStringLiteral("%%1").arg(c.unicode(), 2, 16, QLatin1Char('0')).toUpper();
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<QString> DecodeLevel(const QString& level) {
    QString out;
    out.reserve(level.size());
    for (qsizetype i = 0; i < level.size(); ++i) {
        const QChar c = level[i];
        if (c != u'%') {
            if (NeedsEscape(c)) {
                return std::nullopt;
            }
            out += c;
            continue;
        }
        if (i + 2 >= level.size()) {
            return std::nullopt;
        }
        const int hi = HexDigit(level[i + 1]);
        const int lo = HexDigit(level[i + 2]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        const QChar decoded(static_cast<char16_t>(hi * 16 + lo));
        if (!NeedsEscape(decoded)) {
            return std::nullopt; // not what EncodeLevel makes
        }
        out += decoded;
        i += 2;
    }
    return out;
}

QString Topics::status() const {
    return prefix_ + QStringLiteral("/status");
}

QString Topics::sensor(const QString& id) const {
    return prefix_ + QStringLiteral("/sensors/") + EncodeLevel(id);
}

QString Topics::sensorStatus(const QString& id) const {
    return sensor(id) + QStringLiteral("/status");
}

QString Topics::live(const QString& id) const {
    return sensor(id) + QStringLiteral("/live");
}

QString Topics::parameters(const QString& id, sensors::Memory m) const {
    return sensor(id) + (m == sensors::Memory::Ram ? QStringLiteral("/parameters/ram")
                                                   : QStringLiteral("/parameters/eeprom"));
}

QString Topics::health(const QString& id) const {
    return sensor(id) + QStringLiteral("/health");
}

QString Topics::set(const QString& id) const {
    return sensor(id) + QStringLiteral("/set");
}

QString Topics::setResponse(const QString& id) const {
    return set(id) + QStringLiteral("/response");
}

QString Topics::setFilter() const {
    return prefix_ + QStringLiteral("/sensors/+/set");
}

std::optional<QString> Topics::sensorOfSet(const QString& topic) const {
    return sensorOf(topic, QStringLiteral("/set"));
}

QString Topics::statusFilter() const {
    return prefix_ + QStringLiteral("/sensors/+/status");
}

std::optional<QString> Topics::sensorOfStatus(const QString& topic) const {
    return sensorOf(topic, QStringLiteral("/status"));
}

QString Topics::journal() const {
    return prefix_ + QStringLiteral("/journal");
}

QString Topics::journalHead() const {
    return journal() + QStringLiteral("/head");
}

std::optional<QString> Topics::sensorOf(const QString& topic, const QString& tail) const {
    const QString head = prefix_ + QStringLiteral("/sensors/");
    if (!topic.startsWith(head) || !topic.endsWith(tail) ||
        topic.size() < head.size() + tail.size()) {
        return std::nullopt;
    }
    const QString level = topic.mid(head.size(), topic.size() - head.size() - tail.size());
    if (level.contains(u'/')) {
        return std::nullopt;
    }
    return DecodeLevel(level);
}

QByteArray SensorStatusPayload(const QJsonObject& apiSensor) {
    QJsonObject out;
    for (const char* key : {"status", "message", "device", "location", "version"}) {
        const QJsonValue v = apiSensor.value(QLatin1String(key));
        if (!v.isUndefined()) {
            out.insert(QLatin1String(key), v);
        }
    }
    return Compact(out);
}

QByteArray Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray JournalHeadPayload(qint64 seq, const QByteArray& hash) {
    return Compact(
        {{QStringLiteral("seq"), seq}, {QStringLiteral("hash"), QString::fromLatin1(hash)}});
}

} // namespace zurid::serve::mqtt
