// One owner per sensor, whatever name each program gives its port: zurid against zurid and
// against the window's serial layer, through a symlink twin of the device, a lock left by a
// killed owner, one row per device in the port table, and the exit status of a port that is
// missing, busy or not permitted.
#include "platform/serial/rs232.h"
#include "support/files.h"
#include "support/program.h"
#include "support/zurid.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using zurid::platform::CloseCom;
using zurid::platform::kComCannotOpen;
using zurid::platform::OpenComConfig;

using namespace testing_support;

class CliPortsTest : public QObject {
    Q_OBJECT
    sim::SensorSim sensor{sim::Config{.answerDelay = 0.002, .wireTime = false}};
    QTemporaryDir dir;
    QString twin; // a link to the sensor's device, as /dev/serial/by-id has them

    std::string Path() const { return sensor.path(); }
    QString Device() const { return QString::fromStdString(sensor.path()); }
    ZuridRun Zurid(const QStringList& args) { return RunZurid(args, {Path()}); }
    static QString InUseBy(qint64 pid) { return QStringLiteral("in use by process %1").arg(pid); }

    // The window's serial layer opening the sensor under `name`, as port `number`.
    static int WindowOpens(int number, const QString& name) {
        return OpenComConfig(number, name.toLocal8Bit().constData(), 4800, 0, 8, 1, 512, 512);
    }

