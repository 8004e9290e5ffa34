// The MQTT bridge against a real mosquitto on a loopback port, watched by mosquitto_sub: which
// topics are retained and with which QoS, the Last Will, a broker that is absent at start and
// one that restarts, two prefixes side by side, commands and their refusals (retained ones
// and ones too large among them), a broker without MQTT 5, the live period, a broker that
// stops reading, TLS and credentials.
#include "serve/mqtt/bridge.h"
#include "support/files.h"
#include "support/mosquitto.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <set>

using namespace testing_support;
using namespace zurid::serve::mqtt;
using zurid::sensors::Memory;
using zurid::serve::Answer;
using zurid::serve::ErrorKind;

namespace {

const QString kToken = QStringLiteral("0123456789abcdef0123456789abcdef");

// The line as the bridge sees it: sensors COM1 and COM2, the token, and every write asked for.
class Line : public CommandTarget {
  public:
    struct Write {
        QString sensor;
        Memory memory;
        QJsonObject values;
    };
    std::vector<Write> writes;
    bool answers = true; // false: writes never end
    std::vector<std::function<void(const Answer&)>> unanswered;

    bool hasSensor(const QString& id) const override { return id == "COM1" || id == "COM2"; }
    std::optional<Answer> refuseWrite(const QString& token, Memory) const override {
        if (token == kToken) {
            return std::nullopt;
        }
        return Answer::failure(ErrorKind::NotPermitted, "wrong token");
    }
    void writeParameters(const QString& id, const Command& c,
                         std::function<void(const Answer&)> done) override {
        writes.push_back({id, c.memory, c.values});
        const QJsonObject values = c.values;
        if (!answers) {
            unanswered.push_back(std::move(done));
            return;
        }
        QTimer::singleShot(0, [done, values] { done(Answer::json({{"changed", values}})); });
    }
};

BridgeOptions Options(quint16 port, const QString& prefix, const QString& scheme = "mqtt") {
    BridgeOptions o;
    o.broker = *ParseBrokerUrl(QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port));
    o.prefix = prefix;
    o.client.backoffFirstMs = 100;
    o.client.backoffMaxMs = 400;
    o.client.connectTimeoutMs = 3000;
    return o;
}

QJsonObject Sensor(const char* status) {
    return {{"id", "COM1"},         {"status", status},  {"device", "/dev/pts/9"},
            {"location", "line-7"}, {"version", "V1.0"}, {"rate", 18.5}};
}

QByteArray Reading(const char* sensor, int n) {
    return QStringLiteral(R"({"sensor":"%1","t":%2,"NORM":%3})")
        .arg(QLatin1String(sensor))
        .arg(n)
        .arg(n % 256)
        .toUtf8();
}

// A command with the right token unless another is given.
QByteArray CommandText(const char* id, const char* memory, const QByteArray& values,
                       const QString& token = kToken) {
    return QJsonDocument(QJsonObject{{"id", id},
                                     {"memory", memory},
                                     {"values", QJsonDocument::fromJson(values).object()},
                                     {"token", token}})
        .toJson(QJsonDocument::Compact);
}

QJsonObject Json(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object();
}

// Whether `sub` has the retained topics of one connected sensor under `t`: online, the sensor
// status and both parameter sets, each retained with QoS 1.
bool HasRetainedTree(Subscriber& sub, const Topics& t) {
    for (const QString& topic :
         {t.status(), t.sensorStatus("COM1"), t.parameters("COM1", Memory::Ram),
          t.parameters("COM1", Memory::Eeprom)}) {
        if (!sub.waitFor(topic, [](const Message& m) { return m.retained && m.qos == 1; })) {
            qWarning("no retained message on %s", qPrintable(topic));
            return false;
        }
    }
    return sub.on(t.status()).back().payload == "online";
}

void Feed(Bridge& b) {
    b.sensorChanged("COM1", Sensor("ok"));
    b.parametersChanged("COM1", Memory::Ram, {{"THRESHOLD", 100}});
    b.parametersChanged("COM1", Memory::Eeprom, {{"THRESHOLD", 90}});
}

} // namespace

