#include "serve/mqtt/discovery.h"

#include <QJsonArray>

namespace zurid::serve::mqtt {

namespace {

// Home Assistant takes letters, digits, "_" and "-" in an object id; anything else becomes "_".
QString ObjectId(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'_' || c == u'-';
        out += plain ? c : QChar(u'_');
    }
    return out;
}

struct Entity {
    const char* component; // sensor, binary_sensor
    const char* key;       // in the unique id
    const char* name;
    enum Topic { Live, Health, Status, Drift } topic;
    const char* valueTemplate;
    const char* unit; // "" for none
};

// Health and drift are JSON objects on their own retained topics: percent (null until known)
// and on (true or false).
constexpr Entity kEntities[] = {
    {"sensor", "norm", "NORM", Entity::Live, "{{ value_json.NORM }}", ""},
    {"sensor", "dat0", "DAT0", Entity::Live, "{{ value_json.DAT0 }}", ""},
    {"sensor", "dat1", "DAT1", Entity::Live, "{{ value_json.DAT1 }}", ""},
    {"sensor", "health", "Health", Entity::Health, "{{ value_json.percent }}", "%"},
    {"sensor", "status", "Status", Entity::Status, "{{ value_json.status }}", ""},
    {"binary_sensor", "drift", "Drift", Entity::Drift, "{{ 'ON' if value_json.on else 'OFF' }}",
     ""},
};

QString StateTopic(const Topics& topics, const QString& id, Entity::Topic t) {
    switch (t) {
    case Entity::Live:
        return topics.live(id);
    case Entity::Health:
        return topics.health(id);
    case Entity::Status:
        return topics.sensorStatus(id);
    case Entity::Drift:
        return topics.drift(id);
    }
    return {};
}

} // namespace

QList<DiscoveryDocument> DiscoveryDocuments(const QString& discovery, const Topics& topics,
                                            const QString& id, const QJsonObject& apiSensor) {
    // The line's prefix is in every id: two lines may each have a COM1.
    const QString device =
        QStringLiteral("zurid_%1_%2").arg(ObjectId(topics.prefix()), ObjectId(id));
    QJsonObject deviceObject{
        {QStringLiteral("identifiers"), QJsonArray{device}},
        {QStringLiteral("name"), QStringLiteral("%1 (%2)").arg(id, topics.prefix())},
    };
    if (const QString version = apiSensor.value(QStringLiteral("version")).toString();
        !version.isEmpty()) {
        deviceObject.insert(QStringLiteral("sw_version"), version);
    }
    QList<DiscoveryDocument> out;
    for (const Entity& e : kEntities) {
        const QString unique = device + u'_' + QLatin1String(e.key);
        QJsonObject o{
            {QStringLiteral("name"), QLatin1String(e.name)},
            {QStringLiteral("unique_id"), unique},
            {QStringLiteral("state_topic"), StateTopic(topics, id, e.topic)},
            {QStringLiteral("value_template"), QLatin1String(e.valueTemplate)},
            {QStringLiteral("availability_topic"), topics.status()},
            {QStringLiteral("device"), deviceObject},
            {QStringLiteral("origin"),
             QJsonObject{{QStringLiteral("name"), QStringLiteral("zurid serve")}}},
        };
        if (e.unit[0] != '\0') {
            o.insert(QStringLiteral("unit_of_measurement"), QLatin1String(e.unit));
        }
        if (e.topic == Entity::Live || e.topic == Entity::Health) {
            o.insert(QStringLiteral("state_class"), QStringLiteral("measurement"));
        }
        if (e.topic == Entity::Drift) {
            o.insert(QStringLiteral("device_class"), QStringLiteral("problem"));
        }
        if (e.topic == Entity::Health || e.topic == Entity::Drift) {
            // The other members (margins, differences) as the entity's attributes.
            o.insert(QStringLiteral("json_attributes_topic"), StateTopic(topics, id, e.topic));
        }
        out.push_back(
            {QStringLiteral("%1/%2/%3/config").arg(discovery, QLatin1String(e.component), unique),
             Compact(o)});
    }
    return out;
}

QString DiscoveryStatusTopic(const QString& discovery) {
    return discovery + QStringLiteral("/status");
}

} // namespace zurid::serve::mqtt
