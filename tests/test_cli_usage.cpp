// zurid's manners: every kind of bad input exits 2 with one clear line on stderr and nothing
// sent to the sensor or written to a file; --help and help CMD on every command; the manual
// page with its sections.
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QFile>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

using namespace testing_support;

class CliUsageTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;

    QString Path(const char* name) const { return dir.filePath(name); }

  private slots:
    void initTestCase() {
        QVERIFY(sensor.start());
        Put(Path("high.dat"), "1\n2\n300\n4\n5\n6\n7\n8\n9\n10\n11\n12\n13\n14\n15\n");
        Put(Path("short.dat"), "1 2 3 4 5 6 7 8 9 10 11 12 13 14\n");
        Put(Path("word.dat"), "1 2 3 4 5 6 7 eight 9 10 11 12 13 14 15\n");
        Put(Path("keep.csv"), "old\n");
    }

    void badInputExits2WithNothingSent_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("says");
        const QString high = Path("high.dat");
        QTest::newRow("no command") << QStringList{} << "which command";
        QTest::newRow("unknown command")
            << QStringList{"frobnicate"} << "unknown command 'frobnicate'";
        QTest::newRow("unknown option")
            << QStringList{"get", "COM1", "--bogus"} << "unknown option '--bogus'";
        QTest::newRow("unknown short option")
            << QStringList{"watch", "COM1", "-q"} << "unknown option '-q'";
        QTest::newRow("help on no command") << QStringList{"help", "frob"} << "'frob'";
        QTest::newRow("no port") << QStringList{"get"} << "needs more arguments";
        QTest::newRow("extra argument") << QStringList{"check", "COM1", "COM1"} << "too many";
        QTest::newRow("not a port") << QStringList{"check", "ttyS0"} << "not a port";
        QTest::newRow("value above 255") << QStringList{"send", "COM1", high} << "300";
        QTest::newRow("fourteen values")
            << QStringList{"send", "COM1", Path("short.dat")} << "not a parameter file";
        QTest::newRow("not a number") << QStringList{"send", "COM1", Path("word.dat")} << "eight";
        QTest::newRow("missing file")
            << QStringList{"send", "COM1", Path("none.dat")} << "cannot read";
        QTest::newRow("unknown name") << QStringList{"set", "COM1", "NOPE=1"} << "THRESHOLD";
        QTest::newRow("power too high") << QStringList{"set", "COM1", "POWER=120%"} << "POWER";
        QTest::newRow("unknown label") << QStringList{"set", "COM1", "TRIGGER=SOMETIMES"} << "EXT";
        QTest::newRow("no value") << QStringList{"set", "COM1", "POWER"} << "NAME=VALUE";
        QTest::newRow("named twice") << QStringList{"set", "COM1", "HOLD=#1", "hold=#2"} << "twice";
        QTest::newRow("dead time in no mode")
            << QStringList{"set", "COM1", "DEADTIME=13"} << "DEADTIME";
        QTest::newRow("count 0") << QStringList{"watch", "COM1", "--count", "0"} << "--count";
        QTest::newRow("pause word") << QStringList{"watch", "COM1", "--pause", "x"} << "--pause";
        QTest::newRow("seconds and count")
            << QStringList{"watch", "COM1", "--seconds", "1", "--count", "2"} << "exclude";
        QTest::newRow("csv in no directory")
            << QStringList{"watch", "COM1", "--csv", "/no/such/dir/x.csv"} << "cannot write";
        QTest::newRow("json and file")
            << QStringList{"get", "COM1", "--json", "-o", Path("x.dat")} << "exclude";
        QTest::newRow("output in no directory")
            << QStringList{"get", "COM1", "-o", "/no/such/dir/x.dat"} << "cannot write";
        QTest::newRow("empty output name")
            << QStringList{"get", "COM1", "-o", ""} << "--output needs a file name";
        QTest::newRow("empty csv name")
            << QStringList{"watch", "COM1", "--csv", ""} << "--csv needs a file name";
        QTest::newRow("diff of one") << QStringList{"diff", high} << "needs more arguments";
        QTest::newRow("diff of a bad file") << QStringList{"diff", high, "COM1"} << "300";
    }
    void badInputExits2WithNothingSent() {
        QFETCH(QStringList, args);
        QFETCH(QString, says);
        ResetSensor(sensor, kRam);
        const ZuridRun r = RunZurid(args, {sensor.path()});
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.out.isEmpty());
        QVERIFY2(r.err.startsWith("zurid: ") && r.err.count('\n') == 1, r.err);
        QVERIFY2(r.errText().contains(says), r.err);
        QVERIFY(sensor.requests().empty());
        QCOMPARE(sensor.ram(), kRam);
        QVERIFY(!QFile::exists(Path("x.dat")));
    }

    // A bad value that only the sensor's block shows up: read, refused, nothing written.
    void aValueWrongForTheSensorsModeIsRefusedAfterTheRead() {
        sim::Block ms = kRam;
        ms[9] = 1; // DEAD TIME in ms: 0, 2 .. 30
        ResetSensor(sensor, ms);
        const ZuridRun r =
            RunZurid({"set", "COM1", "THRESHOLD=90", "DEADTIME=12"}, {sensor.path()});
        QCOMPARE(r.exitCode, 0); // 12 ms is index 6
        QCOMPARE(sensor.ram()[10], std::uint8_t(6));
        ResetSensor(sensor, ms);
        const ZuridRun bad =
            RunZurid({"set", "COM1", "THRESHOLD=90", "DEADTIME=42"}, {sensor.path()});
        QCOMPARE(bad.exitCode, 2);
        QVERIFY2(bad.err.contains("nothing written"), bad.err);
        QCOMPARE(CountOrder(sensor, 1), std::size_t(0));
        QCOMPARE(sensor.ram(), ms);
    }

    // Held by a program that is not ours: still busy, not bad usage.
    void aBusyPortIsNamed() {
        ResetSensor(sensor, kRam);
        QSerialPort holder(QString::fromStdString(sensor.path()));
        QVERIFY(holder.open(QIODevice::ReadWrite));
        const ZuridRun r = RunZurid({"get", "COM1"}, {sensor.path()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("COM1") && r.err.contains("in use"), r.err);
        QVERIFY(sensor.requests().empty());
    }

    void helpOnEveryCommandAndTheManualPage() {
        const ZuridRun overview = RunZurid({"--help"}, {});
        QCOMPARE(overview.exitCode, 0);
        QFile man(QCoreApplication::applicationDirPath() + "/zurid.1");
        QVERIFY(man.open(QIODevice::ReadOnly));
        const QByteArray page = man.readAll();
        int commands = 0;
        for (const QString& line : overview.outText().split('\n')) {
            const QString name = line.section(' ', 2, 2);
            if (!line.startsWith("  ") || line.startsWith("  -") || name.isEmpty()) {
                continue;
            }
            ++commands;
            const ZuridRun r = RunZurid({name, "--help"}, {});
            QCOMPARE(r.exitCode, 0);
            QVERIFY2(r.out.startsWith("Usage: zurid " + name.toUtf8()), r.out);
            QVERIFY(r.err.isEmpty());
            QVERIFY2(page.contains("zurid " + name.toUtf8()), qPrintable(name));
            const ZuridRun help = RunZurid({"help", name}, {});
            QCOMPARE(help.exitCode, 0);
            QCOMPARE(help.out, r.out);
        }
        QCOMPARE(commands, 15);
        for (const char* section :
             {"EXIT STATUS", "ENVIRONMENT", "FILES", "EXAMPLES", "SEE ALSO"}) {
            QVERIFY2(page.contains(QByteArray(".SH \"") + section + '"') ||
                         page.contains(QByteArray(".SH ") + section + '\n'),
                     section);
        }
        QVERIFY(page.contains("ZURID_PORTS") && page.contains("130"));
        QCOMPARE(RunZurid({"--version"}, {}).out, QByteArray("zurid (TAVRIN-Zurid) 1.0\n"));
    }
};

QTEST_GUILESS_MAIN(CliUsageTest)
#include "test_cli_usage.moc"
