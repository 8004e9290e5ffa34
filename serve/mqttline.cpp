#include "serve/mqttline.h"

namespace zurid::serve {

bool MqttLine::hasSensor(const QString& id) const {
    return api_.line.find(id) != nullptr;
}

std::optional<Answer> MqttLine::refuseWrite(const QString& token, Memory memory) const {
    return Authorize(api_, token.toUtf8(),
                     memory == Memory::Eeprom ? Need::Engineer : Need::Operator,
                     QStringLiteral("mqtt"))
        .refusal;
}

void MqttLine::writeParameters(const QString& id, Memory memory, const QJsonObject& values,
                               std::function<void(const Answer&)> done) {
    Checked<std::vector<core::Assignment>> items = ParseValues(values);
    if (!items) {
        done(items.failed());
        return;
    }
    // The bridge waits for every answer: it publishes it, and counts the commands in flight.
    ChangeParameters(api_, {id, memory, std::move(*items)}, {[] { return true; }, std::move(done)});
}

} // namespace zurid::serve
