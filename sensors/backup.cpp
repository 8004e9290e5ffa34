#include "sensors/backup.h"

#include "platform/serial/journal.h"

#include "platform/serial/files.h"
#include "sensors/paramtext.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace zurid::sensors {

namespace {

std::string Native(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

QString Text(const std::string& why) {
    return QString::fromLocal8Bit(why.c_str());
}

} // namespace

Result<BackupRun> BackupRun::open(const QString& dir) {
    BackupRun w;
    w.dir_ = dir;
    w.created_ = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QFileInfo manifest(w.path(QLatin1String(kManifestName)));
    if (!manifest.exists() && !manifest.isSymLink()) {
        return w;
    }
    const auto refuse = [&](const QString& why) {
        return Result<BackupRun>::failure(
            ErrorKind::Io,
            QStringLiteral("%1 holds a backup whose %2 cannot be read (%3); nothing written: move "
                           "it away or choose another folder")
                .arg(dir, QLatin1String(kManifestName), why));
    };
    const FileReader read = FolderReader(dir);
    const Result<QByteArray> json = read(QLatin1String(kManifestName));
    if (!json) {
        return refuse(json.error());
    }
    const Result<Manifest> m = ReadManifest(*json);
    if (!m) {
        return refuse(m.error());
    }
    w.earlier_ = *m;
    for (const ManifestEntry& e : w.earlier_.entries) {
        if (e.result != BackupResult::Ok) {
            continue;
        }
        const Status files = CheckEntryFiles(read, e);
        w.earlierGood_.insert(e.location, files.ok());
        if (!files) {
            w.damaged_ << QStringLiteral("%1 (%2): its earlier set is damaged and not kept: %3")
                              .arg(e.port, e.location, files.error());
        }
        for (const auto& [name, block] : {std::pair{e.ramFile, e.ram}, {e.eepromFile, e.eeprom}}) {
            w.earlierOwner_.insert(name, e.location);
            w.earlierText_.insert(name, ParamFileBytes(block));
        }
    }
    return w;
}

std::vector<FleetStep> BackupRun::plan() {
    return {LineCheckStep(), ReadStep(Memory::Ram), ReadStep(Memory::Eeprom)};
}

QString BackupRun::path(const QString& name) const {
    return QDir(dir_).filePath(name);
}

std::pair<QString, bool> BackupRun::chooseName(const FleetPort& p, bool ram,
                                               const QByteArray& text) {
    for (int variant = 1;; ++variant) {
        const QString name = BackupFileName(p.ref.label, ram, variant);
        if (chosen_.contains(name)) {
            continue;
        }
        const auto owner = earlierOwner_.constFind(name);
        if (owner == earlierOwner_.constEnd()) {
            return {name, true};
        }
        // The same sensor's earlier file with the same text serves as it is.
        if (*owner == p.location && earlierGood_.value(p.location) &&
            earlierText_.value(name) == text) {
            return {name, false};
        }
    }
}

void BackupRun::finished(FleetPort& p) {
    std::pair<QString, QString> names;
    for (const bool ram : {true, false}) {
        const QByteArray text = ParamFileBytes(ram ? *p.ram : *p.eeprom);
        const auto [name, write] = chooseName(p, ram, text);
        if (write) {
            const std::string why =
                platform::SaveFile(Native(path(name)), text.toStdString(), platform::kPrivateFile);
            if (!why.empty()) {
                p.state = FleetPort::State::Failed;
                p.note = QStringLiteral("cannot write %1: %2").arg(path(name), Text(why));
                return;
            }
            written_.insert(name);
        }
        chosen_.insert(name);
        (ram ? names.first : names.second) = name;
    }
    files_.insert(&p, names);
}

Manifest BackupRun::manifestOf(const Fleet& fleet, QStringList& kept) const {
    Manifest m;
    m.created = created_;
    m.complete = !fleet.interrupted();
    QHash<QString, const ManifestEntry*> earlier;
    for (const ManifestEntry& e : earlier_.entries) {
        earlier.insert(e.location, &e);
    }
    QSet<QString> handled;
    // The earlier set of `location`, carried over with why; false when there is no whole one.
    const auto keep = [&](const QString& location, const QString& why) {
        const ManifestEntry* before = earlier.value(location);
        if (before == nullptr || before->result != BackupResult::Ok ||
            !earlierGood_.value(location)) {
            return false;
        }
        ManifestEntry e = *before;
        e.kept = why;
        m.entries.append(e);
        kept << QStringLiteral("%1 (%2): its set of %3 is kept (%4)")
                    .arg(e.port, e.location, e.time, why);
        return true;
    };
    for (const auto& p : std::as_const(fleet).ports()) {
        ManifestEntry e;
        e.port = p->ref.label;
        e.device = p->ref.device;
        e.location = p->location;
        e.time = p->time;
        const auto files = files_.constFind(p.get());
        if (p->state == FleetPort::State::Ok && files != files_.constEnd()) {
            e.result = BackupResult::Ok;
            e.ram = *p->ram;
            e.eeprom = *p->eeprom;
            e.ramFile = files->first;
            e.eepromFile = files->second;
        } else if (p->state == FleetPort::State::Differs) {
            continue;
        } else if (p->state == FleetPort::State::Skipped) {
            handled.insert(p->location);
            keep(p->location, p->note);
            continue;
        } else {
            const bool failed = p->state == FleetPort::State::Failed;
            e.result = failed ? BackupResult::Failed : BackupResult::Interrupted;
            e.error = failed ? p->note : QString();
            handled.insert(p->location);
            if (keep(p->location, failed ? p->note : QStringLiteral("interrupted"))) {
                continue;
            }
        }
        handled.insert(p->location);
        m.entries.append(e);
    }
    for (const ManifestEntry& e : earlier_.entries) {
        if (handled.contains(e.location)) {
            continue;
        }
        if (e.result != BackupResult::Ok) {
            m.entries.append(e); // its record stays until the sensor is backed up
        } else {
            keep(e.location, e.kept.isEmpty() ? QStringLiteral("not in a later run") : e.kept);
        }
    }
    return m;
}

Result<BackupRun::Committed> BackupRun::saveManifest(const Fleet& fleet) {
    Committed out;
    const Manifest m = manifestOf(fleet, out.kept);
    const std::string why =
        platform::SaveFile(Native(path(QLatin1String(kManifestName))),
                           WriteManifest(m).toStdString(), platform::kPrivateFile);
    if (!why.empty()) {
        // This run's files are named by nothing; the earlier backup stays as it was.
        for (const QString& name : std::as_const(written_)) {
            platform::RemoveFile(Native(path(name)));
        }
        return Result<Committed>::failure(ErrorKind::Io,
                                          QStringLiteral("cannot write %1: %2")
                                              .arg(path(QLatin1String(kManifestName)), Text(why)));
    }
    // Committed: the files no entry names any more go, the earlier run's and this one's.
    out.notes = damaged_ + removeUnnamed(m);
    return out;
}

QStringList BackupRun::removeUnnamed(const Manifest& m) const {
    QSet<QString> named;
    for (const ManifestEntry& e : std::as_const(m.entries)) {
        if (e.result == BackupResult::Ok) {
            named << e.ramFile << e.eepromFile;
        }
    }
    QStringList orphans;
    for (const QString& name :
         written_ + QSet<QString>(earlierOwner_.keyBegin(), earlierOwner_.keyEnd())) {
        if (!named.contains(name)) {
            orphans << name;
        }
    }
    orphans.sort();
    QStringList notes;
    for (const QString& name : std::as_const(orphans)) {
        if (const std::string failure = platform::RemoveFile(Native(path(name)));
            !failure.empty()) {
            notes << QStringLiteral("cannot remove the old file %1: %2")
                         .arg(path(name), Text(failure));
        }
    }
    return notes;
}

Result<Manifest> ReplaceSet(const QString& dir, const QString& location,
                            const core::ParamBlock& ram, const core::ParamBlock& eeprom) {
    Result<Manifest> loaded = LoadBackup(FolderReader(dir));
    if (!loaded) {
        return loaded;
    }
    Manifest m = *loaded;
    const auto entry = std::find_if(m.entries.begin(), m.entries.end(), [&](const auto& e) {
        return e.location == location && e.result == BackupResult::Ok;
    });
    if (entry == m.entries.end()) {
        return Result<Manifest>::failure(
            ErrorKind::NotFound, QStringLiteral("%1 holds no set of %2").arg(dir, location));
    }
    QSet<QString> used;
    for (const ManifestEntry& e : std::as_const(m.entries)) {
        used << e.ramFile << e.eepromFile;
    }
    const auto path = [&dir](const QString& name) { return Native(QDir(dir).filePath(name)); };
    const QStringList old{entry->ramFile, entry->eepromFile};
    QStringList written;
    // A file that cannot be written leaves the backup as it was: this call's files go again.
    const auto discard = [&](const QString& file, const std::string& why) {
        for (const QString& made : std::as_const(written)) {
            platform::RemoveFile(path(made));
        }
        return Result<Manifest>::failure(
            ErrorKind::Io, QStringLiteral("cannot write %1: %2").arg(file, Text(why)));
    };
    for (const bool isRam : {true, false}) {
        QString name;
        for (int variant = 1; name.isEmpty() || used.contains(name) ||
                              QFileInfo(QDir(dir).filePath(name)).exists() ||
                              QFileInfo(QDir(dir).filePath(name)).isSymLink();
             ++variant) {
            name = BackupFileName(entry->port, isRam, variant);
        }
        const std::string why = platform::SaveFile(
            path(name), ParamFileBytes(isRam ? ram : eeprom).toStdString(), platform::kPrivateFile);
        if (why.empty()) {
            written << name;
            used << name;
            (isRam ? entry->ramFile : entry->eepromFile) = name;
            continue;
        }
        return discard(QDir(dir).filePath(name), why);
    }
    entry->ram = ram;
    entry->eeprom = eeprom;
    entry->time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    entry->kept.clear();
    const QString manifest = QDir(dir).filePath(QLatin1String(kManifestName));
    if (const std::string why = platform::SaveFile(Native(manifest), WriteManifest(m).toStdString(),
                                                   platform::kPrivateFile);
        !why.empty()) {
        return discard(manifest, why);
    }
    for (const QString& name : old) {
        platform::RemoveFile(path(name)); // named by nothing now; a leftover harms no one
    }
    return m;
}

QString JournalBackup(const Fleet& fleet, const WriteOrigin& origin) {
    const auto append = [&origin](const platform::JournalEntry& e) {
        return platform::AppendJournal(origin.journal, e.members()).error;
    };
    for (const auto& p : fleet.ports()) {
        if (p->state == FleetPort::State::Skipped) {
            continue;
        }
        platform::JournalEntry e(platform::JournalEvent::Backup, origin.channel, origin.who);
        if (!origin.address.isEmpty()) {
            e.address(origin.address);
        }
        e.sensor(p->ref.label, p->location).reason(origin.reason);
        if (p->state != FleetPort::State::Ok || !p->ram || !p->eeprom) {
            e.error(platform::JournalOutcome::Failed, KindCode(p->kind), p->note);
            if (QString why = append(e); !why.isEmpty()) {
                return why;
            }
            continue;
        }
        // A record per memory saved, its block as "after".
        for (const auto& [memory, block] :
             {std::pair{platform::JournalMemory::Ram, *p->ram},
              std::pair{platform::JournalMemory::Eeprom, *p->eeprom}}) {
            platform::JournalEntry saved = e;
            saved.memory(memory).after(block).outcome(platform::JournalOutcome::Written);
            if (QString why = append(saved); !why.isEmpty()) {
                return why;
            }
        }
    }
    return {};
}

} // namespace zurid::sensors
