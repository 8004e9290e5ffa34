// A client of zurid serve's WebSocket stream that keeps every message as JSON.
#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QTest>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>

namespace testing_support {

struct StreamClient {
    QWebSocket socket;
    QList<QJsonObject> messages;

    explicit StreamClient(const QString& origin = {}) : socket(origin) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            messages << QJsonDocument::fromJson(text.toUtf8()).object();
        });
    }
    bool open(quint16 port, const QString& query = {}) {
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/v1/stream%2").arg(port).arg(query)));
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; },
                               5000);
    }
    qsizetype count(const QString& type, const QString& sensor = {}) const {
        return std::count_if(messages.begin(), messages.end(), [&](const QJsonObject& m) {
            return m["type"].toString() == type &&
                   (sensor.isEmpty() || m["sensor"].toString() == sensor);
        });
    }
    bool saw(const QString& sensor, const QString& status) const {
        return std::any_of(messages.begin(), messages.end(), [&](const QJsonObject& m) {
            return m["type"].toString() == "status" && m["sensor"].toString() == sensor &&
                   m["status"].toString() == status;
        });
    }
};

} // namespace testing_support
