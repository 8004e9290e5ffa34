// A backup of a line of sensors into a folder, as `zurid backup` and zurid serve's backup jobs
// make it: each port's line check, RAM and EEPROM read; both blocks saved as parameter files in
// the window's format (COM3-ram.dat, COM3-eeprom.dat), and the folder's manifest.json naming
// each port, its device, where it sits, the time, both blocks, the files and the result.
//
// The folder may hold an earlier backup, and it never holds less than one whole backup: each
// file is written new (never over a file the earlier manifest names, unless it holds the very
// same text), the manifest is replaced last and atomically (the commit point), and only then
// are the earlier files that no entry names any more removed. A sensor this run does not back
// up (it failed, was interrupted or was not asked for) keeps its earlier set and files, marked
// as kept. The files are written for their owner alone (0600), and no symbolic link in the
// folder is followed: a link where a file is to be written fails that port, naming it.
#pragma once

#include "sensors/fleet.h"
#include "sensors/manifest.h"
#include "sensors/result.h"
#include "sensors/write.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

namespace zurid::sensors {

class BackupRun {
  public:
    // Reads the earlier backup in `dir`, if there is one. A manifest that is there but cannot
    // be read is refused: nothing may be written over a backup nobody can read.
    static Result<BackupRun> open(const QString& dir);

    // The transactions of one port: line check, RAM block, EEPROM block.
    static std::vector<FleetStep> plan();

    // After a port's last step: its two files. A file that cannot be written fails the port.
    void finished(FleetPort& p);

    struct Committed {
        QStringList kept;  // "COM2 (/dev/ttyUSB1): set of TIME kept (why)"
        QStringList notes; // earlier sets that were damaged, files that stay behind
    };
    // The manifest of this run with the earlier sets kept, then the clean-up.
    Result<Committed> saveManifest(const Fleet& fleet);

  private:
    BackupRun() = default;
    QString path(const QString& name) const;
    // The name for a new file of port `p` and whether it must be written (it need not when the
    // same sensor's earlier file of that name holds the same text).
    std::pair<QString, bool> chooseName(const FleetPort& p, bool ram, const QByteArray& text);
    // This run's entries and the earlier whole sets it keeps (for a port skipped, failed or
    // interrupted, a sensor not asked for); `kept` says which were kept and why.
    Manifest manifestOf(const Fleet& fleet, QStringList& kept) const;
    // After the commit: removes the files no entry of `m` names; a note for each that stays.
    QStringList removeUnnamed(const Manifest& m) const;

    QString dir_;
    QString created_;
    Manifest earlier_;
    QHash<QString, bool> earlierGood_;       // location -> its earlier Ok set is whole
    QHash<QString, QString> earlierOwner_;   // file the earlier manifest names -> its location
    QHash<QString, QByteArray> earlierText_; // that file -> the text its entry says it holds
    QSet<QString> chosen_;                   // names this run's entries use
    QSet<QString> written_;                  // files this run wrote
    QHash<const FleetPort*, std::pair<QString, QString>> files_; // port -> ram, eeprom file
    QStringList damaged_;
};

// Makes `ram` and `eeprom` the set of the entry for the sensor at `location` in the backup in
// `dir`, as a run would leave it: its two files written new under names no entry uses, the
// manifest replaced atomically (the commit point), then its old files removed. The entry keeps
// its port and device; its time is now. The backup as it is after, else why not: NotFound when
// it holds no set for `location`, the refusal of LoadBackup, Io naming the file not written.
Result<Manifest> ReplaceSet(const QString& dir, const QString& location,
                            const core::ParamBlock& ram, const core::ParamBlock& eeprom);

// A backup run in the journal: a record per port that took part ("backup", its RAM and EEPROM
// as saved, written or failed with why). Empty when recorded, else why not, naming the journal.
QString JournalBackup(const Fleet& fleet, const WriteOrigin& origin);

} // namespace zurid::sensors
