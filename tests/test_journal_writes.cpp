// Every front end journals what it does to a sensor: each write is one attempt (pending, on disk
// before the sensor is touched) and one outcome naming it, with who, from where, what the sensor
// held before and after, and why. zurid's set, send and restore, backups, and zurid serve's PATCH,
// MQTT commands, jobs, wrong tokens, start and stop; writers side by side keep one chain; a full
// disk refuses the change before the sensor sees a byte.
#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"
#include "sim/fleet.h"
#include "support/files.h"
#include "support/journal.h"
#include "support/mosquitto.h"
#include "support/program.h"
#include "support/serve.h"
#include "support/zurid.h"

#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testing_support;
using zurid::platform::ReadJournal;

namespace {

const sim::Block kStart = {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 21, 22, 23};

QJsonArray BlockJson(const sim::Block& b) {
    QJsonArray a;
    for (const std::uint8_t v : b) {
        a.append(v);
    }
    return a;
}

sim::Block WithThreshold(int threshold) {
    sim::Block b = kStart;
    b[0] = static_cast<std::uint8_t>(threshold);
    return b;
}

QJsonArray ThresholdChange(int before, int after) {
    return {QJsonObject{{"key", "THRESHOLD"}, {"before", before}, {"after", after}}};
}

// What one write's records must say; an empty member is not looked at, "-" must be absent.
struct Expected {
    QString event = "change";
    QString channel = "cli";
    QString who{};
    QString address = "-";
    QString sensor = "COM1";
    QString memory = "ram";
    QString outcome = "written";
    QString reason = "-";
    QJsonValue before{QJsonValue::Undefined}; // the 15 bytes; undefined: absent
    QJsonValue after{QJsonValue::Undefined};
    QJsonValue changes{QJsonValue::Undefined};
    QString error{}; // the error's code when failed
};

// The two records of a write, from `at` in `records`: the attempt, pending, and its outcome,
// naming it, with the same who, where and why. Empty when it holds; else what differs.
QString CheckWrite(const QList<QJsonObject>& records, qsizetype at, const Expected& e) {
    if (at + 1 >= records.size()) {
        return QStringLiteral("%1 records, no write at %2").arg(records.size()).arg(at);
    }
    const QJsonObject attempt = records[at];
    const QJsonObject outcome = records[at + 1];
    const auto member = [](const QJsonObject& r, const QString& key) {
        return r.contains(key) ? r[key].toString() : QStringLiteral("-");
    };
    QStringList wrong;
    for (const auto& [key, want] : {std::pair{"event", e.event},
                                    {"channel", e.channel},
                                    {"who", e.who},
                                    {"address", e.address},
                                    {"sensor", e.sensor},
                                    {"memory", e.memory},
                                    {"reason", e.reason}}) {
        for (const QJsonObject& r : {attempt, outcome}) {
            if (!want.isEmpty() && member(r, key) != want) {
                wrong << QStringLiteral("%1 %2 instead of %3").arg(key, member(r, key), want);
            }
        }
    }
    if (attempt["outcome"] != "pending" || attempt.contains("attempt")) {
        wrong << QStringLiteral("the attempt is not pending");
    }
    if (outcome["attempt"].toInteger() != attempt["seq"].toInteger()) {
        wrong << QStringLiteral("the outcome names attempt %1").arg(outcome["attempt"].toInteger());
    }
    // The attempt of a write that went out holds what was to be written, and what was held.
    if ((e.outcome == "written" || e.outcome == "sent") &&
        (attempt.value("after") != e.after || attempt.value("before") != e.before)) {
        wrong << QStringLiteral("the attempt's bytes differ");
    }
    if (outcome["outcome"] != e.outcome) {
        wrong << QStringLiteral("outcome %1").arg(outcome["outcome"].toString());
    }
    if (!e.error.isEmpty() && outcome["error"]["code"] != e.error) {
        wrong << QStringLiteral("error %1")
                     .arg(
                         QJsonDocument(outcome["error"].toObject()).toJson(QJsonDocument::Compact));
    }
    for (const auto& [key, want] :
         {std::pair{"before", e.before}, {"after", e.after}, {"changes", e.changes}}) {
        if (outcome.value(key) != want) {
            wrong << QStringLiteral("%1 %2").arg(
                key, QJsonDocument(QJsonArray{outcome.value(key)}).toJson(QJsonDocument::Compact));
        }
    }
    return wrong.join(QStringLiteral("; "));
}

// zurid serve on a sensor of its own, tokens for an operator and an engineer, MQTT commands.
struct Line {
    Mosquitto broker;
    ServeProcess serve;
    QByteArray olga; // operator
    QByteArray emil; // engineer
};

} // namespace

