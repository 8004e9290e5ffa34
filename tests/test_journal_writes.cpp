// Every front end journals what it does to a sensor: each write is one attempt (pending, on disk
// before the sensor is touched) and one outcome naming it, with who, from where, what the sensor
// held before and after, and why. zurid's set, send, backup and restore, and zurid serve's PATCH,
// MQTT commands, jobs, wrong tokens, start and stop; writers side by side keep one chain; a full
// disk refuses the change before the sensor sees a byte.
#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"
#include "sim/fleet.h"
#include "support/backups.h"
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
#include <utility>

using namespace testing_support;
using zurid::platform::ReadJournal;

namespace {

const sim::Block kStart = {100, 120, 0, 0, 1, 0, 20, 50, 2, 0, 2, 0, 21, 22, 23};

// kStart with THRESHOLD, its first byte, at `threshold`.
sim::Block At(int threshold) {
    sim::Block b = kStart;
    b[0] = static_cast<std::uint8_t>(threshold);
    return b;
}

QJsonArray BlockJson(const sim::Block& b) {
    QJsonArray a;
    for (const std::uint8_t v : b) {
        a.append(v);
    }
    return a;
}

// What a record must say. A text: empty is not looked at, "-" must be absent; the bytes: null is
// not looked at, undefined must be absent.
struct Expected {
    QString event = "change";
    QString channel = "cli";
    QString who{};
    QString address = "-";
    QString sensor = "COM1";
    QString memory = "ram";
    QString outcome = "written";
    QString reason = "-";
    QString error{}; // the error's code
    QJsonValue before{QJsonValue::Undefined};
    QJsonValue after{QJsonValue::Undefined};
    QJsonValue changes{QJsonValue::Undefined};
};

// `e` for THRESHOLD going from `from` to `to`.
Expected Threshold(int from, int to, Expected e = {}) {
    e.before = BlockJson(At(from));
    e.after = BlockJson(At(to));
    e.changes =
        from == to ? QJsonArray()
                   : QJsonArray{QJsonObject{{"key", "THRESHOLD"}, {"before", from}, {"after", to}}};
    return e;
}

QString Text(const QJsonValue& v) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact));
}

// What in `r` differs from `e`; "" when nothing.
QString Mismatch(const QJsonObject& r, const Expected& e) {
    const auto text = [](const QString& t) {
        return t.isEmpty() ? QJsonValue() : t == "-" ? QJsonValue(QJsonValue::Undefined) : t;
    };
    const char* keys[] = {"event",   "channel", "who",    "address", "sensor", "memory",
                          "outcome", "reason",  "before", "after",   "changes"};
    const QJsonValue wants[] = {text(e.event),  text(e.channel), text(e.who),     text(e.address),
                                text(e.sensor), text(e.memory),  text(e.outcome), text(e.reason),
                                e.before,       e.after,         e.changes};
    QStringList wrong;
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        if (!wants[i].isNull() && r.value(keys[i]) != wants[i]) {
            wrong << QStringLiteral("%1 %2, not %3")
                         .arg(keys[i], Text(r.value(keys[i])), Text(wants[i]));
        }
    }
    if (e.sensor != "-" && r["location"].toString().isEmpty()) {
        wrong << QStringLiteral("no location");
    }
    if (!e.error.isEmpty() && r["error"]["code"] != e.error) {
        wrong << "error " + Text(r["error"]);
    }
    return wrong.join(QStringLiteral("; "));
}

