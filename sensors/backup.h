// A backup of a line of sensors into a folder, as `zurid backup` and zurid serve's backup jobs
// make it: each port's line check, RAM and EEPROM read; both blocks saved as parameter files in
// the window's format (COM3-ram.dat, COM3-eeprom.dat), and the folder's manifest.json naming
// each port, its device, where it sits, the time, both blocks and the result. Every file is
// written whole or not at all.
#pragma once

#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/result.h"

#include <QString>

#include <vector>

namespace zurid::sensors {

class BackupRun {
  public:
    // Into the folder `dir` (which exists), for the ports of `fleet`.
    BackupRun(QString dir, Fleet& fleet);

    // The fleet's plan for each port.
    std::vector<FleetStep> plan(FleetPort&) const;
    // After a port's last step: both its files.
    void finished(FleetPort& p);
    // Once every port has ended (or was interrupted): the manifest, every port with its
    // result, marked incomplete after an interruption.
    Status saveManifest();

  private:
    QString dir_;
    Fleet& fleet_;
    Manifest manifest_;
};

} // namespace zurid::sensors
