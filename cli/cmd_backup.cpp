// zurid backup DIR [PORT... | --all]: every sensor's RAM and EEPROM block saved as parameter
// files, all ports at once, with DIR/manifest.json naming what was done.
#include "cli/cli.h"
#include "cli/commands.h"
#include "platform/serial/files.h"
#include "platform/serial/journal.h"
#include "sensors/backup.h"

#include <QFile>

namespace zurid::cli {

namespace {

const char* const kBackupDetails =
    "Reads every named port at once (with --all: every port in the table that answers the\n"
    "line check): line check, RAM block, EEPROM block (with the settle delays). Each block is\n"
    "saved in DIR as a parameter file in the window's format (COM3-ram.dat, COM3-eeprom.dat),\n"
    "and DIR/manifest.json names each port, its device, where it sits (its /dev/serial/by-path\n"
    "or by-id link when the system has one, else the device), the time, both blocks, the files\n"
    "and the result. DIR is made when missing (mode 0700; the files in it are 0600). A port\n"
    "that fails is reported and the others go on; a silent one costs its own 3 s, not the\n"
    "others'. The summary table goes to stderr. A symbolic link in DIR is never followed: one\n"
    "where a file is to be written fails that port, one as the manifest refuses the backup.\n"
    "\n"
    "A backup into a folder that holds one already loses nothing: a sensor that fails, is\n"
    "interrupted or is not named this time keeps its earlier set and files, marked as kept.\n"
    "Every file is written whole under a name the earlier manifest does not use for other\n"
    "text (COM3-ram-2.dat when COM3-ram.dat still holds the earlier set), the manifest is\n"
    "replaced last, in one step, and only then are the files it no longer names removed: killed\n"
    "at any moment, the folder holds the earlier backup or the new one. A folder whose manifest\n"
    "cannot be read is left alone. Ctrl-C stops at once; the manifest names what was done.\n"
    "Backing up unchanged sensors again writes the same files, times aside.\n"
    "\n"
    "Exit status: 0 every port backed up, 1 a port or a file failed, 2 bad usage.";

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
    Fleet fleet;
    if (parser.isSet(all)) {
        fleet.addAll();
    } else {
        QList<PortRef> refs;
        if (const auto status = LookupPorts(QStringLiteral("backup"), names, refs)) {
            return *status;
        }
        fleet.addPorts(refs);
    }
    const QString dir = positional.first();
    // Made for its owner alone (0700), as the files in it (0600), whatever the umask.
    if (const std::string why = platform::MakeFolders(QFile::encodeName(dir).toStdString());
        !why.empty()) {
        Message(QStringLiteral("cannot make the folder %1: %2")
                    .arg(dir, QString::fromLocal8Bit(why.c_str())));
        return kExitFailed;
    }
    Result<BackupRun> run = BackupRun::open(dir);
    if (!run) {
        Message(QStringLiteral("backup: %1").arg(run.error()));
        return kExitFailed;
    }
    const int status = RunFleet(
        QStringLiteral("backup"), fleet, [](FleetPort&) { return BackupRun::plan(); },
        [&](FleetPort& p) { run->finished(p); });
    const Result<BackupRun::Committed> committed = run->saveManifest(fleet);
    if (!committed) {
        Message(committed.error());
        return kExitFailed;
    }
    for (const QString& line : committed->kept + committed->notes) {
        Message(QStringLiteral("backup: %1").arg(line));
    }
    WriteOrigin origin;
    origin.journal = platform::JournalPath();
    origin.who = platform::UnixUser();
    if (const QString why = JournalBackup(fleet, origin); !why.isEmpty()) {
        Message(QStringLiteral("backup: saved, but not in the journal: %1").arg(why));
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
