// zurid among other Unix programs: output that cannot be written is a failure, --json speaks
// numbers with their units apart on every command that has it, and a second Ctrl-C ends a run
// that the first could not stop.
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

// POWER code 10 (79 %), HOLD 3 (50 ms), TRIGGER 1 (EXT), AVERAGE 9 (unknown), DEAD TIME in ms,
// index 7 (14 ms).
const sim::Block kSet = {22, 120, 10, 0, 3, 1, 20, 50, 9, 1, 7, 0, 0, 0, 0};

QJsonObject Parameter(const QJsonArray& params, const QString& key) {
    for (const QJsonValue& p : params) {
        if (p["key"].toString() == key) {
            return p.toObject();
        }
    }
    return {};
}

} // namespace

class CliMannersTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;

    QString Path(const char* name) const { return dir.filePath(name); }
    ZuridRun Zurid(const QStringList& args, const QString& out = {}) {
        return RunZurid(args, {sensor.path()}, 20000, out);
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QVERIFY(sensor.start());
        ResetSensor(sensor, kRam);
        Put(Path("a.dat"), FileText(kRam));
        Put(Path("b.dat"), FileText(kSet));
        QCOMPARE(Zurid({"backup", Path("bk"), "COM1"}).exitCode, 0);
    }
    void init() { ResetSensor(sensor, kSet); }

    void aFullStdoutIsAFailure_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        const QString a = Path("a.dat");
        const QString b = Path("b.dat");
        QTest::newRow("get") << QStringList{"get", "COM1"} << 1;
        QTest::newRow("get --json") << QStringList{"get", "COM1", "--json"} << 1;
        QTest::newRow("check --json") << QStringList{"check", "COM1", "--json"} << 1;
        QTest::newRow("ports") << QStringList{"ports"} << 1;
        QTest::newRow("ports --probe --json")
            << QStringList{"ports", "--probe", "--json", "COM1"} << 1;
        QTest::newRow("buffer") << QStringList{"buffer", "COM1"} << 1;
        QTest::newRow("watch") << QStringList{"watch", "COM1", "--count", "2"} << 1;
        QTest::newRow("help") << QStringList{"help", "get"} << 1;
        QTest::newRow("serve --help") << QStringList{"serve", "--help"} << 1;
        // diff's 1 means "different": output that was lost is trouble.
        QTest::newRow("diff") << QStringList{"diff", a, b} << 2;
        QTest::newRow("diff --json") << QStringList{"diff", a, "COM1", "--json"} << 2;
    }
    void aFullStdoutIsAFailure() {
        QFETCH(QStringList, args);
        QFETCH(int, exitCode);
        const ZuridRun r = Zurid(args, "/dev/full");
        QCOMPARE(r.exitCode, exitCode);
        QVERIFY2(r.err.contains("cannot write to stdout: " + SystemText(ENOSPC).toUtf8()), r.err);
    }

    // serve is a program of its own, found beside zurid or where it is installed; without it,
    // a plain message and nothing else.
    void serveWithoutItsProgramSaysSo() {
        const QString installed = QStringLiteral(ZURID_LIBEXEC_DIR "/zurid-serve");
        if (QFileInfo::exists(installed)) {
            QSKIP("zurid serve is installed on this machine");
        }
        QVERIFY(QDir().mkpath(Path("lone")));
        const QString lone = Path("lone/zurid");
        QVERIFY(QFile::copy(ZuridPath(), lone));
        QProcess p;
        p.start(lone, {"serve", "COM1"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 1);
        const QByteArray err = p.readAllStandardError();
        QVERIFY2(err.startsWith("zurid: serve: cannot run") && err.contains(installed.toUtf8()),
                 err);

        // Installed under any prefix, bin/zurid finds libexec/zurid-serve.
        QVERIFY(QDir().mkpath(Path("prefix/bin")) && QDir().mkpath(Path("prefix/libexec")));
        QVERIFY(QFile::copy(ZuridPath(), Path("prefix/bin/zurid")));
        QVERIFY(QFile::copy(ZuridPath() + "-serve", Path("prefix/libexec/zurid-serve")));
        p.start(Path("prefix/bin/zurid"), {"serve", "--help"});
        QVERIFY(p.waitForFinished(10000));
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(p.readAllStandardOutput().startsWith("Usage: zurid serve"));
    }

    // An endless watch into a full disk ends at the first line it cannot write.
    void aWatchIntoAFullDiskEnds() {
        QElapsedTimer t;
        t.start();
        const ZuridRun r = Zurid({"watch", "COM1", "--pause", "0"}, "/dev/full");
        QCOMPARE(r.exitCode, 1);
        QVERIFY(t.elapsed() < 5000);
        QCOMPARE(r.err.count("cannot write"), 1);
    }

    void jsonHasNumbersWithTheirUnitsApart() {
        ZuridRun r = Zurid({"get", "COM1", "--json"});
        QCOMPARE(r.exitCode, 0);
        const QJsonArray params = QJsonDocument::fromJson(r.out)["parameters"].toArray();
        const struct {
            const char* key;
            QJsonValue value;
            const char* unit; // nullptr: none ("")
        } want[] = {
            {"THRESHOLD", 22, nullptr},     {"POWER", 79, "%"},       {"HOLD", 50, "ms"},
            {"TRIGGER", "EXT", nullptr},    {"AVERAGE", {}, nullptr}, {"DEADTIME", 14, "ms"},
            {"DEADTIMEMODE", "ms", nullptr}};
        for (const auto& w : want) {
            const QJsonObject p = Parameter(params, w.key);
            QVERIFY2(p["value"] == w.value, w.key);
            QVERIFY2(p["value"].isNull() == w.value.isNull(), w.key); // null, not absent
            QCOMPARE(p["unit"].toString(), QString(w.unit != nullptr ? w.unit : ""));
        }
        QCOMPARE(Parameter(params, "AVERAGE")["known"].toBool(), false);
        QCOMPARE(Parameter(params, "AVERAGE")["code"].toInt(), 9);

        r = Zurid({"diff", Path("a.dat"), "COM1", "--json"});
        QCOMPARE(r.exitCode, 1);
        QJsonObject o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o["same"].toBool(), false);
        QCOMPARE(o["b"].toObject()["port"].toString(), QString("COM1"));
        const QJsonArray diffs = o["differences"].toArray();
        QCOMPARE(diffs.size(), 11); // all but HYSTERESIS, BACKLIM, REGCNT and DEAD TIME's code
        QJsonObject power = Parameter(diffs, "POWER");
        QCOMPARE(power["a"].toObject()["value"].toInt(), 50); // kRam's code 23
        QCOMPARE(power["b"].toObject()["value"].toInt(), 79);
        QCOMPARE(power["b"].toObject()["unit"].toString(), QString("%"));

        r = Zurid({"check", "COM1", "--json"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out)["ok"].toBool(), true);
        sensor.setFault(sim::Fault::WrongLineCheck);
        r = Zurid({"check", "COM1", "--json"});
        QCOMPARE(r.exitCode, 1);
        o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o["ok"].toBool(), false);
        QVERIFY2(o["error"].toString().contains("AA 01 01"), r.out);
        sensor.setFault(sim::Fault::None);

        r = Zurid({"ports", "--probe", "--json", "COM1"});
        QCOMPARE(r.exitCode, 0);
        const QJsonObject port = QJsonDocument::fromJson(r.out)[0].toObject();
        QCOMPARE(port["device"].toString(), QString::fromStdString(sensor.path()));
        QCOMPARE(port["probe"].toObject()["ok"].toBool(), true);

        // The backup holds kRam in RAM; the sensor now holds kSet there, its EEPROM as it was.
        r = Zurid({"verify", Path("bk"), "--json"});
        QCOMPARE(r.exitCode, 1);
        o = QJsonDocument::fromJson(r.out).object();
        QCOMPARE(o["ok"].toBool(), false);
        const QJsonObject com1 = o["ports"][0].toObject();
        QCOMPARE(com1["result"].toString(), QString("differs"));
        const QJsonArray changed = com1["differences"].toArray();
        QCOMPARE(changed.size(), 11);
        power = Parameter(changed, "POWER");
        QCOMPARE(power["memory"].toString(), QString("RAM"));
        QCOMPARE(power["saved"].toObject()["value"].toInt(), 50);
        QCOMPARE(power["sensor"].toObject()["value"].toInt(), 79);
    }

    // Ctrl-C asks for a clean end, which a write into a full pipe holds up; a second one ends
    // the run at once with 130.
    void aSecondCtrlCEndsAtOnce() {
        const QByteArray fifo = Path("slow-reader").toLocal8Bit();
        QVERIFY(::mkfifo(fifo, 0600) == 0);
        const int reader = ::open(fifo, O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
        const int capacity = ::fcntl(reader, F_SETPIPE_SZ, 4096);
        QVERIFY(capacity > 0);
        QProcess watch;
        watch.setStandardOutputFile(QString::fromLocal8Bit(fifo));
        StartZurid(watch, {"watch", "COM1", "--pause", "0"}, {sensor.path()});
        QVERIFY(watch.waitForStarted());
        const auto queued = [reader] {
            int n = 0;
            return ::ioctl(reader, FIONREAD, &n) == 0 ? n : -1;
        };
        // Full, and zurid waits in its write.
        QTRY_VERIFY_WITH_TIMEOUT(queued() > capacity - 100, 10000);
        QTest::qWait(200);
        const pid_t pid = static_cast<pid_t>(watch.processId());
        ::kill(pid, SIGINT);
        QTest::qWait(100);
        QElapsedTimer t;
        t.start();
        ::kill(pid, SIGINT);
        const bool ended = watch.waitForFinished(2000);
        if (!ended) {
            watch.kill();
            watch.waitForFinished(2000);
        }
        ::close(reader);
        QVERIFY(ended);
        QVERIFY(t.elapsed() < 1000);
        QCOMPARE(watch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(watch.exitCode(), 130);
    }
};

QTEST_GUILESS_MAIN(CliMannersTest)
#include "test_cli_manners.moc"
