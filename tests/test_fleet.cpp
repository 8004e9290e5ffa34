// zurid backup, restore and verify against a line of simulated sensors, run as the real
// program: the round trip with every sensor changed, faults that must stay with their own port,
// backups that are refused before anything is written, Ctrl-C in the middle, and where a
// sensor sits.
#include "core/paramfile.h"
#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sim/fleet.h"
#include "support/backups.h"
#include "support/files.h"
#include "support/requests.h"
#include "support/zurid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <set>

using namespace testing_support;

namespace {

int Requests(const sim::SensorFleet& fleet) {
    int n = 0;
    for (std::size_t i = 0; i < fleet.size(); ++i) {
        n += static_cast<int>(fleet.at(i).requests().size());
    }
    return n;
}

QJsonArray Sensors(const QString& dir) {
    return QJsonDocument::fromJson(Contents(dir + "/manifest.json")).object()["sensors"].toArray();
}

// The manifest without its times, for comparing two runs.
QByteArray Timeless(const QString& dir) {
    QJsonObject top = QJsonDocument::fromJson(Contents(dir + "/manifest.json")).object();
    top.remove("created");
    QJsonArray sensors;
    for (const QJsonValue& v : top["sensors"].toArray()) {
        QJsonObject o = v.toObject();
        o.remove("time");
        sensors.append(o);
    }
    top["sensors"] = sensors;
    return QJsonDocument(top).toJson();
}

} // namespace

class FleetTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString Dir(const char* name) const { return tmp.filePath(name); }

  private slots:
    void backupChangeRestoreVerify() {
        sim::SensorFleet fleet(Configs(4));
        QVERIFY(fleet.start());
        const auto ports = fleet.paths();
        const QString dir = Dir("round"), again = Dir("again");

        ZuridRun r = RunZurid(QStringList{"backup", dir} + Coms(4), ports);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(Writes(fleet), 0);
        const QJsonArray sensors = Sensors(dir);
        QCOMPARE(sensors.size(), 4);
        for (unsigned i = 0; i < 4; ++i) {
            const QJsonObject e = sensors[int(i)].toObject();
            QCOMPARE(e["port"].toString(), QStringLiteral("COM%1").arg(i + 1));
            QCOMPARE(e["location"].toString(), QString::fromStdString(ports[i]));
            QCOMPARE(e["result"].toString(), "ok");
            QCOMPARE(FileBlock(dir + "/" + e["ramFile"].toString()), Pattern(i, true));
            QCOMPARE(FileBlock(dir + "/" + e["eepromFile"].toString()), Pattern(i, false));
        }
        // The same sensors again: the same files, times aside.
        QCOMPARE(RunZurid(QStringList{"backup", again} + Coms(4), ports).exitCode, 0);
        QCOMPARE(Timeless(again), Timeless(dir));
        for (const QString& f : QDir(dir).entryList(QDir::Files)) {
            if (f != "manifest.json") {
                QCOMPARE(Contents(again + "/" + f), Contents(dir + "/" + f));
            }
        }

        // Every sensor now holds its neighbour's sets: a crossed restore could not pass.
        for (unsigned i = 0; i < 4; ++i) {
            fleet.at(i).setRam(Pattern((i + 1) % 4, true));
            fleet.at(i).setEeprom(Pattern((i + 1) % 4, false));
            fleet.at(i).clearRequests();
        }
        r = RunZurid({"verify", dir}, ports);
        QCOMPARE(r.exitCode, 1);
        for (const QString& com : Coms(4)) {
            QVERIFY2(r.out.contains((com + "  RAM     THRESHOLD").toUtf8()), r.out);
            QVERIFY2(r.out.contains((com + "  EEPROM  SPARE15").toUtf8()), r.out);
            QVERIFY2(r.err.contains((com + "  ").toUtf8()) && r.err.contains("DIFFERS"), r.err);
        }
        r = RunZurid({"restore", dir, "--dry-run", "--ram"}, ports);
        QCOMPARE(r.exitCode, 0);
        // Each line reads sensor -> backup: what the restore would write.
        const int saved = Pattern(2, false)[0];
        const QByteArray expected = QStringLiteral("->  %1 (code %1)").arg(saved).toUtf8();
        bool found = false;
        for (const QByteArray& line : r.out.split('\n')) {
            if (line.startsWith("COM3  EEPROM  THRESHOLD")) {
                found = true;
                QVERIFY2(line.endsWith(expected), line);
            }
        }
        QVERIFY2(found, r.out);
        QCOMPARE(Writes(fleet), 0);

        // By default the EEPROM alone; the running RAM is left as it is.
        r = RunZurid({"restore", dir}, ports);
        QCOMPARE(r.exitCode, 0);
        for (unsigned i = 0; i < 4; ++i) {
            QCOMPARE(fleet.at(i).eeprom(), Pattern(i, false));
            QCOMPARE(fleet.at(i).ram(), Pattern((i + 1) % 4, true));
        }
        QCOMPARE(Writes(fleet), 4);
        r = RunZurid({"restore", dir, "COM2", "--ram"}, ports);
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(fleet.at(1).ram(), Pattern(1, true));
        QCOMPARE(fleet.at(0).ram(), Pattern(1, true));
        r = RunZurid({"restore", dir, "--ram"}, ports);
        QCOMPARE(r.exitCode, 0);
        r = RunZurid({"verify", dir}, ports);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.out.isEmpty(), r.out);
        for (unsigned i = 0; i < 4; ++i) {
            QCOMPARE(fleet.at(i).ram(), Pattern(i, true));
            QCOMPARE(fleet.at(i).eeprom(), Pattern(i, false));
        }
    }

    // A silent sensor, a pulled plug after the line check and a wrong line-check answer among
    // healthy ones: each fails alone, named in the summary, and the silent one costs its own
    // 3 s, not the others'. A sensor that stores something else fails its restore.
    void faultsStayWithTheirPort() {
        sim::SensorFleet fleet(Configs(6));
        QVERIFY(fleet.start());
        fleet.at(1).setFault(sim::Fault::Silent);
        fleet.at(3).setHangupAfter(1);
        fleet.at(4).setFault(sim::Fault::WrongLineCheck);
        const QString dir = Dir("faults");
        QElapsedTimer t;
        t.start();
        ZuridRun r = RunZurid(QStringList{"backup", dir} + Coms(6), fleet.paths());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(t.elapsed() < 5000, qPrintable(QString::number(t.elapsed())));
        const QStringList lines = r.errText().split('\n');
        for (const auto& [com, result] : {std::pair{"COM1", "ok"},
                                          {"COM2", "FAILED  line check: no reply"},
                                          {"COM3", "ok"},
                                          {"COM4", "FAILED  RAM read"},
                                          {"COM5", "FAILED  line check: wrong"},
                                          {"COM6", "ok"}}) {
            QVERIFY2(!lines.filter(QString(com) + "  ").filter(result).isEmpty(), r.err);
        }
        const QJsonArray sensors = Sensors(dir);
        QStringList results;
        for (const QJsonValue& v : sensors) {
            results << v["result"].toString();
        }
        QCOMPARE(results, (QStringList{"ok", "failed", "ok", "failed", "failed", "ok"}));
        QCOMPARE(FileBlock(dir + "/COM6-eeprom.dat"), Pattern(5, false));
        QVERIFY(!QFile::exists(dir + "/COM2-ram.dat"));

        // Restore: the healthy ones are written and read back; COM3 keeps a different block
        // than it was sent (it answers reads with its own fixed reply).
        fleet.at(2).setReply(4, std::vector<std::uint8_t>(15, 0));
        r = RunZurid({"restore", dir, "COM1", "COM3", "COM6"}, fleet.paths());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("COM3") && r.err.contains("EEPROM read-back: the sensor holds "
                                                          "something else"),
                 r.err);
        QVERIFY2(r.errText().split('\n').filter("COM6  ").filter("  ok  ").size() == 1, r.err);
    }

    // Nothing reaches any sensor when the manifest or a file is not what a backup writes.
    void refusedBackupWritesNothing() {
        sim::SensorFleet fleet(Configs(2));
        QVERIFY(fleet.start());
        const QString dir = Dir("refused");
        QCOMPARE(RunZurid(QStringList{"backup", dir} + Coms(2), fleet.paths()).exitCode, 0);
        const QByteArray manifest = Contents(dir + "/manifest.json");
        const QByteArray eeprom = Contents(dir + "/COM2-eeprom.dat");
        QJsonObject top = QJsonDocument::fromJson(manifest).object();
        const auto edited = [&](const std::function<void(QJsonObject&)>& change) {
            QJsonObject t = top;
            QJsonArray s = t["sensors"].toArray();
            QJsonObject e = s[1].toObject();
            change(e);
            s[1] = e;
            t["sensors"] = s;
            return QJsonDocument(t).toJson();
        };
        struct Case {
            QByteArray manifest, eepromFile;
            const char* reason;
        };
        const QList<Case> cases = {
            {manifest.left(manifest.size() / 2), eeprom, "not JSON"},
            {edited([](QJsonObject& e) {
                 QJsonArray a = e["ram"].toArray();
                 a[3] = 256;
                 e["ram"] = a;
             }),
             eeprom, "entry 2 (COM2): 'ram' value 4 is 256"},
            {edited([](QJsonObject& e) { e["eepromFile"] = "../COM2-eeprom.dat"; }), eeprom,
             "entry 2 (COM2): 'eepromFile'"},
            {edited([](QJsonObject& e) { e.remove("location"); }), eeprom,
             "entry 2 (COM2): 'location' is missing"},
            {manifest, eeprom + " 7\n", "COM2-eeprom.dat"},
            {manifest, QByteArray(eeprom).replace(' ', 'x'), "COM2-eeprom.dat"},
            {manifest, QByteArray(eeprom).replace("  ", " 1"),
             "COM2-eeprom.dat does not hold the block the manifest names"},
        };
        for (const Case& c : cases) {
            Put(dir + "/manifest.json", c.manifest);
            Put(dir + "/COM2-eeprom.dat", c.eepromFile);
            for (std::size_t i = 0; i < fleet.size(); ++i) {
                fleet.at(i).clearRequests();
            }
            for (const QStringList& args :
                 {QStringList{"restore", dir, "--ram"}, QStringList{"restore", dir, "COM1"},
                  QStringList{"verify", dir}}) {
                const ZuridRun r = RunZurid(args, fleet.paths());
                QCOMPARE(r.exitCode, 2);
                QVERIFY2(r.err.contains(c.reason), r.err);
                QVERIFY2(r.err.contains("nothing written"), r.err);
            }
            QCOMPARE(Requests(fleet), 0);
        }
        Put(dir + "/manifest.json", manifest);
        Put(dir + "/COM2-eeprom.dat", eeprom);
        for (const QStringList& bad : {QStringList{"restore"}, QStringList{"backup", dir},
                                       QStringList{"backup", dir, "COM1", "--all"},
                                       QStringList{"backup", dir, "COM1", "1"}}) {
            const ZuridRun r = RunZurid(bad, fleet.paths());
            QVERIFY2(r.exitCode == 2, qPrintable(bad.join(' ') + ": " + r.errText()));
        }
        // A port that is missing is not bad usage.
        QCOMPARE(RunZurid({"restore", dir, "COM9"}, fleet.paths()).exitCode, 1);
        QCOMPARE(Requests(fleet), 0);
    }

    // Ctrl-C while one port still waits for its reply: the run ends at once; the ports that
    // were done have whole files and the manifest names them, the rest as interrupted.
    void interruptedBackupLeavesWholeFiles() {
        sim::SensorFleet fleet(Configs(3));
        QVERIFY(fleet.start());
        fleet.at(2).setFault(sim::Fault::Silent);
        const QString dir = Dir("interrupted");
        QProcess p;
        StartZurid(p, QStringList{"backup", dir} + Coms(3), fleet.paths());
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir + "/COM2-eeprom.dat") &&
                                     QFile::exists(dir + "/COM1-eeprom.dat"),
                                 2900);
        QElapsedTimer t;
        t.start();
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        QVERIFY(p.waitForFinished(2000));
        QVERIFY2(t.elapsed() < 500, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(p.exitCode(), 1);
        QVERIFY(p.readAllStandardError().contains("interrupted"));
        const QStringList files = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(files, (QStringList{"COM1-eeprom.dat", "COM1-ram.dat", "COM2-eeprom.dat",
                                     "COM2-ram.dat", "manifest.json"}));
        const auto loaded = zurid::sensors::LoadBackup(zurid::sensors::FolderReader(dir));
        QVERIFY2(loaded, qPrintable(loaded.error()));
        QVERIFY(!loaded->complete);
        QCOMPARE(loaded->entries.size(), 3);
        QCOMPARE(loaded->entries[1].eeprom, Pattern(1, false));
        QCOMPARE(loaded->entries[2].result, zurid::sensors::BackupResult::Interrupted);
    }

    // The link in by-path names the socket, and wins over by-id (the adapter); without one,
    // the device path.
    void locationIsTheStableLink() {
        sim::SensorFleet fleet(Configs(2));
        QVERIFY(fleet.start());
        const QString root = Dir("serial");
        QVERIFY(QDir().mkpath(root + "/by-path") && QDir().mkpath(root + "/by-id"));
        const QString a = QString::fromStdString(fleet.paths()[0]);
        const QString b = QString::fromStdString(fleet.paths()[1]);
        QVERIFY(QFile::link(a, root + "/by-id/usb-FTDI_A-if00-port0"));
        QVERIFY(QFile::link(a, root + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"));
        QVERIFY(QFile::link(b, root + "/by-id/usb-FTDI_B-if00-port0"));
        QVERIFY(QFile::link("/nonexistent", root + "/by-path/dangling"));
        QCOMPARE(zurid::sensors::StableLocation(a, root),
                 root + "/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
        QCOMPARE(zurid::sensors::StableLocation(b, root), root + "/by-id/usb-FTDI_B-if00-port0");
        QCOMPARE(zurid::sensors::StableLocation("/dev/null", root), QString("/dev/null"));
        QCOMPARE(zurid::sensors::StableLocation("/dev/gone", root), QString("/dev/gone"));
    }
};

QTEST_GUILESS_MAIN(FleetTest)
#include "test_fleet.moc"
