// zurid backup DIR [PORT... | --all]: every sensor's RAM and EEPROM block saved as parameter
// files, all ports at once, with DIR/manifest.json naming what was done.
#include "cli/cli.h"
#include "cli/commands.h"
#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/paramtext.h"

#include "core/paramfile.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

namespace zurid::cli {

namespace {

const char* const kBackupDetails =
    "Reads every named port at once (with --all: every port in the table that answers the\n"
    "line check): line check, RAM block, EEPROM block (with the settle delays). Each block is\n"
    "saved in DIR as a parameter file in the window's format (COM3-ram.dat, COM3-eeprom.dat),\n"
    "and DIR/manifest.json names each port, its device, where it sits (its /dev/serial/by-path\n"
    "or by-id link when the system has one, else the device), the time, both blocks and the\n"
    "result. DIR is made when missing. Every file is written whole or not at all. A port that\n"
    "fails is reported and the others go on; a silent one costs its own 3 s, not the others'.\n"
    "The summary table goes to stderr. Ctrl-C stops at once; the files already written are\n"
    "whole and the manifest names what was done. Backing up the same sensors twice gives the\n"
    "same files, times aside.\n"
    "\n"
    "Exit status: 0 every port backed up, 1 a port or a file failed, 2 bad usage.";

// Written whole or not at all; empty on success, else why not.
QString SaveWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        return QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
    }
    return {};
}

QByteArray ParamFileBytes(const core::ParamBlock& b) {
    return QByteArray::fromStdString(core::WriteParamFile(b));
}

class Backup {
  public:
    Backup(QString dir, Fleet& fleet) : dir_(std::move(dir)), fleet_(fleet) {
        manifest_.created = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    }

    std::vector<FleetStep> plan(FleetPort&) const {
        const auto keep = [](Memory m) {
            return [m](FleetPort& p, const Reply& r) {
                (m == Memory::Ram ? p.ram : p.eeprom) = ToBlock(r.bytes);
                return QString();
            };
        };
        return {{QStringLiteral("line check"), [](PortSession& s, Done d) { s.lineCheck(d); }, {}},
                {QStringLiteral("RAM read"),
                 [](PortSession& s, Done d) { s.readParams(Memory::Ram, d); }, keep(Memory::Ram)},
                {QStringLiteral("EEPROM read"),
                 [](PortSession& s, Done d) { s.readParams(Memory::Eeprom, d); },
                 keep(Memory::Eeprom)}};
    }

    // Both files of the port; the manifest follows once every port has ended (or on Ctrl-C).
    void finished(FleetPort& p) {
        const QDir dir(dir_);
        for (const bool ram : {true, false}) {
            const QString why = SaveWhole(dir.filePath(BackupFileName(p.ref.label, ram)),
                                          ParamFileBytes(ram ? *p.ram : *p.eeprom));
            if (!why.isEmpty()) {
                p.state = FleetPort::State::Failed;
                p.note = why;
                return;
            }
        }
    }

    // Every port with its result.
    QString saveManifest() {
        manifest_.complete = !fleet_.interrupted();
        manifest_.entries.clear();
        for (const auto& p : fleet_.ports()) {
            ManifestEntry e;
            e.port = p->ref.label;
            e.device = p->ref.device;
            e.location = p->location;
            e.time = p->time;
            switch (p->state) {
            case FleetPort::State::Ok:
                e.result = BackupResult::Ok;
                e.ram = *p->ram;
                e.eeprom = *p->eeprom;
                e.ramFile = BackupFileName(p->ref.label, true);
                e.eepromFile = BackupFileName(p->ref.label, false);
                break;
            case FleetPort::State::Failed:
                e.result = BackupResult::Failed;
                e.error = p->note;
                break;
            case FleetPort::State::Running:
            case FleetPort::State::Interrupted:
                e.result = BackupResult::Interrupted;
                break;
            case FleetPort::State::Differs:
            case FleetPort::State::Skipped:
                continue;
            }
            manifest_.entries.append(e);
        }
        return SaveWhole(QDir(dir_).filePath(QLatin1String(kManifestName)),
                         WriteManifest(manifest_));
    }

  private:
    QString dir_;
    Fleet& fleet_;
    Manifest manifest_;
};

} // namespace

int RunBackup(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("Every port in the table that has a sensor."));
    parser.addOption(all);
    if (const auto status = ParseFleetCommand(parser, args, kBackupDetails)) {
        return *status;
    }
    const QStringList positional = parser.positionalArguments();
    const QStringList names = positional.mid(1);
    if (names.isEmpty() == !parser.isSet(all)) {
        Message(QStringLiteral("backup needs PORT... or --all, not both nor neither (see 'zurid "
                               "backup --help')"));
        return kExitUsage;
    }
    Fleet fleet(QStringLiteral("backup"));
    if (parser.isSet(all)) {
        fleet.addAll();
    } else if (const Status added = fleet.addPorts(names); !added) {
        Message(added.error);
        return kExitUsage;
    }
    const QString dir = positional.first();
    if (!QDir().mkpath(dir)) {
        Message(QStringLiteral("cannot make the folder %1").arg(dir));
        return kExitFailed;
    }
    Backup backup(dir, fleet);
    const int status = RunFleet(
        fleet, [&](FleetPort& p) { return backup.plan(p); },
        [&](FleetPort& p) { backup.finished(p); });
    const QString why = backup.saveManifest();
    if (!why.isEmpty()) {
        Message(why);
        return kExitFailed;
    }
    if (fleet.ports().empty() ||
        std::all_of(fleet.ports().begin(), fleet.ports().end(),
                    [](const auto& p) { return p->state == FleetPort::State::Skipped; })) {
        Message(QStringLiteral("backup: no sensor found"));
    }
    return status;
}

} // namespace zurid::cli