class MqttBrokerTest : public QObject {
    Q_OBJECT

  private slots:
    void retainedTopicsAndTheirFlags() {
        Mosquitto broker;
        QVERIFY(broker.start());
        Bridge b(Options(broker.port(), "t/flags"), nullptr);
        QVERIFY(b.start().ok());
        Subscriber early(broker.port(), "t/flags/#");
        const Topics& t = b.topics();
        QVERIFY(early.waitFor(t.status())); // connected, and the subscription in place
        Feed(b);
        b.reading("COM1", Reading("COM1", 1));
        QVERIFY(early.waitFor(t.live("COM1")));
        const Message live = early.on(t.live("COM1")).front();
        QVERIFY(!live.retained);
        QCOMPARE(live.qos, 0);
        QCOMPARE(live.payload, Reading("COM1", 1));

        // A subscriber that comes later finds the state, and only the state, retained.
        Subscriber late(broker.port(), "t/flags/#");
        QVERIFY(HasRetainedTree(late, t));
        QCOMPARE(Json(late.on(t.sensorStatus("COM1")).front().payload),
                 (QJsonObject{{"status", "ok"},
                              {"device", "/dev/pts/9"},
                              {"location", "line-7"},
                              {"version", "V1.0"}}));
        QCOMPARE(Json(late.on(t.parameters("COM1", Memory::Eeprom)).front().payload),
                 (QJsonObject{{"THRESHOLD", 90}}));

        // A status that did not change is not sent again; one that did is.
        b.sensorChanged("COM1", Sensor("ok"));
        b.sensorChanged("COM1", Sensor("timeout"));
        QVERIFY(early.waitFor(t.sensorStatus("COM1"), [](const Message& m) {
            return Json(m.payload).value("status") == "timeout";
        }));
        QCOMPARE(early.on(t.sensorStatus("COM1")).size(), std::size_t(2));
        QVERIFY(late.on(t.live("COM1")).empty());
    }

    void lastWillAndCleanStop() {
        Mosquitto broker;
        QVERIFY(broker.start());
        Subscriber sub(broker.port(), "t/will/status");
        auto b = std::make_unique<Bridge>(Options(broker.port(), "t/will"), nullptr);
        QVERIFY(b->start().ok());
        QVERIFY(
            sub.waitFor("t/will/status", [](const Message& m) { return m.payload == "online"; }));
        // Gone without a word, as a killed process: the broker sends the Last Will, retained.
        b.reset();
        QVERIFY(
            sub.waitFor("t/will/status", [](const Message& m) { return m.payload == "offline"; }));
        Subscriber late(broker.port(), "t/will/status");
        QVERIFY(late.waitFor("t/will/status", [](const Message& m) {
            return m.retained && m.payload == "offline";
        }));

        // Back, then stopped cleanly: online, then offline retained, and stopped() comes.
        b = std::make_unique<Bridge>(Options(broker.port(), "t/will"), nullptr);
        QVERIFY(b->start().ok());
        QTRY_VERIFY(b->stats().connected);
        QSignalSpy stopped(b.get(), &Bridge::stopped);
        b->stop();
        QTRY_COMPARE(stopped.size(), 1);
        QVERIFY(!b->stats().connected);
        Subscriber after(broker.port(), "t/will/status");
        QVERIFY(after.waitFor("t/will/status", [](const Message& m) {
            return m.retained && m.payload == "offline";
        }));
    }

