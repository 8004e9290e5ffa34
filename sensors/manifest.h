// A backup of a line of sensors: DIR/manifest.json names every sensor that was backed up (port,
// device, where it sits, time, result, both parameter blocks) and its two parameter files in the
// window's format beside it. Reading is strict: a backup that is not exactly what a backup
// writes is refused as a whole, naming the entry and the reason, before any sensor is touched.
#pragma once

#include "core/protocol.h"
#include "sensors/result.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

namespace zurid::sensors {

inline constexpr char kManifestName[] = "manifest.json";
inline constexpr char kManifestFormat[] = "zurid-backup";
// Version 2 added `kept`; version 1 manifests are read as they are.
inline constexpr int kManifestVersion = 2;

enum class BackupResult { Ok, Failed, Interrupted };

struct ManifestEntry {
    QString port;     // as named on the command line or numbered in the table: "COM3"
    QString device;   // "/dev/ttyUSB0"
    QString location; // stable name of where the sensor sits (by-path, by-id or the device)
    QString time;     // ISO 8601 UTC, when its result was known
    BackupResult result = BackupResult::Ok;
    QString error; // why it failed (Failed only)
    // Ok entries carry both blocks and the names of their files in the backup's folder.
    core::ParamBlock ram{}, eeprom{};
    QString ramFile, eepromFile;
    // An Ok entry carried over from an earlier run by a later one that did not back this sensor
    // up (it failed, was interrupted or was not asked for): why, e.g. "RAM read: no reply
    // within 3.0 s". Empty for a set of the manifest's own run; `time` stays the earlier run's.
    QString kept;
};

struct Manifest {
    QString created;      // ISO 8601 UTC, start of the backup
    bool complete = true; // false when the backup was interrupted
    QList<ManifestEntry> entries;
};

// The manifest as JSON (keys sorted, so the same sensors give the same text, times aside).
QByteArray WriteManifest(const Manifest& m);

// The manifest, or Refused with the reason: "entry 2 (COM2): 'ram' value 4 is 300, not a whole
// number 0-255".
Result<Manifest> ReadManifest(const QByteArray& json);

// Reads a file of the backup by its name. Io with the system's words when it cannot (also when
// it is not a regular file, or a symbolic link: nothing is read through a link in the folder);
// Refused when it is larger than any such file can be.
using FileReader = std::function<Result<QByteArray>(const QString& name)>;
FileReader FolderReader(const QString& dir);

// The manifest and every Ok entry's two files, which must hold exactly the blocks the manifest
// names. A refusal names the file or the entry and the reason.
Result<Manifest> LoadBackup(const FileReader& read);
// The check LoadBackup makes of one Ok entry: both its files hold its blocks, else which file
// and why not.
Status CheckEntryFiles(const FileReader& read, const ManifestEntry& e);

// The parameter-file text of a block, as a backup writes it.
QByteArray ParamFileBytes(const core::ParamBlock& b);

// Parameter-file names of a port: "COM3-ram.dat"; a device path outside the table as
// "ttyUSB0-ram.dat" or "pts-4-ram.dat". Variant n > 1 is "COM3-ram-n.dat", for a run that must
// not overwrite the file an earlier backup still names.
QString BackupFileName(const QString& port, bool ram, int variant = 1);

QString ResultName(BackupResult r); // "ok", "failed", "interrupted"

} // namespace zurid::sensors
