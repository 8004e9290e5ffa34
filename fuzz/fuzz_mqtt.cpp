// Fuzzes what the MQTT bridge reads from the broker: a command payload, and a command topic's
// sensor level. A payload is either a command or refused with a reason; a command holds only
// what the limits allow and reads the same again when written out. A level that names a sensor
// is the very level the bridge makes for that sensor, and every id survives its level.
#include "fuzz/check.h"
#include "serve/mqtt/command.h"
#include "serve/mqtt/topics.h"

#include <QJsonDocument>

#include <cstdint>

using namespace zurid::serve::mqtt;

namespace {

void CheckCommand(const QByteArray& payload) {
    const ParsedCommand p = ParseCommand(payload);
    FUZZ_CHECK(p.command.has_value() == p.error.isEmpty(), "a command with a refusal, or neither");
    FUZZ_CHECK(p.id.isString() || p.id.isNull(), "the answer's id is neither a text nor null");
    if (!p.command) {
        return;
    }
    const Command& c = *p.command;
    FUZZ_CHECK(!c.id.isEmpty() && c.id.size() <= kMaxIdChars, "id of %d characters",
               int(c.id.size()));
    FUZZ_CHECK(!c.values.isEmpty() && c.values.size() <= kMaxValues, "%d values",
               int(c.values.size()));
    FUZZ_CHECK(!c.token.isEmpty(), "a command without a token");
    FUZZ_CHECK(p.id == QJsonValue(c.id), "the answer's id is not the command's");

    const QByteArray again =
        QJsonDocument(
            QJsonObject{{"id", c.id},
                        {"memory", c.memory == zurid::sensors::Memory::Ram ? "ram" : "eeprom"},
                        {"values", c.values},
                        {"token", c.token}})
            .toJson(QJsonDocument::Compact);
    if (again.size() <= kMaxCommandBytes) {
        const ParsedCommand q = ParseCommand(again);
        FUZZ_CHECK(q.command && q.command->id == c.id && q.command->memory == c.memory &&
                       q.command->values == c.values && q.command->token == c.token,
                   "a command written out reads differently: %s", again.constData());
    }
}

void CheckLevel(const QString& text) {
    const std::optional<QString> id = DecodeLevel(text);
    if (id) {
        FUZZ_CHECK(EncodeLevel(*id) == text, "level %s is not the one its id makes",
                   qPrintable(text));
    }
    const QString level = EncodeLevel(text);
    FUZZ_CHECK(!level.contains(u'/') && !level.contains(u'+') && !level.contains(u'#'),
               "level %s holds a separator or wildcard", qPrintable(level));
    FUZZ_CHECK(DecodeLevel(level) == std::optional<QString>(text), "id %s lost in its level",
               qPrintable(text));

    const Topics topics(QStringLiteral("plant/line"));
    const std::optional<QString> sensor =
        topics.sensorOfSet(QStringLiteral("plant/line/sensors/") + text + QStringLiteral("/set"));
    FUZZ_CHECK(sensor == id, "the command topic's sensor differs from the level's id");
    FUZZ_CHECK(topics.sensorOfSet(topics.set(text)) == std::optional<QString>(text),
               "the command topic of %s names another sensor", qPrintable(text));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    CheckCommand(bytes);
    CheckLevel(QString::fromUtf8(bytes));
    return 0;
}
