// The bridge's topic tree under one prefix, and the payloads that are not the API's own JSON.
// Pure functions: no connection, no state.
//
//   PREFIX/status                      online | offline (retained; offline is the Last Will)
//   PREFIX/sensors/ID/status           {"status", "device", "location", "version"} (retained)
//   PREFIX/sensors/ID/live             one reading, as the WebSocket stream sends it
//   PREFIX/sensors/ID/parameters/ram   the API's parameter set (retained); .../eeprom likewise
//   PREFIX/sensors/ID/health           the API's health object of the sensor (retained)
//   PREFIX/sensors/ID/set              a command (only with commands on)
//   PREFIX/sensors/ID/set/response     its answer
//   PREFIX/journal                     each new journal record, its line as written (QoS 1)
//   PREFIX/journal/head                {"seq": N, "hash": "<64 hex>"} of the newest (retained)
#pragma once

#include "sensors/result.h"
#include "sensors/session.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace zurid::serve::mqtt {

// Empty when `prefix` can head every topic of the tree: one or more non-empty levels of
// UTF-8 without the wildcards + and #, not starting with $ (the broker's own tree), at most
// 256 bytes. Otherwise why not.
sensors::Status CheckPrefix(const QString& prefix);
// "zurid/HOSTNAME", the host name made a valid level.
QString DefaultPrefix();

// A sensor id as one topic level: "/", "+", "#", "%" and control characters as %XX, so that
// an id never adds levels or wildcards. DecodeLevel undoes it, and refuses a level that
// EncodeLevel could not have made.
QString EncodeLevel(const QString& id);
std::optional<QString> DecodeLevel(const QString& level);

class Topics {
  public:
    explicit Topics(QString prefix) : prefix_(std::move(prefix)) {}

    const QString& prefix() const { return prefix_; }
    QString status() const;
    QString sensorStatus(const QString& id) const;
    QString live(const QString& id) const;
    QString parameters(const QString& id, sensors::Memory m) const;
    QString health(const QString& id) const;
    QString set(const QString& id) const;
    QString setResponse(const QString& id) const;
    // The subscription for every sensor's commands.
    QString setFilter() const;
    // The sensor id of a command topic, or nothing when `topic` is none of ours.
    std::optional<QString> sensorOfSet(const QString& topic) const;
    // The subscription for every sensor's status, and the sensor id of such a topic.
    QString statusFilter() const;
    std::optional<QString> sensorOfStatus(const QString& topic) const;
    QString journal() const;
    QString journalHead() const;

  private:
    QString sensor(const QString& id) const;
    std::optional<QString> sensorOf(const QString& topic, const QString& tail) const;
    QString prefix_;
};

// The sensor status topic's payload from the API's object of a sensor: its status (with the
// message, when there is one), device, location and version; nothing else (no live values,
// which would make a retained message change with every reading).
QByteArray SensorStatusPayload(const QJsonObject& apiSensor);

QByteArray Compact(const QJsonObject& object);

// The journal head topic's payload: {"hash":"<64 hex>","seq":N}.
QByteArray JournalHeadPayload(qint64 seq, const QByteArray& hash);

} // namespace zurid::serve::mqtt
