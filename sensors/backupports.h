// The sensors of a backup found again, for verify and restore: the backup is loaded and checked
// whole first (a refusal touches no port), then each sensor is looked for where it sat.
#pragma once

#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/result.h"

#include <QString>
#include <QStringList>

namespace zurid::sensors {

struct BackupPorts {
    Manifest manifest;
    QStringList notes; // for the operator before the run: an incomplete backup, kept sets
};

// Loads the backup in `dir` and adds its sensors to `fleet`, each port's `entry` its index in
// the manifest:
//  - with `names`, those ports; each must have an entry;
//  - without, every entry: at the port of the table whose location it is, else at its
//    location itself when that is an existing device (a by-path or by-id link, a device path,
//    a pseudo-terminal) that the table does not list. An entry whose location is gone is a
//    failed port ("not present"), so the run fails and names it.
// A present sensor whose entry holds no saved set (its backup failed or was interrupted) is a
// failed port too. The message of a refusal says whether the backup or a port was the cause.
Result<BackupPorts> AddBackupPorts(Fleet& fleet, const QString& dir, const QStringList& names);

} // namespace zurid::sensors
