#include "serve/mqtt/client.h"

#include <QFile>
#include <QHostAddress>
#include <QHostInfo>
#include <QMetaObject>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>

namespace zurid::serve::mqtt {

namespace {

constexpr int kMiscIntervalMs = 1000;
const QByteArray kOnline = "online";
const QByteArray kOffline = "offline";

QString ErrorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) {
        return QString::fromLocal8Bit(std::strerror(errno));
    }
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// Why a connection ended: the library's error, or (MQTT 5) the reason code of the broker's
// DISCONNECT.
QString DisconnectText(int rc) {
    return rc >= MQTT_RC_UNSPECIFIED ? QString::fromUtf8(mosquitto_reason_string(rc))
                                     : ErrorText(rc);
}

// libmosquitto 2.0 takes CONNECT properties only with its blocking connect, which would stall
// the event loop, and keeps them on the handle for every later connect, the asynchronous one
// included. Given no host, that call stores them and returns MOSQ_ERR_INVAL at once, having
// connected nowhere.
bool SetMaxPacketSize(mosquitto* handle, int bytes) {
    mosquitto_property* properties = nullptr;
    if (mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                     static_cast<uint32_t>(bytes)) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    const int rc = mosquitto_connect_bind_v5(handle, nullptr, 0, 0, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc == MOSQ_ERR_INVAL;
}

// Errors of the library's loop calls after which the connection is gone.
bool Fatal(int rc) {
    return rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING;
}

} // namespace

Client::Client(ClientOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    static std::once_flag init;
    std::call_once(init, [] { mosquitto_lib_init(); });
    misc_.setInterval(kMiscIntervalMs);
    connect(&misc_, &QTimer::timeout, this, &Client::onMisc);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &Client::attempt);
    deadline_.setSingleShot(true);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        if (state_ == State::Stopping) {
            finishStop();
        } else if (state_ == State::Resolving || state_ == State::Connecting) {
            lost(QStringLiteral("no answer within %1 s").arg(options_.connectTimeoutMs / 1000.0));
        }
    });
}

Client::~Client() {
    dropHandle();
}

sensors::Status Client::start() {
    if (options_.broker.tls && !options_.caFile.isEmpty()) {
        if (sensors::Status ca = CheckCaFile(options_.caFile); !ca) {
            return ca;
        }
    }
    if (!makeHandle()) {
        return sensors::Status::failure(
            sensors::ErrorKind::Invalid,
            QStringLiteral("MQTT: the client library refused the settings for %1")
                .arg(options_.broker.url()));
    }
    attempt();
    return {};
}

bool Client::makeHandle() {
    dropHandle();
    handle_ = mosquitto_new(options_.clientId.toUtf8().constData(), true, this);
    if (handle_ == nullptr) {
        return false;
    }
    const bool v5 = protocol_ == Protocol::Mqtt5;
    mosquitto_int_option(handle_, MOSQ_OPT_PROTOCOL_VERSION,
                         v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // Readings are small publishes of their own: without this, Nagle's algorithm holds one back
    // until the broker acknowledges the last at the TCP level (up to 40 ms).
    mosquitto_int_option(handle_, MOSQ_OPT_TCP_NODELAY, 1);
    const QByteArray will = options_.willTopic.toUtf8();
    bool ok = !v5 || SetMaxPacketSize(handle_, options_.maxPacketBytes);
    ok = ok && mosquitto_will_set(handle_, will.constData(), static_cast<int>(kOffline.size()),
                                  kOffline.constData(), 1, true) == MOSQ_ERR_SUCCESS;
    if (options_.credentials) {
        const QByteArray user = options_.credentials->user.toUtf8();
        const QByteArray password = options_.credentials->password.toUtf8();
        ok = ok && mosquitto_username_pw_set(handle_, user.constData(),
                                             password.isEmpty() ? nullptr : password.constData()) ==
                       MOSQ_ERR_SUCCESS;
    }
    if (options_.broker.tls) {
        const QByteArray ca = QFile::encodeName(options_.caFile);
        ok = ok && mosquitto_tls_set(handle_, ca.isEmpty() ? nullptr : ca.constData(),
                                     ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                                     nullptr) == MOSQ_ERR_SUCCESS;
    }
    mosquitto_connect_v5_callback_set(handle_, &Client::OnConnect);
    mosquitto_disconnect_v5_callback_set(handle_, &Client::OnDisconnect);
    mosquitto_publish_v5_callback_set(handle_, &Client::OnPublish);
    mosquitto_message_v5_callback_set(handle_, &Client::OnMessage);
    if (!ok) {
        dropHandle();
    }
    return ok;
}

// Destroying the handle closes its socket without a DISCONNECT: to the broker, a lost client.
void Client::dropHandle() {
    misc_.stop();
    for (QSocketNotifier** n : {&readNotifier_, &writeNotifier_}) {
        if (*n != nullptr) {
            (*n)->setEnabled(false);
            (*n)->deleteLater(); // it may be the one whose signal runs now
            *n = nullptr;
        }
    }
    if (handle_ != nullptr) {
        mosquitto_destroy(handle_);
        handle_ = nullptr;
    }
    pending_ = {};
    offlineMid_ = -1;
}

void Client::attempt() {
    ++generation_;
    ++stats_.attempts;
    if (!makeHandle()) {
        lost(QStringLiteral("the client library refused the settings"));
        return;
    }
    deadline_.start(options_.connectTimeoutMs);
    const QString& host = options_.broker.host;
    if (!QHostAddress(host).isNull()) {
        connectTo(host);
        return;
    }
    state_ = State::Resolving;
    const quint64 generation = generation_;
    QHostInfo::lookupHost(
        host, this, [this, generation](const QHostInfo& info) { onLookup(info, generation); });
}

void Client::onLookup(const QHostInfo& info, quint64 generation) {
    if (generation != generation_ || state_ != State::Resolving) {
        return; // an attempt that was given up meanwhile
    }
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        lost(QStringLiteral("cannot find %1: %2").arg(options_.broker.host, info.errorString()));
        return;
    }
    // With TLS the certificate is checked against the name, so the library gets the name; its
    // own lookup then finds the answer just received.
    connectTo(options_.broker.tls ? options_.broker.host : info.addresses().first().toString());
}

