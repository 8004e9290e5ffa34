// zurid backup DIR [PORT... | --all]: every sensor's RAM and EEPROM block saved as parameter
// files, all ports at once, with DIR/manifest.json naming what was done.
#include "cli/cli.h"
#include "cli/commands.h"
#include "sensors/backup.h"
#include "sensors/fleet.h"

#include <QDir>

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
    BackupRun backup(dir, fleet);
    const int status = RunFleet(
        fleet, [&](FleetPort& p) { return backup.plan(p); },
        [&](FleetPort& p) { backup.finished(p); });
    const Status saved = backup.saveManifest();
    const QString why = saved.error;
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
