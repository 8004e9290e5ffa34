// Every front end journals what it does to a sensor: each write is one attempt (pending, on disk
// before the sensor is touched) and one outcome naming it, with who, from where, what the sensor
// held before and after, and why. zurid's set, send and restore, backups, and zurid serve's PATCH,
// MQTT commands, jobs, wrong tokens, start and stop; writers side by side keep one chain; a full
// disk refuses the change before the sensor sees a byte.
#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"
#include "sim/fleet.h"
#include "support/files.h"
#include "support/mosquitto.h"
#include "support/serve.h"
#include "support/zurid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace testing_support;
using zurid::platform::ReadJournal;

namespace {

const sim::Block kStart = {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 21, 22, 23};

QJsonArray Bytes(const sim::Block& b) {
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
    std::unique_ptr<sim::SensorFleet> fleet; // COM1 for zurid, COM2 for serve, COM3 silent
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
        std::vector<sim::Config> configs(3);
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
        fleet->at(0).setRam(kStart);
        fleet->at(0).setEeprom(kStart);
    }

    // zurid's writes, one after the other, each checked as a pair of records.
    void zuridWritesArePairs() {
        QVERIFY(Zurid({"backup", tmp.filePath("bk"), "COM1"}).exitCode == 0);
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
              .before = Bytes(kStart),
              .after = Bytes(WithThreshold(80)),
              .changes = ThresholdChange(100, 80)}},
            {"set what it holds",
             {"set", "COM1", "THRESHOLD=100"},
             {.outcome = "unchanged",
              .before = Bytes(kStart),
              .after = Bytes(kStart),
              .changes = QJsonArray()}},
            {"set not read back",
             {"set", "COM1", "THRESHOLD=85", "--no-verify"},
             {.outcome = "sent",
              .before = Bytes(kStart),
              .after = Bytes(WithThreshold(85)),
              .changes = ThresholdChange(100, 85)}},
            {"set on a sensor that does not answer",
             {"set", "COM3", "THRESHOLD=80"},
             {.sensor = "COM3", .outcome = "failed", .error = "sensor_timeout"}},
            {"send a file (the sensor is not read first)",
             {"send", "COM1", tmp.filePath("seventy.dat"), "--reason", "recipe B"},
             {.reason = "recipe B", .after = Bytes(WithThreshold(70))}},
            {"restore",
             {"restore", tmp.filePath("bk"), "COM1", "--reason", "back to the saved set"},
             {.event = "restore",
              .memory = "eeprom",
              .reason = "back to the saved set",
              .before = Bytes(kStart),
              .after = Bytes(kStart),
              .changes = QJsonArray()}},
        };
        for (Row row : rows) {
            row.e.who = me;
            const qsizetype from = Records().size();
            const ZuridRun r = Zurid(row.args);
            QVERIFY2(r.exitCode == (row.e.outcome == "failed" ? 1 : 0), row.name);
            const QList<QJsonObject> records = Records();
            QVERIFY2(
                records.size() == from + 2,
                qPrintable(
                    QStringLiteral("%1: %2 records").arg(row.name).arg(records.size() - from)));
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
            QCOMPARE(records[i]["after"].toArray(), Bytes(kStart));
        }
        QCOMPARE(records[from]["memory"], "ram");
        QCOMPARE(records[from + 1]["memory"], "eeprom");

        fleet->at(0).setRam(WithThreshold(50));
        fleet->at(0).setEeprom(WithThreshold(60));
        QCOMPARE(Zurid({"restore", tmp.filePath("bk2"), "COM1", "--ram"}).exitCode, 0);
        records = Records();
        QCOMPARE(records.size(), from + 6);
        Expected e{.event = "restore",
                   .who = me,
                   .memory = "eeprom",
                   .before = Bytes(WithThreshold(60)),
                   .after = Bytes(kStart),
                   .changes = ThresholdChange(60, 100)};
        QCOMPARE(CheckWrite(records, from + 2, e), QString());
        e.memory = "ram";
        e.before = Bytes(WithThreshold(50));
        e.changes = ThresholdChange(50, 100);
        QCOMPARE(CheckWrite(records, from + 4, e), QString());
        QCOMPARE(fleet->at(0).ram(), kStart);
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