void Client::connectTo(const QString& host) {
    state_ = State::Connecting;
    const int rc = mosquitto_connect_async(handle_, host.toUtf8().constData(), options_.broker.port,
                                           options_.keepAliveS);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(handle_) < 0) {
        lost(ErrorText(rc));
        return;
    }
    // Not inherited by child processes: a copy held open there would outlive us, and the
    // broker would never send the Last Will.
    const int fd = mosquitto_socket(handle_);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    watchSocket();
    afterCall(MOSQ_ERR_SUCCESS, false);
}

void Client::watchSocket() {
    const int fd = mosquitto_socket(handle_);
    readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(readNotifier_, &QSocketNotifier::activated, this, &Client::onReadable);
    writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    writeNotifier_->setEnabled(false);
    connect(writeNotifier_, &QSocketNotifier::activated, this, &Client::onWritable);
    misc_.start();
}

void Client::onReadable() {
    if (handle_ != nullptr) {
        afterCall(mosquitto_loop_read(handle_, 1), true);
    }
}

void Client::onWritable() {
    if (handle_ != nullptr) {
        afterCall(mosquitto_loop_write(handle_, 1), true);
    }
}

void Client::onMisc() {
    if (handle_ != nullptr) {
        afterCall(mosquitto_loop_misc(handle_), true);
    }
}

// Everything the callbacks noted during a call into the library is acted on here, after it
// returned: the library is never re-entered from inside itself, nor the handle destroyed.
void Client::afterCall(int rc, bool loopCall) {
    Pending p = std::exchange(pending_, {});
    for (const auto& [topic, payload, retained] : p.messages) {
        if (state_ == State::Connected) {
            emit message(topic, payload, retained);
        }
    }
    if (handle_ == nullptr) {
        return; // a slot of message() stopped or lost us
    }
    if (p.connack) {
        onConnack(*p.connack);
        if (state_ != State::Connected) {
            return;
        }
    }
    if (p.offlineSent && state_ == State::Stopping) {
        mosquitto_disconnect(handle_);
        afterCall(MOSQ_ERR_SUCCESS, false);
        return;
    }
    if (p.disconnect || (loopCall && Fatal(rc)) || mosquitto_socket(handle_) < 0) {
        if (state_ == State::Stopping) {
            finishStop();
        } else {
            lost(p.disconnect && *p.disconnect != MOSQ_ERR_SUCCESS ? DisconnectText(*p.disconnect)
                 : Fatal(rc)                                       ? ErrorText(rc)
                             : QStringLiteral("the broker closed the connection"));
        }
        return;
    }
    const bool wantWrite = mosquitto_want_write(handle_);
    if (!wantWrite) {
        backlog_ = 0;
    }
    if (writeNotifier_ != nullptr) {
        writeNotifier_->setEnabled(wantWrite);
    }
}

// The broker's answer to CONNECT: a reason code in MQTT 5, a return code in 3.1.1.
void Client::onConnack(int reason) {
    if (reason == 0) {
        onConnected();
        return;
    }
    // A broker that knows only 3.1.1 answers MQTT 5 with "unacceptable protocol version",
    // which the library reports as this. Nothing else makes us give MQTT 5 up: a connection
    // that merely ends is tried again as it was.
    if (protocol_ == Protocol::Mqtt5 && reason == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION) {
        protocol_ = Protocol::Mqtt311;
        dropHandle();
        deadline_.stop();
        state_ = State::Waiting;
        retry_.start(0);
        return;
    }
    lost(QString::fromUtf8(protocol_ == Protocol::Mqtt5 ? mosquitto_reason_string(reason)
                                                        : mosquitto_connack_string(reason)));
}

