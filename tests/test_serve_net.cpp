// zurid serve on the network, as the real program over real sockets: our limits on requests
// and connections (Qt's server has none), the WebSocket stream with its choice of sensors and
// its Origin check, a pulled plug and the sensor coming back, SIGTERM in the middle of jobs,
// --read-only, and the token file's rules; a flood of reads that starves no sensor.
#include "sim/fleet.h"
#include "support/files.h"
#include "support/requests.h"
#include "support/serve.h"
#include "support/streamclient.h"

#include "sensors/manifest.h"

#include <QDir>
#include <QJsonArray>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QWebSocket>

#include <csignal>
#include <memory>

using namespace testing_support;

namespace {

std::vector<sim::Config> Configs(unsigned n, bool wireTime) {
    std::vector<sim::Config> out(n);
    for (unsigned i = 0; i < n; ++i) {
        out[i].wireTime = wireTime;
        out[i].answerDelay = 0.002;
        out[i].ram = sim::defaultBlock();
        out[i].eeprom = sim::defaultBlock();
        out[i].seed = i + 7;
    }
    return out;
}

// Readings a second of each sensor between two lists of them, by the readings' own times.
std::vector<double> Rates(const QJsonArray& from, const QJsonArray& to) {
    std::vector<double> out;
    for (qsizetype i = 0; i < from.size(); ++i) {
        const QJsonObject a = from[i].toObject(), b = to[i].toObject();
        out.push_back(double(b["readings"].toInteger() - a["readings"].toInteger()) /
                      (b["reading"]["t"].toDouble() - a["reading"]["t"].toDouble()));
    }
    return out;
}

} // namespace

class ServeNetTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorFleet> fleet;
    QStringList links; // the server's ports: links to the simulator's terminals, as by-id links
    ServeProcess serve;

    quint16 port() const { return serve.port(); }
    QByteArray Authority() const { return "127.0.0.1:" + QByteArray::number(port()); }

    void link(int i) {
        QFile::remove(links[i]);
        QVERIFY(QFile::link(QString::fromStdString(fleet->at(i).path()), links[i]));
    }

  private slots:
    void initTestCase() {
        fleet = std::make_unique<sim::SensorFleet>(Configs(2, false));
        QVERIFY(fleet->start());
        for (int i = 0; i < 2; ++i) {
            links << tmp.filePath(QStringLiteral("ttyLINE%1").arg(i + 1));
            link(i);
        }
        QVERIFY2(serve.start({"COM1", "COM2", "--max-connections", "6", "--idle-timeout", "2"},
                             {links[0].toStdString(), links[1].toStdString()},
                             tmp.filePath("state")),
                 qPrintable(serve.errText()));
        QVERIFY(serve.waitForStatus("ok"));
    }

    void cleanupTestCase() { QCOMPARE(serve.terminate(), 0); }

    void requestsOverOurLimitsAreRefused() {
        const struct {
            QByteArray request;
            int status;
        } cases[] = {
            {"GET /api/v1/sensors HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + QByteArray(20000, 'a') +
                 "\r\n\r\n",
             431},
            {"GET /api/v1/sensors HTTP/1.1\r\n" +
                 QByteArray("X-Many: 0123456789\r\n").repeated(900),
             431}, // never ends: refused once it is too long
            {"PATCH /api/v1/sensors/COM1/parameters HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
             "100000\r\n\r\n",
             413}, // refused before the body comes
            {"GET /" + QByteArray(9000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 414},
            {"POST /api/v1/backups HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
             411},
            {"GET /api/v1/sensors HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
            {"BREW /pot HTTP/1.1\r\n\r\n", 501},
            {"GET api/v1/sensors HTTP/1.1\r\n\r\n", 400},
            {"GET /api/v1/sensors HTTP/1.1\r\n folded: header\r\n\r\n", 400},
        };
        for (const auto& c : cases) {
            QTcpSocket s;
            s.connectToHost("127.0.0.1", port());
            QVERIFY(s.waitForConnected());
            s.write(c.request);
            const HttpAnswer a = ReadAnswer(s);
            QVERIFY2(a.status == c.status, c.request.left(60));
            QVERIFY(a.closed);
            QVERIFY(a.json()["error"].toObject().contains("message"));
            QVERIFY(s.state() == QAbstractSocket::UnconnectedState || s.waitForDisconnected(5000));
        }
        // Two requests in one piece: two answers, in order, on the same connection.
        QTcpSocket s;
        s.connectToHost("127.0.0.1", port());
        QVERIFY(s.waitForConnected());
        s.write("GET /api/v1/sensors/COM2 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                "GET /api/v1/sensors/COM1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        QCOMPARE(ReadAnswer(s).json()["id"].toString(), QString("COM2"));
        QCOMPARE(ReadAnswer(s).json()["id"].toString(), QString("COM1"));
    }

    void connectionsHaveACapAndAnIdleTime() {
        // Only the poll itself is open when the count starts.
        QVERIFY(PollJson(port(), "/api/v1/sensors", [this](const QJsonObject&) {
            return Http(port(), "GET", "/metrics").body.contains("zurid_http_connections 1\n");
        }));
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < 6; ++i) {
            held.push_back(std::make_unique<QTcpSocket>());
            held.back()->connectToHost("127.0.0.1", port());
            QVERIFY(held.back()->waitForConnected());
        }
        held[0]->write("GET /api/v1/sen"); // half a request keeps no connection alive either
        const HttpAnswer refused = Http(port(), "GET", "/api/v1/sensors");
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.errorCode(), QString("too_many_connections"));
        // Idle ones are closed by the server.
        for (const auto& s : held) {
            QVERIFY(s->state() == QAbstractSocket::UnconnectedState ||
                    s->waitForDisconnected(10000));
        }
        QVERIFY(PollJson(port(), "/api/v1/sensors", [](const QJsonObject&) { return true; }));
    }

    void theStreamSendsTheSensorsAClientNames() {
        StreamClient c;
        QVERIFY(c.open(port(), "?sensors=com2"));
        QTRY_VERIFY_WITH_TIMEOUT(c.count("reading") >= 5, 10000);
        QCOMPARE(c.messages.first()["type"].toString(), QString("status"));
        for (const QJsonObject& m : c.messages) {
            QCOMPARE(m["sensor"].toString(), QString("COM2"));
        }
        const QJsonObject r = c.messages.last();
        for (const char* key : {"t", "DAT0", "DAT1", "NORM", "IN0", "IN1", "EDGE"}) {
            QVERIFY2(r.contains(key), key);
        }

        c.socket.sendTextMessage(R"({"sensors": ["COM1"]})");
        QTRY_VERIFY_WITH_TIMEOUT(c.saw("COM1", "ok"), 5000);
        const qsizetype from = c.messages.size();
        QTRY_VERIFY_WITH_TIMEOUT(c.count("reading", "COM1") >= 5, 10000);
        for (qsizetype i = from; i < c.messages.size(); ++i) {
            QCOMPARE(c.messages[i]["sensor"].toString(), QString("COM1"));
        }

        // A parameter change shows on the stream.
        const QByteArray token = Contents(tmp.filePath("state/zurid/token")).trimmed();
        QCOMPARE(
            Http(port(), "PATCH", "/api/v1/sensors/COM1/parameters", R"({"THRESHOLD": 33})", token)
                .status,
            200);
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(c.messages.begin(), c.messages.end(),
                                             [](const QJsonObject& m) {
                                                 return m["type"] == "parameters" &&
                                                        m["memory"] == "ram" &&
                                                        m["bytes"].toArray()[0].toInt() == 33;
                                             }),
                                 5000);
    }

    void aForeignOriginIsRefusedAtTheHandshake() {
        const QByteArray self = "http://127.0.0.1:" + QByteArray::number(port());
        QCOMPARE(RawHttp(port(),
                         WebSocketHandshake(Authority(), "/api/v1/stream", "http://evil.example"))
                     .status,
                 403);
        QCOMPARE(RawHttp(port(), WebSocketHandshake(Authority(), "/api/v1/stream", "null")).status,
                 403);
        QCOMPARE(RawHttp(port(), WebSocketHandshake(Authority(), "/api/v1/stream", self)).status,
                 101);
        QCOMPARE(RawHttp(port(), WebSocketHandshake(Authority(), "/api/v1/stream?sensors=COM1", {}))
                     .status,
                 101);
        QCOMPARE(RawHttp(port(), WebSocketHandshake(Authority(), "/api/v1/sensors", {})).status,
                 404);
        StreamClient foreign(QStringLiteral("http://evil.example"));
        QVERIFY(!foreign.open(port()));
        QVERIFY(foreign.messages.isEmpty());
    }

    void aPulledPlugIsAbsentAndComesBack() {
        StreamClient c;
        QVERIFY(c.open(port()));
        fleet->at(1).hangUp();
        QVERIFY(PollJson(port(), "/api/v1/sensors", [](const QJsonObject& o) {
            const QJsonArray s = o["sensors"].toArray();
            return s[0].toObject()["status"] == "ok" && s[1].toObject()["status"] == "absent";
        }));
        QTRY_VERIFY_WITH_TIMEOUT(c.saw("COM2", "absent"), 5000);
        const HttpAnswer a = Http(port(), "GET", "/api/v1/sensors/COM2/parameters");
        QCOMPARE(a.status, 503);
        QCOMPARE(a.errorCode(), QString("sensor_absent"));
        QVERIFY(Http(port(), "GET", "/metrics")
                    .body.contains("zurid_sensor_status{sensor=\"COM2\",status=\"absent\"} 1"));

        // Plugged in again (a new terminal behind the same link, as a by-id link would do).
        fleet->at(1).stop();
        QVERIFY(fleet->at(1).start());
        link(1);
        QVERIFY(PollJson(port(), "/api/v1/sensors/COM2",
                         [](const QJsonObject& o) { return o["status"] == "ok"; }));
        QTRY_VERIFY_WITH_TIMEOUT(c.saw("COM2", "ok"), 5000);
        const qsizetype readings = c.count("reading", "COM2");
        QTRY_VERIFY_WITH_TIMEOUT(c.count("reading", "COM2") > readings + 3, 10000);
    }

    // Last of the shared server's cases: it ends the shared server.
    void aBusyPortIsNamedAndTriedAgain() {
        ServeProcess second;
        QVERIFY(second.start({"COM1", "COM2"}, {links[0].toStdString(), links[1].toStdString()},
                             tmp.filePath("second")));
        QVERIFY2(second.errText().count("in use") == 2, qPrintable(second.errText()));
        const QJsonObject com1 = Http(second.port(), "GET", "/api/v1/sensors/COM1").json();
        QCOMPARE(com1["status"].toString(), QString("error"));
        QVERIFY2(com1["message"].toString().contains("in use"),
                 qPrintable(com1["message"].toString()));
        const QByteArray token = Contents(tmp.filePath("second/zurid/token")).trimmed();
        HttpAnswer a = Http(second.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                            R"({"THRESHOLD": 5})", token);
        QCOMPARE(a.status, 409);
        QCOMPARE(a.errorCode(), QString("busy"));
        QCOMPARE(Http(second.port(), "GET", "/api/v1/sensors/COM2/buffer").status, 409);

        // Once the first server is gone, the second one takes the ports over by itself.
        QCOMPARE(serve.terminate(), 0);
        QVERIFY(second.waitForStatus("ok"));
        QCOMPARE(second.terminate(), 0);
    }

    // SIGTERM while a job is under way, at a point the test knows: after the job's first write,
    // with a sensor that holds the job up (it stops answering, or answers late) well past the
    // moment the signal comes.
    void sigtermInTheMiddleOfJobsLeavesWholeFiles() {
        sim::SensorFleet line(Configs(2, true));
        QVERIFY(line.start());
        const QString state = tmp.filePath("jobs"), backups = state + "/zurid/backups";
        auto server = std::make_unique<ServeProcess>();
        QVERIFY(server->start({"COM1", "COM2"}, line.paths(), state));
        QVERIFY(server->waitForStatus("ok"));
        const QByteArray token = Contents(state + "/zurid/token").trimmed();
        QCOMPARE(
            Http(server->port(), "POST", "/api/v1/backups", R"({"name": "keep"})", token).status,
            202);
        QVERIFY(PollJson(server->port(), "/api/v1/jobs/1",
                         [](const QJsonObject& o) { return o["state"] == "done"; }));
        const auto before = Snapshot(backups);
        QCOMPARE(before.size(), 5);
        const auto running = [&server](int job) {
            return Http(server->port(), "GET", "/api/v1/jobs/" + QByteArray::number(job))
                       .json()["state"] == "running";
        };

        // A restore that has written COM1's EEPROM: COM1 answers nothing after that write, so
        // the job waits for its read-back when the signal comes. It ends cleanly, the backup as
        // it was, and COM1 got no second write.
        sim::SensorSim& com1 = line.at(0);
        com1.setRequestHook([&com1](const sim::Request& r) {
            if (r.bytes.size() > 1 && (r.bytes[1] == 1 || r.bytes[1] == 2)) {
                com1.setFault(sim::Fault::Silent);
            }
        });
        QCOMPARE(
            Http(server->port(), "POST", "/api/v1/backups/keep/restore", R"({"ram": true})", token)
                .status,
            202);
        QVERIFY(QTest::qWaitFor([&com1] { return Writes(com1) > 0; }, 15000));
        QVERIFY(running(2));
        QCOMPARE(server->terminate(), 0);
        QCOMPARE(Snapshot(backups), before);
        QCOMPARE(Writes(com1), 1);
        com1.setRequestHook({});
        com1.setFault(sim::Fault::None);

        // A backup over it that has written COM1's new set, while COM2 answers its reads late:
        // the folder holds whole files only, named by a manifest that says it was interrupted
        // and keeps COM2's earlier set.
        server = std::make_unique<ServeProcess>();
        QVERIFY(server->start({"COM1", "COM2"}, line.paths(), state));
        QVERIFY(server->waitForStatus("ok"));
        sim::Block changed = sim::defaultBlock();
        changed[0] = static_cast<std::uint8_t>(changed[0] + 1);
        com1.setRam(changed);
        com1.setEeprom(changed);
        line.at(1).setLateSeconds(2.0); // within the reply limit: slow, not failing
        line.at(1).setFault(sim::Fault::Late, (1U << 3) | (1U << 4) | (1U << 7));
        QCOMPARE(
            Http(server->port(), "POST", "/api/v1/backups", R"({"name": "keep"})", token).status,
            202);
        QVERIFY(PollJson(server->port(), "/api/v1/jobs/1", [](const QJsonObject& o) {
            return o["ports"].toArray().at(0)["result"] == "ok";
        }));
        QVERIFY(running(1));
        QCOMPARE(server->terminate(), 0);
        line.at(1).setFault(sim::Fault::None);
        const auto m = zurid::sensors::LoadBackup(zurid::sensors::FolderReader(backups + "/keep"));
        QVERIFY2(m, qPrintable(m.error()));
        QVERIFY(!m->complete);
        QCOMPARE(m->entries.size(), 2);
        QCOMPARE(m->entries[0].eeprom, changed);
        QVERIFY(m->entries[0].kept.isEmpty());
        QCOMPARE(m->entries[1].kept, QString("interrupted"));
        QStringList named{"manifest.json"};
        for (const zurid::sensors::ManifestEntry& e : m->entries) {
            named << e.ramFile << e.eepromFile;
        }
        named.sort();
        QCOMPARE(Snapshot(backups + "/keep").keys(), named); // nothing half-written beside them
    }

    // Two clients pipeline reads of COM1 and leave: the other sensors do not notice, an
    // operator's change goes through meanwhile, and nothing of theirs is left for COM1 to do.
    void aFloodOfReadsStarvesNoSensor() {
        sim::SensorFleet line(Configs(3, true));
        QVERIFY(line.start());
        const QString state = tmp.filePath("flood");
        ServeProcess server;
        QVERIFY(server.start({"COM1", "COM2", "COM3"}, line.paths(), state));
        QVERIFY(server.waitForStatus("ok"));
        const QByteArray token = Contents(state + "/zurid/token").trimmed();
        const auto sensors = [&server] {
            return Http(server.port(), "GET", "/api/v1/sensors").json()["sensors"].toArray();
        };
        const QJsonArray before = sensors();
        QTest::qWait(2000);
        const QJsonArray start = sensors();

        std::vector<std::unique_ptr<QTcpSocket>> flood;
        for (int i = 0; i < 2; ++i) {
            flood.push_back(std::make_unique<QTcpSocket>());
            flood.back()->connectToHost("127.0.0.1", server.port());
            QVERIFY(flood.back()->waitForConnected());
            flood.back()->write(
                QByteArray("GET /api/v1/sensors/COM1/parameters HTTP/1.1\r\nHost: x\r\n\r\n")
                    .repeated(50));
            QVERIFY(flood.back()->waitForBytesWritten());
        }
        const HttpAnswer patch = Http(server.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                                      R"({"THRESHOLD": 77})", token, 5000);
        QCOMPARE(patch.status, 200);
        QCOMPARE(line.at(0).ram()[0], std::uint8_t(77));
        for (const auto& s : flood) {
            s->close();
        }
        const qint64 left = sensors()[0].toObject()["readings"].toInteger();
        QVERIFY(PollJson(
            server.port(), "/api/v1/sensors/COM1",
            [left](const QJsonObject& o) { return o["readings"].toInteger() > left + 3; }, 2000));
        const std::vector<double> usual = Rates(before, start), flooded = Rates(start, sensors());
        for (int i : {1, 2}) {
            QVERIFY2(
                flooded[i] >= 0.95 * usual[i],
                qPrintable(
                    QString("COM%1: %2 of %3 a second").arg(i + 1).arg(flooded[i]).arg(usual[i])));
        }
        QCOMPARE(server.terminate(), 0);
    }

    void readOnlyRefusesEveryWrite() {
        sim::SensorFleet line(Configs(1, false));
        QVERIFY(line.start());
        const QString state = tmp.filePath("ro");
        ServeProcess server;
        QVERIFY(server.start({"COM1", "--read-only"}, line.paths(), state));
        QVERIFY(server.waitForStatus("ok"));
        const QByteArray token = Contents(state + "/zurid/token").trimmed();
        line.at(0).clearRequests();
        for (const auto& [method, target, body] :
             {std::tuple{"PATCH", "/api/v1/sensors/COM1/parameters", R"({"THRESHOLD": 1})"},
              std::tuple{"POST", "/api/v1/backups", R"({"name": "ro"})"},
              std::tuple{"POST", "/api/v1/backups/ro/verify", ""},
              std::tuple{"POST", "/api/v1/backups/ro/restore", "{}"}}) {
            // Whatever the token: the answer tells nothing about it.
            for (const QByteArray& t : {token, QByteArray(), token + "x"}) {
                const HttpAnswer a = Http(server.port(), method, target, body, t);
                QVERIFY2(a.status == 403, target);
                QCOMPARE(a.errorCode(), QString("read_only"));
            }
        }
        QCOMPARE(Http(server.port(), "GET", "/api/v1/sensors/COM1/parameters").status, 200);
        QCOMPARE(Writes(line), 0);
        QVERIFY(!QFileInfo::exists(state + "/zurid/backups/ro"));
        QCOMPARE(server.terminate(), 0);
    }

    // Under umask 000 the folders the server makes are 0700 and its files 0600; the folder
    // the user made stays as it was.
    void theServersFoldersAreItsOwnWhateverTheUmask() {
        sim::SensorFleet line(Configs(1, false));
        QVERIFY(line.start());
        const QString home = tmp.filePath("umask"), state = home + "/zurid";
        QVERIFY(QDir().mkpath(home));
        QVERIFY(QFile::setPermissions(home, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                QFile::ReadOther | QFile::ExeOther));
        const UmaskSet none(0);
        ServeProcess server;
        QVERIFY(server.start({"COM1"}, line.paths(), home));
        QVERIFY(server.waitForStatus("ok"));
        const QByteArray token = Contents(state + "/token").trimmed();
        QCOMPARE(Http(server.port(), "POST", "/api/v1/backups", R"({"name": "u"})", token).status,
                 202);
        QVERIFY(PollJson(server.port(), "/api/v1/jobs/1",
                         [](const QJsonObject& o) { return o["state"] == "done"; }));
        QCOMPARE(server.terminate(), 0);
        QCOMPARE(Mode(home), 0705);
        for (const QString& folder : {state, state + "/backups", state + "/backups/u"}) {
            QVERIFY2(Mode(folder) == 0700, qPrintable(folder));
        }
        const auto files = Snapshot(state).keys();
        QCOMPARE(files.size(), 4); // the token, the manifest, two parameter files
        for (const QString& file : files) {
            QVERIFY2(Mode(state + "/" + file) == 0600, qPrintable(file));
        }
    }

    void theTokenFileRules() {
        const QString file = tmp.filePath("open-token");
        Put(file, "0123456789abcdef0123456789abcdef\n");
        QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        ServeProcess refused;
        QVERIFY(!refused.start({"COM1", "--token-file", file}, fleet->paths(), tmp.filePath("t")));
        QCOMPARE(refused.terminate(), 2);
        QVERIFY2(refused.errText().contains(file), qPrintable(refused.errText()));
        QVERIFY(!refused.errText().contains("serving"));

        // Beyond this machine without a token file of its own and without TLS: a warning line
        // for each.
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_STATE_HOME", tmp.filePath("wide"));
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationDirPath() + "/zurid",
                {"serve", tmp.filePath("no-such-tty"), "--listen", "0.0.0.0:0"});
        QString err;
        QTRY_VERIFY_WITH_TIMEOUT((err += p.readAllStandardError()).contains("serving"), 10000);
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        QVERIFY(p.waitForFinished(10000));
        err += p.readAllStandardError();
        QCOMPARE(p.exitCode(), 0);
        QCOMPARE(err.count("warning"), 2);
        QVERIFY2(err.contains("without TLS"), qPrintable(err));
    }
};

QTEST_GUILESS_MAIN(ServeNetTest)
#include "test_serve_net.moc"
