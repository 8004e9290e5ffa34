// zurid restore DIR [PORT...] [--ram] [--dry-run] and zurid verify DIR [PORT...]: a backup made
// by `zurid backup` back into the sensors, or compared with what they hold, all ports at once.
// The backup is read and checked whole before any port is opened.
#include "cli/cli.h"
#include "cli/commands.h"
#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/paramtext.h"
#include "sensors/restore.h"

#include "core/params.h"

#include <QHash>

namespace zurid::cli {

namespace {

const char* const kRestoreDetails =
    "For each sensor in DIR's backup whose location is present (or for the named ports):\n"
    "line check, write the saved EEPROM block, read it back after the settle delay and compare\n"
    "byte for byte; with --ram also the saved RAM block, written and read back the same way.\n"
    "\n"
    "Only the EEPROM is written by default: a replaced sensor keeps the set through every power\n"
    "cycle, and the running sensor does not change behaviour in the middle of production; it\n"
    "takes the set at its next power-up. --ram makes it take the set at once.\n"
    "\n"
    "A sensor is found by where it sits (its /dev/serial/by-path or by-id link, else its device\n"
    "path), so a sensor swapped on the same socket gets the set of the one it replaces. A\n"
    "manifest or parameter file that is malformed, or a file that does not hold the block the\n"
    "manifest names, is refused before anything is written, naming the entry and the reason.\n"
    "--dry-run reads the memories that would be written and prints, per port, the parameters\n"
    "that differ from the backup; it writes nothing. A read-back mismatch or a time-out fails\n"
    "that port alone. The summary table goes to stderr.\n"
    "\n"
    "Exit status: 0 every port restored (or read, with --dry-run), 1 a port failed, 2 bad usage\n"
    "or a refused backup (nothing was written).";

const char* const kVerifyDetails =
    "Reads the RAM and EEPROM blocks of each sensor in DIR's backup whose location is present\n"
    "(or of the named ports), all at once, and prints on stdout every parameter that differs\n"
    "from the backup: port, memory, parameter, the saved value and the sensor's. The summary\n"
    "table goes to stderr.\n"
    "\n"
    "Exit status: 0 every sensor holds its saved set, 1 a sensor differs or failed, 2 bad usage\n"
    "or a refused backup.";

// The backup named on the command line, loaded and checked, and the ports it is about.
struct Plan {
    explicit Plan(const QString& name) : verb(name), fleet(name) {}

    // Parses the command line and chooses the ports: an exit status when the command is over
    // already (--help, bad usage, a refused backup).
    std::optional<int> prepare(QCommandLineParser& parser, const QStringList& args,
                               const char* details) {
        if (const auto status = ParseFleetCommand(parser, args, details)) {
            return status;
        }
        const QStringList positional = parser.positionalArguments();
        if (!choosePorts(positional.first(), positional.mid(1))) {
            return kExitUsage;
        }
        return std::nullopt;
    }

    QString verb;
    Fleet fleet;
    Manifest manifest;

