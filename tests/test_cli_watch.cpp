// zurid watch against the simulator: rows decode as the window's displays do, several ports go
// into one CSV, and Ctrl-C, a time-out and a pulled plug all leave a CSV of complete lines.
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace testing_support;

namespace {

const char kHeader[] = "seconds,time,DAT0,DAT1,NORM,IN0,IN1,EDGE,EDGE%,WIN%";

// Every line ends with a newline and has the header's number of fields.
void VerifyComplete(const QByteArray& csv, int fields) {
    QVERIFY2(csv.endsWith('\n'), csv.right(80));
    for (const QByteArray& line : csv.trimmed().split('\n')) {
        QCOMPARE(line.count(',') + 1, fields);
    }
}

int Rows(const QByteArray& csv) {
    return int(csv.count('\n')) - 1;
}

} // namespace

class CliWatchTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    sim::SensorSim second{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;

  private slots:
    void initTestCase() {
        QVERIFY(sensor.start());
        QVERIFY(second.start());
    }
    void init() {
        ResetSensor(sensor, kRam);
        ResetSensor(second, kRam);
    }

    // The window's arithmetic: 16-bit values low byte first, percentages of the IN0 period
    // truncated, 0 when the period is 0, above 100 when longer.
    void rowsDecodeAsTheWindowShowsThem() {
        struct Case {
            sim::DataBlock reply;
            QString values; // DAT0 .. WIN%
        };
        const Case cases[] = {
            {{200, 55, 200, 0x34, 0x02, 0x10, 0x27, 0xE8, 0x03}, "200,55,200,10000,1000,564,5,10"},
            {{0, 0, 0, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00}, "0,0,0,0,1,255,0,0"},
            {{1, 2, 3, 0x00, 0x01, 0x64, 0x00, 0xFF, 0xFF}, "1,2,3,100,65535,256,256,65535"},
        };
        for (const Case& c : cases) {
            sensor.setLiveData(c.reply);
            sensor.clearRequests();
            const ZuridRun r =
                RunZurid({"watch", "COM1", "--count", "3", "--pause", "0"}, {sensor.path()});
            QCOMPARE(r.exitCode, 0);
            const QStringList lines = r.outText().split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.size(), 4);
            QCOMPARE(lines[0], QString(kHeader));
            double last = 0;
            for (const QString& line : lines.mid(1)) {
                const QStringList f = line.split(',');
                QCOMPARE(f.size(), 10);
                QCOMPARE(f.mid(2).join(','), c.values);
                QVERIFY(f[0].toDouble() >= 0.1 && f[0].toDouble() > last); // after the settle
                last = f[0].toDouble();
                QVERIFY(QDateTime::fromString(f[1], Qt::ISODateWithMs).isValid());
            }
            QCOMPARE(CountOrder(sensor, 5), std::size_t(3));
            QCOMPARE(sensor.requests().size(), std::size_t(3));
        }
    }

    void severalPortsShareOneCsvAndATimeOutEndsOnlyItsPort() {
        const QString path = dir.filePath("two.csv");
        ZuridRun r = RunZurid({"watch", "COM1", "COM2", "--count", "4", "--csv", path},
                              {sensor.path(), second.path()});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.out.isEmpty());
        QByteArray csv = Contents(path);
        QVERIFY(csv.startsWith(QByteArray("port,") + kHeader + '\n'));
        QCOMPARE(csv.count("\nCOM1,"), 4);
        QCOMPARE(csv.count("\nCOM2,"), 4);
        QCOMPARE(CountOrder(second, 5), std::size_t(4));

        second.setFault(sim::Fault::Silent);
        QElapsedTimer t;
        t.start();
        r = RunZurid({"watch", "COM1", "COM2", "--seconds", "5", "--csv", path},
                     {sensor.path(), second.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(t.elapsed() >= 4900); // COM1 went on after COM2 timed out
        QVERIFY2(r.err.contains("COM2: no reply within 3.0 s"), r.err);
        csv = Contents(path);
        VerifyComplete(csv, 11);
        QVERIFY(csv.count("\nCOM1,") >= 20);
        QCOMPARE(csv.count("\nCOM2,"), 0);
    }

    // "-" is stdout; a port whose path holds a comma and quotes is one quoted field (RFC 4180).
    void csvToStdoutQuotesAPortNameWithACommaOrQuote() {
        const QString link = dir.filePath("line 3, \"left\"");
        QVERIFY(QFile::link(QString::fromStdString(second.path()), link));
        const ZuridRun r =
            RunZurid({"watch", "COM1", link, "--count", "2", "--csv", "-"}, {sensor.path()});
        QCOMPARE(r.exitCode, 0);
        QVERIFY(!QFile::exists("-"));
        const QByteArray field = '"' + QFile::encodeName(link).replace("\"", "\"\"") + '"';
        QCOMPARE(r.out.count("\n" + field + ","), 2);
        VerifyComplete(QByteArray(r.out).replace(field, "LINK"), 11);
        QCOMPARE(r.out.count("\nCOM1,"), 2);
    }

    void ctrlCEndsAfterACompleteLine() {
        const QString path = dir.filePath("ctrlc.csv");
        QProcess p;
        StartZurid(p, {"watch", "COM1", "--pause", "0", "--csv", path}, {sensor.path()});
        QVERIFY(p.waitForStarted());
        QVERIFY(QTest::qWaitFor([&] { return Rows(Contents(path)) >= 20; }, 10000));
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        const QByteArray csv = Contents(path);
        VerifyComplete(csv, 10);
        QVERIFY2(p.readAllStandardError().contains("stopped"), "no message on stderr");
    }

    void aPulledPlugEndsTheWatchKeepingEveryLine() {
        sim::SensorSim plug(sim::Config{.answerDelay = 0.002, .wireTime = true, .ram = kRam});
        QVERIFY(plug.start());
        plug.setHangupAfter(6);
        const QString path = dir.filePath("plug.csv");
        QElapsedTimer t;
        t.start();
        const ZuridRun r = RunZurid({"watch", "COM1", "--csv", path}, {plug.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY(t.elapsed() < 2900); // noticed at once, not at the reply limit
        QVERIFY2(r.err.contains("COM1") && r.err.contains("went away"), r.err);
        const QByteArray csv = Contents(path);
        VerifyComplete(csv, 10);
        QCOMPARE(Rows(csv), 6);
    }
};

QTEST_GUILESS_MAIN(CliWatchTest)
#include "test_cli_watch.moc"
