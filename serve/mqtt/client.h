// An MQTT connection on the Qt event loop, with libmosquitto doing the protocol: its socket
// under socket notifiers (reading always, writing only while the library has bytes to send), a
// timer for its keep-alive, no thread of its own. It keeps connecting with back-off while the
// broker is absent or gone, publishes PREFIX/status "online" (retained) once connected and
// leaves "offline" as its Last Will, and re-publishes every retained topic and re-subscribes on
// every connect. Nothing is queued while disconnected: a publish then is refused at once.
//
// It speaks MQTT 5, and asks the broker for nothing larger than `maxPacketBytes` (CONNECT's
// Maximum Packet Size: the broker drops a larger message for us instead of sending it). A
// broker that refuses MQTT 5 as a protocol version it does not know is spoken to in MQTT 3.1.1
// from then on, for as long as the client lives; subscriptions that need MQTT 5 are left out.
//
// A host name is looked up with QHostInfo first (libmosquitto's own lookup would block the
// loop); without TLS the address found is connected to, with TLS the name, which the
// certificate must carry.
#pragma once

#include "serve/mqtt/broker.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

class QHostInfo;
class QSocketNotifier;
struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
using mosquitto_property = mqtt5__property;

namespace zurid::serve::mqtt {

struct ClientOptions {
    BrokerAddress broker;
    QString caFile; // TLS: the CA certificates to trust; empty: the system's (/etc/ssl/certs)
    std::optional<Credentials> credentials;
    QString clientId;  // the same on every start, so that a restart replaces its old session
    QString willTopic; // "online"/"offline" go there, retained
    int keepAliveS = 30;
    int backoffFirstMs = 500; // first retry; doubles up to backoffMaxMs, with some jitter
    int backoffMaxMs = 30000;
    int connectTimeoutMs = 10000; // from the attempt's start to the broker's acceptance
    int backlogLimit = 256;       // publishes let into the library while its socket is full
    // MQTT 5: the largest packet the broker may send us. Commands are at most 4 KiB, statuses
    // less; the rest is room for the topic.
    int maxPacketBytes = 64 * 1024;
};

enum class Protocol { Mqtt5, Mqtt311 };

class Client : public QObject {
    Q_OBJECT
  public:
    explicit Client(ClientOptions options, QObject* parent = nullptr);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Starts connecting; empty on success, else why not (a CA file that cannot be read). Call
    // once.
    sensors::Status start();
    // Publishes "offline", disconnects cleanly (the broker then drops the Last Will), and
    // emits stopped() once done, or after `timeoutMs` at the latest. Stops the retries.
    void stop(int timeoutMs = 2000);

    bool connected() const { return state_ == State::Connected; }
    // MQTT 5 until the broker refused it; then 3.1.1.
    Protocol protocol() const { return protocol_; }

    // QoS 1, retained. Kept and published anew on every connect; published now when connected
    // and the payload differs from the last one. An empty payload removes the retained message
    // from the broker and forgets the topic.
    void retain(const QString& topic, const QByteArray& payload);
    // Removes the retained message of `topic` from the broker, ours or left by someone else
    // (when connected; nothing is kept to do later), and forgets the topic.
    void clear(const QString& topic);
    // Publishes a retained topic's payload again now (when connected), for a subscriber that
    // lost what the broker handed it.
    void republish(const QString& topic);
    // Not retained. False, with nothing queued anywhere, when not connected or when the
    // library already holds `backlogLimit` publishes that its socket could not take.
    bool publish(const QString& topic, const QByteArray& payload, int qos);
    // Subscribed now when connected, and on every connect. With `retainAsPublished` a message
    // comes with the retain flag it was published with, also while we are subscribed (MQTT 5);
    // without it, as in 3.1.1, only the retained messages handed over at subscription carry
    // it. Such a subscription is not made over MQTT 3.1.1, which cannot keep that promise.
    void subscribe(const QString& filter, int qos, bool retainAsPublished = false);

    struct Stats {
        quint64 connects = 0; // accepted by the broker
        quint64 attempts = 0; // connection attempts begun
    };
    const Stats& stats() const { return stats_; }
    const ClientOptions& options() const { return options_; }

  signals:
    void connectedChanged(bool connected);
    // A message on a subscribed topic.
    void message(const QString& topic, const QByteArray& payload, bool retained);
    // A line for the log: connected, lost and why, the next retry.
    void note(const QString& text);
    void stopped();

  private:
    enum class State { Idle, Waiting, Resolving, Connecting, Connected, Stopping, Stopped };

    void attempt();
    void onLookup(const QHostInfo& info, quint64 generation);
    void connectTo(const QString& host);
    void onConnack(int reason);
    void onConnected();
    void lost(const QString& why);
    void finishStop();

    bool makeHandle();
    void dropHandle();
    void watchSocket();
    void onReadable();
    void onWritable();
    void onMisc();
    void afterCall(int rc, bool loopCall);
    void raw(const QString& topic, const QByteArray& payload, int qos, bool retained,
             int* mid = nullptr);

    void subscribeNow(const QString& filter, int qos, bool retainAsPublished);

    static void OnConnect(mosquitto*, void* self, int reason, int flags, const mosquitto_property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* m,
                          const mosquitto_property*);

    ClientOptions options_;
    State state_ = State::Idle;
    Protocol protocol_ = Protocol::Mqtt5;
    mosquitto* handle_ = nullptr;
    QSocketNotifier* readNotifier_ = nullptr; // children, deleted later: one may be signalling
    QSocketNotifier* writeNotifier_ = nullptr;
    QTimer misc_;     // keep-alive, while a socket is open
    QTimer retry_;    // the next attempt
    QTimer deadline_; // an attempt that takes too long; a stop that takes too long
    int backoffMs_ = 0;
    QString lastWhy_;        // of the last failed attempt, to log a reason once
    quint64 generation_ = 0; // bumped per attempt, so a late lookup result is ignored
    int backlog_ = 0;
    int offlineMid_ = -1;

    // What the library's callbacks reported, handled once the call into it has returned.
    struct Pending {
        std::optional<int> connack;
        std::optional<int> disconnect;
        bool offlineSent = false;
        QList<std::tuple<QString, QByteArray, bool>> messages;
    } pending_;

    QHash<QString, QByteArray> retained_;
    QStringList order_; // retained topics in the order they were first set
    struct Subscription {
        QString filter;
        int qos = 0;
        bool retainAsPublished = false;
    };
    QList<Subscription> subscriptions_;
    Stats stats_;
};

} // namespace zurid::serve::mqtt
