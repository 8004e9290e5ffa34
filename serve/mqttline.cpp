#include "serve/mqttline.h"

#include <QJsonDocument>

namespace zurid::serve {

namespace {

QJsonObject Body(const http::Response& r) {
    return QJsonDocument::fromJson(r.body).object();
}

} // namespace

bool MqttLine::hasSensor(const QString& id) const {
    return api_.line.find(id) != nullptr;
}

std::optional<QJsonObject> MqttLine::refuseWrite(const QString& token) const {
    if (const auto refusal = WriteRefusal(api_, "Bearer " + token.toUtf8())) {
        return Body(*refusal);
    }
    return std::nullopt;
}

void MqttLine::writeParameters(const QString& id, Memory memory, const QJsonObject& values,
                               std::function<void(const QJsonObject&)> done) {
    ChangeParameters(
        api_, id, memory, QJsonDocument(values).toJson(QJsonDocument::Compact),
        http::Responder([done = std::move(done)](const http::Response& r) { done(Body(r)); }));
}

} // namespace zurid::serve