  private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        QVERIFY(sensor.start());
        twin = dir.filePath("by-id-twin");
        QVERIFY(QFile::link(Device(), twin));
        qputenv("ZURID_PORTS", sensor.path().c_str());
    }
    void init() {
        ResetSensor(sensor, kRam);
        sensor.setFault(sim::Fault::None);
    }

    // Two `set`s on one sensor, the second through the link while the first is in its exchange:
    // the second is refused naming the first, and the first's write is what the sensor holds.
    void aSecondOwnerThroughALinkIsRefusedNamingTheFirst() {
        sim::SensorSim wired(sim::Config{.answerDelay = 0.005, .wireTime = true, .ram = kRam});
        QVERIFY(wired.start());
        const QString link = dir.filePath("wired-twin");
        QVERIFY(QFile::link(QString::fromStdString(wired.path()), link));
        QProcess first;
        StartZurid(first, {"set", QString::fromStdString(wired.path()), "THRESHOLD=22"},
                   {wired.path()});
        QVERIFY(first.waitForStarted());
        const qint64 owner = first.processId();
        // The first holds the port once its read request is on the wire.
        QVERIFY(wired.waitForRequests(1, 5.0));
        const ZuridRun second = RunZurid({"set", link, "HOLD=#4"}, {wired.path()});
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.errText().contains(InUseBy(owner) + " (zurid)"), second.err);
        QCOMPARE(first.exitCode(), 0);
        QCOMPARE(wired.ram()[0], std::uint8_t(22));
        QCOMPARE(wired.ram()[4], kRam[4]);
        QCOMPARE(CountOrder(wired, 1), std::size_t(1));
    }

    // The window and zurid keep each other out by any name; an owner killed outright leaves a
    // lock file behind that binds nobody.
    void theWindowAndZuridExcludeEachOther() {
        const int com = AddPort(Path());
        QCOMPARE(WindowOpens(com, twin), 0);
        ZuridRun r = Zurid({"get", Device()});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.errText().contains(InUseBy(::getpid())), r.err);
        QVERIFY(sensor.requests().empty());
        CloseCom(com);
        QCOMPARE(Zurid({"get", twin}).exitCode, 0);

        sensor.clearRequests();
        QProcess watch;
        StartZurid(watch, {"watch", twin, "--pause", "0"}, {Path()});
        QVERIFY(watch.waitForStarted());
        QVERIFY(sensor.waitForRequests(3, 5.0));
        QCOMPARE(WindowOpens(com, Device()), kComCannotOpen);
        ::kill(static_cast<pid_t>(watch.processId()), SIGKILL);
        QVERIFY(watch.waitForFinished(5000));
        QCOMPARE(WindowOpens(com, Device()), 0);
        CloseCom(com);
        QCOMPARE(Zurid({"check", "COM1"}).exitCode, 0);
    }

    void thePortTableHasOneRowPerDevice() {
        const std::vector<std::string> names = {Path(), twin.toStdString()};
        ZuridRun r = RunZurid({"ports", "--json"}, names);
        QCOMPARE(r.exitCode, 0);
        const QJsonArray rows = QJsonDocument::fromJson(r.out).array();
        int rowsForSensor = 0;
        for (const QJsonValue& row : rows) {
            rowsForSensor += row["device"].toString() == Device() ? 1 : 0;
        }
        QCOMPARE(rowsForSensor, 1);
        QCOMPARE(rows[0]["port"].toString(), QString("COM1"));
        // The link is the same port by its own name too.
        r = RunZurid({"check", twin, "--json"}, names);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(QJsonDocument::fromJson(r.out)["port"].toString(), QString("COM1"));
        r = RunZurid({"ports"}, {twin.toStdString(), Path()});
        const QStringList lines = r.outText().split('\n');
        QCOMPARE(lines.filter(Device()).size() + lines.filter(twin).size(), 2); // one row
        QVERIFY2(lines.value(1).contains(Device()) && lines.value(1).contains(twin), r.out);
    }

    void thePortNamedTwiceIsBadUsage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("watch") << QStringList{"watch", "COM1", "COM1"};
        QTest::newRow("watch by a link") << QStringList{"watch", "COM1", twin};
        QTest::newRow("backup by a link") << QStringList{"backup", dir.filePath("bk"), twin, "1"};
    }
    void thePortNamedTwiceIsBadUsage() {
        QFETCH(QStringList, args);
        const ZuridRun r = Zurid(args);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("the same port twice"), r.err);
        QVERIFY(sensor.requests().empty());
    }

    // Missing or busy: exit 1 from every command, the port named, nothing sent.
    void aPortMissingOrBusyExits1_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("busy");
        QTest::addColumn<QString>("says");
        const QString file = dir.filePath("set.dat");
        Put(file, FileText(kRam));
        for (const QString& port : {QString("COM1"), twin}) {
            const QString tag = port == twin ? " by a link" : "";
            for (const QStringList& args : {QStringList{"get", port},
                                            {"check", port},
                                            {"set", port, "HOLD=#2"},
                                            {"send", port, file},
                                            {"buffer", port},
                                            {"watch", port},
                                            {"ports", "--probe", port},
                                            {"backup", dir.filePath("busy"), port}}) {
                QTest::addRow("%s busy%s", qPrintable(args[0]), qPrintable(tag))
                    << args << true << "in use by process";
            }
        }
        QTest::newRow("beyond the table") << QStringList{"get", "COM9"} << false << "COM9";
        QTest::newRow("port zero") << QStringList{"check", "0"} << false << "COM0";
        QTest::newRow("missing device")
            << QStringList{"get", "/dev/no-such-tty"} << false << "no such device";
        QTest::newRow("set on a missing port")
            << QStringList{"set", "COM7", "HOLD=#2"} << false << "COM7";
        QTest::newRow("probe a missing port")
            << QStringList{"ports", "--probe", "COM1", "COM7"} << false << "COM7";
        QTest::newRow("backup a missing port")
            << QStringList{"backup", dir.filePath("gone"), "COM7"} << false << "COM7";
    }
    void aPortMissingOrBusyExits1() {
        QFETCH(QStringList, args);
        QFETCH(bool, busy);
        QFETCH(QString, says);
        const int com = AddPort(Path());
        if (busy) {
            QCOMPARE(WindowOpens(com, Device()), 0);
        }
        const ZuridRun r = Zurid(args);
        CloseCom(com);
        QCOMPARE(r.exitCode, 1);
        // ports --probe names it in its table, the others in a message.
        QVERIFY2((r.errText() + r.outText()).contains(says), r.err + r.out);
        QVERIFY(sensor.requests().empty());
    }

    // Refused by the system: the message names the group the device really belongs to.
    void aPortNotPermittedNamesItsGroup() {
        const QByteArray device = Path().c_str();
        struct stat before {};
        QVERIFY(::stat(device, &before) == 0);
        const group* uucp = ::getgrnam("uucp");
        const bool root = ::geteuid() == 0;
        if (root) {
            // As an operator outside the device's group: nobody, on a device of the group uucp.
            QVERIFY(uucp != nullptr);
            QVERIFY(::chown(device, 0, uucp->gr_gid) == 0 && ::chmod(device, 0660) == 0);
        } else {
            QVERIFY(::chmod(device, 0) == 0);
        }
        struct stat now {};
        QVERIFY(::stat(device, &now) == 0);
        const QString groupName = QString::fromLocal8Bit(::getgrgid(now.st_gid)->gr_name);
        for (const QStringList& args : {QStringList{"get", "COM1"}, {"watch", Device()}}) {
            QProcess p;
            if (root) {
                p.setChildProcessModifier([] {
                    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 ||
                        ::setuid(65534) != 0) {
                        ::_exit(99);
                    }
                });
            }
            StartZurid(p, args, {Path()});
            QVERIFY(p.waitForFinished(10000));
            const QString err = p.readAllStandardError();
            QCOMPARE(p.exitCode(), 1);
            QVERIFY2(err.contains("permission denied") && err.contains(" " + groupName),
                     qPrintable(err));
        }
        QVERIFY(::chown(device, before.st_uid, before.st_gid) == 0 &&
                ::chmod(device, before.st_mode & 07777) == 0);
        QVERIFY(sensor.requests().empty());
    }
};

QTEST_GUILESS_MAIN(CliPortsTest)
#include "test_cli_ports.moc"
