// The plans of restore and verify against a backup (see backup.h), shared by `zurid` and zurid
// serve's jobs: a compare reads the memories and names what differs from the saved blocks; a
// restore writes the saved blocks and reads each back (success means the sensor holds it).
#pragma once

#include "sensors/fleet.h"
#include "sensors/manifest.h"

#include <QList>
#include <QString>

#include <vector>

namespace zurid::sensors {

const core::ParamBlock& SavedBlock(const ManifestEntry& e, Memory m);

// "THRESHOLD, POWER"; past a handful only how many.
QString NameList(const core::ParamBlock& a, const core::ParamBlock& b);

// Line check, then each memory read into the port's ram/eeprom.
std::vector<FleetStep> ComparePlan(const QList<Memory>& memories);
// Line check, then for each memory the saved block written and read back.
std::vector<FleetStep> RestorePlan(const ManifestEntry& e, const QList<Memory>& memories);

// After a compare: the port's note says what differs from the entry ("same as the backup",
// "EEPROM: THRESHOLD"; for a dry run "would change EEPROM: THRESHOLD"); with
// `failOnDifference` (verify) a difference makes the port Differs.
void JudgeComparison(FleetPort& p, const ManifestEntry& e, const QList<Memory>& memories,
                     bool failOnDifference);
// The note of a port restored: "EEPROM written and read back".
QString RestoredNote(const QList<Memory>& memories);

} // namespace zurid::sensors
