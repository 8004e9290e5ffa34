// zurid serve left on a network, tried as an attacker and as a page left open for a week:
// connection slots that come back however a connection ends, "Connection: close" and HTTP/1.0,
// answers before a refusal on the same connection, the Host check, the headers of every
// answer, the per-address cap, token guessing locked out, and HTTPS/WSS on the same port.
#include "core/params.h"
#include "sim/fleet.h"
#include "support/files.h"
#include "support/serve.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <memory>

using namespace testing_support;

namespace {

QByteArray Get(quint16 port, const QByteArray& target, const QByteArray& extra = {},
               const QByteArray& version = "HTTP/1.1") {
    return "GET " + target + ' ' + version + "\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
           "\r\n" + extra + "\r\n";
}

bool ClosedSoon(QTcpSocket& s) {
    return s.state() == QAbstractSocket::UnconnectedState || s.waitForDisconnected(3000);
}

} // namespace

class ServeGuardTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    QByteArray token;

    quint16 port() const { return serve.port(); }
    QByteArray Authority() const { return "127.0.0.1:" + QByteArray::number(port()); }

  private slots:
    void initTestCase() {
        std::vector<sim::Config> configs(2);
        for (unsigned i = 0; i < configs.size(); ++i) {
            configs[i].wireTime = false;
            configs[i].answerDelay = 0.002;
            configs[i].seed = i + 3;
        }
        fleet = std::make_unique<sim::SensorFleet>(configs);
        QVERIFY(fleet->start());
        QVERIFY2(serve.start({"COM1", "COM2", "--host", "Plant-Line.example"}, fleet->paths(),
                             tmp.filePath("state")),
                 qPrintable(serve.errText()));
        QVERIFY(serve.waitForStatus("ok"));
        token = Contents(tmp.filePath("state/zurid/token")).trimmed();
    }

    void cleanupTestCase() {
        QCOMPARE(serve.terminate(), 0);
        // The lock-out is logged once, however often the address knocks.
        QCOMPARE(serve.errText().count("wrong tokens"), 1);
    }

    // A page that reconnects does this by itself: each WebSocket session ends one way or
    // another, and every one gives its connection slot back.
    void webSocketSessionsGiveTheirSlotsBack() {
        for (int i = 0; i < 200; ++i) {
            QTcpSocket s;
            s.connectToHost("127.0.0.1", port());
            QVERIFY(s.waitForConnected());
            s.write(WebSocketHandshake(Authority()));
            // The answer's first line, or the end of the connection: however slow the server.
            QVERIFY(QTest::qWaitFor(
                [&s] {
                    s.waitForReadyRead(50);
                    return s.canReadLine() || s.state() != QAbstractSocket::ConnectedState;
                },
                10000));
            const QByteArray status = s.readLine();
            QVERIFY2(status.startsWith("HTTP/1.1 101"), status.constData());
            if (i % 2 == 0) {
                s.abort();
            } else {
                s.disconnectFromHost();
            }
        }
        QCOMPARE(Http(port(), "GET", "/").status, 200);
        // Only the scrape itself is open once the server has seen them all go.
        QVERIFY(QTest::qWaitFor([this] { return OpenConnections(port()) == 1; }, 5000));
    }

    void aConnectionEndsWhenItsRequestSaysSo() {
        const struct {
            const char* name;
            QByteArray version;
            QByteArray extra;
            bool stays;
        } cases[] = {
            {"1.1 keeps it", "HTTP/1.1", {}, true},
            {"1.1 with close", "HTTP/1.1", "Connection: close\r\n", false},
            {"1.0 closes", "HTTP/1.0", {}, false},
            {"1.0 with keep-alive", "HTTP/1.0", "Connection: keep-alive\r\n", true},
        };
        for (const auto& c : cases) {
            QTcpSocket s;
            s.connectToHost("127.0.0.1", port());
            QVERIFY(s.waitForConnected());
            s.write(Get(port(), "/api/v1/sensors/COM1", c.extra, c.version));
            const HttpAnswer a = ReadAnswer(s);
            QVERIFY2(a.status == 200, c.name);
            QVERIFY2(a.closed != c.stays, c.name);
            if (c.stays) {
                s.write(Get(port(), "/api/v1/sensors/COM2", c.extra, c.version));
                QVERIFY2(ReadAnswer(s).json()["id"].toString() == "COM2", c.name);
            } else {
                // At once, not after the idle time.
                QVERIFY2(ClosedSoon(s), c.name);
            }
        }
    }

    // Pipelined: what came before a refusal is answered first, in order; then the refusal,
    // then the connection closes.
    void answersComeBeforeTheRefusal() {
        const struct {
            QByteArray second;
            int status;
        } cases[] = {
            {"PATCH /api/v1/sensors/COM1/parameters HTTP/1.1\r\nHost: 127.0.0.1\r\n"
             "Content-Length: 100000\r\n\r\n" +
                 QByteArray(30000, 'x'),
             413},
            {"BREW /pot HTTP/1.1\r\n\r\n", 501},
        };
        for (const auto& c : cases) {
            QTcpSocket s;
            s.connectToHost("127.0.0.1", port());
            QVERIFY(s.waitForConnected());
            s.write(Get(port(), "/api/v1/sensors/COM2") + c.second);
            const HttpAnswer first = ReadAnswer(s);
            QCOMPARE(first.status, 200);
            QCOMPARE(first.json()["id"].toString(), QString("COM2"));
            const HttpAnswer refusal = ReadAnswer(s);
            QCOMPARE(refusal.status, c.status);
            QVERIFY(refusal.closed);
            QVERIFY(ClosedSoon(s));
        }
    }

    // A page of another site whose name points at us (DNS rebinding) names itself in Host.
    void onlyOurHostsAreAnswered() {
        const struct {
            QByteArray host;
            int status;
        } cases[] = {
            {"127.0.0.1", 200},          {"localhost", 200},    {"plant-line.example", 200},
            {"PLANT-LINE.EXAMPLE", 200}, {"evil.example", 421}, {"127.0.0.1.evil.example", 421},
            {"10.1.2.3", 421},
        };
        for (const auto& c : cases) {
            const QByteArray host = c.host + ':' + QByteArray::number(port());
            const HttpAnswer a =
                RawHttp(port(), "GET /api/v1/sensors HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
            QVERIFY2(a.status == c.status, host);
            if (c.status == 421) {
                QCOMPARE(a.errorCode(), QString("foreign_host"));
                QCOMPARE(RawHttp(port(), WebSocketHandshake(host)).status, 421);
            }
        }
        QCOMPARE(RawHttp(port(), "GET / HTTP/1.1\r\n\r\n").status, 400); // 1.1 names its host
        QCOMPARE(RawHttp(port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nHost: evil.example\r\n\r\n")
                     .status,
                 400);
    }

    void everyAnswerCarriesTheHeaders() {
        const QList<QByteArray> requests{
            Get(port(), "/"),
            Get(port(), "/nothing/here"),
            "GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n",
            "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + QByteArray(20000, 'a') + "\r\n\r\n",
        };
        for (const QByteArray& r : requests) {
            const HttpAnswer a = RawHttp(port(), r);
            QVERIFY2(a.status != 0, r.left(40));
            const QByteArray csp = a.header("Content-Security-Policy");
            QVERIFY2(csp.contains("script-src 'self'") && csp.contains("frame-ancestors 'none'") &&
                         !csp.contains("unsafe-inline"),
                     csp);
            QCOMPARE(a.header("X-Frame-Options"), QByteArray("DENY"));
            QCOMPARE(a.header("Referrer-Policy"), QByteArray("no-referrer"));
        }
    }

    void oneAddressHoldsSixteenConnectionsAtMost() {
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 15; ++i) { // and the one that counts them, then one more
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost("127.0.0.1", port());
            QVERIFY(held.back()->waitForConnected());
        }
        QVERIFY(QTest::qWaitFor([this] { return OpenConnections(port()) == 16; }, 5000));
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->connectToHost("127.0.0.1", port());
        QVERIFY(held.back()->waitForConnected());
        const HttpAnswer refused = Http(port(), "GET", "/api/v1/sensors");
        QCOMPARE(refused.status, 503);
        QVERIFY2(refused.json()["error"].toObject()["message"].toString().contains("127.0.0.1"),
                 refused.body);
        held.clear();
        QVERIFY(QTest::qWaitFor([this] { return OpenConnections(port()) == 1; }, 5000));
    }

    // The first Authorization header counts, as with any other header.
    void theFirstAuthorizationCounts() {
        const HttpAnswer read = Http(port(), "GET", "/api/v1/sensors/COM1/parameters");
        const int threshold =
            read.json()["bytes"].toArray()[zurid::core::FindParam("THRESHOLD")->pos].toInt(-1);
        QVERIFY(threshold >= 0);
        const QByteArray body = "{\"THRESHOLD\": " + QByteArray::number(threshold) + "}";
        const HttpAnswer a = RawHttp(
            port(), "PATCH /api/v1/sensors/COM1/parameters HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Authorization: Bearer " +
                        token + "\r\nAuthorization: Bearer wrong-wrong-wrong\r\nContent-Length: " +
                        QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QCOMPARE(a.status, 200);
        QCOMPARE(a.json()["written"].toBool(true), false);
    }

    // Clients that vanish in every way at once, for a few seconds: pipelined reads cut off,
    // handshakes cut off, stream clients that stop reading and then reset. The server lives
    // on and every slot comes back.
    void clientsThatVanishLeaveNothingBehind() {
        const QByteArray reads = QByteArray("GET /api/v1/sensors/COM1/parameters HTTP/1.1\r\n"
                                            "Host: 127.0.0.1\r\n\r\n")
                                     .repeated(20);
        std::vector<std::unique_ptr<QTcpSocket>> stalled;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 3000) {
            for (const QByteArray& bytes : {reads, WebSocketHandshake(Authority())}) {
                QTcpSocket s;
                s.connectToHost("127.0.0.1", port());
                QVERIFY(s.waitForConnected());
                s.write(bytes);
                s.waitForBytesWritten();
                QTest::qWait(5);
                s.abort();
            }
            if (stalled.size() < 8) {
                stalled.push_back(std::make_unique<QTcpSocket>());
                stalled.back()->setReadBufferSize(1024);
                stalled.back()->connectToHost("127.0.0.1", port());
                QVERIFY(stalled.back()->waitForConnected());
                stalled.back()->write(WebSocketHandshake(Authority()) +
                                      "\x81\x8e\0\0\0\0{\"sensors\": 5}");
            } else {
                stalled.clear(); // reset, with the stream's messages unread
            }
        }
        stalled.clear();
        QCOMPARE(serve.process().state(), QProcess::Running);
        QCOMPARE(Http(port(), "GET", "/api/v1/sensors/COM1").status, 200);
        QVERIFY(QTest::qWaitFor([this] { return OpenConnections(port()) == 1; }, 5000));
    }

    // Last: it locks this address out of writes for a minute.
    void wrongTokensLockTheAddressOut() {
        const QByteArray body = "{\"THRESHOLD\": 80}";
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(Http(port(), "PATCH", "/api/v1/sensors/COM1/parameters", body,
                          "not-the-token-" + QByteArray::number(i))
                         .status,
                     403);
        }
        for (const QByteArray& t : {QByteArray("not-the-token"), token}) {
            const HttpAnswer a = Http(port(), "PATCH", "/api/v1/sensors/COM1/parameters", body, t);
            QCOMPARE(a.status, 429);
            const int wait = a.header("Retry-After").toInt();
            QVERIFY2(wait > 50 && wait <= 60, a.head);
        }
        QCOMPARE(Http(port(), "GET", "/api/v1/sensors/COM1").status, 200); // reads stay open
    }
};