class JournalWritesTest : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    QString journal;
    // COM1 and COM4 for zurid, COM2 for serve, COM3 silent
    std::unique_ptr<sim::SensorFleet> fleet;
    std::unique_ptr<Line> line;
    QString me = zurid::platform::UnixUser();

    QList<QJsonObject> Records() const { return ReadJournal(journal).records; }
    std::vector<std::string> Ports() const { return fleet->paths(); }
    ZuridRun Zurid(const QStringList& args) { return RunZurid(args, Ports()); }

  private slots:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        journal = tmp.filePath("journal.jsonl");
        qputenv("ZURID_JOURNAL", QFile::encodeName(journal)); // for every program started
        std::vector<sim::Config> configs(4);
        for (unsigned i = 0; i < configs.size(); ++i) {
            configs[i] = {.answerDelay = 0.002,
                          .wireTime = false,
                          .ram = kStart,
                          .eeprom = kStart,
                          .seed = i + 3};
        }
        fleet = std::make_unique<sim::SensorFleet>(configs);
        QVERIFY(fleet->start());
        fleet->at(2).setReply(3, std::vector<std::uint8_t>{}); // COM3 never answers a RAM read
    }

    void init() {
        for (const std::size_t i : {0, 3}) {
            fleet->at(i).setRam(kStart);
            fleet->at(i).setEeprom(kStart);
        }
    }

    void cleanupTestCase() {
        if (line) {
            QCOMPARE(line->serve.terminate(), 0);
            QCOMPARE(Records().last()["event"], "stop");
        }
        const zurid::platform::JournalCheck check = zurid::platform::VerifyJournal(journal);
        QCOMPARE(int(check.state), int(zurid::platform::JournalCheck::State::Whole));
    }

    // zurid's writes, one after the other, each checked as a pair of records.
    void zuridWritesArePairs() {
        Put(tmp.filePath("seventy.dat"), FileText(WithThreshold(70)));
        struct Row {
            const char* name;
            QStringList args;
            Expected e;
            sim::Block ramBefore = kStart; // what the sensor holds when the command runs
        };
        const QString why = QStringLiteral("run-in of line 4, \"quoted\"");
        const QList<Row> rows = {
            {"set with a reason",
             {"set", "COM1", "THRESHOLD=80", "--reason", why},
             {.reason = why,
              .before = BlockJson(kStart),
              .after = BlockJson(WithThreshold(80)),
              .changes = ThresholdChange(100, 80)}},
            {"set what it holds",
             {"set", "COM1", "THRESHOLD=100"},
             {.outcome = "unchanged",
              .before = BlockJson(kStart),
              .after = BlockJson(kStart),
              .changes = QJsonArray()}},
            {"set not read back",
             {"set", "COM1", "THRESHOLD=85", "--no-verify"},
             {.outcome = "sent",
              .before = BlockJson(kStart),
              .after = BlockJson(WithThreshold(85)),
              .changes = ThresholdChange(100, 85)}},
            {"set on a sensor that does not answer",
             {"set", "COM3", "THRESHOLD=80"},
             {.sensor = "COM3", .outcome = "failed", .error = "sensor_timeout"}},
            {"send a file (the sensor is not read first)",
             {"send", "COM1", tmp.filePath("seventy.dat"), "--reason", "recipe B"},
             {.reason = "recipe B", .after = BlockJson(WithThreshold(70))}},
        };
        for (Row row : rows) {
            row.e.who = me;
            const qsizetype from = Records().size();
            const ZuridRun r = Zurid(row.args);
            QVERIFY2(r.exitCode == (row.e.outcome == "failed" ? 1 : 0),
                     qPrintable(QStringLiteral("%1: %2").arg(row.name, r.errText())));
            const QList<QJsonObject> records = Records();
            QVERIFY2(records.size() == from + 2, qPrintable(QStringLiteral("%1: %2 records; %3")
                                                                .arg(row.name)
                                                                .arg(records.size() - from)
                                                                .arg(r.errText())));
            const QString wrong = CheckWrite(records, from, row.e);
            QVERIFY2(wrong.isEmpty(), qPrintable(QStringLiteral("%1: %2").arg(row.name, wrong)));
            const QString location = records[from]["location"].toString();
            QVERIFY2(!location.isEmpty(), row.name);
            init();
        }
    }

    // A backup is a record per memory saved, its block as after; a restore of a changed
    // sensor is a pair per memory written.
    void backupAndRestoreOfEachMemory() {
        const qsizetype from = Records().size();
        QCOMPARE(Zurid({"backup", tmp.filePath("bk2"), "COM1"}).exitCode, 0);
        QList<QJsonObject> records = Records();
        QCOMPARE(records.size(), from + 2);
        for (qsizetype i = from; i < from + 2; ++i) {
            QCOMPARE(records[i]["event"], "backup");
            QCOMPARE(records[i]["outcome"], "written");
            QCOMPARE(records[i]["after"].toArray(), BlockJson(kStart));
        }
        QCOMPARE(records[from]["memory"], "ram");
        QCOMPARE(records[from + 1]["memory"], "eeprom");

        fleet->at(0).setRam(WithThreshold(50));
        fleet->at(0).setEeprom(WithThreshold(60));
        QCOMPARE(
            Zurid({"restore", tmp.filePath("bk2"), "COM1", "--ram", "--reason", "back"}).exitCode,
            0);
        records = Records();
        QCOMPARE(records.size(), from + 6);
        Expected e{.event = "restore",
                   .who = me,
                   .memory = "eeprom",
                   .reason = "back",
                   .before = BlockJson(WithThreshold(60)),
                   .after = BlockJson(kStart),
                   .changes = ThresholdChange(60, 100)};
        QCOMPARE(CheckWrite(records, from + 2, e), QString());
        e.memory = "ram";
        e.before = BlockJson(WithThreshold(50));
        e.changes = ThresholdChange(50, 100);
        QCOMPARE(CheckWrite(records, from + 4, e), QString());
        QCOMPARE(fleet->at(0).ram(), kStart);
    }

    // zurid serve: the PATCH and the MQTT command with the token's name, the API's address and
    // the reason; a backup job and a restore job as their records; its start first.
    void serveWritesArePairs() {
        line = std::make_unique<Line>();
        QVERIFY(line->broker.start());
        const QString tokens = tmp.filePath("tokens");
        for (auto [name, role, token] : {std::tuple{"olga", "operator", &line->olga},
                                         std::tuple{"emil", "engineer", &line->emil}}) {
            const ZuridRun made =
                RunZurid({"token", "add", name, "--role", role, "--tokens", tokens}, {});
            QVERIFY2(made.exitCode == 0, made.err.constData());
            *token = made.out.trimmed();
        }
        const qsizetype from = Records().size();
        QVERIFY2(line->serve.start({"COM2", "--tokens", tokens, "--mqtt", line->broker.url(),
                                    "--mqtt-commands", "--mqtt-prefix", "j"},
                                   Ports(), tmp.filePath("state")),
                 qPrintable(line->serve.errText()));
        QVERIFY(line->serve.waitForStatus("ok"));
        const quint16 port = line->serve.port();
        QList<QJsonObject> records = Records();
        QCOMPARE(records.value(from)["event"], "start");

        const HttpAnswer patch = Http(port, "PATCH", "/api/v1/sensors/COM2/parameters?memory=ram",
                                      R"({"THRESHOLD": 80, "reason": "trial"})", line->olga);
        QCOMPARE(patch.status, 200);
        records = Records();
        QCOMPARE(records.size(), from + 3);
        Expected e{.channel = "api",
                   .who = "olga",
                   .address = "127.0.0.1",
                   .sensor = "COM2",
                   .reason = "trial",
                   .before = BlockJson(kStart),
                   .after = BlockJson(WithThreshold(80)),
                   .changes = ThresholdChange(100, 80)};
        QCOMPARE(CheckWrite(records, from + 1, e), QString());

        Subscriber answers(line->broker.port(), "j/sensors/COM2/set/response");
        Publish(line->broker.port(), "j/sensors/COM2/set",
                "{\"id\": \"c1\", \"memory\": \"ram\", \"values\": {\"THRESHOLD\": 90}, "
                "\"reason\": \"night shift\", \"token\": \"" +
                    line->emil + "\"}");
        QVERIFY(answers.waitFor("j/sensors/COM2/set/response"));
        records = Records();
        QCOMPARE(records.size(), from + 5);
        e = {.channel = "mqtt",
             .who = "emil",
             .sensor = "COM2",
             .reason = "night shift",
             .before = BlockJson(WithThreshold(80)),
             .after = BlockJson(WithThreshold(90)),
             .changes = ThresholdChange(80, 90)};
        QCOMPARE(CheckWrite(records, from + 3, e), QString());

        const auto job = [&](const QByteArray& target, const QByteArray& body) {
            const HttpAnswer a = Http(port, "POST", target, body, line->emil);
            return a.status == 202 &&
                   PollJson(port, a.header("Location"), [](const QJsonObject& o) {
                       return o["state"] != "running";
                   }).has_value();
        };
        QVERIFY(job("/api/v1/backups", R"({"name": "base"})"));
        records = Records();
        QCOMPARE(records.size(), from + 7);
        for (qsizetype i = from + 5; i < from + 7; ++i) {
            QCOMPARE(records[i]["event"], "backup");
            QCOMPARE(records[i]["who"], "emil");
            QCOMPARE(records[i]["address"], "127.0.0.1");
        }
        fleet->at(1).setEeprom(WithThreshold(60));
        QVERIFY(job("/api/v1/backups/base/restore", R"({"reason": "back to base"})"));
        records = Records();
        QCOMPARE(records.size(), from + 9);
        e = {.event = "restore",
             .channel = "api",
             .who = "emil",
             .address = "127.0.0.1",
             .sensor = "COM2",
             .memory = "eeprom",
             .reason = "back to base",
             .before = BlockJson(WithThreshold(60)),
             .after = BlockJson(kStart),
             .changes = ThresholdChange(60, 100)};
        QCOMPARE(CheckWrite(records, from + 7, e), QString());
        QCOMPARE(fleet->at(1).eeprom(), kStart);

        // What the API lists is what the file holds.
        const HttpAnswer listed = Http(port, "GET", "/api/v1/journal?sensor=COM2&limit=2");
        QCOMPARE(listed.status, 200);
        const QJsonArray last = listed.json()["records"].toArray();
        QCOMPARE(last.size(), 2);
        QCOMPARE(last[1].toObject(), records.last());
    }

    // Two zurid on two sensors and serve on a third, all writing at once: one chain, every
    // attempt with its one outcome.
    void concurrentWritersKeepOneChain() {
        QVERIFY(line);
        const qsizetype from = Records().size();
        const auto loop = [&](QProcess& p, const QString& port) {
            p.setProcessEnvironment(ZuridEnv(Ports()));
            p.start("sh", {"-c",
                           "for t in 61 62 63 64; do \"$0\" set " + port +
                               " THRESHOLD=$t || exit 1; done",
                           ZuridPath()});
        };
        QProcess a, b;
        loop(a, "COM1");
        loop(b, "COM4");
        for (int t = 71; t <= 74; ++t) {
            QCOMPARE(Http(line->serve.port(), "PATCH", "/api/v1/sensors/COM2/parameters",
                          "{\"THRESHOLD\": " + QByteArray::number(t) + "}", line->olga)
                         .status,
                     200);
        }
        for (QProcess* p : {&a, &b}) {
            QVERIFY(p->waitForFinished(60000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        }
        const QList<QJsonObject> records = Records();
        QCOMPARE(records.size(), from + 3 * 4 * 2);
        QHash<qint64, QJsonObject> pending;
        for (qsizetype i = from; i < records.size(); ++i) {
            const QJsonObject& r = records[i];
            QCOMPARE(r["seq"].toInteger(), records[i - 1]["seq"].toInteger() + 1);
            if (r["outcome"] == "pending") {
                pending.insert(r["seq"].toInteger(), r);
                continue;
            }
            const QJsonObject attempt = pending.take(r["attempt"].toInteger());
            QCOMPARE(r["outcome"], "written");
            QCOMPARE(attempt["sensor"], r["sensor"]);
        }
        QVERIFY(pending.isEmpty());
        const zurid::platform::JournalCheck check = zurid::platform::VerifyJournal(journal);
        QCOMPARE(int(check.state), int(zurid::platform::JournalCheck::State::Whole));
        QCOMPARE(check.count, records.size());
    }

    // A journal on a file system that is full: zurid and serve refuse the change before the
    // sensor sees a byte of it, naming the journal; serve goes on once there is room again.
    void fullDiskRefusesBeforeTheSensor() {
        QVERIFY(line);
        if (QProcess::execute("unshare", {"-Urm", "true"}) != 0) {
            QSKIP("no mount namespace for a small file system here (unshare -Urm)");
        }
        const QString disk = tmp.filePath("disk");
        QVERIFY(QDir().mkpath(disk));
        const QString full = disk + "/journal.jsonl";
        // A 64 KiB file system at `disk`, seen only by the program started on it.
        const QStringList onSmallDisk{
            "unshare",
            "-Urm",
            "sh",
            "-c",
            "mount -t tmpfs -o size=64k tmpfs \"$0\" && [ \"$ZURID_FILL\" != 1 ] || "
            "head -c 1M /dev/zero >\"$0/fill\" 2>/dev/null; exec \"$@\"",
            disk};
        QProcessEnvironment env = ZuridEnv(Ports());
        env.insert("ZURID_JOURNAL", full);
        env.insert("ZURID_FILL", "1");
        fleet->at(0).clearRequests();
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(onSmallDisk[0],
                onSmallDisk.mid(1) + QStringList{ZuridPath(), "set", "COM1", "THRESHOLD=55"});
        QVERIFY(p.waitForFinished(20000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QCOMPARE(p.exitCode(), 1);
        QVERIFY2(err.contains("journal " + full + ": " + SystemText(ENOSPC)), qPrintable(err));
        QVERIFY2(err.contains("nothing written"), qPrintable(err));
        QCOMPARE(CountOrder(fleet->at(0), 1), 0u); // read, never written
        QCOMPARE(fleet->at(0).ram(), kStart);

        qputenv("ZURID_JOURNAL", QFile::encodeName(full));
        ServeProcess serve;
        serve.runUnder(onSmallDisk);
        const bool started = serve.start({"COM4", "--tokens", tmp.filePath("tokens")}, Ports(),
                                         tmp.filePath("state4"));
        qputenv("ZURID_JOURNAL", QFile::encodeName(journal));
        QVERIFY2(started, qPrintable(serve.errText()));
        QVERIFY(serve.waitForStatus("ok"));
        // The test reaches the small file system through the server's own view of the files.
        const QString fill = QStringLiteral("/proc/%1/root%2/fill").arg(serve.pid()).arg(disk);
        QFile filler(fill);
        QVERIFY2(filler.open(QIODevice::WriteOnly), qPrintable(filler.errorString()));
        while (filler.write(QByteArray(4096, '\0')) > 0) {
        }
        filler.close();
        // The journal's last page may still have room: records of the test's own fill it.
        const QString inside = QStringLiteral("/proc/%1/root%2").arg(serve.pid()).arg(full);
        while (AppendSamples(inside, 1).isEmpty()) {
        }
        const quint16 port = serve.port();
        const HttpAnswer refused = Http(port, "PATCH", "/api/v1/sensors/COM4/parameters",
                                        R"({"THRESHOLD": 55})", line->olga);
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.errorCode(), QStringLiteral("journal_unavailable"));
        QVERIFY2(
            refused.json()["error"].toObject()["message"].toString().contains(SystemText(ENOSPC)),
            refused.body.constData());
        QCOMPARE(fleet->at(3).ram(), kStart);
        QVERIFY(QFile::remove(fill));
        QCOMPARE(Http(port, "PATCH", "/api/v1/sensors/COM4/parameters", R"({"THRESHOLD": 56})",
                      line->olga)
                     .status,
                 200);
        QCOMPARE(fleet->at(3).ram(), WithThreshold(56));
        QCOMPARE(serve.terminate(), 0);
    }

    // Wrong tokens are journaled with the address they came from, the lock-out once; a request
    // without a token is no guess and leaves no record.
    void wrongTokensAndTheLockOut() {
        QVERIFY(line);
        const quint16 port = line->serve.port();
        const qsizetype from = Records().size();
        QCOMPARE(
            Http(port, "PATCH", "/api/v1/sensors/COM2/parameters", R"({"THRESHOLD": 55})").status,
            401);
        QCOMPARE(Records().size(), from);
        QList<int> answers;
        for (int i = 0; i < 6; ++i) {
            answers << Http(port, "PATCH", "/api/v1/sensors/COM2/parameters",
                            R"({"THRESHOLD": 55})", QByteArray(64, 'f'))
                           .status;
        }
        QCOMPARE(answers, (QList<int>{403, 403, 403, 403, 403, 429}));
        const QList<QJsonObject> records = Records().mid(from);
        QStringList events;
        for (const QJsonObject& r : records) {
            events << r["event"].toString();
            QCOMPARE(r["channel"], "api");
            QCOMPARE(r["address"], "127.0.0.1");
            QVERIFY(!r.contains("who"));
        }
        QCOMPARE(events, (QStringList{"auth_failed", "auth_failed", "auth_failed", "auth_failed",
                                      "locked_out"}));
        QCOMPARE(fleet->at(1).ram()[0], 74); // the last change of the writers side by side
    }

    // A reason longer than a record takes is refused before anything is sent.
    void overlongReasonIsRefused() {
        const qsizetype from = Records().size();
        const ZuridRun r = Zurid({"set", "COM1", "THRESHOLD=80", "--reason", QString(501, 'x')});
        QCOMPARE(r.exitCode, 2);
        QCOMPARE(r.errText(),
                 QStringLiteral("zurid: set: --reason is a text of at most 500 characters\n"));
        QCOMPARE(Records().size(), from);
        QCOMPARE(fleet->at(0).ram(), kStart);
    }
};

QTEST_GUILESS_MAIN(JournalWritesTest)
#include "test_journal_writes.moc"
