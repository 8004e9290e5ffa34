#include "support/serve.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QThread>

#include <csignal>

namespace testing_support {

QByteArray HttpAnswer::header(const QByteArray& name) const {
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return {};
}

QString HttpAnswer::errorCode() const {
    return json()["error"].toObject()["code"].toString();
}

HttpAnswer ReadAnswer(QTcpSocket& socket, int timeoutMs) {
    HttpAnswer a;
    QElapsedTimer t;
    t.start();
    // Line by line up to the empty one, so that what follows (a next answer) stays unread.
    bool headDone = false;
    while (!headDone) {
        while (!headDone && socket.canReadLine()) {
            const QByteArray line = socket.readLine();
            headDone = line == "\r\n";
            a.head += headDone ? QByteArray() : line;
        }
        if (headDone) {
            break;
        }
        if (socket.state() == QAbstractSocket::UnconnectedState && !socket.canReadLine()) {
            a.closed = true;
            return a;
        }
        if (t.elapsed() > timeoutMs) {
            return a;
        }
        socket.waitForReadyRead(50);
    }
    a.head = a.head.trimmed();
    a.status = a.head.left(a.head.indexOf('\r')).split(' ').value(1).toInt();
    const qint64 length = a.header("Content-Length").toLongLong();
    while (socket.bytesAvailable() < length && t.elapsed() < timeoutMs &&
           socket.state() != QAbstractSocket::UnconnectedState) {
        socket.waitForReadyRead(50);
    }
    a.body = socket.read(length);
    a.closed = a.header("Connection").compare("close", Qt::CaseInsensitive) == 0;
    return a;
}

HttpAnswer RawHttp(quint16 port, const QByteArray& bytes, int timeoutMs, const QHostAddress& from) {
    QTcpSocket socket;
    if (!from.isNull() && !socket.bind(from)) {
        return {};
    }
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs)) {
        return {};
    }
    socket.write(bytes);
    socket.waitForBytesWritten(timeoutMs);
    return ReadAnswer(socket, timeoutMs);
}

HttpAnswer Http(quint16 port, const QByteArray& method, const QByteArray& target,
                const QByteArray& body, const QByteArray& token, int timeoutMs,
                const QHostAddress& from) {
    QByteArray request =
        method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    if (!body.isEmpty()) {
        request +=
            "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
            "\r\n";
    }
    if (!token.isEmpty()) {
        request += "Authorization: Bearer " + token + "\r\n";
    }
    return RawHttp(port, request + "\r\n" + body, timeoutMs, from);
}

QByteArray WebSocketHandshake(const QByteArray& host, const QByteArray& target,
                              const QByteArray& origin) {
    QByteArray h = "GET " + target + " HTTP/1.1\r\nHost: " + host +
                   "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (!origin.isEmpty()) {
        h += "Origin: " + origin + "\r\n";
    }
    return h + "\r\n";
}

int OpenConnections(quint16 port) {
    const QByteArray body = Http(port, "GET", "/metrics").body;
    const qsizetype at = body.indexOf("\nzurid_http_connections ");
    return at < 0 ? -1 : body.mid(at + 24, body.indexOf('\n', at + 1) - at - 24).toInt();
}

std::optional<QJsonObject> PollJson(quint16 port, const QByteArray& target,
                                    const std::function<bool(const QJsonObject&)>& pred,
                                    int timeoutMs) {
    QElapsedTimer t;
    t.start();
    do {
        const HttpAnswer a = Http(port, "GET", target);
        if (a.status == 200 && pred(a.json())) {
            return a.json();
        }
        QThread::msleep(50);
    } while (t.elapsed() < timeoutMs);
    return std::nullopt;
}

ServeProcess::~ServeProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

bool ServeProcess::start(const QStringList& args, const std::vector<std::string>& ports,
                         const QString& stateHome) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    QStringList list;
    for (const std::string& p : ports) {
        list << QString::fromStdString(p);
    }
    env.insert(QStringLiteral("ZURID_PORTS"), list.join(QLatin1Char(':')));
    env.insert(QStringLiteral("XDG_STATE_HOME"), stateHome);
    process_.setProcessEnvironment(env);
    QStringList command = wrapper_;
    command << QCoreApplication::applicationDirPath() + QStringLiteral("/zurid")
            << QStringLiteral("serve") << args << QStringLiteral("--listen")
            << QStringLiteral("127.0.0.1:0");
    process_.start(command.takeFirst(), command);
    static const QRegularExpression serving(
        QStringLiteral("serving https?://127\\.0\\.0\\.1:(\\d+)/"));
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
        process_.waitForReadyRead(100);
        err_ += QString::fromUtf8(process_.readAllStandardError());
        if (const auto m = serving.match(err_); m.hasMatch()) {
            port_ = static_cast<quint16>(m.captured(1).toUInt());
            return true;
        }
        if (process_.state() == QProcess::NotRunning) {
            return false;
        }
    }
    return false;
}

bool ServeProcess::waitForStatus(const QString& status, int timeoutMs) const {
    return PollJson(
               port_, "/api/v1/sensors",
               [&status](const QJsonObject& o) {
                   const QJsonArray sensors = o["sensors"].toArray();
                   return !sensors.isEmpty() &&
                          std::all_of(sensors.begin(), sensors.end(),
                                      [&status](const QJsonValue& s) {
                                          return s.toObject()["status"].toString() == status;
                                      });
               },
               timeoutMs)
        .has_value();
}

bool ServeProcess::waitForLog(const QString& text, int timeoutMs) {
    QElapsedTimer t;
    t.start();
    while (true) {
        err_ += QString::fromUtf8(process_.readAllStandardError());
        if (err_.contains(text)) {
            return true;
        }
        if (t.elapsed() >= timeoutMs) {
            return false;
        }
        process_.waitForReadyRead(50);
    }
}

int ServeProcess::terminate(int timeoutMs) {
    if (process_.state() == QProcess::NotRunning) {
        err_ += QString::fromUtf8(process_.readAllStandardError());
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(timeoutMs)) {
        return -1;
    }
    err_ += QString::fromUtf8(process_.readAllStandardError());
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

} // namespace testing_support
