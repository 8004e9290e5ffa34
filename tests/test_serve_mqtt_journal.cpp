// zurid serve --mqtt keeps a copy of the journal's head off the machine: each new record on
// PREFIX/journal as its line (a subscriber can re-check its hash and chain), the newest hash
// retained on PREFIX/journal/head, whoever appended the record (serve itself or another program),
// and the records of a time without the broker once it is back. Against the real program, a real
// mosquitto, and serve's own journal in a temporary folder.
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/files.h"
#include "support/journal.h"
#include "support/mosquitto.h"
#include "support/serve.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

namespace {

const QString kJournal = QStringLiteral("t/j/journal");
const QString kHead = QStringLiteral("t/j/journal/head");

QJsonObject Json(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object();
}

// The head as the bridge publishes it for the journal's last line.
QJsonObject HeadOf(const QByteArray& line) {
    zurid::platform::JournalLine parsed;
    zurid::platform::ParseJournalLine(line, &parsed);
    return {{"seq", parsed.seq}, {"hash", QString::fromLatin1(parsed.hash)}};
}

} // namespace

class ServeMqttJournalTest : public QObject {
    Q_OBJECT

    Mosquitto broker;
    std::unique_ptr<Subscriber> early; // there before the server
    qsizetype seen = 0;                // journal lines it was checked for
    QTemporaryDir tmp;
    QString journal; // serve's
    std::unique_ptr<sim::SensorFleet> fleet;
    ServeProcess serve;
    QByteArray token;

    // Until the early subscriber has `count` more journal lines than were checked; then checks
    // them: QoS 1, not retained, byte for byte the journal's lines after those checked before;
    // and the head is the last, retained for a newcomer.
    void expectPublished(qsizetype count) {
        QTRY_COMPARE_WITH_TIMEOUT(qsizetype(early->on(kJournal).size()), seen + count, 10000);
        const QList<QByteArray> lines = JournalLines(journal);
        QList<QByteArray> published;
        for (const Message& m : early->on(kJournal)) {
            QVERIFY(!m.retained);
            QCOMPARE(m.qos, 1);
            published << m.payload;
        }
        published = published.mid(seen);
        QCOMPARE(published, lines.mid(lines.size() - count));
        seen += count;
        QVERIFY(early->waitFor(
            kHead, [&](const Message& m) { return Json(m.payload) == HeadOf(lines.back()); }));
        Subscriber late(broker.port(), kHead);
        QVERIFY(late.waitFor(kHead, [&](const Message& m) {
            return m.retained && m.qos == 1 && Json(m.payload) == HeadOf(lines.back());
        }));
    }

  private slots:
    void initTestCase() {
        QVERIFY(broker.start());
        fleet = std::make_unique<sim::SensorFleet>(LineOf(1, {}, {}));
        QVERIFY(fleet->start());
        // serve's own journal, with a history that is not published again.
        journal = tmp.filePath("journal.jsonl");
        qputenv("ZURID_JOURNAL", QFile::encodeName(journal));
        QCOMPARE(AppendSamples(journal, 3), QString());
        early = std::make_unique<Subscriber>(broker.port(), "t/j/#");
        QVERIFY2(serve.start({"COM1", "--mqtt", broker.url(), "--mqtt-prefix", "t/j"},
                             fleet->paths(), tmp.filePath("state")),
                 qPrintable(serve.errText()));
        token = Contents(tmp.filePath("state/zurid/token")).trimmed(); // made by serve
        QVERIFY(serve.waitForStatus("ok"));
    }

    // At the start only the head (serve's start record), then a change's attempt and outcome.
    void aChangeYieldsItsRecords() {
        const QList<QByteArray> atStart = JournalLines(journal);
        QCOMPARE(atStart.size(), 4);
        QVERIFY(early->waitFor(
            kHead, [&](const Message& m) { return Json(m.payload) == HeadOf(atStart.back()); }));
        const HttpAnswer a = Http(serve.port(), "PATCH", "/api/v1/sensors/COM1/parameters",
                                  R"({"THRESHOLD": 80})", token);
        QCOMPARE(a.status, 200);
        expectPublished(2); // and no history before them
    }

    void anotherWritersRecordsToo() {
        QCOMPARE(AppendSamples(journal, 2, 10), QString());
        expectPublished(2);
    }

    void recordsOfATimeWithoutTheBrokerFollowItsReturn() {
        broker.kill();
        // Tried again once in vain: the next try is at least 0.75 s away, time for the broker and
        // a subscriber to be back first.
        QVERIFY(serve.waitForLog("cannot connect"));
        QCOMPARE(AppendSamples(journal, 3, 20), QString());
        QVERIFY(broker.start());
        early = std::make_unique<Subscriber>(broker.port(), "t/j/#");
        seen = 0;
        expectPublished(3);
    }

    // Last: its stop record goes out before "offline"; what was published is on one chain.
    void stopIsPublished() {
        QCOMPARE(serve.terminate(), 0);
        expectPublished(1);
        QCOMPARE(Json(early->on(kJournal).back().payload)["event"], QJsonValue("stop"));
        QCOMPARE(int(zurid::platform::VerifyJournal(journal).state),
                 int(zurid::platform::JournalCheck::State::Whole));
    }
};

QTEST_GUILESS_MAIN(ServeMqttJournalTest)
#include "test_serve_mqtt_journal.moc"
