// The table of how each port of a fleet run ended, as `zurid backup`, `verify` and `restore`
// print it on stderr and `zurid serve` gives it as a job's "summary".
#pragma once

#include "sensors/fleet.h"

#include <QString>

namespace zurid::sensors {

// "VERB: n of m ports ok" (skipped ports not counted), then port, location, result per line.
// `verb` names the command: "backup".
QString FleetTable(const Fleet& fleet, const QString& verb);

} // namespace zurid::sensors
