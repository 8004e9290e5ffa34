#include "serve/mqtt/command.h"

#include "platform/serial/journal_record.h"
#include "serve/mqtt/topics.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringDecoder>

#include <cmath>

namespace zurid::serve::mqtt {

namespace {

// Whole numbers a parameter value may be given as; the line's own rules narrow them further.
constexpr double kMaxMagnitude = 65535;

ParsedCommand Refused(QString why, QJsonValue id = QJsonValue::Null) {
    ParsedCommand p;
    p.id = std::move(id);
    p.error = std::move(why);
    return p;
}

bool Printable(const QString& text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F || c.isSurrogate()) {
            return false;
        }
    }
    return true;
}

QString CheckValues(const QJsonObject& values) {
    if (values.isEmpty()) {
        return QStringLiteral("\"values\" names no parameter");
    }
    if (values.size() > kMaxValues) {
        return QStringLiteral("\"values\" names more than %1 parameters").arg(kMaxValues);
    }
    for (auto it = values.begin(); it != values.end(); ++it) {
        const QString& name = it.key();
        if (name.isEmpty() || name.size() > kMaxNameChars || !Printable(name)) {
            return QStringLiteral("a parameter name is empty, longer than %1 characters or not "
                                  "printable")
                .arg(kMaxNameChars);
        }
        const QJsonValue v = it.value();
        if (v.isDouble()) {
            const double d = v.toDouble();
            if (d != std::floor(d) || std::fabs(d) > kMaxMagnitude) {
                return QStringLiteral("%1: a number must be whole, at most %2")
                    .arg(name)
                    .arg(kMaxMagnitude);
            }
        } else if (v.isString()) {
            const QString text = v.toString();
            if (text.isEmpty() || text.size() > kMaxValueChars || !Printable(text)) {
                return QStringLiteral("%1: a value as text is 1 to %2 printable characters")
                    .arg(name)
                    .arg(kMaxValueChars);
            }
        } else {
            return QStringLiteral("%1: a value is a number or a text").arg(name);
        }
    }
    return {};
}

} // namespace

ParsedCommand ParseCommand(const QByteArray& payload) {
    if (payload.size() > kMaxCommandBytes) {
        return Refused(QStringLiteral("a command is at most %1 bytes").arg(kMaxCommandBytes));
    }
    // QJsonDocument replaces broken UTF-8 silently; a command must be valid as sent.
    QStringDecoder utf8(QStringDecoder::Utf8);
    (void)QString(utf8.decode(payload));
    if (utf8.hasError()) {
        return Refused(QStringLiteral("a command is UTF-8 JSON"));
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        return Refused(QStringLiteral("a command is a JSON object"));
    }
    const QJsonObject o = doc.object();

    QJsonValue id = o.value(QLatin1String("id"));
    const QString idText = id.toString();
    if (!id.isString() || idText.isEmpty() || idText.size() > kMaxIdChars || !Printable(idText)) {
        return Refused(
            QStringLiteral("\"id\" is a text of 1 to %1 printable characters").arg(kMaxIdChars));
    }
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key() != QLatin1String("id") && it.key() != QLatin1String("memory") &&
            it.key() != QLatin1String("values") && it.key() != QLatin1String("token") &&
            it.key() != QLatin1String("reason")) {
            return Refused(
                QStringLiteral("unknown member \"%1\"").arg(it.key().left(kMaxNameChars)), id);
        }
    }
    Command c;
    c.id = idText;
    const QJsonValue memory = o.value(QLatin1String("memory"));
    if (memory == QJsonValue(QLatin1String("ram"))) {
        c.memory = sensors::Memory::Ram;
    } else if (memory == QJsonValue(QLatin1String("eeprom"))) {
        c.memory = sensors::Memory::Eeprom;
    } else {
        return Refused(QStringLiteral("\"memory\" is \"ram\" or \"eeprom\""), id);
    }
    const QJsonValue values = o.value(QLatin1String("values"));
    if (!values.isObject()) {
        return Refused(QStringLiteral("\"values\" is an object of parameter names and values"), id);
    }
    if (QString why = CheckValues(values.toObject()); !why.isEmpty()) {
        return Refused(why, id);
    }
    c.values = values.toObject();
    const QJsonValue token = o.value(QLatin1String("token"));
    if (!token.isString() || token.toString().isEmpty() ||
        token.toString().size() > kMaxTokenChars) {
        return Refused(QStringLiteral("\"token\" is missing (every write needs the token)"), id);
    }
    c.token = token.toString();
    const QJsonValue reason = o.value(QLatin1String("reason"));
    if (const QString why = zurid::platform::ReasonRefusal(reason); !why.isEmpty()) {
        return Refused(why, id);
    }
    c.reason = reason.toString();

    ParsedCommand p;
    p.id = id;
    p.command = std::move(c);
    return p;
}

QByteArray ResponsePayload(const QJsonValue& id, const Answer& answer) {
    QJsonObject o = answer.toJson();
    o.insert(QStringLiteral("id"), id.isString() ? id : QJsonValue(QJsonValue::Null));
    return Compact(o);
}

} // namespace zurid::serve::mqtt
