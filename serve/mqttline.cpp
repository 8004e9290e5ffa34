#include "serve/mqttline.h"

namespace zurid::serve {

bool MqttLine::hasSensor(const QString& id) const {
    return api_.line.find(id) != nullptr;
}

std::optional<Answer> MqttLine::refuseWrite(const QString& token, Memory memory) const {
    return Authorize(api_, token.toUtf8(),
                     memory == Memory::Eeprom ? Need::Engineer : Need::Operator,
                     platform::JournalChannel::Mqtt)
        .refusal;
}

void MqttLine::writeParameters(const QString& id, const mqtt::Command& command,
                               std::function<void(const Answer&)> done) {
    Checked<std::vector<core::Assignment>> items = ParseValues(command.values);
    if (!items) {
        done(items.failed());
        return;
    }
    // Judged by refuseWrite already: here only whom it stands for, for the journal.
    const std::optional<Identity> who = api_.keys.match(command.token.toUtf8());
    // The bridge waits for every answer: it publishes it, and counts the commands in flight.
    ChangeParameters(api_,
                     {id, command.memory, std::move(*items), platform::JournalChannel::Mqtt,
                      who ? who->name : QString(), QString(), command.reason},
                     {[] { return true; }, std::move(done)});
}

} // namespace zurid::serve
