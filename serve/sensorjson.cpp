#include "serve/sensorjson.h"

#include "sensors/healthtext.h"
#include "sensors/paramtext.h"

#include <QJsonDocument>

#include <cmath>

namespace zurid::serve {

namespace {

QString Compact(const QJsonObject& o) {
    return QString::fromUtf8(QJsonDocument(o).toJson(QJsonDocument::Compact));
}

QJsonValue Block(const std::optional<core::ParamBlock>& b) {
    return b ? QJsonValue(sensors::BlockJson(*b)) : QJsonValue(QJsonValue::Null);
}

} // namespace

QString MemoryKey(Memory m) {
    return m == Memory::Ram ? QStringLiteral("ram") : QStringLiteral("eeprom");
}

QJsonObject ParametersJson(const LinePort& p, Memory m, const core::ParamBlock& block) {
    QJsonObject o = sensors::EditableBlockJson(block);
    o[QStringLiteral("sensor")] = p.ref.label;
    o[QStringLiteral("memory")] = MemoryKey(m);
    return o;
}

QJsonObject ReadingJson(const Reading& r) {
    return {{QStringLiteral("t"), std::round(r.t * 1000.0) / 1000.0},
            {QStringLiteral("DAT0"), r.values.dat0},
            {QStringLiteral("DAT1"), r.values.dat1},
            {QStringLiteral("NORM"), r.values.norm},
            {QStringLiteral("IN0"), static_cast<int>(r.values.in0)},
            {QStringLiteral("IN1"), static_cast<int>(r.values.in1)},
            {QStringLiteral("EDGE"), static_cast<int>(r.values.edge)}};
}

QJsonObject SensorJson(const LinePort& p, bool blocks) {
    QJsonObject o{{QStringLiteral("id"), p.ref.label},
                  {QStringLiteral("device"), p.ref.device},
                  {QStringLiteral("location"), p.location},
                  {QStringLiteral("status"), StatusName(p.status)},
                  {QStringLiteral("message"), p.message},
                  {QStringLiteral("version"), p.version},
                  {QStringLiteral("reading"),
                   p.last ? QJsonValue(ReadingJson(*p.last)) : QJsonValue(QJsonValue::Null)},
                  {QStringLiteral("rate"),
                   std::round((p.status == SensorStatus::Ok ? p.rate() : 0.0) * 100.0) / 100.0},
                  {QStringLiteral("readings"), static_cast<qint64>(p.readings)},
                  {QStringLiteral("timeouts"), static_cast<qint64>(p.timeouts)},
                  {QStringLiteral("health"), HealthJson(p)},
                  {QStringLiteral("drift"),
                   p.drift.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(p.drift)}};
    if (blocks) {
        o[QStringLiteral("ram")] = Block(p.ram);
        o[QStringLiteral("eeprom")] = Block(p.eeprom);
    }
    return o;
}

QJsonObject HealthJson(const LinePort& p) {
    return sensors::HealthJson(p.health);
}

// Written by hand: it goes out for every reading of every sensor, a few hundred a second, and
// QJsonDocument's way costs several times more. The same fields as ReadingJson.
QString ReadingMessage(const LinePort& p, const Reading& r) {
    const core::LiveValues& v = r.values;
    return QStringLiteral("{\"type\":\"reading\",\"sensor\":") + JsonString(p.ref.label) +
           QStringLiteral(",\"t\":") + QString::number(r.t, 'f', 3) + QStringLiteral(",\"DAT0\":") +
           QString::number(v.dat0) + QStringLiteral(",\"DAT1\":") + QString::number(v.dat1) +
           QStringLiteral(",\"NORM\":") + QString::number(v.norm) + QStringLiteral(",\"IN0\":") +
           QString::number(v.in0) + QStringLiteral(",\"IN1\":") + QString::number(v.in1) +
           QStringLiteral(",\"EDGE\":") + QString::number(v.edge) + QLatin1Char('}');
}

QString JsonString(const QString& text) {
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        if (c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += c;
        } else if (c.unicode() < 0x20) {
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out + QLatin1Char('"');
}

QString StatusMessage(const LinePort& p) {
    return Compact({{QStringLiteral("type"), QStringLiteral("status")},
                    {QStringLiteral("sensor"), p.ref.label},
                    {QStringLiteral("status"), StatusName(p.status)},
                    {QStringLiteral("message"), p.message},
                    {QStringLiteral("version"), p.version}});
}

QString BlockMessage(const LinePort& p, Memory m) {
    const auto& block = m == Memory::Ram ? p.ram : p.eeprom;
    QJsonObject o = block ? sensors::EditableBlockJson(*block) : QJsonObject{};
    o[QStringLiteral("type")] = QStringLiteral("parameters");
    o[QStringLiteral("sensor")] = p.ref.label;
    o[QStringLiteral("memory")] = MemoryKey(m);
    return Compact(o);
}

QString DriftMessage(const LinePort& p) {
    QJsonObject o = p.drift;
    o[QStringLiteral("type")] = QStringLiteral("drift");
    o[QStringLiteral("sensor")] = p.ref.label;
    return Compact(o);
}

QString HealthMessage(const LinePort& p) {
    QJsonObject o = HealthJson(p);
    o[QStringLiteral("type")] = QStringLiteral("health");
    o[QStringLiteral("sensor")] = p.ref.label;
    return Compact(o);
}

} // namespace zurid::serve
