// The window's SEND in the journal, driven through the real panel against the simulator: one
// attempt and one outcome ("sent") per press with the panel's bytes, RAM and EEPROM, a chain
// that `zurid journal verify` finds whole; and a journal that cannot take the attempt, which
// sends nothing and says why in the status line and the INFO popup.
#include "gui/state.h"
#include "platform/serial/rs232.h"
#include "platform/ui/Dovarid10.h"
#include "platform/ui/userint.h"
#include "support/files.h"
#include "support/journal.h"
#include "support/popups.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QJsonArray>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace testing_support;
using zurid::platform::JournalRecords;
using zurid::platform::ReadJournal;

namespace {

QJsonArray Numbers(const Bytes& block) {
    QJsonArray out;
    for (const std::uint8_t b : block) {
        out.append(int(b));
    }
    return out;
}

QString LoginName() {
    const passwd* pw = ::getpwuid(::geteuid());
    return pw != nullptr ? QString::fromLocal8Bit(pw->pw_name) : QString::number(::geteuid());
}

} // namespace

class SendJournalTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;
    PopupWatcher* popups = nullptr;

    // The journal the program appends to from here on.
    static void JournalAt(const QString& path) {
        qputenv("ZURID_JOURNAL", QFile::encodeName(path));
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        ConnectAsCom1(sensor);
    }
    void init() {
        popups = new PopupWatcher(this);
        StartOnHealthySensor(sensor);
    }
    void cleanup() {
        StopProgram();
        delete popups;
    }

    void sendIsAnAttemptAndItsOutcome() {
        const QString journal = dir.filePath("sent.jsonl");
        JournalAt(journal);
        struct Press {
            int selector;
            std::uint8_t order;
            const char* memory;
            int threshold;
        };
        const Press presses[] = {{PANEL_RAM, 1, "ram", 77}, {PANEL_EEPROM, 2, "eeprom", 66}};
        qsizetype seen = 0;
        for (const Press& p : presses) {
            Click(p.selector);
            SetCtrlVal(zurid::panel, PANEL_THRESHOLD, p.threshold);
            sensor.clearRequests();
            Click(PANEL_SEND);
            QVERIFY(sensor.waitForRequests(1, 1.0));
            Bytes block(kRam.begin(), kRam.end());
            block[0] = static_cast<std::uint8_t>(p.threshold);
            QCOMPARE(Frames(sensor).at(0), Request(p.order, block));
            const sim::Block held = p.order == 1 ? sensor.ram() : sensor.eeprom();
            QCOMPARE(Bytes(held.begin(), held.end()), block);

            const JournalRecords read = ReadJournal(journal);
            QVERIFY2(read.error.isEmpty(), qPrintable(read.error));
            QCOMPARE(read.records.size(), seen + 2);
            const QJsonObject attempt = read.records.at(seen);
            const QJsonObject outcome = read.records.at(seen + 1);
            seen += 2;
            for (const QJsonObject& r : {attempt, outcome}) {
                QCOMPARE(r["event"].toString(), QString("change"));
                QCOMPARE(r["channel"].toString(), QString("window"));
                QCOMPARE(r["who"].toString(), LoginName());
                QCOMPARE(r["sensor"].toString(), QString("COM1"));
                QCOMPARE(r["location"].toString(), QString::fromStdString(sensor.path()));
                QCOMPARE(r["memory"].toString(), QString(p.memory));
                QCOMPARE(r["after"].toArray(), Numbers(block));
                QVERIFY(!r.contains("before") && !r.contains("changes") && !r.contains("error"));
            }
            QCOMPARE(attempt["outcome"].toString(), QString("pending"));
            QVERIFY(!attempt.contains("attempt"));
            QCOMPARE(outcome["outcome"].toString(), QString("sent"));
            QCOMPARE(outcome["attempt"].toInteger(), attempt["seq"].toInteger());
        }
        QCOMPARE(TextVal(PANEL_STATUS), kLineOk);
        QVERIFY(popups->popups.empty());

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZURID_JOURNAL", journal);
        const ZuridRun verify = RunZuridIn(env, {"journal", "verify"});
        QVERIFY2(verify.finished && verify.exitCode == 0, qPrintable(verify.errText()));
    }

    // A port that is not open takes nothing: the time-out report as before, and a failure on
    // record.
    void sendOnAClosedPortIsAFailure() {
        const QString journal = dir.filePath("gone.jsonl");
        JournalAt(journal);
        zurid::platform::CloseCom(zurid::com);
        Click(PANEL_SEND);
        QCOMPARE(TextVal(PANEL_STATUS), QString("TIMEOUT"));
        QCOMPARE(popups->popups.size(), std::size_t(1));
        const JournalRecords read = ReadJournal(journal);
        QCOMPARE(read.records.size(), qsizetype(2));
        const QJsonObject outcome = read.records.at(1);
        QCOMPARE(outcome["outcome"].toString(), QString("failed"));
        QCOMPARE(outcome["error"].toObject(),
                 QJsonObject({{"code", "sensor_absent"}, {"message", "port is not open"}}));
        QCOMPARE(outcome["attempt"].toInteger(), read.records.at(0)["seq"].toInteger());
    }

    // The attempt is taken, the outcome is not (the file may grow by one attempt's line only):
    // the block is sent all the same and the status line says what is missing.
    void outcomeNotRecordedIsSaid() {
        const QString journal = dir.filePath("limit.jsonl");
        JournalAt(journal);
        Click(PANEL_SEND);
        QVERIFY(sensor.waitForRequests(1, 1.0));
        const QList<QByteArray> lines = JournalLines(journal);
        QCOMPARE(lines.size(), qsizetype(2));
        sensor.clearRequests();
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 177); // as many digits as 100

        rlimit saved{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit small = saved; // an attempt's line is as long as the first one
        small.rlim_cur = static_cast<rlim_t>(Contents(journal).size() + lines[0].size() + 1);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        Click(PANEL_SEND);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(sensor.waitForRequests(1, 1.0));
        QCOMPARE(int(sensor.ram()[0]), 177);
        QCOMPARE(TextVal(PANEL_STATUS), "sent, but its outcome is not in the journal: journal " +
                                            journal + ": " + SystemText(EFBIG));
        QVERIFY(popups->popups.empty());
        const JournalRecords read = ReadJournal(journal);
        QCOMPARE(read.records.size(), qsizetype(3));
        QCOMPARE(read.records.at(2)["outcome"].toString(), QString("pending"));
    }

    // A journal that takes no record (here a symbolic link; every cause is the journal's own
    // and tested there): nothing is sent, and the reason is in the status line and the popup.
    void unjournaledSendSendsNothing() {
        const QString folder = dir.filePath("refused");
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + "/journal.jsonl";
        QVERIFY(QFile::link(folder + "/elsewhere.jsonl", path));
        JournalAt(path);
        SetCtrlVal(zurid::panel, PANEL_THRESHOLD, 77);
        Click(PANEL_SEND);

        const QString why = "journal " + path + ": a symbolic link, not followed; nothing sent";
        QCOMPARE(TextVal(PANEL_STATUS), why);
        QCOMPARE(popups->popups.size(), std::size_t(1));
        QCOMPARE(popups->popups[0].title, QString("INFO"));
        QCOMPARE(popups->popups[0].text, why);
        QVERIFY(!sensor.waitForRequests(1, 0.3));
        QVERIFY(sensor.ram() == kRam);
    }
};

QTEST_MAIN(SendJournalTest)
#include "test_sendjournal.moc"
