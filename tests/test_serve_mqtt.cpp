// zurid serve --mqtt as the real program against a line of simulated sensors and a real
// mosquitto, watched by mosquitto_sub: every topic's shape and retained flag, a command's round
// trip into the simulator's RAM, refused commands that leave the request log without a write
// (retained ones among them), the Last Will on SIGKILL and "offline" on SIGTERM, a broker that is
// absent at start and one that restarts, two servers on one broker, Home Assistant's discovery
// documents and their republishing, and the options' bad usage.
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/files.h"
#include "support/mosquitto.h"
#include "support/program.h"
#include "support/serve.h"
#include "support/zurid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <set>
#include <sys/stat.h>

using namespace testing_support;

namespace {

constexpr sim::Block kLineRam = {100, 120, 23, 1, 1, 9, 20, 50, 2, 0, 7, 1, 12, 13, 14};
constexpr sim::Block kLineEeprom = {70, 100, 10, 1, 3, 0, 40, 70, 4, 0, 5, 1, 1, 2, 3};

std::vector<sim::Config> SameLine(unsigned n) {
    return LineOf(n, kLineRam, kLineEeprom);
}

// Parameter block writes (orders 1 and 2) the line's simulators received.
std::size_t Writes(const sim::SensorFleet& fleet) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        n += CountOrder(fleet.at(i), 1) + CountOrder(fleet.at(i), 2);
    }
    return n;
}

QJsonObject Json(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object();
}

QJsonArray Codes(const sim::Block& b) {
    QJsonArray out;
    for (const auto v : b) {
        out.append(v);
    }
    return out;
}

bool IsPayload(const Message& m, const char* text) {
    return m.payload == text;
}

} // namespace

class ServeMqttTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    Mosquitto broker;
    std::unique_ptr<sim::SensorFleet> fleet;
    std::unique_ptr<Subscriber> early; // there before the server
    ServeProcess serve;
    QByteArray token;

    QStringList MqttArgs(const QString& prefix) const {
        return {"--mqtt", broker.url(), "--mqtt-prefix", prefix};
    }

    // The answer to command `id` for COM-n of t/line (empty after none).
    QJsonObject Answer(const QString& sensor, const QJsonValue& id) {
        QJsonObject found;
        early->waitFor("t/line/sensors/" + sensor + "/set/response", [&](const Message& m) {
            found = Json(m.payload);
            return found["id"] == id;
        });
        return found["id"] == id ? found : QJsonObject();
    }

    // Publishes a command to COM-n of t/line and returns its answer.
    QJsonObject Command(const QString& sensor, const QJsonObject& command, bool retain = false) {
        Publish(broker.port(), "t/line/sensors/" + sensor + "/set",
                QJsonDocument(command).toJson(QJsonDocument::Compact), retain);
        return Answer(sensor, command["id"]);
    }

    QJsonObject SetThreshold(const char* id, int value) const {
        return {{"id", id},
                {"memory", "ram"},
                {"values", QJsonObject{{"THRESHOLD", value}}},
                {"token", QString::fromLatin1(token)}};
    }

  private slots:
    void initTestCase() {
        // A journal of its own: records other tests append to the shared one would come as
        // live (not retained) journal heads.
        qputenv("ZURID_JOURNAL", QFile::encodeName(tmp.filePath("journal.jsonl")));
        QVERIFY(broker.start());
        fleet = std::make_unique<sim::SensorFleet>(SameLine(2));
        QVERIFY(fleet->start());
        // A token known beforehand, and a command left retained for the server to find.
        token = "0123456789abcdef0123456789abcdef";
        Put(tmp.filePath("token"), token);
        QCOMPARE(::chmod(QFile::encodeName(tmp.filePath("token")).constData(), 0600), 0);
        Publish(broker.port(), "t/line/sensors/COM2/set",
                QJsonDocument(SetThreshold("stale", 5)).toJson(QJsonDocument::Compact), true);
        early = std::make_unique<Subscriber>(broker.port(), "t/line/#");
        QVERIFY2(serve.start(QStringList{"COM1", "COM2", "--token-file", tmp.filePath("token"),
                                         "--mqtt-commands"} +
                                 MqttArgs("t/line"),
                             fleet->paths(), tmp.filePath("state")),
                 qPrintable(serve.errText()));
        token = Contents(tmp.filePath("token")).trimmed();
        QVERIFY(serve.waitForStatus("ok"));
    }

    void everyTopicWithItsShapeAndFlag() {
        for (const char* s : {"COM1", "COM2"}) {
            QVERIFY(
                early->waitFor(QStringLiteral("t/line/sensors/%1/status").arg(s),
                               [](const Message& m) { return Json(m.payload)["status"] == "ok"; }));
        }
        // What a newcomer finds: exactly the state, each retained with QoS 1.
        Subscriber late(broker.port(), "t/line/#");
        const QStringList retained{
            "t/line/status",
            "t/line/sensors/COM1/status",
            "t/line/sensors/COM2/status",
            "t/line/sensors/COM1/parameters/ram",
            "t/line/sensors/COM2/parameters/ram",
            "t/line/sensors/COM1/parameters/eeprom",
            "t/line/sensors/COM2/parameters/eeprom",
            "t/line/sensors/COM1/health",
            "t/line/sensors/COM2/health",
            "t/line/journal/head",
        };
        for (const QString& topic : retained) {
            QVERIFY2(late.waitFor(topic, [](const Message& m) { return m.retained && m.qos == 1; }),
                     qPrintable(topic));
        }
        QCOMPARE(late.on("t/line/status").back().payload, QByteArray("online"));
        const QJsonObject status = Json(late.on("t/line/sensors/COM2/status").back().payload);
        const QStringList keys = status.keys();
        QCOMPARE(QSet<QString>(keys.begin(), keys.end()),
                 (QSet<QString>{"status", "message", "device", "location", "version"}));
        QCOMPARE(status["device"].toString(), QString::fromStdString(fleet->paths()[1]));
        QCOMPARE(status["version"].toString(), QStringLiteral("1.0"));
        const QJsonObject ram = Json(late.on("t/line/sensors/COM1/parameters/ram").back().payload);
        QCOMPARE(ram["sensor"], QJsonValue("COM1"));
        QCOMPARE(ram["memory"], QJsonValue("ram"));
        QCOMPARE(ram["bytes"].toArray(), Codes(kLineRam));
        QCOMPARE(ram["parameters"].toArray().size(), 15);
        const QStringList health =
            Json(late.on("t/line/sensors/COM1/health").back().payload).keys();
        QCOMPARE(QSet<QString>(health.begin(), health.end()),
                 (QSet<QString>{"percent", "state", "light_margin", "dark_margin", "light_level",
                                "light_reference", "light_decline_percent"}));
        QCOMPARE(Json(late.on("t/line/sensors/COM2/parameters/eeprom").back().payload)["bytes"]
                     .toArray(),
                 Codes(kLineEeprom));

        // Readings: never retained, QoS 0, the stream's own JSON.
        for (const char* s : {"COM1", "COM2"}) {
            const QString topic = QStringLiteral("t/line/sensors/%1/live").arg(s);
            QVERIFY(early->waitFor(topic));
            const Message m = early->on(topic).back();
            QVERIFY(!m.retained);
            QCOMPARE(m.qos, 0);
            const QJsonObject r = Json(m.payload);
            QCOMPARE(r["type"], QJsonValue("reading"));
            QCOMPARE(r["sensor"], QJsonValue(s));
            for (const char* key : {"t", "DAT0", "DAT1", "NORM", "IN0", "IN1", "EDGE"}) {
                QVERIFY2(r[key].isDouble(), key);
            }
        }
        // Not retained: readings and the journal's records.
        for (const Message& m : late.messages()) {
            QVERIFY2(m.retained == !(m.topic.endsWith("/live") || m.topic == "t/line/journal"),
                     qPrintable(m.topic));
        }
    }

    // Neither the command left before the start nor one retained now, which MQTT 3.1.1 would
    // hand over with the retain flag clear, is carried out; both are answered why not.
    void retainedCommandsAreNotCarriedOut() {
        const QJsonObject now = Command("COM2", SetThreshold("retained", 6), true);
        for (const QJsonObject& a : {Answer("COM2", "stale"), now}) {
            QVERIFY2(a["error"].toObject()["message"].toString().contains("retained"),
                     QJsonDocument(a).toJson().constData());
        }
        QCOMPARE(fleet->at(1).ram(), kLineRam);
        QCOMPARE(Writes(*fleet), std::size_t(0));
        Publish(broker.port(), "t/line/sensors/COM2/set", {}, true); // cleared
    }

    void commandRoundTrip() {
        fleet->at(0).clearRequests();
        const QJsonObject answer = Command("COM1", {{"id", "c1"},
                                                    {"memory", "ram"},
                                                    {"values", QJsonObject{{"THRESHOLD", 80}}},
                                                    {"token", QString::fromLatin1(token)}});
        QVERIFY2(!answer.contains("error"), QJsonDocument(answer).toJson().constData());
        QCOMPARE(answer["written"], QJsonValue(true));
        const QJsonObject change = answer["changed"].toArray().at(0).toObject();
        QCOMPARE(change["key"], QJsonValue("THRESHOLD"));
        QCOMPARE(change["before"].toObject()["value"], QJsonValue(100));
        QCOMPARE(change["after"].toObject()["value"], QJsonValue(80));
        QCOMPARE(fleet->at(0).ram()[0], std::uint8_t(80));
        QCOMPARE(CountOrder(fleet->at(0), 1), std::size_t(1));
        // The retained set follows, whoever changed it.
        QVERIFY(early->waitFor("t/line/sensors/COM1/parameters/ram", [](const Message& m) {
            return Json(m.payload)["bytes"].toArray().at(0) == 80;
        }));
    }

    void refusedCommandsWriteNothing() {
        fleet->at(0).clearRequests();
        fleet->at(1).clearRequests();
        const QString good = QString::fromLatin1(token);
        struct Case {
            const char* sensor;
            QJsonObject command;
            const char* code;
        };
        const Case cases[] = {
            {"COM1",
             {{"id", "r1"},
              {"memory", "ram"},
              {"values", QJsonObject{{"THRESHOLD", 1}}},
              {"token", "not-the-token"}},
             "forbidden"},
            {"COM9",
             {{"id", "r2"},
              {"memory", "ram"},
              {"values", QJsonObject{{"THRESHOLD", 1}}},
              {"token", good}},
             "not_found"},
            {"COM1",
             {{"id", "r3"}, {"memory", "ram"}, {"values", QJsonObject{{"THRESHOLD", 1}}}},
             "bad_request"},
            {"COM2",
             {{"id", "r4"},
              {"memory", "eeprom"},
              {"values", QJsonObject{{"THRESHOLD", 300}}},
              {"token", good}},
             "value_not_allowed"},
            {"COM2",
             {{"id", "r5"},
              {"memory", "ram"},
              {"values", QJsonObject{{"NOPE", 1}}},
              {"token", good}},
             "bad_request"},
            {"COM2",
             {{"id", "r6"},
              {"memory", "ram"},
              {"values", QJsonObject{{"HOLD", "7ms"}}},
              {"token", good}},
             "value_not_allowed"},
        };
        for (const Case& c : cases) {
            const QJsonObject answer = Command(c.sensor, c.command);
            QVERIFY2(answer["error"].toObject()["code"] == QLatin1String(c.code),
                     QJsonDocument(answer).toJson().constData());
        }
        QCOMPARE(Writes(*fleet), std::size_t(0));
        QCOMPARE(fleet->at(1).ram(), kLineRam);
    }

    void metricsCountTheBridge() {
        const HttpAnswer a = Http(serve.port(), "GET", "/metrics");
        QCOMPARE(a.status, 200);
        QVERIFY2(a.body.contains("\nzurid_mqtt_connected 1\n"), a.body.constData());
        QVERIFY(a.body.contains("\nzurid_mqtt_commands_total 9\n"));
        QVERIFY(a.body.contains("\nzurid_mqtt_readings_dropped_total 0\n"));
    }

    // Last: the server is killed, and the broker tells the plant.
    void lastWillOnSigkill() {
        ::kill(static_cast<pid_t>(serve.pid()), SIGKILL);
        QVERIFY(early->waitFor("t/line/status",
                               [](const Message& m) { return IsPayload(m, "offline"); }));
        Subscriber late(broker.port(), "t/line/status");
        QVERIFY(late.waitFor("t/line/status", [](const Message& m) {
            return m.retained && IsPayload(m, "offline");
        }));
    }

    void sigtermSaysOfflineAndEndsWell() {
        sim::SensorFleet one(SameLine(1));
        QVERIFY(one.start());
        Subscriber sub(broker.port(), "t/term/status");
        ServeProcess s;
        QVERIFY2(s.start(QStringList{"COM1"} + MqttArgs("t/term"), one.paths(),
                         tmp.filePath("state-term")),
                 qPrintable(s.errText()));
        QVERIFY(
            sub.waitFor("t/term/status", [](const Message& m) { return IsPayload(m, "online"); }));
        QCOMPARE(s.terminate(), 0);
        QVERIFY(
            sub.waitFor("t/term/status", [](const Message& m) { return IsPayload(m, "offline"); }));
    }

    void aSensorServedNoMoreLeavesNothingRetained() {
        // Left by an earlier run that served COM2 too.
        const QStringList gone{"t/gone/sensors/COM2/status", "t/gone/sensors/COM2/parameters/ram",
                               "t/gone/sensors/COM2/parameters/eeprom",
                               "t/gone/sensors/COM2/health"};
        for (const QString& topic : gone) {
            Publish(broker.port(), topic, R"({"status":"ok"})", true);
        }
        sim::SensorFleet one(SameLine(1));
        QVERIFY(one.start());
        ServeProcess s;
        QVERIFY2(s.start(QStringList{"COM1"} + MqttArgs("t/gone"), one.paths(),
                         tmp.filePath("state-gone")),
                 qPrintable(s.errText()));
        QVERIFY(s.waitForStatus("ok"));
        // A newcomer finds COM1's state and nothing of COM2.
        const auto com2Retained = [&] {
            Subscriber late(broker.port(), "t/gone/#");
            if (!late.waitFor("t/gone/sensors/COM1/parameters/eeprom",
                              [](const Message& m) { return m.retained; })) {
                return -1;
            }
            int n = 0;
            for (const QString& topic : gone) {
                n += static_cast<int>(late.on(topic).size());
            }
            return n;
        };
        QTRY_COMPARE_WITH_TIMEOUT(com2Retained(), 0, 10000);
        QCOMPARE(s.terminate(), 0); // and with it, the whole log
        QVERIFY2(s.errText().contains("COM2 is not served here any more"), qPrintable(s.errText()));
    }

    void brokerAbsentAtStartThenRestarted() {
        Mosquitto later;
        sim::SensorFleet one(SameLine(1));
        QVERIFY(one.start());
        ServeProcess s;
        QVERIFY2(s.start({"COM1", "--mqtt", later.url(), "--mqtt-prefix", "t/absent"}, one.paths(),
                         tmp.filePath("state-absent")),
                 qPrintable(s.errText()));
        // Serves all the same; readings are dropped and counted meanwhile.
        QVERIFY(s.waitForStatus("ok"));
        QVERIFY(PollJson(s.port(), "/api/v1/sensors/COM1",
                         [](const QJsonObject& o) { return o["readings"].toInt() > 5; }));
        const QByteArray metrics = Http(s.port(), "GET", "/metrics").body;
        QVERIFY(metrics.contains("\nzurid_mqtt_connected 0\n"));
        QVERIFY(!metrics.contains("\nzurid_mqtt_readings_dropped_total 0\n"));

        QVERIFY(later.start());
        Subscriber sub(later.port(), "t/absent/#");
        for (int round = 0; round < 2; ++round) {
            for (const char* topic : {"t/absent/status", "t/absent/sensors/COM1/status",
                                      "t/absent/sensors/COM1/parameters/ram",
                                      "t/absent/sensors/COM1/parameters/eeprom"}) {
                QVERIFY2(sub.waitFor(
                             topic, [](const Message& m) { return m.qos == 1; }, 15000),
                         topic);
            }
            QVERIFY(sub.waitFor("t/absent/sensors/COM1/live"));
            // The broker restarts empty: everything retained comes anew.
            later.kill();
            sub.clear();
            QVERIFY(later.start());
        }
        QCOMPARE(s.terminate(), 0);
    }

    void twoServersOnOneBroker() {
        sim::SensorFleet a(SameLine(1)), b(SameLine(1));
        QVERIFY(a.start());
        QVERIFY(b.start());
        Subscriber sub(broker.port(), "t/two/#");
        ServeProcess sa, sb;
        QVERIFY(sa.start(QStringList{"COM1"} + MqttArgs("t/two/a"), a.paths(), tmp.filePath("sa")));
        QVERIFY(sb.start(QStringList{"COM1"} + MqttArgs("t/two/b"), b.paths(), tmp.filePath("sb")));
        QVERIFY(sub.waitFor("t/two/a/sensors/COM1/live"));
        QVERIFY(sub.waitFor("t/two/b/sensors/COM1/live"));
        ::kill(static_cast<pid_t>(sa.pid()), SIGKILL);
        QVERIFY(sub.waitFor("t/two/a/status",
                            [](const Message& m) { return IsPayload(m, "offline"); }));
        // The other goes on, and was never thrown off the broker.
        sub.clear();
        QVERIFY(sub.waitFor("t/two/b/sensors/COM1/live"));
        QVERIFY(sub.on("t/two/b/status").empty());
        QVERIFY(
            Http(sb.port(), "GET", "/metrics").body.contains("\nzurid_mqtt_connects_total 1\n"));
        QCOMPARE(sb.terminate(), 0);
    }

    // One device of six entities per sensor, retained, each on the bridge's own topics and
    // available with the line; all again when Home Assistant says "online", none on "offline".
    void homeAssistantDiscovery() {
        sim::SensorFleet one(Configs(1));
        QVERIFY(one.start());
        Subscriber sub(broker.port(), "t/ha/#");
        ServeProcess s;
        QVERIFY2(s.start(QStringList{"COM1", "--mqtt-discovery", "t/ha"} + MqttArgs("t/ha-line"),
                         one.paths(), tmp.filePath("state-ha")),
                 qPrintable(s.errText()));
        const QString device = "zurid_t_ha-line_COM1";
        const struct {
            const char* component;
            const char* key;
            const char* stateTopic;
            const char* member; // what value_template reads
        } entities[] = {
            {"sensor", "norm", "live", "NORM"},       {"sensor", "dat0", "live", "DAT0"},
            {"sensor", "dat1", "live", "DAT1"},       {"sensor", "health", "health", "percent"},
            {"sensor", "status", "status", "status"}, {"binary_sensor", "drift", "drift", "on"},
        };
        const auto topic = [&](const auto& e) {
            return QStringLiteral("t/ha/%1/%2_%3/config").arg(e.component, device, e.key);
        };
        for (const auto& e : entities) {
            QVERIFY2(sub.waitFor(topic(e)), qPrintable(topic(e)));
            const QJsonObject o = Json(sub.on(topic(e)).front().payload);
            QVERIFY2(!o["name"].toString().isEmpty(), e.key);
            QCOMPARE(o["unique_id"].toString(), device + "_" + e.key);
            QCOMPARE(o["state_topic"].toString(),
                     "t/ha-line/sensors/COM1/" + QString(e.stateTopic));
            QVERIFY2(o["value_template"].toString().contains("value_json." + QString(e.member)),
                     e.key);
            QCOMPARE(o["availability_topic"].toString(), QString("t/ha-line/status"));
            QCOMPARE(o["device"]["identifiers"].toArray(), QJsonArray{device});
        }
        Subscriber late(broker.port(), "t/ha/+/+/config");
        for (const auto& e : entities) {
            QVERIFY(
                late.waitFor(topic(e), [](const Message& m) { return m.retained && m.qos == 1; }));
        }
        sub.clear();
        Publish(broker.port(), "t/ha/status", "offline");
        Publish(broker.port(), "t/ha/status", "online");
        for (const auto& e : entities) {
            QVERIFY2(sub.waitFor(topic(e)), qPrintable(topic(e)));
        }
        QCOMPARE(sub.on(topic(entities[0])).size(), std::size_t{1});
        QCOMPARE(s.terminate(), 0);
    }

    void badUsageExitsTwo() {
        const QString secret = tmp.filePath("mqtt.secret");
        Put(secret, "line-7\nword\n");
        QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0644), 0);
        const struct {
            QStringList args;
            QString says;
        } cases[] = {
            {{"--mqtt", broker.url(), "--mqtt-credentials", secret}, secret},
            {{"--mqtt-prefix", "x"}, "--mqtt-prefix needs --mqtt"},
            {{"--mqtt", "http://broker"}, "mqtt://HOST"},
            {{"--mqtt", broker.url(), "--mqtt-prefix", "a/#"}, "wildcards"},
            {{"--mqtt", broker.url(), "--mqtt-ca", secret}, "mqtts"},
            {{"--mqtt", "mqtts://127.0.0.1", "--mqtt-ca", tmp.filePath("none.crt")}, "none.crt"},
            {{"--mqtt", broker.url(), "--mqtt-live-ms", "soon"}, "mqtt-live-ms"},
            {{"--mqtt-discovery", "homeassistant"}, "--mqtt-discovery needs --mqtt"},
            {{"--mqtt", broker.url(), "--mqtt-discovery", "ha/+"}, "--mqtt-discovery ha/+"},
            {{"--mqtt", broker.url(), "--mqtt-prefix", "ha", "--mqtt-discovery", "ha"},
             "line's prefix too"},
        };
        for (const auto& c : cases) {
            const ZuridRun r = RunZurid(QStringList{"serve", "COM1"} + c.args, {});
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.errText().contains(c.says), qPrintable(r.errText()));
        }
    }
};

QTEST_GUILESS_MAIN(ServeMqttTest)
#include "test_serve_mqtt.moc"
