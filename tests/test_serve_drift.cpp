// zurid serve --reference: a line of simulated sensors compared with a backup every second. A
// change behind serve's back drifts, named in the API, the stream, /metrics, MQTT and the
// journal; one through serve does not. Accept, a restore of the reference and a new backup
// under its name each clear it.
#include "core/params.h"
#include "sensors/manifest.h"
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/files.h"
#include "support/journal.h"
#include "support/mosquitto.h"
#include "support/serve.h"
#include "support/streamclient.h"
#include "support/zurid.h"

#include <QDir>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

namespace {

constexpr sim::Block kRam = {90, 110, 0, 0, 2, 1, 30, 60, 3, 1, 3, 0, 7, 8, 9};
constexpr sim::Block kEeprom = {70, 100, 10, 1, 3, 0, 40, 70, 4, 0, 5, 1, 1, 2, 3};

QJsonObject Json(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object();
}

// A sensor's drift while it holds its set in the reference "line".
const QJsonObject kHolds{{"on", false}, {"reference", "line"}};

bool On(const QJsonObject& sensor) {
    return sensor["drift"].toObject()["on"].toBool();
}

// "eeprom THRESHOLD 70 100" for each difference.
QStringList Named(const QJsonObject& drift) {
    QStringList out;
    for (const QJsonValue& v : drift["differences"].toArray()) {
        const QJsonObject d = v.toObject();
        out << QStringLiteral("%1 %2 %3 %4")
                   .arg(d["memory"].toString(), d["key"].toString())
                   .arg(d["reference"].toObject()["value"].toInt())
                   .arg(d["sensor"].toObject()["value"].toInt());
    }
    return out;
}

} // namespace

class ServeDriftTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    Mosquitto broker;
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    QByteArray token;
    QString journal;

    QString Reference() const { return tmp.filePath("backups/line"); }

    std::optional<QJsonObject> WaitFor(const QByteArray& id, bool on) {
        return PollJson(serve.port(), "/api/v1/sensors/" + id,
                        [on](const QJsonObject& o) { return On(o) == on; });
    }

    QList<QJsonObject> Records(const QString& event) const {
        QList<QJsonObject> out;
        for (const QByteArray& line : JournalLines(journal)) {
            if (const QJsonObject r = Json(line); r["event"] == event) {
                out << r;
            }
        }
        return out;
    }

  private slots:
    void initTestCase() {
        QVERIFY(broker.start());
        fleet = std::make_unique<sim::SensorFleet>(LineOf(2, kRam, kEeprom));
        QVERIFY(fleet->start());
        journal = tmp.filePath("journal.jsonl");
        qputenv("ZURID_JOURNAL", QFile::encodeName(journal));
        const ZuridRun backup = RunZurid({"backup", Reference(), "COM1", "COM2"}, fleet->paths());
        QVERIFY2(backup.exitCode == 0, backup.err.constData());
        QVERIFY2(serve.start({"COM1", "COM2", "--backups", tmp.filePath("backups"), "--reference",
                              "line", "--verify-every", "1s", "--token-file", tmp.filePath("token"),
                              "--mqtt", broker.url(), "--mqtt-prefix", "t/d"},
                             fleet->paths(), tmp.filePath("state")),
                 qPrintable(serve.errText()));
        token = Contents(tmp.filePath("token")).trimmed();
        QVERIFY(serve.waitForStatus("ok"));
    }

    void cleanupTestCase() { QCOMPARE(serve.terminate(), 0); }

    void anUnusableReferenceIsRefused() {
        QDir(tmp.filePath("backups")).mkpath("damaged");
        QFile::copy(Reference() + "/manifest.json", tmp.filePath("backups/damaged/manifest.json"));
        const struct {
            QStringList args;
            const char* message;
        } cases[] = {
            {{"--reference", "none"}, "the reference none cannot be used: no backup of that name"},
            {{"--reference", "damaged"}, "the reference damaged cannot be used: "},
            {{"--reference", "../line"}, "a backup's name is a plain name"},
            {{"--verify-every", "10m"}, "--verify-every needs --reference NAME"},
            {{"--reference", "line", "--verify-every", "10x"},
             "--verify-every needs a period of 1s to 168h, such as 10s, 5m or 1h, not '10x'"},
            {{"--reference", "line", "--verify-every", "0s"}, "not '0s'"},
        };
        for (const auto& c : cases) {
            const ZuridRun r = RunZurid(QStringList{"serve", "COM1", "--listen", "127.0.0.1:0",
                                                    "--backups", tmp.filePath("backups"),
                                                    "--token-file", tmp.filePath("token")} +
                                            c.args,
                                        fleet->paths(), 10000);
            QVERIFY2(r.exitCode == 2, qPrintable(c.args.join(' ') + ": " + r.errText()));
            QVERIFY2(r.errText().contains(c.message), qPrintable(r.errText()));
        }
    }

    void aLineAsItsReferenceDoesNotDrift() {
        const auto sensors = PollJson(serve.port(), "/api/v1/sensors", [](const QJsonObject& o) {
            const QJsonArray list = o["sensors"].toArray();
            return std::all_of(list.begin(), list.end(),
                               [](const QJsonValue& s) { return s["drift"].toObject() == kHolds; });
        });
        QVERIFY(sensors);
        const QByteArray metrics = Http(serve.port(), "GET", "/metrics").body;
        QVERIFY2(metrics.contains("zurid_sensor_drift{sensor=\"COM1\"} 0\n"), metrics.constData());
        Subscriber late(broker.port(), "t/d/sensors/+/drift");
        QVERIFY(late.waitFor("t/d/sensors/COM2/drift", [](const Message& m) {
            return m.retained && Json(m.payload) == kHolds;
        }));
    }

    // THRESHOLD changed through serve, EEPROM THRESHOLD behind its back: only the second drifts,
    // named everywhere; the journal says it was found. COM2's RAM lost behind serve's back (as
    // after a power cut: it holds the EEPROM's set) drifts too.
    void aChangeBehindServesBackDrifts() {
        Subscriber mqtt(broker.port(), "t/d/sensors/COM1/drift");
        const HttpAnswer patch = Http(serve.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                                      R"({"THRESHOLD": 80})", token);
        QCOMPARE(patch.status, 200);
        sim::Block changed = kEeprom;
        changed[0] = 100;
        fleet->at(0).setEeprom(changed);
        fleet->at(1).setRam(kEeprom);
        const auto drifted = WaitFor("COM1", true);
        QVERIFY(drifted);
        const QJsonObject drift = (*drifted)["drift"].toObject();
        QCOMPARE(Named(drift), QStringList{"eeprom THRESHOLD 70 100"});
        QVERIFY(!drift["since"].toString().isEmpty());
        const auto lost = WaitFor("COM2", true);
        QVERIFY(lost);
        QCOMPARE(Named((*lost)["drift"].toObject()).filter(QRegularExpression("^ram ")).size(),
                 int(zurid::core::DifferingPositions(kRam, kEeprom).size()));

        const QByteArray metrics = Http(serve.port(), "GET", "/metrics").body;
        QVERIFY(metrics.contains("zurid_sensor_drift{sensor=\"COM1\"} 1\n"));
        QVERIFY(metrics.contains("zurid_sensor_drift{sensor=\"COM2\"} 1\n"));
        QVERIFY(mqtt.waitFor("t/d/sensors/COM1/drift",
                             [&](const Message& m) { return Json(m.payload) == drift; }));

        StreamClient late; // a new client hears of it among its first messages
        QVERIFY(late.open(serve.port()));
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(late.messages.begin(), late.messages.end(),
                                             [](const QJsonObject& o) {
                                                 return o["type"] == "drift" &&
                                                        o["sensor"] == "COM1" && o["on"] == true;
                                             }),
                                 5000);

        const QList<QJsonObject> found = Records("drift");
        QStringList seen;
        for (const QJsonObject& r : found)
            seen << r["sensor"].toString() + " " + r["memory"].toString();
        seen.sort();
        QCOMPARE(seen, (QStringList{"COM1 eeprom", "COM2 ram"}));
        const QJsonObject com1 = found[found[0]["sensor"] == "COM1" ? 0 : 1];
        QCOMPARE(com1["reason"], "found, not made here");
        QCOMPARE(com1["before"].toArray().first().toInt(), 70);
        QCOMPARE(com1["after"].toArray().first().toInt(), 100);
    }

    // An engineer's accept: the backup holds what the sensor holds, strictly readable, and the
    // drift is off.
    void acceptMakesTheSensorsBlocksTheReference() {
        QCOMPARE(Http(serve.port(), "POST", "/api/v1/sensors/COM1/drift/accept").status, 401);
        const HttpAnswer a =
            Http(serve.port(), "POST", "/api/v1/sensors/COM1/drift/accept", {}, token);
        QCOMPARE(a.status, 200);
        QCOMPARE(a.json()["drift"].toObject(), kHolds);
        const auto backup = zurid::sensors::LoadBackup(zurid::sensors::FolderReader(Reference()));
        QVERIFY2(backup, qPrintable(backup.error()));
        QCOMPARE(backup->entries[0].eeprom[0], 100);
        QCOMPARE(backup->entries[0].ram[0], 80);
        QCOMPARE(backup->entries[1].eeprom[0], 70); // the other sensor's set as it was
        QCOMPARE(QDir(Reference()).entryList(QDir::Files).size(), 5); // no old file left
        const QList<QJsonObject> accepted = Records("drift_accepted");
        QCOMPARE(accepted.size(), 2);
        QCOMPARE(accepted[1]["memory"], "eeprom");
        QCOMPARE(accepted[1]["after"].toArray().first().toInt(), 100);
        QCOMPARE(accepted[1]["who"], "token-file");
        QCOMPARE(Http(serve.port(), "POST", "/api/v1/sensors/COM9/drift/accept", {}, token).status,
                 404);
    }

    // The reference restored, the lost RAM's drift is gone.
    void aRestoreOfTheReferenceClearsIt() {
        QVERIFY(On(Http(serve.port(), "GET", "/api/v1/sensors/COM2").json()));
        const HttpAnswer job =
            Http(serve.port(), "POST", "/api/v1/backups/line/restore", R"({"ram": true})", token);
        QCOMPARE(job.status, 202);
        QVERIFY(PollJson(serve.port(), job.header("Location"),
                         [](const QJsonObject& o) { return o["state"] == "done"; }));
        QVERIFY(WaitFor("COM2", false));
        QCOMPARE(fleet->at(1).ram(), kRam);
    }

    // A backup made again under the reference's name is the line's new reference set.
    void aNewBackupUnderItsNameIsTheReference() {
        fleet->at(1).setRam(kEeprom);
        QVERIFY(WaitFor("COM2", true));
        const HttpAnswer job =
            Http(serve.port(), "POST", "/api/v1/backups", R"({"name": "line"})", token);
        QCOMPARE(job.status, 202);
        QVERIFY(PollJson(serve.port(), job.header("Location"),
                         [](const QJsonObject& o) { return o["state"] == "done"; }));
        QVERIFY(WaitFor("COM2", false));
    }
};

QTEST_MAIN(ServeDriftTest)
#include "test_serve_drift.moc"
