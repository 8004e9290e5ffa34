// Test helpers: a real mosquitto broker on a free loopback port (its configuration in a
// temporary folder), and mosquitto_sub as an observer that owes nothing to our code: it prints
// every message with its retain flag and QoS.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
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