// A write's two records: the attempt, pending, holding what was to be written when it went out,
// and its outcome naming it.
QString WriteMismatch(const QJsonObject& attempt, const QJsonObject& outcome, const Expected& e) {
    Expected pending = e;
    pending.outcome = "pending";
    pending.error.clear();
    if (e.outcome != "written" && e.outcome != "sent") {
        pending.before = pending.after = pending.changes = QJsonValue::Null;
    }
    const QString w = Mismatch(attempt, pending), v = Mismatch(outcome, e);
    const bool named = !attempt.contains("attempt") &&
                       outcome["attempt"].toInteger() == attempt["seq"].toInteger();
    return (w.isEmpty() ? "" : "attempt: " + w + "; ") + (v.isEmpty() ? "" : "outcome: " + v) +
           (named ? "" : " (the outcome does not name its attempt)");
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
    qsizetype seen = 0; // records looked at
    // COM1 and COM4 for zurid, COM2 for serve, COM3 silent
    std::unique_ptr<sim::SensorFleet> fleet;
    std::unique_ptr<Line> line;
    QString me = zurid::platform::UnixUser();
    ZuridRun last;

    QList<QJsonObject> Records() const { return ReadJournal(journal).records; }
    std::vector<std::string> Ports() const { return fleet->paths(); }

    // The records since those looked at are `want` and no more, a change or restore as its two
    // records. "" when so, else what differs.
    QString Journaled(const QList<Expected>& want) {
        const QList<QJsonObject> r = Records();
        const qsizetype from = std::exchange(seen, r.size());
        QStringList wrong;
        qsizetype at = from;
        for (const Expected& e : want) {
            const bool pair = e.event == "change" || e.event == "restore";
            if (at + pair >= r.size()) {
                return QStringLiteral("only %1 records").arg(r.size() - from);
            }
            const QString w = pair ? WriteMismatch(r[at], r[at + 1], e) : Mismatch(r[at], e);
            if (!w.isEmpty()) {
                wrong << QStringLiteral("record %1: %2").arg(at - from).arg(w);
            }
            at += pair ? 2 : 1;
        }
        if (at < r.size()) {
            wrong << QStringLiteral("%1 records more").arg(r.size() - at);
        }
        return wrong.join(QStringLiteral("; "));
    }

    // zurid with `args` by this user: "" when it ends with `exitCode`, leaving COM1's RAM with
    // THRESHOLD at `threshold` and `records` in the journal.
    QString Zurid(const QStringList& args, int exitCode, int threshold, QList<Expected> records) {
        for (Expected& e : records) {
            e.who = me;
        }
        seen = Records().size();
        last = RunZurid(args, Ports());
        if (last.exitCode != exitCode) {
            return QStringLiteral("exit %1: %2").arg(last.exitCode).arg(last.errText());
        }
        if (fleet->at(0).ram() != At(threshold)) {
            return QStringLiteral("COM1 holds THRESHOLD %1").arg(fleet->at(0).ram()[0]);
        }
        return Journaled(records);
    }

  private slots:
    void initTestCase() {
        QVERIFY(tmp.isValid());
        journal = tmp.filePath("journal.jsonl");
        qputenv("ZURID_JOURNAL", QFile::encodeName(journal)); // for every program started
        fleet = std::make_unique<sim::SensorFleet>(LineOf(4, kStart, kStart));
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

    // zurid's commands one after the other on COM1 (COM3 does not answer).
    void zuridJournalsWhatItDoes() {
        const QString why = QStringLiteral("run-in of line 4, \"quoted\"");
        QCOMPARE(Zurid({"set", "COM1", "THRESHOLD=80", "--reason", why}, 0, 80,
                       {Threshold(100, 80, {.reason = why})}),
                 QString());
        QCOMPARE(Zurid({"set", "COM1", "THRESHOLD=80"}, 0, 80,
                       {Threshold(80, 80, {.outcome = "unchanged"})}),
                 QString());
        QCOMPARE(Zurid({"set", "COM1", "THRESHOLD=85", "--no-verify"}, 0, 85,
                       {Threshold(80, 85, {.outcome = "sent"})}),
                 QString());
        QCOMPARE(Zurid({"set", "COM3", "THRESHOLD=80"}, 1, 85,
                       {{.sensor = "COM3", .outcome = "failed", .error = "sensor_timeout"}}),
                 QString());
        // A file is sent without reading the sensor first.
        Put(tmp.filePath("seventy.dat"), FileText(At(70)));
        QCOMPARE(Zurid({"send", "COM1", tmp.filePath("seventy.dat"), "--reason", "recipe B"}, 0, 70,
                       {{.reason = "recipe B", .after = BlockJson(At(70))}}),
                 QString());
        // A backup is a record per memory saved, its block as after; a restore of a changed
        // sensor a write per memory.
        const QString bk = tmp.filePath("bk");
        QCOMPARE(Zurid({"backup", bk, "COM1"}, 0, 70,
                       {{.event = "backup", .after = BlockJson(At(70))},
                        {.event = "backup", .memory = "eeprom", .after = BlockJson(kStart)}}),
                 QString());
        fleet->at(0).setRam(At(50));
        fleet->at(0).setEeprom(At(60));
        QCOMPARE(
            Zurid({"restore", bk, "COM1", "--ram", "--reason", "back"}, 0, 70,
                  {Threshold(60, 100, {.event = "restore", .memory = "eeprom", .reason = "back"}),
                   Threshold(50, 70, {.event = "restore", .reason = "back"})}),
            QString());
        // A reason longer than a record takes is refused before anything is sent.
        QCOMPARE(Zurid({"set", "COM1", "THRESHOLD=80", "--reason", QString(501, 'x')}, 2, 70, {}),
                 QString());
        QCOMPARE(last.errText(),
                 QStringLiteral("zurid: set: --reason is a text of at most 500 characters\n"));
    }

    // zurid serve, after its start: the PATCH and the MQTT command with the token's name, the
    // API's address and the reason; a backup job and a restore job as their records.
    void serveJournalsWhatItDoes() {
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
        seen = Records().size();
        QVERIFY2(line->serve.start({"COM2", "--tokens", tokens, "--mqtt", line->broker.url(),
                                    "--mqtt-commands", "--mqtt-prefix", "j"},
                                   Ports(), tmp.filePath("state")),
                 qPrintable(line->serve.errText()));
        QVERIFY(line->serve.waitForStatus("ok"));
        QCOMPARE(Records().value(seen)["event"], "start");
        seen = Records().size();

        // COM2's records of `who` on `channel`, the API's with the client's address.
        const auto by = [](const char* channel, const char* who, Expected e) {
            e.channel = channel;
            e.who = who;
            e.sensor = "COM2";
            e.address = e.channel == "api" ? "127.0.0.1" : "-";
            return e;
        };
        const quint16 port = line->serve.port();
        QCOMPARE(Http(port, "PATCH", "/api/v1/sensors/COM2/parameters?memory=ram",
                      R"({"THRESHOLD": 80, "reason": "trial"})", line->olga)
                     .status,
                 200);
        QCOMPARE(Journaled({by("api", "olga", Threshold(100, 80, {.reason = "trial"}))}),
                 QString());

        Subscriber answers(line->broker.port(), "j/sensors/COM2/set/response");
        Publish(line->broker.port(), "j/sensors/COM2/set",
                "{\"id\": \"c1\", \"memory\": \"ram\", \"values\": {\"THRESHOLD\": 90}, "
                "\"reason\": \"night shift\", \"token\": \"" +
                    line->emil + "\"}");
        QVERIFY(answers.waitFor("j/sensors/COM2/set/response"));
        QCOMPARE(Journaled({by("mqtt", "emil", Threshold(80, 90, {.reason = "night shift"}))}),
                 QString());

        const auto job = [&](const QByteArray& target, const QByteArray& body) {
            const HttpAnswer a = Http(port, "POST", target, body, line->emil);
            return a.status == 202 &&
                   PollJson(port, a.header("Location"), [](const QJsonObject& o) {
                       return o["state"] != "running";
                   }).has_value();
        };
        QVERIFY(job("/api/v1/backups", R"({"name": "base"})"));
        QCOMPARE(
            Journaled({by("api", "emil", {.event = "backup", .after = BlockJson(At(90))}),
                       by("api", "emil",
                          {.event = "backup", .memory = "eeprom", .after = BlockJson(kStart)})}),
            QString());
        fleet->at(1).setEeprom(At(60));
        QVERIFY(job("/api/v1/backups/base/restore", R"({"reason": "back to base"})"));
        QCOMPARE(fleet->at(1).eeprom(), kStart);
        QCOMPARE(
            Journaled({by(
                "api", "emil",
                Threshold(60, 100,
                          {.event = "restore", .memory = "eeprom", .reason = "back to base"}))}),
            QString());

        // What the API lists is what the file holds.
        const HttpAnswer listed = Http(port, "GET", "/api/v1/journal?sensor=COM2&limit=2");
        QCOMPARE(listed.status, 200);
        const QJsonArray newest = listed.json()["records"].toArray();
        QCOMPARE(newest.size(), 2);
        QCOMPARE(newest[1].toObject(), Records().last());
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
        QHash<qint64, QJsonObject> pending; // the chain itself is verified at the end
        for (qsizetype i = from; i < records.size(); ++i) {
            const QJsonObject& r = records[i];
            if (r["outcome"] == "pending") {
                pending.insert(r["seq"].toInteger(), r);
                continue;
            }
            const QJsonObject attempt = pending.take(r["attempt"].toInteger());
            QCOMPARE(r["outcome"], "written");
            QCOMPARE(attempt["sensor"], r["sensor"]);
        }
        QVERIFY(pending.isEmpty());
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
        const QString mount =
            "mount -t tmpfs -o size=64k tmpfs \"$0\" && [ \"$ZURID_FILL\" != 1 ] || "
            "head -c 1M /dev/zero >\"$0/fill\" 2>/dev/null; exec \"$@\"";
        const QStringList onSmallDisk{"unshare", "-Urm", "sh", "-c", mount, disk};
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
        QCOMPARE(fleet->at(3).ram(), At(56));
        QCOMPARE(serve.terminate(), 0);
    }

    // Wrong tokens are journaled with the address they came from, the lock-out once; a request
    // without a token is no guess and one locked out no more: neither leaves a record.
    void wrongTokensAndTheLockOut() {
        QVERIFY(line);
        seen = Records().size();
        for (int i = 0; i < 7; ++i) { // without a token first
            Http(line->serve.port(), "PATCH", "/api/v1/sensors/COM2/parameters",
                 R"({"THRESHOLD": 55})", i == 0 ? QByteArray() : QByteArray(64, 'f'));
        }
        const Expected guess{.event = "auth_failed",
                             .channel = "api",
                             .who = "-",
                             .address = "127.0.0.1",
                             .sensor = "-",
                             .memory = "-",
                             .outcome = "-"};
        Expected lockOut = guess;
        lockOut.event = "locked_out";
        QCOMPARE(Journaled({guess, guess, guess, guess, lockOut}), QString());
        QCOMPARE(fleet->at(1).ram()[0], 74); // the last change of the writers side by side
    }
};

QTEST_GUILESS_MAIN(JournalWritesTest)
#include "test_journal_writes.moc"
