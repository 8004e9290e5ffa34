// Test helpers: a real mosquitto broker on a free loopback port (its configuration in a
// temporary folder), mosquitto_sub as an observer that owes nothing to our code (it prints
// every message with its retain flag and QoS), and a broker that speaks only MQTT 3.1.1.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace testing_support {

// A loopback port that nothing listens on just now.
inline quint16 FreePort() {
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

// Publishes one message with mosquitto_pub, QoS 1, retained when asked.
inline void Publish(quint16 port, const QString& topic, const QByteArray& payload,
                    bool retain = false) {
    QProcess p;
    QStringList args{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-t", topic, "-s"};
    if (retain) {
        args << "-r";
    }
    p.start("mosquitto_pub", args);
    p.write(payload);
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(5000));
}

class Mosquitto {
  public:
    // `extra`: more configuration lines for the listener (TLS files, a password file).
    explicit Mosquitto(QString extra = {}) : extra_(std::move(extra)), port_(FreePort()) {}
    ~Mosquitto() { kill(); }

    quint16 port() const { return port_; }
    QString dir() const { return dir_.path(); }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }

    // Starts it (again, on the same port) and waits until it takes connections.
    bool start() {
        const QString conf = dir_.filePath(QStringLiteral("mosquitto.conf"));
        QFile f(conf);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            return false;
        }
        // Started by root, mosquitto would become the user "mosquitto", who may not read the
        // test's files; it stays whoever runs the test.
        const passwd* me = ::getpwuid(::getuid());
        f.write(QStringLiteral("listener %1 127.0.0.1\npersistence false\nlog_type error\n"
                               "user %4\nallow_anonymous %2\n%3\n")
                    .arg(port_)
                    .arg(extra_.contains(QLatin1String("password_file")) ? "false" : "true", extra_,
                         QString::fromLocal8Bit(me != nullptr ? me->pw_name : "root"))
                    .toUtf8());
        f.close();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), conf});
        if (!process_.waitForStarted(5000)) {
            return false;
        }
        const QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port_);
            if (probe.waitForConnected(200)) {
                return true;
            }
            QTest::qWait(20);
        }
        return false;
    }
    void kill() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

  private:
    QTemporaryDir dir_;
    QString extra_;
    quint16 port_;
    QProcess process_;
};

// A broker that knows MQTT 3.1.1 only, as older ones do: a CONNECT of another protocol level
// is answered "unacceptable protocol version" and closed; at level 4 it is accepted. It notes
// each CONNECT's level and the topics of SUBSCRIBE and PUBLISH packets, acknowledges nothing
// else, and can send a message to the last client it accepted.
class Mqtt311Broker {
  public:
    QList<int> levels;
    QStringList subscribed, published;

