// Backups that can be trusted, run as the real zurid against simulated sensors: a second run
// into the same folder loses no set, a run killed after any of its writes leaves the earlier
// backup or the new one, a sensor that is gone fails verify and restore, a FIFO in the folder
// is refused at once, and a link in it is never followed.
#include "sensors/manifest.h"
#include "support/backups.h"
#include "support/zurid.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace testing_support;
using zurid::sensors::BackupResult;
using zurid::sensors::Manifest;

namespace {

std::optional<Manifest> Load(const QString& dir, QString* why = nullptr) {
    const auto loaded = zurid::sensors::LoadBackup(zurid::sensors::FolderReader(dir));
    if (why != nullptr) {
        *why = loaded.error();
    }
    return loaded ? std::optional<Manifest>(*loaded) : std::nullopt;
}

QStringList FilesIn(const QString& dir) {
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

void CopyFolder(const QString& from, const QString& to) {
    QVERIFY(QDir().mkpath(to));
    for (const QString& name : FilesIn(from)) {
        QVERIFY(QFile::copy(from + "/" + name, to + "/" + name));
    }
}

void EditManifest(const QString& dir, const std::function<void(QJsonObject&)>& change) {
    QJsonObject top = QJsonDocument::fromJson(Contents(dir + "/manifest.json")).object();
    change(top);
    Put(dir + "/manifest.json", QJsonDocument(top).toJson());
}

bool IsFifo(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode);
}

} // namespace

class BackupSafetyTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    QString Dir(const QString& name) const { return tmp.filePath(name); }

  private slots:
    // Both sensors change, then COM2 fails its line check on the second run: COM1's new set
    // replaces its old one, COM2 keeps its earlier set, files and time, marked as kept, and
    // the folder holds nothing else. An earlier manifest of version 1 is read as it is.
    void aSecondRunWithAFailingPortLosesNothing() {
        sim::SensorFleet fleet(Configs(2));
        QVERIFY(fleet.start());
        const QString dir = Dir("twice");
        QCOMPARE(RunZurid({"backup", dir, "COM1", "COM2"}, fleet.paths()).exitCode, 0);
        const auto first = Load(dir);
        QVERIFY(first);
        EditManifest(dir, [](QJsonObject& top) { top["version"] = 1; });

        for (unsigned i = 0; i < 2; ++i) {
            fleet.at(i).setRam(Pattern(i, true, 1));
            fleet.at(i).setEeprom(Pattern(i, false, 1));
        }
        fleet.at(1).setFault(sim::Fault::WrongLineCheck);
        ZuridRun r = RunZurid({"backup", dir, "COM1", "COM2"}, fleet.paths());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("COM2") && r.err.contains("kept"), r.err);

        QString why;
        const auto second = Load(dir, &why);
        QVERIFY2(second, qPrintable(why));
        QCOMPARE(second->entries.size(), 2);
        const auto& com1 = second->entries[0];
        const auto& com2 = second->entries[1];
        QCOMPARE(com1.ram, Pattern(0, true, 1));
        QCOMPARE(com1.eeprom, Pattern(0, false, 1));
        QVERIFY(com1.kept.isEmpty());
        QCOMPARE(com2.result, BackupResult::Ok);
        QCOMPARE(com2.ram, Pattern(1, true));
        QCOMPARE(com2.eeprom, Pattern(1, false));
        QCOMPARE(com2.time, first->entries[1].time);
        QVERIFY2(com2.kept.contains("line check"), qPrintable(com2.kept));
        QStringList named{"manifest.json", com1.ramFile, com1.eepromFile, com2.ramFile,
                          com2.eepromFile};
        named.sort();
        QCOMPARE(FilesIn(dir), named);

        // The kept set is a set like any other: restore writes it back.
        fleet.at(1).setFault(sim::Fault::None);
        r = RunZurid({"restore", dir, "COM2"}, fleet.paths());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("kept by a later backup"), r.err);
        QCOMPARE(fleet.at(1).eeprom(), Pattern(1, false));
    }

    // The second run of a backup killed after each of its writes in turn (file written,
    // renamed, removed): every time the folder loads and holds either the earlier backup or
    // the new one, never a mix. COM1 changed since the first run; the sensor behind the link
    // has gone, so its earlier set is kept.
    void killedAtAnyWriteTheFolderHoldsOneWholeBackup() {
        sim::SensorFleet fleet(Configs(2));
        QVERIFY(fleet.start());
        const QString link = Dir("crash-link"), base = Dir("crash-base");
        QVERIFY(QFile::link(QString::fromStdString(fleet.paths()[1]), link));
        QCOMPARE(RunZurid({"backup", base, "COM1", link}, fleet.paths()).exitCode, 0);
        const auto earlier = Load(base);
        QVERIFY(earlier);
        fleet.at(0).setRam(Pattern(0, true, 1));
        fleet.at(0).setEeprom(Pattern(0, false, 1));
        QVERIFY(QFile::remove(link));

        int kills = 0, killedOld = 0, killedNew = 0;
        for (int n = 1; n <= 40; ++n) {
            const QString dir = Dir(QStringLiteral("crash-%1").arg(n));
            CopyFolder(base, dir);
            QProcessEnvironment env = ZuridEnv(fleet.paths());
            env.insert("ZURID_KILL_AFTER_WRITES", QString::number(n));
            const ZuridRun r = RunZuridIn(env, {"backup", dir, "COM1", link});
            QVERIFY(r.finished);
            QString why;
            const auto m = Load(dir, &why);
            QVERIFY2(m, qPrintable(QStringLiteral("after write %1: %2").arg(n).arg(why)));
            QCOMPARE(m->entries.size(), 2);
            const bool old = m->created == earlier->created;
            QCOMPARE(m->entries[0].ram, Pattern(0, true, old ? 0 : 1));
            QCOMPARE(m->entries[0].eeprom, Pattern(0, false, old ? 0 : 1));
            QCOMPARE(m->entries[1].ram, Pattern(1, true));
            QCOMPARE(m->entries[1].eeprom, Pattern(1, false));
            QCOMPARE(m->entries[1].kept.isEmpty(), old);
            if (!r.killed) {
                QCOMPARE(r.exitCode, 1); // the link's port failed
                QVERIFY(!old);
                break;
            }
            ++kills;
            (old ? killedOld : killedNew) += 1;
        }
        // Two files and the manifest written and renamed, two old files removed.
        QVERIFY2(kills >= 6, qPrintable(QString::number(kills)));
        QVERIFY(killedOld >= 4 && killedNew >= 1);
    }

    // A backed-up sensor whose location is gone fails verify and restore, named; a location
    // that is a device counts as present even when the port table does not list it; restore
    // says when the backup it restores was interrupted.
    void aSensorThatIsGoneFailsVerifyAndRestore() {
        sim::SensorFleet fleet(Configs(3));
        QVERIFY(fleet.start());
        const QString dir = Dir("gone"), link = Dir("gone-link");
        QVERIFY(QFile::link(QString::fromStdString(fleet.paths()[2]), link));
        QCOMPARE(RunZurid({"backup", dir, "COM1", "COM2", link}, fleet.paths()).exitCode, 0);
        QVERIFY(QFile::remove(link));

        for (const char* verb : {"verify", "restore"}) {
            const ZuridRun r = RunZurid({verb, dir}, fleet.paths());
            QCOMPARE(r.exitCode, 1);
            QVERIFY2(r.err.contains(QStringLiteral("%1: 2 of 3 ports ok").arg(verb).toUtf8()),
                     r.err);
            QVERIFY2(r.errText().split('\n').filter(link).filter("not present").size() == 1, r.err);
        }

        // Neither ZURID_PORTS nor the system lists the pseudo-terminals and the link.
        QVERIFY(QFile::link(QString::fromStdString(fleet.paths()[2]), link));
        ZuridRun r = RunZurid({"verify", dir}, {});
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("verify: 3 of 3 ports ok"), r.err);

        EditManifest(dir, [](QJsonObject& top) { top["complete"] = false; });
        r = RunZurid({"restore", dir, "--dry-run"}, fleet.paths());
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("incomplete"), r.err);
    }

    // A FIFO where the manifest names a file: verify is refused at once, nothing is sent; a
    // new backup writes that sensor's set anew and drops the FIFO. A FIFO as the manifest:
    // backup and verify both refuse at once.
    void aFifoInTheFolderIsRefusedNotWaitedOn() {
        sim::SensorFleet fleet(Configs(1));
        QVERIFY(fleet.start());
        const QString dir = Dir("fifo");
        QCOMPARE(RunZurid({"backup", dir, "COM1"}, fleet.paths()).exitCode, 0);
        const QString eeprom = dir + "/COM1-eeprom.dat", manifest = dir + "/manifest.json";
        QVERIFY(QFile::remove(eeprom));
        QCOMPARE(::mkfifo(QFile::encodeName(eeprom).constData(), 0600), 0);
        fleet.at(0).clearRequests();

        QElapsedTimer t;
        t.start();
        ZuridRun r = RunZurid({"verify", dir}, fleet.paths(), 10000);
        QVERIFY(r.finished && t.elapsed() < 3000);
        QCOMPARE(r.exitCode, 2);
        QVERIFY2(r.err.contains("COM1-eeprom.dat: not a regular file"), r.err);
        QVERIFY(fleet.at(0).requests().empty());

        r = RunZurid({"backup", dir, "COM1"}, fleet.paths(), 10000);
        QCOMPARE(r.exitCode, 0);
        QVERIFY2(r.err.contains("damaged"), r.err);
        QVERIFY(Load(dir));
        QVERIFY(!QFile::exists(eeprom));

        QVERIFY(QFile::remove(manifest));
        QCOMPARE(::mkfifo(QFile::encodeName(manifest).constData(), 0600), 0);
        fleet.at(0).clearRequests();
        t.restart();
        for (const char* verb : {"backup", "verify"}) {
            r = RunZurid({verb, dir, "COM1"}, fleet.paths(), 10000);
            QVERIFY(r.finished);
            QCOMPARE(r.exitCode, verb == QByteArray("backup") ? 1 : 2);
            QVERIFY2(r.err.contains("manifest.json") && r.err.contains("not a regular file"),
                     r.err);
        }
        QVERIFY(t.elapsed() < 3000);
        QVERIFY(fleet.at(0).requests().empty());
        QVERIFY(IsFifo(manifest));
    }

    // DIR may be a link (the user's choice); a link inside it is not followed. backup fails the
    // port whose file is a link, naming it, and writes nothing through it; verify and restore
    // refuse a backup whose file is a link before any sensor is asked.
    void aLinkInTheFolderIsNotFollowed() {
        sim::SensorFleet fleet(Configs(2));
        QVERIFY(fleet.start());
        const QString real = Dir("links-real"), dir = Dir("links"), victim = Dir("victim.txt");
        QVERIFY(QDir().mkpath(real) && QFile::link(real, dir));
        Put(victim, "mine\n");
        QVERIFY(QFile::link(victim, real + "/COM1-ram.dat"));
        ZuridRun r = RunZurid({"backup", dir, "COM1", "COM2"}, fleet.paths());
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains("links/COM1-ram.dat: a symbolic link, not followed"), r.err);
        QCOMPARE(Contents(victim), QByteArray("mine\n"));
        const auto m = Load(dir);
        QVERIFY(m && m->entries.size() == 2);
        QCOMPARE(m->entries[0].result, BackupResult::Failed);
        QCOMPARE(m->entries[1].result, BackupResult::Ok);

        // COM2's file as a link to a copy of itself.
        const QString copy = Dir("copy.dat"), file = real + "/COM2-eeprom.dat";
        QVERIFY(QFile::copy(file, copy) && QFile::remove(file) && QFile::link(copy, file));
        fleet.at(1).clearRequests();
        for (const char* verb : {"verify", "restore"}) {
            r = RunZurid({verb, dir}, fleet.paths());
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.err.contains("COM2-eeprom.dat: a symbolic link, not followed"), r.err);
        }
        QVERIFY(fleet.at(1).requests().empty());
    }
};

QTEST_GUILESS_MAIN(BackupSafetyTest)
#include "test_backup_safety.moc"
