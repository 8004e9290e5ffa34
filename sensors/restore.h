// The plans of restore and verify against a backup (see backup.h), shared by `zurid` and zurid
// serve's jobs: the backup's sensors found again where they sat; a compare reads the memories and
// names what differs from the saved blocks; a restore reads each block twice first (a line whose
// reads disagree gets nothing written), then writes the saved blocks and reads each back (success
// means the sensor holds it).
#pragma once

#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/result.h"
#include "sensors/write.h"

#include <QList>
#include <QString>

#include <vector>

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

const core::ParamBlock& SavedBlock(const ManifestEntry& e, Memory m);

// "THRESHOLD, POWER"; past a handful only how many.
QString NameList(const core::ParamBlock& a, const core::ParamBlock& b);

// Line check, then each memory read into the port's ram/eeprom.
std::vector<FleetStep> ComparePlan(const QList<Memory>& memories);
// Line check, each memory read twice (they must agree: else nothing is written), then for each
// memory the saved block written and read back.
// With an origin, each write is journaled as a restore of its port (who, channel, reason).
std::vector<FleetStep> RestorePlan(const ManifestEntry& e, const QList<Memory>& memories,
                                   const std::optional<WriteOrigin>& origin = {});

// After a compare: the port's note says what differs from the entry ("same as the backup",
// "EEPROM: THRESHOLD"; for a dry run "would change EEPROM: THRESHOLD"); with
// `failOnDifference` (verify) a difference makes the port Differs.
void JudgeComparison(FleetPort& p, const ManifestEntry& e, const QList<Memory>& memories,
                     bool failOnDifference);
// The note of a port restored: "EEPROM written and read back".
QString RestoredNote(const QList<Memory>& memories);

} // namespace zurid::sensors