    Mqtt311Broker() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { read(s); });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    // A PUBLISH at QoS 0, retain flag clear (3.1.1 clears it for a subscriber that is there).
    void send(const QString& topic, const QByteArray& payload) {
        const QByteArray t = topic.toUtf8();
        QByteArray body = Word(t.size()) + t + payload;
        QByteArray packet(1, '\x30');
        for (qsizetype n = body.size(); n > 0 || packet.size() == 1; n >>= 7) {
            packet += static_cast<char>((n & 0x7F) | (n > 0x7F ? 0x80 : 0));
        }
        if (last_) {
            last_->write(packet + body);
        }
    }
    // Closes every connection once what was sent has gone, as a broker that stops would.
    void dropAll() {
        for (QTcpSocket* s : server_.findChildren<QTcpSocket*>()) {
            s->disconnectFromHost();
        }
    }

  private:
    static QByteArray Word(qsizetype n) {
        return QByteArray(1, static_cast<char>(n >> 8)) + static_cast<char>(n & 0xFF);
    }
    static int WordAt(const QByteArray& b, qsizetype at) {
        return (static_cast<quint8>(b[at]) << 8) | static_cast<quint8>(b[at + 1]);
    }
    void read(QTcpSocket* s) {
        QByteArray& in = buffers_[s];
        in += s->readAll();
        for (;;) { // each whole packet: its type, the remaining length as a varint, the body
            qsizetype length = 0, at = 1;
            bool whole = false;
            for (int shift = 0; !whole && at < in.size() && shift < 28; shift += 7) {
                whole = (in[at] & 0x80) == 0;
                length |= static_cast<qsizetype>(in[at++] & 0x7F) << shift;
            }
            if (!whole || in.size() < at + length) {
                return;
            }
            const QByteArray body = in.mid(at, length);
            const int type = static_cast<quint8>(in[0]) >> 4;
            in.remove(0, at + length);
            if (type == 1) { // CONNECT: "MQTT" with its length, then the level
                levels << static_cast<quint8>(body[6]);
                s->write(body[6] == 4 ? QByteArray("\x20\x02\x00\x00", 4)
                                      : QByteArray("\x20\x02\x00\x01", 4));
                if (body[6] != 4) {
                    s->disconnectFromHost();
                    return;
                }
                last_ = s;
            } else if (type == 3) {
                published << QString::fromUtf8(body.mid(2, WordAt(body, 0)));
            } else if (type == 8) { // the packet id, then each filter and its options byte
                for (qsizetype i = 2; i + 2 <= body.size(); i += 3 + WordAt(body, i)) {
                    subscribed << QString::fromUtf8(body.mid(i + 2, WordAt(body, i)));
                }
            }
        }
    }

    QTcpServer server_;
    QHash<QTcpSocket*, QByteArray> buffers_;
    QPointer<QTcpSocket> last_;
};

struct Message {
    bool retained = false;
    int qos = 0;
    QString topic;
    QByteArray payload;
};

// mosquitto_sub on a topic filter, subscribed with QoS 1.
class Subscriber {
  public:
    explicit Subscriber(quint16 port, const QString& filter, const QStringList& extra = {}) {
        process_.start(QStringLiteral("mosquitto_sub"),
                       QStringList{QStringLiteral("-h"), QStringLiteral("127.0.0.1"),
                                   QStringLiteral("-p"), QString::number(port),
                                   QStringLiteral("-q"), QStringLiteral("1"), QStringLiteral("-t"),
                                   filter, QStringLiteral("-F"), QStringLiteral("%r %q %t %p")} +
                           extra);
        process_.waitForStarted(5000);
    }
    ~Subscriber() {
        process_.kill();
        process_.waitForFinished(5000);
    }

    // Every message so far.
    const std::vector<Message>& messages() {
        while (process_.canReadLine()) {
            const QByteArray line = process_.readLine().chopped(1);
            const QList<QByteArray> f = line.split(' ');
            if (f.size() >= 3) {
                messages_.push_back({f[0] == "1", f[1].toInt(), QString::fromUtf8(f[2]),
                                     line.mid(f[0].size() + f[1].size() + f[2].size() + 3)});
            }
        }
        return messages_;
    }
    std::vector<Message> on(const QString& topic) {
        std::vector<Message> out;
        for (const Message& m : messages()) {
            if (m.topic == topic) {
                out.push_back(m);
            }
        }
        return out;
    }
    // Waits until a message on `topic` satisfies `pred` (by default: any message).
    bool waitFor(const QString& topic, const std::function<bool(const Message&)>& pred = {},
                 int timeoutMs = 10000) {
        const QDeadlineTimer deadline(timeoutMs);
        do {
            for (const Message& m : on(topic)) {
                if (!pred || pred(m)) {
                    return true;
                }
            }
            process_.waitForReadyRead(20);
            QCoreApplication::processEvents();
        } while (!deadline.hasExpired());
        return false;
    }
    void clear() {
        messages();
        messages_.clear();
    }

  private:
    QProcess process_;
    std::vector<Message> messages_;
};

} // namespace testing_support