    void brokerAbsentAtStartThenRestarted() {
        Mosquitto broker; // not running yet
        Bridge b(Options(broker.port(), "t/restart"), nullptr);
        QSignalSpy notes(&b, &Bridge::note);
        QVERIFY(b.start().ok());
        Feed(b);
        for (int i = 0; i < 10; ++i) {
            b.reading("COM1", Reading("COM1", i));
        }
        QTRY_VERIFY(!notes.isEmpty());
        QVERIFY2(notes.first().first().toString().contains("cannot connect"),
                 qPrintable(notes.first().first().toString()));
        QCOMPARE(b.stats().liveDropped, quint64(10));
        QCOMPARE(b.stats().livePublished, quint64(0));

        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(b.stats().connected, 5000);
        Subscriber sub(broker.port(), "t/restart/#");
        QVERIFY(HasRetainedTree(sub, b.topics()));
        // Readings from before the connection were dropped, not queued.
        b.reading("COM1", Reading("COM1", 99));
        QVERIFY(sub.waitFor(b.topics().live("COM1")));
        QCOMPARE(sub.on(b.topics().live("COM1")).size(), std::size_t(1));
        QCOMPARE(sub.on(b.topics().live("COM1")).front().payload, Reading("COM1", 99));

        // The broker dies and comes back empty (no persistence): all retained topics anew.
        broker.kill();
        QTRY_VERIFY(!b.stats().connected);
        b.parametersChanged("COM1", Memory::Ram, {{"THRESHOLD", 101}});
        b.reading("COM1", Reading("COM1", 100));
        QCOMPARE(b.stats().liveDropped, quint64(11));
        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(b.stats().connected, 5000);
        QCOMPARE(b.stats().connects, quint64(2));
        Subscriber again(broker.port(), "t/restart/#");
        QVERIFY(HasRetainedTree(again, b.topics()));
        QCOMPARE(Json(again.on(b.topics().parameters("COM1", Memory::Ram)).back().payload),
                 (QJsonObject{{"THRESHOLD", 101}}));
    }

    void twoPrefixesOnOneBroker() {
        Mosquitto broker;
        QVERIFY(broker.start());
        Line lineA, lineB;
        BridgeOptions oa = Options(broker.port(), "t/a");
        BridgeOptions ob = Options(broker.port(), "t/b");
        oa.commands = ob.commands = true;
        auto a = std::make_unique<Bridge>(oa, &lineA);
        Bridge b(ob, &lineB);
        QVERIFY(a->start().ok());
        QVERIFY(b.start().ok());
        Subscriber sub(broker.port(), "t/#");
        QVERIFY(sub.waitFor("t/a/status"));
        QVERIFY(sub.waitFor("t/b/status"));

        Publish(broker.port(), "t/a/sensors/COM1/set",
                CommandText("x", "ram", R"({"THRESHOLD":7})"));
        QVERIFY(sub.waitFor("t/a/sensors/COM1/set/response"));
        QCOMPARE(lineA.writes.size(), std::size_t(1));
        QVERIFY(lineB.writes.empty());
        QVERIFY(sub.on("t/b/sensors/COM1/set/response").empty());

        // One dies: its Last Will says so, the other stays online and connected.
        a.reset();
        QVERIFY(sub.waitFor("t/a/status", [](const Message& m) { return m.payload == "offline"; }));
        Subscriber late(broker.port(), "t/+/status");
        QVERIFY(late.waitFor("t/b/status", [](const Message& m) { return m.payload == "online"; }));
        QVERIFY(
            late.waitFor("t/a/status", [](const Message& m) { return m.payload == "offline"; }));
        QVERIFY(b.stats().connected);
        QCOMPARE(b.stats().connects, quint64(1));
    }

