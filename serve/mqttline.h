// The line as the MQTT bridge's commands reach it: the same sensors, token and rules as the
// API's PATCH of parameters, answered with the API's own JSON.
#pragma once

#include "serve/api.h"
#include "serve/mqtt/command.h"

namespace zurid::serve {

class MqttLine : public mqtt::CommandTarget {
  public:
    explicit MqttLine(Api& api) : api_(api) {}

    bool hasSensor(const QString& id) const override;
    std::optional<QJsonObject> refuseWrite(const QString& token) const override;
    void writeParameters(const QString& id, Memory memory, const QJsonObject& values,
                         std::function<void(const QJsonObject&)> done) override;

  private:
    Api& api_;
};

} // namespace zurid::serve
