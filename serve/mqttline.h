// The line as the MQTT bridge's commands reach it: the same sensors, tokens, roles and change
// of parameters as the API's PATCH, with the same answers.
#pragma once

#include "serve/api.h"
#include "serve/mqtt/command.h"

namespace zurid::serve {

class MqttLine : public mqtt::CommandTarget {
  public:
    explicit MqttLine(Api& api) : api_(api) {}

    bool hasSensor(const QString& id) const override;
    std::optional<Answer> refuseWrite(const QString& token, Memory memory) const override;
    void writeParameters(const QString& id, const mqtt::Command& command,
                         std::function<void(const Answer&)> done) override;

  private:
    Api& api_;
};

} // namespace zurid::serve