// HTTPS and WSS on the port, with a certificate made here; plain HTTP there gets a plain answer
// that names the scheme, at once.
class ServeTlsTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    QSslConfiguration client;

    QString file(const char* name) const { return tmp.filePath(QLatin1String(name)); }

  private slots:
    void initTestCase() {
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext",
                       "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", file("key.pem"),
                       "-out", file("cert.pem")});
        if (!openssl.waitForFinished(20000) || openssl.exitCode() != 0) {
            if (qEnvironmentVariableIsSet("CI")) {
                QFAIL("openssl cannot make a certificate");
            }
            QSKIP("no openssl to make a certificate");
        }
        QFile::setPermissions(file("key.pem"), QFile::ReadOwner | QFile::WriteOwner);
        fleet = std::make_unique<sim::SensorFleet>(std::vector<sim::Config>(1));
        QVERIFY(fleet->start());
        QVERIFY2(serve.start({"COM1", "--tls-cert", file("cert.pem"), "--tls-key", file("key.pem")},
                             fleet->paths(), file("state")),
                 qPrintable(serve.errText()));
        QVERIFY(serve.errText().contains("serving https://"));
        client = QSslConfiguration::defaultConfiguration();
        client.setCaCertificates(QSslCertificate::fromPath(file("cert.pem")));
    }

    void cleanupTestCase() { QCOMPARE(serve.terminate(), 0); }

    void httpsAndWssWorkPlainHttpIsTold() {
        QSslSocket s;
        s.setSslConfiguration(client);
        s.connectToHostEncrypted("localhost", serve.port());
        QVERIFY2(s.waitForEncrypted(10000), qPrintable(s.errorString()));
        QVERIFY(QTest::qWaitFor(
            [&] {
                s.write(Get(serve.port(), "/api/v1/sensors/COM1"));
                return ReadAnswer(s).json()["status"].toString() == "ok";
            },
            15000));

        QWebSocket ws;
        ws.setSslConfiguration(client);
        int messages = 0;
        connect(&ws, &QWebSocket::textMessageReceived, this, [&messages] { ++messages; });
        ws.open(QUrl(QStringLiteral("wss://localhost:%1/api/v1/stream").arg(serve.port())));
        QTRY_VERIFY_WITH_TIMEOUT(messages > 0, 10000);

        // Plain HTTP to the port: told so, at once.
        const HttpAnswer plain = RawHttp(serve.port(), Get(serve.port(), "/"), 3000);
        QCOMPARE(plain.status, 400);
        QCOMPARE(plain.errorCode(), QString("tls_required"));
    }

    void aKeyOthersCanReadIsRefused() {
        QFile::copy(file("key.pem"), file("open-key.pem"));
        QFile::setPermissions(file("open-key.pem"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        ServeProcess refused;
        QVERIFY(!refused.start(
            {"COM1", "--tls-cert", file("cert.pem"), "--tls-key", file("open-key.pem")},
            fleet->paths(), file("state2")));
        QCOMPARE(refused.terminate(), 2);
        QVERIFY2(refused.errText().contains(file("open-key.pem")), qPrintable(refused.errText()));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ServeGuardTest guard;
    ServeTlsTest tls;
    return QTest::qExec(&guard, argc, argv) | QTest::qExec(&tls, argc, argv);
}

#include "test_serve_guard.moc"
