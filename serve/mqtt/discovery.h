// Home Assistant's MQTT discovery for the bridge's sensors: one device per sensor, with its
// NORM, DAT0, DAT1, health, status and drift as entities on the bridge's own topics, each
// available while the line's status topic says "online". Pure functions: no connection.
//
//   DISCOVERY/sensor/UNIQUE/config          NORM, DAT0, DAT1 (live), health, status
//   DISCOVERY/binary_sensor/UNIQUE/config   drift
//   DISCOVERY/status                        "online" when Home Assistant (re)starts: all again
#pragma once

#include "serve/mqtt/topics.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace zurid::serve::mqtt {

struct DiscoveryDocument {
    QString topic;      // DISCOVERY/COMPONENT/UNIQUE/config
    QByteArray payload; // compact JSON
};

// The sensor's documents, from the API's object of a sensor (its version names the device's
// firmware when known). `discovery` is valid as CheckPrefix says.
QList<DiscoveryDocument> DiscoveryDocuments(const QString& discovery, const Topics& topics,
                                            const QString& id, const QJsonObject& apiSensor);
// Where Home Assistant says it has started.
QString DiscoveryStatusTopic(const QString& discovery);

} // namespace zurid::serve::mqtt
