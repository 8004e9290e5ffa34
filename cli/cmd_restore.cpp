// zurid restore DIR [PORT...] [--ram] [--dry-run] and zurid verify DIR [PORT...]: a backup made
// by `zurid backup` back into the sensors, or compared with what they hold, all ports at once.
// The backup is read and checked whole before any port is opened.
#include "cli/cli.h"
#include "cli/commands.h"
#include "platform/serial/journal.h"
#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/paramtext.h"
#include "sensors/restore.h"

#include "core/params.h"

#include <QJsonArray>
#include <QJsonObject>

namespace zurid::cli {

namespace {

const char* const kRestoreDetails =
    "For each sensor in DIR's backup (or for the named ports):\n"
    "line check, read the EEPROM block twice, write the saved EEPROM block, read it back after\n"
    "the settle delay and compare byte for byte; with --ram also the saved RAM block, read,\n"
    "written and read back the same way. A port whose two reads of a block differ (a line\n"
    "that delivers stale or stray bytes) gets nothing written.\n"
    "\n"
    "Only the EEPROM is written by default: a replaced sensor keeps the set through every power\n"
    "cycle, and the running sensor does not change behaviour in the middle of production; it\n"
    "takes the set at its next power-up. --ram makes it take the set at once.\n"
    "\n"
    "A sensor is found by where it sits (its /dev/serial/by-path or by-id link, else its device\n"
    "path), so a sensor swapped on the same socket gets the set of the one it replaces. A\n"
    "location that is an existing device counts as present even when the port table does not\n"
    "list it; a sensor whose location is gone fails, named. A backup that was interrupted is\n"
    "said to be incomplete. A manifest or parameter file that is malformed, a file that does\n"
    "not hold the block the manifest names, or anything in the folder that is not a regular\n"
    "file where the manifest names one (a symbolic link is not followed), is refused before\n"
    "anything is written, naming the entry and the reason. --dry-run reads the memories that\n"
    "would be written and prints, per port, the parameters that differ from the backup; it\n"
    "writes nothing. A read-back mismatch or a time-out fails that port alone. The summary\n"
    "table goes to stderr.\n"
    "\n"
    "Exit status: 0 every port restored (or read, with --dry-run), 1 a port failed or a sensor\n"
    "is missing, 2 bad usage or a refused backup (nothing was written).";

const char* const kVerifyDetails =
    "Reads the RAM and EEPROM blocks of each sensor in DIR's backup (or of the named ports),\n"
    "all at once, and prints on stdout every parameter that differs from the backup: port,\n"
    "memory, parameter, the saved value and the sensor's. A sensor whose location is gone fails,\n"
    "named; a location that is an existing device counts as present even when the port table\n"
    "does not list it. The summary table goes to stderr. With --json, stdout holds one object\n"
    "instead: \"ok\" and, per port, its result, note and differences (memory, parameter, the\n"
    "saved and the sensor's code, value and unit).\n"
    "\n"
    "Exit status: 0 every sensor holds its saved set, 1 a sensor differs, failed or is missing,\n"
    "2 bad usage or a refused backup.";

// The backup named on the command line, loaded and checked, and the ports it is about.
struct Plan {
    explicit Plan(const QString& name) : verb(name) {}

    // Parses the command line and chooses the ports: an exit status when the command is over
    // already (--help, bad usage, a refused backup).
    std::optional<int> prepare(QCommandLineParser& parser, const QStringList& args,
                               const char* details) {
        if (const auto status = ParseFleetCommand(parser, args, details)) {
            return status;
        }
        const QStringList positional = parser.positionalArguments();
        return choosePorts(positional.first(), positional.mid(1));
    }

    QString verb;
    Fleet fleet;
    Manifest manifest;