    void commandsRoundTripAndRefusals() {
        Mosquitto broker;
        QVERIFY(broker.start());
        Line line;
        BridgeOptions o = Options(broker.port(), "t/cmd");
        o.commands = true;
        o.commandsInFlight = 2;
        Bridge b(o, &line);
        QVERIFY(b.start().ok());
        Subscriber sub(broker.port(), "t/cmd/#");
        QVERIFY(sub.waitFor("t/cmd/status")); // subscribed before "online" went out
        const QString set1 = b.topics().set("COM1");
        const QString answers1 = b.topics().setResponse("COM1");
        auto answerTo = [&](const QString& topic, const QJsonValue& id) {
            QJsonObject found;
            sub.waitFor(topic, [&](const Message& m) {
                found = Json(m.payload);
                return found.value("id") == id;
            });
            return found.value("id") == id ? found : QJsonObject();
        };

        Publish(broker.port(), set1,
                CommandText("a1", "eeprom", R"({"THRESHOLD":80,"HOLD":"50ms"})"));
        QCOMPARE(answerTo(answers1, "a1"),
                 (QJsonObject{{"id", "a1"},
                              {"changed", QJsonObject{{"THRESHOLD", 80}, {"HOLD", "50ms"}}}}));
        QCOMPARE(line.writes.size(), std::size_t(1));
        QCOMPARE(line.writes[0].sensor, QStringLiteral("COM1"));
        QCOMPARE(line.writes[0].memory, Memory::Eeprom);

        struct Refusal {
            QString topic;
            QByteArray payload;
            QJsonValue id;
            const char* code;
        };
        const Refusal refusals[] = {
            {set1, "{\"id\":\"a2\"", QJsonValue::Null, "bad_request"},
            {set1, CommandText("a3", "ram", R"({"THRESHOLD":[1]})"), "a3", "bad_request"},
            {b.topics().set("COM9"), CommandText("a4", "ram", R"({"THRESHOLD":1})"), "a4",
             "not_found"},
            {set1, CommandText("a5", "ram", R"({"THRESHOLD":1})", "guess"), "a5", "forbidden"},
        };
        for (const Refusal& r : refusals) {
            Publish(broker.port(), r.topic, r.payload);
            const QString answers = r.topic + "/response";
            const QJsonObject a = answerTo(answers, r.id);
            QVERIFY2(a.value("error").toObject().value("code") == QLatin1String(r.code),
                     r.payload.constData());
            QVERIFY(!a.value("error").toObject().value("message").toString().isEmpty());
        }
        // A retained command would run again on every connect: one that the broker hands over
        // at subscription (a restart of the line) is refused.
        const QString later = "t/cmd/again/sensors/COM1/set";
        Publish(broker.port(), later, CommandText("a6", "ram", R"({"THRESHOLD":1})"), true);
        BridgeOptions o2 = Options(broker.port(), "t/cmd/again");
        o2.commands = true;
        Bridge restarted(o2, &line);
        QVERIFY(restarted.start().ok());
        auto why = [&](const QString& topic, const char* id) {
            return answerTo(topic, id).value("error").toObject().value("message").toString();
        };
        QVERIFY(why(later + "/response", "a6").contains("retained"));
        Publish(broker.port(), later, {}, true); // cleared
        // One retained while we are subscribed, which MQTT 3.1.1 would hand over unflagged.
        Publish(broker.port(), set1, CommandText("a7", "ram", R"({"THRESHOLD":1})"), true);
        QVERIFY(why(answers1, "a7").contains("retained"));
        QCOMPARE(line.writes.size(), std::size_t(1));
        Publish(broker.port(), set1, {}, true); // cleared, and that is not answered

        // Writes that do not end: the third at once is answered "busy".
        line.answers = false;
        for (const char* id : {"b1", "b2", "b3"}) {
            Publish(broker.port(), set1, CommandText(id, "ram", R"({"THRESHOLD":2})"));
        }
        QCOMPARE(answerTo(answers1, "b3").value("error").toObject().value("code"),
                 QJsonValue("busy"));
        QCOMPARE(line.writes.size(), std::size_t(3));
        line.unanswered.front()(Answer::json({{"changed", QJsonObject{}}}));
        QVERIFY(!answerTo(answers1, "b1").isEmpty());
        QCOMPARE(b.stats().commands, quint64(8));
        QCOMPARE(b.stats().commandsRefused, quint64(6));
    }