  private:
    bool choosePorts(const QString& dir, const QStringList& names);
};

// Which entries to work on: those of the named ports (each must have one), or every entry whose
// location is a port of the table now. False after a message when the command cannot go on.
bool Plan::choosePorts(const QString& dir, const QStringList& names) {
    const ManifestRead loaded = LoadBackup(FolderReader(dir));
    if (!loaded.manifest) {
        Message(QStringLiteral("%1: backup in %2 refused, nothing written: %3")
                    .arg(verb, dir, loaded.error));
        return false;
    }
    manifest = *loaded.manifest;
    QHash<QString, int> byLocation;
    for (int i = 0; i < manifest.entries.size(); ++i) {
        byLocation.insert(manifest.entries[i].location, i);
    }
    if (!names.isEmpty()) {
        if (const Status added = fleet.addPorts(names); !added) {
            Message(added.error);
            return false;
        }
    } else {
        QStringList present;
        for (const PortRef& ref : PortTable()) {
            if (byLocation.contains(StableLocation(ref.device))) {
                present << ref.device;
            }
        }
        if (const Status added = fleet.addPorts(present); !added) {
            Message(added.error);
            return false;
        }
    }
    QSet<int> used;
    for (auto& p : fleet.ports()) {
        const auto it = byLocation.constFind(p->location);
        if (it == byLocation.constEnd()) {
            Message(QStringLiteral("%1: %2 (%3) has no entry in the backup in %4")
                        .arg(verb, p->ref.label, p->location, dir));
            return false;
        }
        p->entry = *it;
        used.insert(*it);
        const ManifestEntry& e = manifest.entries[*it];
        if (e.result != BackupResult::Ok) {
            p->state = FleetPort::State::Failed;
            p->note = QStringLiteral("no saved set: its backup %1").arg(ResultName(e.result));
        }
    }
    if (names.isEmpty()) {
        for (int i = 0; i < manifest.entries.size(); ++i) {
            if (!used.contains(i)) {
                const ManifestEntry& e = manifest.entries[i];
                Message(QStringLiteral("%1: %2 (%3) is not present; left out")
                            .arg(verb, e.port, e.location));
            }
        }
    }
    if (fleet.ports().empty()) {
        Message(QStringLiteral("%1: none of the sensors in the backup is present").arg(verb));
    }
    return true;
}

const core::ParamBlock& Saved(const Plan& plan, const FleetPort& p, Memory m) {
    return SavedBlock(plan.manifest.entries[p.entry], m);
}

// One line per differing parameter: port, memory, name, value `from` -> value `to`.
QString DifferenceLines(const FleetPort& p, Memory m, const core::ParamBlock& from,
                        const core::ParamBlock& to) {
    QString out;
    for (const QString& line : DiffLines(from, to)) {
        out += QStringLiteral("%1  %2  %3\n")
                   .arg(p.ref.label)
                   .arg(QLatin1String(MemoryName(m)), -6)
                   .arg(line);
    }
    return out;
}

// Reads `memories` of every port and compares them with the backup; the differences go to
// stdout in port order once every port has ended. `failOnDifference` (verify) makes one a
// failure and prints saved -> sensor (what changed since the backup); without it (a dry run)
// each line reads sensor -> saved (what the restore would write).
int CompareRun(Plan& plan, const QList<Memory>& memories, bool failOnDifference) {
    Fleet& fleet = plan.fleet;
    const int status = RunFleet(
        fleet, [&](FleetPort&) { return ComparePlan(memories); },
        [&](FleetPort& p) {
            JudgeComparison(p, plan.manifest.entries[p.entry], memories, failOnDifference);
        });
    for (const auto& p : fleet.ports()) {
        for (Memory m : memories) {
            const auto& now = m == Memory::Ram ? p->ram : p->eeprom;
            if (p->state != FleetPort::State::Failed && now && p->entry >= 0) {
                const core::ParamBlock& saved = Saved(plan, *p, m);
                Out(failOnDifference ? DifferenceLines(*p, m, saved, *now)
                                     : DifferenceLines(*p, m, *now, saved));
            }
        }
    }
    return status;
}

} // namespace

int RunRestore(const QStringList& args) {
    QCommandLineParser parser;
    Plan plan(QStringLiteral("restore"));
    const QCommandLineOption ram(
        QStringLiteral("ram"),
        QStringLiteral("Write the saved RAM block too (takes effect at once)."));
    const QCommandLineOption dryRun(QStringLiteral("dry-run"),
                                    QStringLiteral("Print the differences; write nothing."));
    parser.addOptions({ram, dryRun});
    if (const auto status = plan.prepare(parser, args, kRestoreDetails)) {
        return *status;
    }
    QList<Memory> memories{Memory::Eeprom};
    if (parser.isSet(ram)) {
        memories << Memory::Ram;
    }
    if (parser.isSet(dryRun)) {
        return CompareRun(plan, memories, false);
    }
    return RunFleet(
        plan.fleet,
        [&](FleetPort& p) { return RestorePlan(plan.manifest.entries[p.entry], memories); },
        [&](FleetPort& p) { p.note = RestoredNote(memories); });
}

int RunVerify(const QStringList& args) {
    QCommandLineParser parser;
    Plan plan(QStringLiteral("verify"));
    if (const auto status = plan.prepare(parser, args, kVerifyDetails)) {
        return *status;
    }
    return CompareRun(plan, {Memory::Ram, Memory::Eeprom}, true);
}

} // namespace zurid::cli
