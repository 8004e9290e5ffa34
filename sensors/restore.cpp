#include "sensors/restore.h"

#include "platform/serial/files.h"
#include "sensors/paramtext.h"
#include "sensors/write.h"

#include "core/params.h"

#include <QFile>
#include <QHash>

namespace zurid::sensors {

namespace {

// Two reads that agree before anything is written to the port.
FleetStep ReadTwice(Memory m) {
    return TransactionStep(
        QStringLiteral("%1 read").arg(QLatin1String(MemoryName(m))),
        [m](PortSession& s, Done d) {
            s.readParamsTwice(m, [d = std::move(d)](TransactionResult r) {
                if (!r.ok() && r.kind != ErrorKind::Unsteady) {
                    r.error += QStringLiteral("; nothing written");
                }
                d(r);
            });
        },
        // What the sensor holds before the restore, for the journal.
        [m](FleetPort& p, const TransactionResult& r) {
            (m == Memory::Ram ? p.ram : p.eeprom) = ToBlock(r.bytes);
            return Status();
        });
}

// The saved block written and read back; a failure names its stage ("EEPROM read-back: ...").
// With an origin it is journaled as a restore of the port.
FleetStep Write(const core::ParamBlock& block, Memory m, std::optional<WriteOrigin> origin) {
    return {{}, [block, m, origin](FleetPort& p, PortSession& s, StepDone done) {
                BlockWrite what{
                    m, block, {}, false, true, origin, m == Memory::Ram ? p.ram : p.eeprom};
                if (what.origin) {
                    what.origin->event = platform::JournalEvent::Restore;
                    what.origin->sensor = p.ref.label;
                    what.origin->location = p.location;
                }
                WriteBlock(s, std::move(what), [m, done](const WriteResult& w) {
                    if (w.ok() && !w.notRecorded.isEmpty()) {
                        done(Status::failure(
                            ErrorKind::Unrecorded,
                            QStringLiteral("written, but its outcome is not in the journal: %1")
                                .arg(w.notRecorded)));
                        return;
                    }
                    if (w.ok()) {
                        done({});
                        return;
                    }
                    // A block that did not stay is named in short, as in the table.
                    done(Status::failure(
                        w.error.kind,
                        w.error.kind != ErrorKind::NotKept
                            ? WriteFailureText(m, w)
                            : QStringLiteral("%1 read-back: the sensor holds something else (%2)")
                                  .arg(QLatin1String(MemoryName(m)), NameList(w.wanted, w.after))));
                });
            }};
}

// Where the entry's sensor is now: the port of the table at its location, else the location
// itself when it is a device; empty when it is gone.
QString FindSensor(const QString& location, const QHash<QString, QString>& tableByLocation) {
    if (const auto it = tableByLocation.constFind(location); it != tableByLocation.constEnd()) {
        return *it;
    }
    return platform::IsCharacterDevice(QFile::encodeName(location).toStdString()) ? location
                                                                                  : QString();
}

} // namespace

Result<BackupPorts> AddBackupPorts(Fleet& fleet, const QString& dir, const QStringList& names) {
    const Result<Manifest> loaded = LoadBackup(FolderReader(dir));
    if (!loaded) {
        return Result<BackupPorts>::failure(
            ErrorKind::Invalid,
            QStringLiteral("backup in %1 refused, nothing written: %2").arg(dir, loaded.error()));
    }
    BackupPorts out{*loaded, {}};
    const QList<ManifestEntry>& entries = out.manifest.entries;
    if (!out.manifest.complete) {
        out.notes << QStringLiteral("the backup in %1 is incomplete: it was interrupted on %2 "
                                    "and holds only the sets it had saved by then")
                         .arg(dir, out.manifest.created);
    }
    QHash<QString, int> byLocation;
    for (int i = 0; i < entries.size(); ++i) {
        byLocation.insert(entries[i].location, i);
    }
    if (!names.isEmpty()) {
        for (const QString& name : names) {
            const Result<FleetPort*> added = fleet.addPort(name);
            if (!added) {
                return added.failed();
            }
            const auto it = byLocation.constFind((*added)->location);
            if (it == byLocation.constEnd()) {
                return Result<BackupPorts>::failure(
                    ErrorKind::NotFound, QStringLiteral("%1 (%2) has no entry in the backup in %3")
                                             .arg((*added)->ref.label, (*added)->location, dir));
            }
            (*added)->entry = *it;
        }
    } else {
        QHash<QString, QString> tableByLocation;
        for (const PortRef& ref : PortTable()) {
            const QString location = StableLocation(ref.device);
            if (!tableByLocation.contains(location)) {
                tableByLocation.insert(location, ref.label);
            }
        }
        for (int i = 0; i < entries.size(); ++i) {
            const ManifestEntry& e = entries[i];
            const QString where = FindSensor(e.location, tableByLocation);
            if (where.isEmpty()) {
                fleet.addAbsent(
                    {e.port, e.device}, e.location,
                    {ErrorKind::Gone, QStringLiteral("not present: %1 is gone").arg(e.location)});
                fleet.ports().back()->entry = i;
                continue;
            }
            const Result<FleetPort*> added = fleet.addPort(where, e.location);
            if (!added) {
                return added.failed();
            }
            (*added)->entry = i;
        }
    }
    for (auto& p : fleet.ports()) {
        const ManifestEntry& e = entries[p->entry];
        if (p->state != FleetPort::State::Running) {
            continue;
        }
        if (e.result != BackupResult::Ok) {
            p->state = FleetPort::State::Failed;
            p->note = QStringLiteral("no saved set: its backup %1").arg(ResultName(e.result));
        } else if (!e.kept.isEmpty()) {
            out.notes << QStringLiteral("%1 (%2): the saved set is from %3, kept by a later "
                                        "backup (%4)")
                             .arg(e.port, e.location, e.time, e.kept);
        }
    }
    return out;
}

const core::ParamBlock& SavedBlock(const ManifestEntry& e, Memory m) {
    return m == Memory::Ram ? e.ram : e.eeprom;
}

// "THRESHOLD, POWER"; past a handful only how many, the lines on stdout name them all.
QString NameList(const core::ParamBlock& a, const core::ParamBlock& b) {
    const std::vector<int> positions = core::DifferingPositions(a, b);
    if (positions.size() > 4) {
        return QStringLiteral("%1 parameters").arg(positions.size());
    }
    QStringList names;
    for (int pos : positions) {
        names << QString::fromLatin1(core::ParamTable()[static_cast<std::size_t>(pos)].key);
    }
    return names.join(QStringLiteral(", "));
}

std::vector<FleetStep> ComparePlan(const QList<Memory>& memories) {
    std::vector<FleetStep> steps{LineCheckStep()};
    for (Memory m : memories) {
        steps.push_back(ReadStep(m));
    }
    return steps;
}

std::vector<FleetStep> RestorePlan(const ManifestEntry& e, const QList<Memory>& memories,
                                   const std::optional<WriteOrigin>& origin) {
    std::vector<FleetStep> steps{LineCheckStep()};
    for (Memory m : memories) {
        steps.push_back(ReadTwice(m));
    }
    for (Memory m : memories) {
        steps.push_back(Write(SavedBlock(e, m), m, origin));
    }
    return steps;
}

void JudgeComparison(FleetPort& p, const ManifestEntry& e, const QList<Memory>& memories,
                     bool failOnDifference) {
    QStringList notes;
    for (Memory m : memories) {
        const core::ParamBlock& now = *(m == Memory::Ram ? p.ram : p.eeprom);
        const QString names = NameList(SavedBlock(e, m), now);
        if (!names.isEmpty()) {
            notes << QStringLiteral("%1%2: %3")
                         .arg(failOnDifference ? "" : "would change ", QLatin1String(MemoryName(m)),
                              names);
        }
    }
    p.note = notes.isEmpty() ? QStringLiteral("same as the backup") : notes.join("; ");
    if (!notes.isEmpty() && failOnDifference) {
        p.state = FleetPort::State::Differs;
    }
}

QString RestoredNote(const QList<Memory>& memories) {
    return memories.size() == 1 ? QStringLiteral("EEPROM written and read back")
                                : QStringLiteral("EEPROM and RAM written and read back");
}

} // namespace zurid::sensors
