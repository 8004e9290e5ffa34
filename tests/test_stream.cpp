// The stream's clients in one process: what is published arrives whole and in order, also a
// lone message in an otherwise idle loop (it must not wait for company), and a client that
// stops reading loses messages, counted, without holding up the one that reads.
#include "serve/stream.h"

#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>
#include <QWebSocketServer>

using zurid::serve::Stream;

namespace {

// A stream behind a WebSocket server on a free loopback port.
struct Setup {
    QWebSocketServer server{QStringLiteral("test"), QWebSocketServer::NonSecureMode};
    Stream stream;
    Setup() {
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
        // Handshake by hand, then never read again, with small buffers.
        QTcpSocket stalled;
        stalled.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        stalled.setReadBufferSize(4096);
        stalled.connectToHost(QHostAddress::LocalHost, s.server.serverPort());
        QVERIFY(stalled.waitForConnected());
        stalled.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                      "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                      "Sec-WebSocket-Version: 13\r\n\r\n");
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
};

QTEST_GUILESS_MAIN(StreamTest)
#include "test_stream.moc"
