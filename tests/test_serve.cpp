// zurid serve's JSON API, run as the real program against a line of simulated sensors and
// asked over real sockets: the sensors and their readings, fresh parameter reads, changes by
// the rules of `zurid set`, writes that need the token (and leave the sensors untouched
// without it), the jump buffer, backup/verify/restore as jobs, the sensor's own errors, the
// metrics and the page. One server for all cases.
#include "sim/fleet.h"
#include "support/files.h"
#include "support/requests.h"
#include "support/serve.h"

#include "sensors/manifest.h"

#include <QDir>
#include <QJsonArray>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace testing_support;

namespace {

// Blocks with an unknown code (TRIGGER 9 in the first) and spare bytes that must travel.
constexpr sim::Block kRam0 = {100, 120, 23, 1, 1, 9, 20, 50, 2, 0, 7, 1, 12, 13, 14};
constexpr sim::Block kRam = {90, 110, 0, 0, 2, 1, 30, 60, 3, 1, 3, 0, 7, 8, 9};
constexpr sim::Block kEeprom = {70, 100, 10, 1, 3, 0, 40, 70, 4, 0, 5, 1, 1, 2, 3};

std::vector<sim::Config> Configs(unsigned n) {
    std::vector<sim::Config> out(n);
    for (unsigned i = 0; i < n; ++i) {
        out[i].wireTime = false;
        out[i].answerDelay = 0.002;
        out[i].ram = i == 0 ? kRam0 : kRam;
        out[i].eeprom = kEeprom;
        out[i].seed = i + 1;
    }
    return out;
}

QJsonArray Codes(const sim::Block& b) {
    QJsonArray out;
    for (const auto v : b) {
        out.append(v);
    }
    return out;
}

QJsonObject Param(const QJsonObject& block, const QString& key) {
    for (const QJsonValue& v : block["parameters"].toArray()) {
        if (v.toObject()["key"].toString() == key) {
            return v.toObject();
        }
    }
    return {};
}

} // namespace

class ServeApiTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    QByteArray token;

    quint16 port() const { return serve.port(); }
    QString Backups() const { return tmp.filePath("backups"); }

    // Waits for a job's end; its JSON.
    QJsonObject Finished(const QByteArray& location) {
        const auto job = PollJson(port(), location, [](const QJsonObject& o) {
            return o["state"].toString() != "running";
        });
        return job.value_or(QJsonObject{});
    }

    QJsonObject StartJob(const QByteArray& target, const QByteArray& body, bool withToken) {
        const HttpAnswer a = Http(port(), "POST", target, body, withToken ? token : QByteArray());
        if (a.status != 202 || a.header("Location") != a.json()["location"].toString().toUtf8()) {
            qWarning("%s: %d %s", target.constData(), a.status, a.body.constData());
            return {};
        }
        return Finished(a.header("Location"));
    }

  private slots:
    void initTestCase() {
        fleet = std::make_unique<sim::SensorFleet>(Configs(3));
        QVERIFY(fleet->start());
        QVERIFY2(serve.start({"COM1", "COM2", "COM3", "--backups", Backups(), "--token-file",
                              tmp.filePath("token")},
                             fleet->paths(), tmp.filePath("state")),
                 qPrintable(serve.errText()));
        QVERIFY2(serve.errText().contains("made the token file " + tmp.filePath("token")),
                 qPrintable(serve.errText()));
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(tmp.filePath("token")).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        token = Contents(tmp.filePath("token")).trimmed();
        QCOMPARE(token.size(), 64);
        QVERIFY(serve.waitForStatus("ok"));
    }

    void cleanupTestCase() { QCOMPARE(serve.terminate(), 0); }

    void sensorsWithChangingReadings() {
        const QJsonArray first = Http(port(), "GET", "/api/v1/sensors").json()["sensors"].toArray();
        QCOMPARE(first.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const QJsonObject s = first[i].toObject();
            QCOMPARE(s["id"].toString(), QString("COM%1").arg(i + 1));
            QCOMPARE(s["device"].toString(), QString::fromStdString(fleet->paths()[i]));
            QCOMPARE(s["status"].toString(), QString("ok"));
            QCOMPARE(s["version"].toString(), QString("1.0"));
        }
        const qint64 before = first[1].toObject()["readings"].toInteger();
        QVERIFY(PollJson(port(), "/api/v1/sensors/COM2", [before](const QJsonObject& o) {
            return o["readings"].toInteger() > before + 5 && o["rate"].toDouble() > 1;
        }));
        const QJsonObject one = Http(port(), "GET", "/api/v1/sensors/COM2").json();
        for (const char* key : {"t", "DAT0", "DAT1", "NORM", "IN0", "IN1", "EDGE"}) {
            QVERIFY2(one["reading"].toObject().contains(key), key);
        }
        QCOMPARE(one["ram"].toObject()["bytes"].toArray(), Codes(kRam));
        QCOMPARE(one["eeprom"].toObject()["bytes"].toArray(), Codes(kEeprom));

        HttpAnswer a = Http(port(), "GET", "/api/v1/sensors/COM9");
        QCOMPARE(a.status, 404);
        QCOMPARE(a.errorCode(), QString("not_found"));
        a = Http(port(), "DELETE", "/api/v1/sensors/COM1");
        QCOMPARE(a.status, 405);
        QCOMPARE(a.header("Allow"), QByteArray("GET"));
        QCOMPARE(Http(port(), "GET", "/api/v1/nothing").status, 404);
    }

    void parametersAreAFreshRead() {
        sim::Block changed = kRam0;
        changed[0] = 42;
        fleet->at(0).setRam(changed);
        const QJsonObject ram =
            Http(port(), "GET", "/api/v1/sensors/COM1/parameters?memory=ram").json();
        QCOMPARE(ram["bytes"].toArray(), Codes(changed));
        QCOMPARE(Param(ram, "THRESHOLD")["value"].toInt(), 42);
        const QJsonObject trigger = Param(ram, "TRIGGER"); // code 9 has no label
        QVERIFY(trigger["value"].isNull());
        QCOMPARE(trigger["text"].toString(), QString("? 9"));
        QCOMPARE(trigger["known"].toBool(), false);
        const QJsonObject hold = Param(ram, "HOLD");
        QCOMPARE(hold["value"].toInt(), 10);
        QCOMPARE(hold["unit"].toString(), QString("ms"));
        QCOMPARE(Param(ram, "POWER")["unit"].toString(), QString("%"));
        // What a form may offer: a ring's labels by code as the value shows them (DEAD TIME
        // in the block's mode), a number's range (POWER in percent).
        const auto texts = [&ram](const char* key) {
            QStringList out;
            int code = 0;
            for (const QJsonValue& c : Param(ram, key)["choices"].toArray()) {
                out << (c["code"].toInt() == code++ ? c["text"].toString() : QString("code?"));
            }
            return out;
        };
        QCOMPARE(texts("TRIGGER"), (QStringList{"CONT", "EXT", "ADJ EXT"}));
        QCOMPARE(texts("HOLD").mid(0, 4), (QStringList{"OFF", "10 ms", "20 ms", "50 ms"}));
        QCOMPARE(texts("DEADTIMEMODE"), (QStringList{"%", "ms"}));
        QCOMPARE(texts("DEADTIME").mid(14), (QStringList{"84 %", "90 %"}));
        QCOMPARE(texts("AVERAGE").size(), 8);
        for (const auto& [key, max] :
             {std::pair{"THRESHOLD", 255}, {"POWER", 100}, {"SPARE15", 255}}) {
            QCOMPARE(Param(ram, key)["min"].toInt(-1), 0);
            QCOMPARE(Param(ram, key)["max"].toInt(), max);
            QVERIFY(!Param(ram, key).contains("choices"));
        }
        QVERIFY(!trigger.contains("min"));
        QCOMPARE(Http(port(), "GET", "/api/v1/sensors/COM1/parameters?memory=eeprom")
                     .json()["bytes"]
                     .toArray(),
                 Codes(kEeprom));
        const HttpAnswer bad = Http(port(), "GET", "/api/v1/sensors/COM1/parameters?memory=rom");
        QCOMPARE(bad.status, 400);
        fleet->at(0).setRam(kRam0);
    }

    void aChangeTouchesOnlyTheNamedBytes() {
        sim::SensorSim& s = fleet->at(1);
        s.setRam(kRam);
        s.clearRequests();
        HttpAnswer a = Http(port(), "PATCH", "/api/v1/sensors/COM2/parameters",
                            R"({"THRESHOLD": 80, "HOLD": "50ms"})", token);
        QCOMPARE(a.status, 200);
        sim::Block want = kRam;
        want[0] = 80;
        want[4] = 3;
        QCOMPARE(s.ram(), want);
        QCOMPARE(a.json()["written"].toBool(), true);
        const QJsonArray changed = a.json()["changed"].toArray();
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed[0].toObject()["before"].toObject()["value"].toInt(), 90);
        QCOMPARE(changed[0].toObject()["after"].toObject()["value"].toInt(), 80);
        QCOMPARE(changed[1].toObject()["after"].toObject()["text"].toString(), QString("50 ms"));
        // Two reads that agree before the one write, a read after it.
        std::vector<int> orders;
        for (const sim::Request& r : s.requests()) {
            if (r.bytes[1] != 5) {
                orders.push_back(r.bytes[1]);
            }
        }
        QCOMPARE(orders, (std::vector<int>{3, 3, 1, 3}));

        s.clearRequests();
        a = Http(port(), "PATCH", "/api/v1/sensors/COM2/parameters", R"({"THRESHOLD": 80})", token);
        QCOMPARE(a.status, 200);
        QCOMPARE(a.json()["written"].toBool(), false); // nothing to change: nothing written
        QCOMPARE(Writes(*fleet), 0);

        const struct {
            const char* body;
            int status;
        } refused[] = {{R"({"THRESHOLD": 300})", 422},
                       {R"({"HOLD": "7ms"})", 422},
                       {R"({"HOLD": true})", 422},
                       {R"({"THRESHOLD": 1e300})", 422},
                       {R"({"THRESHOLD": -1e300})", 422},
                       {R"({"NOPE": 1})", 400},
                       {"[1]", 400},
                       {"{}", 400},
                       {"not json", 400}};
        for (const auto& r : refused) {
            a = Http(port(), "PATCH", "/api/v1/sensors/COM2/parameters", r.body, token);
            QVERIFY2(a.status == r.status, r.body);
        }
        QCOMPARE(Writes(*fleet), 0);

        a = Http(port(), "PATCH", "/api/v1/sensors/COM2/parameters?memory=eeprom",
                 R"({"REGCNT": 7})", token);
        QCOMPARE(a.status, 200);
        QCOMPARE(s.eeprom()[7], std::uint8_t(7));
        QCOMPARE(s.ram(), want);
    }

    void writesWithoutTheRightTokenAreRefused() {
        for (std::size_t i = 0; i < fleet->size(); ++i) {
            fleet->at(i).clearRequests();
        }
        const struct {
            const char* method;
            const char* target;
            const char* body;
        } writes[] = {
            {"PATCH", "/api/v1/sensors/COM1/parameters", R"({"THRESHOLD": 1})"},
            {"PATCH", "/api/v1/sensors/COM1/parameters?memory=eeprom", R"({"THRESHOLD": 1})"},
            {"POST", "/api/v1/backups", R"({"name": "refused"})"},
            {"POST", "/api/v1/backups/refused/restore", R"({"ram": true})"},
            {"POST", "/api/v1/backups/refused/verify", ""}, // it holds the one job slot
        };
        // A wrong token for four of them: five from one address within a minute lock it out.
        const QByteArray wrong[] = {"not-the-token-at-all", token + "x"};
        int n = 0;
        for (const auto& w : writes) {
            HttpAnswer a = Http(port(), w.method, w.target, w.body);
            QVERIFY2(a.status == 401, w.target);
            QCOMPARE(a.header("WWW-Authenticate"), QByteArray("Bearer"));
            if (n < 4) {
                a = Http(port(), w.method, w.target, w.body, wrong[n++ % 2]);
                QVERIFY2(a.status == 403, w.target);
            }
        }
        QCOMPARE(Writes(*fleet), 0);
        QVERIFY(!QDir(Backups() + "/refused").exists());
    }

    void theJumpBufferWithItsThreshold() {
        const sim::JumpBuffer values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 200, 150, 100, 90, 80, 70};
        fleet->at(2).setJumpBuffer(values);
        const QJsonObject o = Http(port(), "GET", "/api/v1/sensors/COM3/buffer").json();
        QCOMPARE(o["values"].toArray().size(), 16);
        for (int i = 0; i < 16; ++i) {
            QCOMPARE(o["values"].toArray()[i].toInt(), int(values[i]));
        }
        QCOMPARE(o["THRESHOLD"].toInt(), int(fleet->at(2).ram()[0]));
    }

    void backupVerifyRestoreAsJobs() {
        for (std::size_t i = 0; i < fleet->size(); ++i) {
            fleet->at(i).clearRequests();
        }
        QJsonObject job = StartJob("/api/v1/backups", R"({"name": "line-7"})", true);
        QCOMPARE(job["state"].toString(), QString("done"));
        QCOMPARE(job["ports"].toArray().size(), 3);
        const QString dir = Backups() + "/line-7";
        QCOMPARE(Contents(dir + "/COM2-eeprom.dat"), FileText(fleet->at(1).eeprom()));
        QVERIFY(zurid::sensors::LoadBackup(zurid::sensors::FolderReader(dir)).ok());
        QCOMPARE(Writes(*fleet), 0);

        // The sensor on COM1 changes behind the backup's back: verify names it.
        const sim::Block saved = fleet->at(0).eeprom();
        sim::Block changed = saved;
        changed[0] = static_cast<std::uint8_t>(saved[0] + 1);
        fleet->at(0).setEeprom(changed);
        job = StartJob("/api/v1/backups/line-7/verify", {}, true);
        QCOMPARE(job["state"].toString(), QString("failed"));
        const QJsonObject com1 = job["ports"].toArray()[0].toObject();
        QCOMPARE(com1["result"].toString(), QString("differs"));
        const QJsonObject d = com1["differences"].toArray()[0].toObject();
        QCOMPARE(d["memory"].toString(), QString("eeprom"));
        QCOMPARE(d["key"].toString(), QString("THRESHOLD"));
        QCOMPARE(d["backup"].toObject()["code"].toInt(), int(saved[0]));
        QCOMPARE(d["sensor"].toObject()["code"].toInt(), int(changed[0]));
        QCOMPARE(job["ports"].toArray()[1].toObject()["result"].toString(), QString("ok"));

        job = StartJob("/api/v1/backups/line-7/restore", R"({"dry_run": true})", true);
        QCOMPARE(job["state"].toString(), QString("done"));
        QCOMPARE(job["ports"].toArray()[0].toObject()["differences"].toArray().size(), 1);
        QCOMPARE(Writes(*fleet), 0);
        QCOMPARE(fleet->at(0).eeprom(), changed);

        job = StartJob("/api/v1/backups/line-7/restore", {}, true);
        QCOMPARE(job["state"].toString(), QString("done"));
        QCOMPARE(fleet->at(0).eeprom(), saved);
        QCOMPARE(Writes(*fleet), 3); // each sensor's EEPROM, once

        // One sensor of the backup alone: its EEPROM and RAM, no other sensor's.
        const sim::Block com2 = fleet->at(1).eeprom();
        fleet->at(1).setEeprom(changed);
        job = StartJob("/api/v1/backups/line-7/restore", R"({"ram": true, "sensors": ["COM2"]})",
                       true);
        QCOMPARE(job["state"].toString(), QString("done"));
        QCOMPARE(job["ports"].toArray().size(), 1);
        QCOMPARE(fleet->at(1).eeprom(), com2);
        QCOMPARE(Writes(*fleet), 5);
        for (const char* body :
             {R"({"sensors": "COM2"})", R"({"sensors": []})", R"({"sensors": [2]})"}) {
            QVERIFY2(Http(port(), "POST", "/api/v1/backups/line-7/restore", body, token).status ==
                         400,
                     body);
        }

        const QJsonArray listed =
            Http(port(), "GET", "/api/v1/backups").json()["backups"].toArray();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(listed[0].toObject()["name"].toString(), QString("line-7"));
    }

    void backupNamesArePlainNames() {
        for (const char* body : {R"({"name": "../escape"})", R"({"name": "a/b"})",
                                 R"({"name": ".hidden"})", R"({"name": ""})", R"({"name": 7})",
                                 R"({"name": "x", "other": 1})", R"({"name": "line-7\n"})"}) {
            QVERIFY2(Http(port(), "POST", "/api/v1/backups", body, token).status == 400, body);
        }
        for (const char* target :
             {"/api/v1/backups/line-7%0A/verify", "/api/v1/backups/line-7%0A/restore"}) {
            QVERIFY2(Http(port(), "POST", target, {}, token).status == 400, target);
        }
        for (const char* target :
             {"/api/v1/backups/..%2Fescape/verify", "/api/v1/backups/a%2Fb/verify",
              "/api/v1/backups/../verify", "/api/v1/backups/%2E%2E/restore"}) {
            const HttpAnswer a = Http(port(), "POST", target, {}, token);
            QVERIFY2(a.status == 400 || a.status == 404, target);
        }
        QVERIFY(!QFileInfo::exists(tmp.filePath("escape")));
        QCOMPARE(QDir(Backups()).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
                 QStringList{"line-7"});
        QCOMPARE(Http(port(), "POST", "/api/v1/backups/none/verify", {}, token).status, 404);
        QCOMPARE(Http(port(), "GET", "/api/v1/jobs/999").status, 404);
        QCOMPARE(Http(port(), "GET", "/api/v1/jobs/x").status, 404);
        QCOMPARE(Http(port(), "POST", "/api/v1/backups/line-7/restore", R"({"dry_run": 1})", token)
                     .status,
                 400);
    }

    void busyAndSilentSensors() {
        // A change in EEPROM takes seconds (its settle delay): meanwhile a second one is 409,
        // and so is a second job while one runs.
        QTcpSocket first;
        first.connectToHost("127.0.0.1", port());
        QVERIFY(first.waitForConnected());
        const QByteArray body = R"({"REGCNT": 9})";
        first.write(
            "PATCH /api/v1/sensors/COM3/parameters?memory=eeprom HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            "Authorization: Bearer " +
            token + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        QVERIFY(first.waitForBytesWritten());
        QTest::qWait(300);
        HttpAnswer a =
            Http(port(), "PATCH", "/api/v1/sensors/COM3/parameters", R"({"REGCNT": 10})", token);
        QCOMPARE(a.status, 409);
        QCOMPARE(a.errorCode(), QString("busy"));
        QCOMPARE(ReadAnswer(first).status, 200);
        QCOMPARE(fleet->at(2).eeprom()[7], std::uint8_t(9));

        QCOMPARE(Http(port(), "POST", "/api/v1/backups", R"({"name": "two"})", token).status, 202);
        QCOMPARE(Http(port(), "POST", "/api/v1/backups/line-7/verify", {}, token).status, 409);
        QVERIFY(PollJson(port(), "/api/v1/jobs", [](const QJsonObject& o) {
            const QJsonArray jobs = o["jobs"].toArray();
            return jobs.last().toObject()["state"].toString() != "running";
        }));

        // A sensor that stops answering one order: that request is 504, the rest goes on.
        fleet->at(2).setFault(sim::Fault::Silent, 1u << 4);
        a = Http(port(), "GET", "/api/v1/sensors/COM3/parameters?memory=eeprom");
        fleet->at(2).setFault(sim::Fault::None);
        QCOMPARE(a.status, 504);
        QCOMPARE(a.errorCode(), QString("sensor_timeout"));
        QCOMPARE(Http(port(), "GET", "/api/v1/sensors/COM3/parameters").status, 200);
    }

    void metricsInPrometheusFormat() {
        const HttpAnswer a = Http(port(), "GET", "/metrics");
        QCOMPARE(a.status, 200);
        QVERIFY(a.header("Content-Type").startsWith("text/plain; version=0.0.4"));
        for (const char* line :
             {"zurid_sensor_up{sensor=\"COM1\"} 1",
              "zurid_sensor_status{sensor=\"COM2\",status=\"ok\"} 1",
              "# TYPE zurid_sensor_readings_total counter", "zurid_sensor_norm{sensor=\"COM3\"} ",
              "zurid_stream_dropped_messages_total 0",
              // 26 bytes at 4800 baud and the pause of 50 ms
              "zurid_sensor_wire_readings_per_second{sensor=\"COM2\"} 9.6",
              "# TYPE zurid_sensor_hysteresis gauge", "zurid_sensor_threshold{sensor=\"COM1\"} "}) {
            QVERIFY2(a.body.contains(line), line);
        }
        // A change that sends a write counts once, in its memory; one with nothing to write not.
        const auto writes = [this](const char* memory) {
            const QByteArray name = "zurid_parameter_writes_total{sensor=\"COM1\",memory=\"" +
                                    QByteArray(memory) + "\"} ";
            const QByteArray body = Http(port(), "GET", "/metrics").body;
            const qsizetype at = body.indexOf("\n" + name);
            return at < 0 ? -1 : body.mid(at + 1 + name.size()).split('\n').first().toInt();
        };
        const int ram = writes("ram"), eeprom = writes("eeprom");
        QVERIFY(ram >= 0 && eeprom >= 0);
        fleet->at(0).setRam(kRam);
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(Http(port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                          R"({"THRESHOLD": 81})", token)
                         .status,
                     200);
        }
        QCOMPARE(writes("ram"), ram + 1);
        const QByteArray after = Http(port(), "GET", "/metrics").body;
        QVERIFY(after.contains("\nzurid_sensor_threshold{sensor=\"COM1\"} 81\n"));
        QVERIFY(after.contains("\nzurid_sensor_hysteresis{sensor=\"COM1\"} 110\n"));
        QCOMPARE(writes("eeprom"), eeprom);
        const QString promtool = QStandardPaths::findExecutable("promtool");
        if (promtool.isEmpty()) {
            QSKIP("promtool (Debian's prometheus) is not installed");
        }
        QProcess check;
        check.start(promtool, {"check", "metrics"});
        check.write(a.body);
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(20000));
        QVERIFY2(check.exitCode() == 0,
                 check.readAllStandardOutput() + check.readAllStandardError());
    }

    // A link planted in the backups folder leads nothing out of it. A linked backup folder: a
    // job on it is refused up front and the list names it with an error. A linked file: the
    // backup fails that port, naming it, and verify and restore refuse the backup.
    void linksInTheBackupsFolderAreNotFollowed() {
        for (std::size_t i = 0; i < fleet->size(); ++i) {
            fleet->at(i).clearRequests();
        }
        const QString elsewhere = tmp.filePath("elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        for (const QString& name : QDir(Backups() + "/line-7").entryList(QDir::Files)) {
            QVERIFY(QFile::copy(Backups() + "/line-7/" + name, elsewhere + "/" + name));
        }
        QVERIFY(QFile::link(elsewhere, Backups() + "/evil"));
        const auto before = Snapshot(elsewhere);
        for (const auto& [target, body] :
             {std::pair{"/api/v1/backups", R"({"name": "evil"})"},
              std::pair{"/api/v1/backups/evil/verify", ""},
              std::pair{"/api/v1/backups/evil/restore", R"({"ram": true})"}}) {
            const HttpAnswer a = Http(port(), "POST", target, body, token);
            QVERIFY2(a.status == 422, target);
            QVERIFY2(a.body.contains("evil in the backups folder is a symbolic link"), a.body);
        }
        QCOMPARE(Snapshot(elsewhere), before);
        for (const QJsonValue& b :
             Http(port(), "GET", "/api/v1/backups").json()["backups"].toArray()) {
            if (b.toObject()["name"] == "evil") {
                QCOMPARE(b.toObject()["error"].toString(),
                         QString("a symbolic link, not followed"));
                QVERIFY(!b.toObject().contains("sensors"));
            }
        }

        const QString victim = tmp.filePath("victim.txt"), dir = Backups() + "/line-8";
        Put(victim, "mine\n");
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(QFile::link(victim, dir + "/COM1-ram.dat"));
        QJsonObject job = StartJob("/api/v1/backups", R"({"name": "line-8"})", true);
        QCOMPARE(job["state"].toString(), QString("failed"));
        const QJsonObject com1 = job["ports"].toArray()[0].toObject();
        QCOMPARE(com1["result"].toString(), QString("failed"));
        QVERIFY2(com1["note"].toString().contains("line-8/COM1-ram.dat: a symbolic link"),
                 qPrintable(com1["note"].toString()));
        QCOMPARE(Contents(victim), QByteArray("mine\n"));

        // COM2's file as a link to a copy of itself.
        const QString copy = tmp.filePath("copy.dat"), file = dir + "/COM2-eeprom.dat";
        QVERIFY(QFile::copy(file, copy) && QFile::remove(file) && QFile::link(copy, file));
        for (const char* target :
             {"/api/v1/backups/line-8/verify", "/api/v1/backups/line-8/restore"}) {
            const HttpAnswer a = Http(port(), "POST", target, {}, token);
            QVERIFY2(a.status == 422, target);
            QVERIFY2(a.body.contains("COM2-eeprom.dat: a symbolic link, not followed"), a.body);
        }
        QCOMPARE(Writes(*fleet), 0);
    }

    void thePageFromTheResourcesOnly() {
        HttpAnswer a = Http(port(), "GET", "/");
        QCOMPARE(a.status, 200);
        QVERIFY(a.header("Content-Type").startsWith("text/html"));
        QVERIFY(a.body.contains("<html"));
        QCOMPARE(Http(port(), "GET", "/static/index.html").body, a.body);
        for (const char* target : {"/static/../../../etc/passwd", "/static/%2E%2E/etc/passwd",
                                   "/static//etc/passwd", "/static/nothing.js"}) {
            QVERIFY2(Http(port(), "GET", target).status == 404, target);
        }
    }
};

QTEST_GUILESS_MAIN(ServeApiTest)
#include "test_serve.moc"