void Client::onConnected() {
    state_ = State::Connected;
    deadline_.stop();
    backoffMs_ = 0;
    lastWhy_.clear();
    backlog_ = 0;
    ++stats_.connects;
    for (const Subscription& s : std::as_const(subscriptions_)) {
        subscribeNow(s.filter, s.qos, s.retainAsPublished);
    }
    for (const QString& topic : std::as_const(order_)) {
        raw(topic, retained_.value(topic), 1, true);
    }
    raw(options_.willTopic, kOnline, 1, true);
    if (state_ == State::Connected) { // not lost again while publishing
        emit note(QStringLiteral("MQTT: connected to %1").arg(options_.broker.url()));
        emit connectedChanged(true);
    }
}

void Client::lost(const QString& why) {
    const bool was = state_ == State::Connected;
    dropHandle();
    deadline_.stop();
    backoffMs_ =
        backoffMs_ == 0 ? options_.backoffFirstMs : std::min(backoffMs_ * 2, options_.backoffMaxMs);
    const double jitter = 0.75 + 0.5 * QRandomGenerator::global()->generateDouble();
    const int delay = static_cast<int>(backoffMs_ * jitter);
    state_ = State::Waiting;
    retry_.start(delay);
    // One line per change of reason, not one per retry through a night without a broker.
    if (was || why != lastWhy_) {
        emit note(
            QStringLiteral("MQTT %1: %2 %3; trying again with back-off (next in %4 s)")
                .arg(options_.broker.url(),
                     was ? QStringLiteral("connection lost:") : QStringLiteral("cannot connect:"),
                     why)
                .arg(delay / 1000.0, 0, 'f', 1));
    }
    lastWhy_ = why;
    if (was) {
        emit connectedChanged(false);
    }
}

void Client::stop(int timeoutMs) {
    if (state_ == State::Stopping || state_ == State::Stopped) {
        return;
    }
    retry_.stop();
    if (state_ != State::Connected) {
        dropHandle();
        deadline_.stop();
        state_ = State::Stopped;
        QMetaObject::invokeMethod(this, &Client::stopped, Qt::QueuedConnection);
        return;
    }
    state_ = State::Stopping;
    deadline_.start(timeoutMs);
    raw(options_.willTopic, kOffline, 1, true, &offlineMid_);
}

void Client::finishStop() {
    const bool was = handle_ != nullptr;
    dropHandle();
    deadline_.stop();
    state_ = State::Stopped;
    if (was) {
        emit connectedChanged(false);
    }
    emit stopped();
}

void Client::retain(const QString& topic, const QByteArray& payload) {
    if (payload.isEmpty()) {
        if (retained_.contains(topic)) {
            clear(topic);
        }
        return;
    }
    const auto it = retained_.constFind(topic);
    if (it != retained_.cend() && *it == payload) {
        return;
    }
    if (it == retained_.cend()) {
        order_ << topic;
    }
    retained_.insert(topic, payload);
    if (connected()) {
        raw(topic, payload, 1, true);
    }
}

void Client::clear(const QString& topic) {
    retained_.remove(topic);
    order_.removeOne(topic);
    if (connected()) {
        raw(topic, {}, 1, true);
    }
}

void Client::republish(const QString& topic) {
    if (const auto it = retained_.constFind(topic); it != retained_.cend() && connected()) {
        raw(topic, *it, 1, true);
    }
}

bool Client::publish(const QString& topic, const QByteArray& payload, int qos) {
    if (!connected()) {
        return false;
    }
    if (mosquitto_want_write(handle_)) {
        if (backlog_ >= options_.backlogLimit) {
            return false;
        }
        ++backlog_;
    }
    raw(topic, payload, qos, false);
    return true;
}

void Client::subscribe(const QString& filter, int qos, bool retainAsPublished) {
    subscriptions_.append({filter, qos, retainAsPublished});
    if (connected()) {
        subscribeNow(filter, qos, retainAsPublished);
        afterCall(MOSQ_ERR_SUCCESS, false);
    }
}

void Client::subscribeNow(const QString& filter, int qos, bool retainAsPublished) {
    if (retainAsPublished && protocol_ != Protocol::Mqtt5) {
        return;
    }
    mosquitto_subscribe_v5(handle_, nullptr, filter.toUtf8().constData(), qos,
                           retainAsPublished ? MQTT_SUB_OPT_RETAIN_AS_PUBLISHED : 0, nullptr);
}

void Client::raw(const QString& topic, const QByteArray& payload, int qos, bool retained,
                 int* mid) {
    if (handle_ == nullptr) {
        return;
    }
    const QByteArray t = topic.toUtf8();
    mosquitto_publish(handle_, mid, t.constData(), static_cast<int>(payload.size()),
                      payload.constData(), qos, retained);
    afterCall(MOSQ_ERR_SUCCESS, false);
}

void Client::OnConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*) {
    static_cast<Client*>(self)->pending_.connack = reason;
}

void Client::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    static_cast<Client*>(self)->pending_.disconnect = rc;
}

void Client::OnPublish(mosquitto*, void* self, int mid, int, const mosquitto_property*) {
    auto* c = static_cast<Client*>(self);
    if (mid == c->offlineMid_) {
        c->pending_.offlineSent = true;
    }
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* m,
                       const mosquitto_property*) {
    static_cast<Client*>(self)->pending_.messages.append(
        {QString::fromUtf8(m->topic),
         QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
}

} // namespace zurid::serve::mqtt
