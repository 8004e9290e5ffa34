#include "sensors/backupports.h"

#include "platform/serial/files.h"

#include <QFile>
#include <QHash>

namespace zurid::sensors {

namespace {

// Where the entry's sensor is now: the port of the table at its location, else the location
// itself when it is a device; empty when it is gone.
QString FindSensor(const QString& location, const QHash<QString, QString>& tableByLocation) {
    if (const auto it = tableByLocation.constFind(location); it != tableByLocation.constEnd()) {
        return *it;
    }
    return IsCharacterDevice(QFile::encodeName(location).toStdString()) ? location : QString();
}

} // namespace

Result<BackupPorts> AddBackupPorts(Fleet& fleet, const QString& dir, const QStringList& names) {
    const ManifestRead loaded = LoadBackup(FolderReader(dir));
    if (!loaded.manifest) {
        return Result<BackupPorts>::failure(
            QStringLiteral("backup in %1 refused, nothing written: %2").arg(dir, loaded.error));
    }
    BackupPorts out{*loaded.manifest, {}};
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
                return Result<BackupPorts>::failure(added.error());
            }
            const auto it = byLocation.constFind((*added)->location);
            if (it == byLocation.constEnd()) {
                return Result<BackupPorts>::failure(
                    QStringLiteral("%1 (%2) has no entry in the backup in %3")
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
                fleet.addAbsent({e.port, e.device}, e.location,
                                QStringLiteral("not present: %1 is gone").arg(e.location));
                fleet.ports().back()->entry = i;
                continue;
            }
            const Result<FleetPort*> added = fleet.addPort(where, e.location);
            if (!added) {
                return Result<BackupPorts>::failure(added.error());
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

} // namespace zurid::sensors
