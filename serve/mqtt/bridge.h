// The MQTT bridge of zurid serve: the line's sensors under one prefix on a broker (the topic
// tree is in topics.h). The line runner hands it every status change, parameter set and
// reading as the API and the stream have them; the bridge keeps the retained ones for the next
// connect, publishes readings live (every one, or the newest per sensor once a period) and
// drops and counts them while there is no connection. With commands on, it carries out
// parameter commands through a CommandTarget and answers each, but never a retained one; they
// need an MQTT 5 broker, the only kind that tells us which messages are retained. Given a
// journal, it publishes each record appended to it, by whichever program, and retains the
// newest one's hash: a copy of the chain's head off this machine. With a discovery prefix, it
// retains Home Assistant's discovery documents of each sensor (discovery.h), and publishes
// them again whenever Home Assistant says it is online.
#pragma once

#include "serve/mqtt/client.h"
#include "serve/mqtt/command.h"
#include "serve/mqtt/discovery.h"
#include "serve/mqtt/journalfeed.h"
#include "serve/mqtt/topics.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <memory>

namespace zurid::serve::mqtt {

struct BridgeOptions {
    BrokerAddress broker;
    QString caFile;
    std::optional<Credentials> credentials;
    QString prefix;           // valid as CheckPrefix says
    int liveMs = 0;           // 0: every reading; else at most one per sensor in that many ms
    bool commands = false;    // subscribe to PREFIX/sensors/+/set (MQTT 5 brokers only)
    int commandsInFlight = 8; // more at once are answered "busy"
    QString journal;          // its new records on PREFIX/journal, the head retained; "": none
    QString discovery;        // Home Assistant's discovery prefix ("homeassistant"); "": none
    // Connection details for tests (back-off, time-outs); the broker and will are set here.
    ClientOptions client;
};

class Bridge : public QObject {
    Q_OBJECT
  public:
    // `target` carries commands out; it must outlive the bridge, and may be null without
    // commands.
    Bridge(BridgeOptions options, CommandTarget* target, QObject* parent = nullptr);

    // Starts connecting. Empty on success, else why not.
    sensors::Status start();
    // "offline", a clean disconnect, then stopped().
    void stop();

    // The API's object of a sensor (status, device, location, version, ...).
    void sensorChanged(const QString& id, const QJsonObject& apiSensor);
    // The API's object of a parameter set, after the start-up read and after every change.
    void parametersChanged(const QString& id, sensors::Memory m, const QJsonObject& apiParameters);
    // The sensor's drift from the line's reference, as the API's sensor has it.
    void driftChanged(const QString& id, const QJsonObject& drift);
    // The API's health object of a sensor, each time it is computed.
    void healthChanged(const QString& id, const QJsonObject& apiHealth);
    // One reading as the stream sends it (compact JSON).
    void reading(const QString& id, const QByteArray& json);

    struct Stats {
        bool connected = false;
        quint64 connects = 0;
        quint64 livePublished = 0;
        quint64 liveDropped = 0; // no connection, or the connection's backlog full
        quint64 commands = 0;    // answered, whatever the answer
        quint64 commandsRefused = 0;
    };
    Stats stats() const;
    const Topics& topics() const { return topics_; }

  signals:
    void note(const QString& text);
    void connectedChanged(bool connected);
    void stopped();

  private:
    void publishLive(const QString& id, const QByteArray& json);
    void flushLive();
    void onMessage(const QString& topic, const QByteArray& payload, bool retained);
    // Publishes the journal's records of the time away; says once why there are no commands
    // when the broker speaks only MQTT 3.1.1.
    void onConnectedChanged(bool connected);
    void answer(const QString& sensor, const QJsonValue& commandId, const Answer& a);
    // Clears the retained topics of a sensor this server does not serve.
    void forget(const QString& sensor);
    // The journal's records since the last one published, in order, then its head (retained).
    // While there is no connection nothing is read: the records wait in the file.
    void publishJournal();

    BridgeOptions options_;
    Topics topics_;
    CommandTarget* target_;
    Client client_;
    std::unique_ptr<JournalFeed> journal_;
    QTimer liveTimer_;
    QHash<QString, QByteArray> newest_;  // with a live period: the newest reading per sensor
    QHash<QString, QString> liveTopics_; // topic per sensor, made once
    QStringList discoveryTopics_;        // of the sensors served, for Home Assistant's restarts
    int inFlight_ = 0;
    bool toldMqtt311_ = false;
    Stats stats_;
};

} // namespace zurid::serve::mqtt
