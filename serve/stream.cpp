#include "serve/stream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QWebSocket>

#include <optional>

namespace zurid::serve {

namespace {

QString ErrorMessage(const QString& text) {
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                                  {QStringLiteral("message"), text}})
            .toJson(QJsonDocument::Compact));
}

// The sensors a client's message names: {"sensors": ["COM1", "COM2"]}, {"sensors": "COM1,COM2"}
// or {"sensors": "all"}; nothing for anything else, which must not pass for "all".
std::optional<QSet<QString>> WantedIn(const QString& text) {
    const QJsonValue sensors =
        QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("sensors"));
    if (sensors.isString()) {
        return SensorNames(sensors.toString());
    }
    if (!sensors.isArray()) {
        return std::nullopt;
    }
    QStringList names;
    for (const QJsonValue& v : sensors.toArray()) {
        if (!v.isString() || v.toString().trimmed().isEmpty()) {
            return std::nullopt;
        }
        names << v.toString();
    }
    return SensorNames(names.join(QLatin1Char(',')));
}

} // namespace

QSet<QString> SensorNames(const QString& commaList) {
    QSet<QString> out;
    for (const QString& name : commaList.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString n = name.trimmed();
        if (n.isEmpty() || n.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
            continue;
        }
        // "com3" is COM3; a device path keeps its case.
        static const QRegularExpression com(QStringLiteral("^com[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
        out.insert(com.match(n).hasMatch() ? n.toUpper() : n);
    }
    return out;
}

Stream::Stream(StreamLimits limits, QObject* parent) : QObject(parent), limits_(limits) {
    // Readings of the same few milliseconds share one write per client: on a busy line each
    // reading would otherwise cost every client a write (and the system a wake-up of each).
    flushTimer_.setSingleShot(true);
    flushTimer_.setTimerType(Qt::PreciseTimer);
    connect(&flushTimer_, &QTimer::timeout, this, &Stream::flush);
    clock_.start();
    pingTimer_.setInterval(std::max(1, limits_.silentMs / 3));
    connect(&pingTimer_, &QTimer::timeout, this, &Stream::ping);
}

void Stream::flush() {
    flushTimer_.stop();
    for (const auto& c : clients_) {
        drain(*c);
    }
}

int Stream::clients() const {
    return static_cast<int>(
        std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return !c->gone; }));
}

Stream::~Stream() {
    for (const auto& c : clients_) {
        if (c->gone) {
            continue; // its socket is deleted, or about to be
        }
        c->socket->disconnect(this);
        delete c->socket;
    }
}

Stream::Client* Stream::find(QWebSocket* socket) {
    for (const auto& c : clients_) {
        if (c->socket == socket && !c->gone) {
            return c.get();
        }
    }
    return nullptr;
}

void Stream::add(QWebSocket* socket) {
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(limits_.incoming));
    socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(limits_.incoming));
    auto c = std::make_unique<Client>();
    c->socket = socket;
    c->wanted = SensorNames(QUrlQuery(socket->requestUrl().query())
                                .queryItemValue(QStringLiteral("sensors"), QUrl::FullyDecoded));
    c->seen = clock_.elapsed();
    connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
        if (Client* client = find(socket)) {
            client->seen = clock_.elapsed();
            onMessage(*client, text);
        }
    });
    connect(socket, &QWebSocket::pong, this, [this, socket] {
        if (Client* client = find(socket)) {
            client->seen = clock_.elapsed();
        }
    });
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
        if (Client* client = find(socket)) {
            drain(*client);
        }
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { remove(socket); });
    clients_.push_back(std::move(c));
    if (!pingTimer_.isActive()) {
        pingTimer_.start();
    }
    greet(*clients_.back());
}

// A client that neither reads nor answers would hold its connection for good: it goes, at once
// (a close handshake would wait on it too), and gives its connection back.
void Stream::ping() {
    const qint64 now = clock_.elapsed();
    std::vector<QWebSocket*> silent;
    for (const auto& c : clients_) {
        if (c->gone) {
            continue;
        }
        if (now - c->seen >= limits_.silentMs) {
            silent.push_back(c->socket);
        } else {
            c->socket->ping();
        }
    }
    for (QWebSocket* socket : silent) {
        remove(socket);
        socket->abort();
    }
    if (clients() == 0) {
        pingTimer_.stop();
    }
}

// A socket can go in the middle of a write to it (a reset connection): the client is marked
// gone at once and leaves the list a turn later, so that no loop over the clients, nor a
// client's own drain, loses the ground under it.
void Stream::remove(QWebSocket* socket) {
    Client* c = find(socket);
    if (c == nullptr) {
        return;
    }
    c->gone = true;
    c->queue.clear();
    socket->disconnect(this);
    socket->deleteLater();
    if (!sweepPosted_) {
        sweepPosted_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                sweepPosted_ = false;
                std::erase_if(clients_, [](const auto& each) { return each->gone; });
            },
            Qt::QueuedConnection);
    }
}

void Stream::greet(Client& c) {
    QStringList unknown;
    for (const QString& name : std::as_const(c.wanted)) {
        if (known && !known(name)) {
            unknown << name;
        }
    }
    if (!unknown.isEmpty()) {
        unknown.sort();
        send(c,
             ErrorMessage(QStringLiteral("no sensor %1").arg(unknown.join(QStringLiteral(", ")))));
    }
    if (greeting) {
        for (const QString& m : greeting(c.wanted)) {
            send(c, m);
        }
    }
}

void Stream::onMessage(Client& c, const QString& text) {
    const std::optional<QSet<QString>> wanted = WantedIn(text);
    if (!wanted) { // the sensors it had stay
        send(c, ErrorMessage(QStringLiteral("send {\"sensors\": [\"COM1\", ...]} or "
                                            "{\"sensors\": \"all\"}")));
        return;
    }
    c.wanted = *wanted;
    greet(c);
}

void Stream::publish(const QString& sensor, const QString& message) {
    for (const auto& c : clients_) {
        if (!c->gone && (sensor.isEmpty() || c->wanted.isEmpty() || c->wanted.contains(sensor))) {
            send(*c, message);
        }
    }
}

void Stream::send(Client& c, const QString& message) {
    if (static_cast<int>(c.queue.size()) >= limits_.queue) {
        drain(c); // a burst: what the socket takes now does not wait for the batch
    }
    if (static_cast<int>(c.queue.size()) >= limits_.queue) {
        c.queue.pop_front();
        ++dropped_;
    }
    c.queue.push_back(message);
    if (!flushTimer_.isActive()) { // the first of a batch
        flushTimer_.start(limits_.batchMs);
    }
}

// What the socket can take now goes out in one write; the rest waits for its bytesWritten.
void Stream::drain(Client& c) {
    bool sent = false;
    while (!c.gone && !c.queue.empty() && c.socket->bytesToWrite() < limits_.highWater) {
        c.socket->sendTextMessage(c.queue.front());
        c.queue.pop_front();
        sent = true;
    }
    if (sent && !c.gone) {
        c.socket->flush();
    }
}

void Stream::closeAll() {
    flush(); // what was published goes out before the close
    auto all = std::move(clients_);
    clients_.clear();
    pingTimer_.stop();
    for (const auto& c : all) {
        if (c->gone) {
            continue;
        }
        QWebSocket* socket = c->socket;
        socket->disconnect(this);
        // Deleted once the close handshake is over (or with this stream), not before: deleting
        // a socket discards what it has not sent yet.
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("server stops"));
    }
}

} // namespace zurid::serve
