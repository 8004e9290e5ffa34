#include "serve/stream.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUrlQuery>
#include <QWebSocket>

namespace zurid::serve {

namespace {

QString ErrorMessage(const QString& text) {
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("type"), QStringLiteral("error")},
                                  {QStringLiteral("message"), text}})
            .toJson(QJsonDocument::Compact));
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
    // What this turn of the loop sent goes out in one write per client before the loop waits,
    // not in a turn of its own per client (a socket otherwise waits to be told it is writable).
    if (auto* loop = QAbstractEventDispatcher::instance()) {
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &Stream::flush);
    }
}

void Stream::flush() {
    if (!unflushed_) {
        return;
    }
    unflushed_ = false;
    for (const auto& c : clients_) {
        c->socket->flush();
    }
}

Stream::~Stream() {
    for (const auto& c : clients_) {
        c->socket->disconnect(this);
        delete c->socket;
    }
}

Stream::Client* Stream::find(QWebSocket* socket) {
    for (const auto& c : clients_) {
        if (c->socket == socket) {
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
    connect(socket, &QWebSocket::textMessageReceived, this, [this, socket](const QString& text) {
        if (Client* client = find(socket)) {
            onMessage(*client, text);
        }
    });
    connect(socket, &QWebSocket::bytesWritten, this, [this, socket] {
        if (Client* client = find(socket)) {
            drain(*client);
        }
    });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] { remove(socket); });
    clients_.push_back(std::move(c));
    greet(*clients_.back());
}

void Stream::remove(QWebSocket* socket) {
    const auto it = std::find_if(clients_.begin(), clients_.end(),
                                 [socket](const auto& c) { return c->socket == socket; });
    if (it != clients_.end()) {
        clients_.erase(it);
        socket->disconnect(this);
        socket->deleteLater();
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
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    const QJsonValue sensors = doc.object().value(QStringLiteral("sensors"));
    if (!doc.isObject() || sensors.isUndefined()) {
        send(c, ErrorMessage(QStringLiteral("send {\"sensors\": [\"COM1\", ...]} or "
                                            "{\"sensors\": \"all\"}")));
        return;
    }
    if (sensors.isArray()) {
        QStringList names;
        for (const QJsonValue& v : sensors.toArray()) {
            names << v.toString();
        }
        c.wanted = SensorNames(names.join(QLatin1Char(',')));
    } else {
        c.wanted = SensorNames(sensors.toString());
    }
    greet(c);
}

void Stream::publish(const QString& sensor, const QString& message) {
    for (const auto& c : clients_) {
        if (sensor.isEmpty() || c->wanted.isEmpty() || c->wanted.contains(sensor)) {
            send(*c, message);
        }
    }
}

void Stream::send(Client& c, const QString& message) {
    if (c.queue.empty() && c.socket->bytesToWrite() < limits_.highWater) {
        c.socket->sendTextMessage(message);
        unflushed_ = true;
        return;
    }
    if (static_cast<int>(c.queue.size()) >= limits_.queue) {
        c.queue.pop_front();
        ++dropped_;
    }
    c.queue.push_back(message);
}

void Stream::drain(Client& c) {
    while (!c.queue.empty() && c.socket->bytesToWrite() < limits_.highWater) {
        c.socket->sendTextMessage(c.queue.front());
        c.queue.pop_front();
        unflushed_ = true;
    }
}

void Stream::closeAll() {
    auto all = std::move(clients_);
    clients_.clear();
    for (const auto& c : all) {
        QWebSocket* socket = c->socket;
        socket->disconnect(this);
        // Deleted once the close handshake is over (or with this stream), not before: deleting
        // a socket discards what it has not sent yet.
        connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("server stops"));
    }
}

} // namespace zurid::serve