    // The broker drops a message larger than we take instead of sending it, and enough of them
    // to fill its window of unacknowledged messages do not hold the next command up.
    void oversizedCommandsNeverArrive() {
        Mosquitto broker;
        QVERIFY(broker.start());
        Line line;
        BridgeOptions o = Options(broker.port(), "t/big");
        o.commands = true;
        Bridge b(o, &line);
        QVERIFY(b.start().ok());
        Subscriber sub(broker.port(), "t/big/#");
        QVERIFY(sub.waitFor("t/big/status"));
        QProcess pub; // one message per line
        pub.start("mosquitto_pub", {"-p", QString::number(broker.port()), "-q", "1", "-t",
                                    b.topics().set("COM1"), "-l"});
        for (int i = 0; i < 25; ++i) {
            pub.write(QByteArray(100'000, 'x') + '\n');
        }
        pub.write(CommandText("small", "ram", R"({"THRESHOLD":3})") + "\n");
        pub.closeWriteChannel();
        QVERIFY(pub.waitForFinished(10000));
        const QString answers = b.topics().setResponse("COM1");
        QVERIFY(sub.waitFor(answers));
        QCOMPARE(Json(sub.on(answers).front().payload).value("id"), QJsonValue("small"));
        QCOMPARE(b.stats().commands, quint64(1));
        QCOMPARE(line.writes.size(), std::size_t(1));
    }

    // A broker that knows only MQTT 3.1.1 refuses MQTT 5: the bridge publishes with 3.1.1
    // then, says once why commands stay off, and takes none, after a reconnect too.
    void aBrokerWithoutMqtt5GetsNoCommands() {
        Mqtt311Broker broker;
        Line line;
        BridgeOptions o = Options(broker.port(), "t/old");
        o.commands = true;
        Bridge b(o, &line);
        QSignalSpy notes(&b, &Bridge::note);
        QVERIFY(b.start().ok());
        QTRY_VERIFY(b.stats().connected);
        QTRY_VERIFY(broker.published.contains("t/old/status"));
        QCOMPARE(broker.levels, (QList<int>{5, 4}));
        QCOMPARE(broker.subscribed, QStringList{b.topics().statusFilter()});
        QCOMPARE(notes.size(), 2); // connected, and why there are no commands
        const QString said = notes.at(1).first().toString();
        QVERIFY2(said.contains("MQTT 3.1.1") && said.contains("commands stay off"),
                 qPrintable(said));

        // A command that comes all the same is not carried out.
        broker.send(b.topics().set("COM1"), CommandText("o1", "ram", R"({"THRESHOLD":1})"));
        broker.dropAll();
        QTRY_COMPARE(b.stats().connects, quint64(2));
        QCOMPARE(broker.levels, (QList<int>{5, 4, 4}));
        QVERIFY(line.writes.empty());
        QCOMPARE(b.stats().commands, quint64(0));
        QCOMPARE(notes.size(), 4); // lost, connected: nothing said again
    }

    void livePeriodSendsTheNewest() {
        Mosquitto broker;
        QVERIFY(broker.start());
        BridgeOptions o = Options(broker.port(), "t/rate");
        o.liveMs = 300;
        Bridge b(o, nullptr);
        QVERIFY(b.start().ok());
        Subscriber sub(broker.port(), "t/rate/#");
        QVERIFY(sub.waitFor(b.topics().status()));
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 60; ++i) {
            b.reading("COM1", Reading("COM1", i));
            b.reading("COM2", Reading("COM2", i));
            QTest::qWait(20);
        }
        const qint64 spent = clock.elapsed();
        for (const char* s : {"COM1", "COM2"}) {
            const QString topic = b.topics().live(s);
            QVERIFY(
                sub.waitFor(topic, [s](const Message& m) { return m.payload == Reading(s, 59); }));
            const auto got = sub.on(topic);
            QVERIFY2(got.size() >= 2 && got.size() <= std::size_t(spent / 300 + 2),
                     qPrintable(QString::number(got.size())));
            // Each one the newest of its period: strictly rising, none repeated.
            for (std::size_t k = 1; k < got.size(); ++k) {
                QVERIFY(Json(got[k].payload).value("t").toInt() >
                        Json(got[k - 1].payload).value("t").toInt());
            }
        }
        QCOMPARE(b.stats().liveDropped, quint64(0));
    }

    // A broker that accepts the connection and then reads nothing: the readings that the
    // socket cannot take are dropped and counted, not held in memory.
    void brokerThatStopsReadingCostsBoundedMemory() {
        QTcpServer stuck;
        QVERIFY(stuck.listen(QHostAddress::LocalHost, 0));
        QTcpSocket* peer = nullptr;
        connect(&stuck, &QTcpServer::newConnection, this, [&] {
            peer = stuck.nextPendingConnection();
            peer->setReadBufferSize(1);
            peer->write(QByteArray("\x20\x03\x00\x00\x00", 5)); // CONNACK: accepted (MQTT 5)
        });
        Bridge b(Options(stuck.serverPort(), "t/stuck"), nullptr);
        QVERIFY(b.start().ok());
        QTRY_VERIFY(b.stats().connected);
        const QByteArray big = Reading("COM1", 1) + QByteArray(1000, ' ');
        constexpr int kReadings = 40000; // 40 MB offered, more than the socket buffers hold
        for (int i = 0; i < kReadings; ++i) {
            b.reading("COM1", big);
            if (i % 1000 == 0) {
                QCoreApplication::processEvents();
            }
        }
        const auto s = b.stats();
        QCOMPARE(s.livePublished + s.liveDropped, quint64(kReadings));
        QVERIFY2(s.liveDropped > kReadings / 2, qPrintable(QString::number(s.liveDropped)));
        QVERIFY(s.connected);
    }

    void tlsAndCredentials() {
        QTemporaryDir certs;
        auto run = [&](const QString& program, const QStringList& args) {
            QProcess p;
            p.setWorkingDirectory(certs.path());
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(program, args);
            return p.waitForFinished(20000) && p.exitCode() == 0;
        };
        const QStringList ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        Put(certs.filePath("san.cnf"), "subjectAltName=IP:127.0.0.1\n");
        QVERIFY(run("openssl", QStringList{"req", "-x509"} + ec +
                                   QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-subj",
                                               "/CN=zurid test CA", "-days", "2"}));
        QVERIFY(run("openssl", QStringList{"req", "-x509"} + ec +
                                   QStringList{"-keyout", "other.key", "-out", "other.crt", "-subj",
                                               "/CN=another CA", "-days", "2"}));
        QVERIFY(run("openssl", QStringList{"req"} + ec +
                                   QStringList{"-keyout", "server.key", "-out", "server.csr",
                                               "-subj", "/CN=127.0.0.1"}));
        QVERIFY(run("openssl", {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey",
                                "ca.key", "-CAcreateserial", "-out", "server.crt", "-days", "2",
                                "-extfile", "san.cnf"}));
        QVERIFY(run("mosquitto_passwd", {"-b", "-c", "passwd", "line-7", "s3cret"}));
        Mosquitto broker(QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3\npassword_file %4\n")
                             .arg(certs.filePath("ca.crt"), certs.filePath("server.crt"),
                                  certs.filePath("server.key"), certs.filePath("passwd")));
        QVERIFY(broker.start());

        auto bridge = [&](const char* ca, const char* password) {
            BridgeOptions o = Options(broker.port(), "t/tls", "mqtts");
            o.caFile = certs.filePath(ca);
            o.credentials = Credentials{"line-7", password};
            return std::make_unique<Bridge>(o, nullptr);
        };
        auto good = bridge("ca.crt", "s3cret");
        QVERIFY(good->start().ok());
        QTRY_VERIFY_WITH_TIMEOUT(good->stats().connected, 5000);

        for (auto [ca, password, why] : {std::tuple{"other.crt", "s3cret", "certificate"},
                                         std::tuple{"ca.crt", "guess", "not authori"}}) {
            auto bad = bridge(ca, password);
            QSignalSpy notes(bad.get(), &Bridge::note);
            QVERIFY(bad->start().ok());
            QTRY_VERIFY_WITH_TIMEOUT(!notes.isEmpty(), 5000);
            QVERIFY(!bad->stats().connected);
            qInfo("%s: %s", ca, qPrintable(notes.first().first().toString()));
            Q_UNUSED(why);
        }
        auto noCa = bridge("missing.crt", "s3cret");
        QVERIFY(noCa->start().error().contains(certs.filePath("missing.crt")));
        QVERIFY(good->stats().connected);
    }
};

QTEST_GUILESS_MAIN(MqttBrokerTest)
#include "test_mqtt_broker.moc"