  private:
    std::optional<int> choosePorts(const QString& dir, const QStringList& names);
};

// Which entries to work on (see AddBackupPorts). An exit status after a message when the
// command cannot go on: named ports are looked up first, so that a missing or busy one is a
// failure (1), not bad usage.
std::optional<int> Plan::choosePorts(const QString& dir, const QStringList& names) {
    QList<PortRef> refs;
    if (const auto status = LookupPorts(verb, names, refs)) {
        return status;
    }
    Result<BackupPorts> found = AddBackupPorts(fleet, dir, names);
    if (!found) {
        Message(QStringLiteral("%1: %2").arg(verb, found.error()));
        return kExitUsage;
    }
    manifest = std::move(found->manifest);
    for (const QString& note : std::as_const(found->notes)) {
        Message(QStringLiteral("%1: %2").arg(verb, note));
    }
    if (fleet.ports().empty()) {
        Message(QStringLiteral("%1: the backup in %2 names no sensor").arg(verb, dir));
    }
    return std::nullopt;
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

// Every port's result and differences, saved -> sensor, as one JSON document.
QJsonObject CompareJson(Plan& plan, const QList<Memory>& memories) {
    QJsonArray ports;
    for (const auto& p : plan.fleet.ports()) {
        QJsonArray differences;
        for (Memory m : memories) {
            const auto& now = m == Memory::Ram ? p->ram : p->eeprom;
            if (p->state == FleetPort::State::Failed || !now || p->entry < 0) {
                continue;
            }
            for (const QJsonValue& d : DiffJson(Saved(plan, *p, m), *now, QStringLiteral("saved"),
                                                QStringLiteral("sensor"))) {
                QJsonObject o = d.toObject();
                o[QStringLiteral("memory")] = QLatin1String(MemoryName(m));
                differences.append(o);
            }
        }
        ports.append(QJsonObject{{QStringLiteral("port"), p->ref.label},
                                 {QStringLiteral("device"), p->ref.device},
                                 {QStringLiteral("location"), p->location},
                                 {QStringLiteral("result"), StateName(p->state).toLower()},
                                 {QStringLiteral("note"), p->note},
                                 {QStringLiteral("differences"), differences}});
    }
    return {{QStringLiteral("ok"), plan.fleet.allOk()}, {QStringLiteral("ports"), ports}};
}

// Reads `memories` of every port and compares them with the backup; the differences go to
// stdout in port order once every port has ended. `failOnDifference` (verify) makes one a
// failure and prints saved -> sensor (what changed since the backup); without it (a dry run)
// each line reads sensor -> saved (what the restore would write). `json`: one document instead.
int CompareRun(Plan& plan, const QList<Memory>& memories, bool failOnDifference,
               bool json = false) {
    Fleet& fleet = plan.fleet;
    const int status = RunFleet(
        plan.verb, fleet, [&](FleetPort&) { return ComparePlan(memories); },
        [&](FleetPort& p) {
            JudgeComparison(p, plan.manifest.entries[p.entry], memories, failOnDifference);
        });
    if (json) {
        OutJson(CompareJson(plan, memories));
        return status;
    }
    QString text;
    for (const auto& p : fleet.ports()) {
        for (Memory m : memories) {
            const auto& now = m == Memory::Ram ? p->ram : p->eeprom;
            if (p->state != FleetPort::State::Failed && now && p->entry >= 0) {
                const core::ParamBlock& saved = Saved(plan, *p, m);
                text += failOnDifference ? DifferenceLines(*p, m, saved, *now)
                                         : DifferenceLines(*p, m, *now, saved);
            }
        }
    }
    if (!text.isEmpty()) {
        Out(text);
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
    const QCommandLineOption reason(
        QStringLiteral("reason"),
        QStringLiteral("Why, for the journal (each sensor's restore is recorded there)."),
        QStringLiteral("TEXT"));
    parser.addOptions({ram, dryRun, reason});
    if (const auto status = plan.prepare(parser, args, kRestoreDetails)) {
        return *status;
    }
    if (const auto refused = RefuseReason(parser, plan.verb)) {
        return *refused;
    }
    QList<Memory> memories{Memory::Eeprom};
    if (parser.isSet(ram)) {
        memories << Memory::Ram;
    }
    if (parser.isSet(dryRun)) {
        return CompareRun(plan, memories, false);
    }
    // Each sensor's writes are journaled as its restore (the port and location filled in).
    const WriteOrigin origin{platform::JournalPath(),
                             platform::JournalEvent::Restore,
                             platform::JournalChannel::Cli,
                             platform::UnixUser(),
                             {},
                             {},
                             {},
                             parser.value(reason)};
    return RunFleet(
        plan.verb, plan.fleet,
        [&](FleetPort& p) { return RestorePlan(plan.manifest.entries[p.entry], memories, origin); },
        [&](FleetPort& p) { p.note = RestoredNote(memories); });
}

int RunVerify(const QStringList& args) {
    QCommandLineParser parser;
    Plan plan(QStringLiteral("verify"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the results and differences as JSON."));
    parser.addOption(json);
    if (const auto status = plan.prepare(parser, args, kVerifyDetails)) {
        return *status;
    }
    return CompareRun(plan, {Memory::Ram, Memory::Eeprom}, true, parser.isSet(json));
}

} // namespace zurid::cli
