// The stream's clients in one process: what is published arrives whole and in order, also a
// lone message in an otherwise idle loop (it must not wait for company), a client that stops
// reading loses messages, counted, without holding up the one that reads, a choice of sensors
// that is no choice changes nothing, and a client that answers no ping is dropped.
#include "serve/stream.h"

#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

using zurid::serve::Stream;
using zurid::serve::StreamLimits;

namespace {

// A stream behind a WebSocket server on a free loopback port.
struct Setup {
    QWebSocketServer server{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    Stream stream;
    explicit Setup(StreamLimits limits = {}) : stream(limits) {
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            while (QWebSocket* s = server.nextPendingConnection()) {
                stream.add(s);
            }
        });
        server.listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1/").arg(server.serverPort())); }
};

struct Reader {
    QWebSocket socket;
    QStringList got;
    explicit Reader(const QUrl& url) {
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [this](const QString& m) { got << m; });
        socket.open(url);
    }
};

// A client that does the handshake by hand and then never reads nor answers, with small
// buffers.
void Mute(QTcpSocket& socket, quint16 port) {
    socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    socket.setReadBufferSize(4096);
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected());
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n");
}

} // namespace

class StreamTest : public QObject {
    Q_OBJECT
  private slots:
    void aLoneMessageArrivesInOrderWithTheRest() {
        Setup s;
        Reader r(s.url());
        QTRY_COMPARE(s.stream.clients(), 1);
        QTest::qWait(50); // nothing else going on in the loop
        s.stream.publish(QString(), QStringLiteral("alone"));
        QTRY_COMPARE_WITH_TIMEOUT(r.got, QStringList{"alone"}, 1000);

        QStringList sent;
        for (int i = 0; i < 500; ++i) {
            sent << QStringLiteral("m%1").arg(i);
            s.stream.publish(QString(), sent.last());
        }
        QTRY_COMPARE_WITH_TIMEOUT(r.got.size(), 501, 5000);
        QCOMPARE(r.got.mid(1), sent);
        QCOMPARE(s.stream.dropped(), 0u);
    }

    void aClientThatStopsReadingLosesMessagesNotTheOthers() {
        Setup s;
        Reader reading(s.url());
        QTcpSocket stalled;
        Mute(stalled, s.server.serverPort());
        QTRY_COMPARE(s.stream.clients(), 2);

        const QString block(1000, QLatin1Char('x'));
        int published = 0;
        for (int round = 0; round < 200; ++round) {
            for (int i = 0; i < 50; ++i) {
                s.stream.publish(QString(), block + QString::number(published++));
            }
            QTest::qWait(20);
        }
        QTRY_COMPARE_WITH_TIMEOUT(reading.got.size(), published, 10000);
        for (int i = 0; i < published; i += 997) {
            QVERIFY(reading.got[i].endsWith(QString::number(i)));
        }
        // 10 MB for the stalled one: what the system's buffers do not hold is dropped and
        // counted, not kept.
        QVERIFY2(s.stream.dropped() > 1000u, qPrintable(QString::number(s.stream.dropped())));
    }

    // Each message answered with a greeting (taken) or an error (refused, the choice as it
    // was); then one message for each of COM1-COM3 shows what the client gets now.
    void aChoiceOfSensorsThatIsNoneChangesNothing() {
        Setup s;
        s.stream.greeting = [](const QSet<QString>&) { return QStringList{"hello"}; };
        Reader r(s.url());
        QTRY_COMPARE(r.got, QStringList{"hello"});
        const QStringList coms{"COM1", "COM2", "COM3"};
        const struct {
            const char* message;
            bool taken;
            QStringList gets;
        } cases[] = {
            {R"({"sensors": ["COM1"]})", true, {"COM1"}},
            {R"({"sensors": 5})", false, {"COM1"}},
            {R"({"sensors": null})", false, {"COM1"}},
            {R"({"sensors": [5]})", false, {"COM1"}},
            {R"({"sensors": ["COM2", null]})", false, {"COM1"}},
            {R"({"sensors": {}})", false, {"COM1"}},
            {R"({"sensors": [""]})", false, {"COM1"}},
            {R"({"sensor": "COM2"})", false, {"COM1"}},
            {"[]", false, {"COM1"}},
            {R"({"sensors": "com2,COM3"})", true, {"COM2", "COM3"}},
            {R"({"sensors": "all"})", true, coms},
            {R"({"sensors": ["COM3"]})", true, {"COM3"}},
        };
        for (const auto& c : cases) {
            r.got.clear();
            r.socket.sendTextMessage(QString::fromUtf8(c.message));
            QTRY_COMPARE(r.got.size(), 1);
            QVERIFY2((r.got[0] == "hello") == c.taken, c.message);
            if (!c.taken) {
                QVERIFY2(r.got[0].contains(R"("type":"error")"), qPrintable(r.got[0]));
            }
            r.got.clear();
            for (const QString& com : coms) {
                s.stream.publish(com, com);
            }
            s.stream.publish(QString(), "end");
            QTRY_COMPARE(r.got.value(r.got.size() - 1), QString("end"));
            QVERIFY2(r.got == c.gets + QStringList{"end"}, c.message);
        }
    }

    // A client that answers pings stays, one that neither reads nor answers goes.
    void aClientThatAnswersNoPingIsDropped() {
        StreamLimits limits;
        limits.silentMs = 600;
        Setup s(limits);
        Reader alive(s.url());
        QTcpSocket mute;
        Mute(mute, s.server.serverPort());
        QTRY_COMPARE(s.stream.clients(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(s.stream.clients(), 1, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(mute.state(), QAbstractSocket::UnconnectedState, 5000);
        QTest::qWait(3 * limits.silentMs);
        QCOMPARE(s.stream.clients(), 1);
        QCOMPARE(alive.socket.state(), QAbstractSocket::ConnectedState);
        s.stream.publish(QString(), QStringLiteral("still here"));
        QTRY_COMPARE(alive.got.value(alive.got.size() - 1), QString("still here"));
    }
};

QTEST_GUILESS_MAIN(StreamTest)
#include "test_stream.moc"
