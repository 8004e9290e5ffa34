#include "sensors/backup.h"

#include "sensors/paramtext.h"

#include "core/paramfile.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

namespace zurid::sensors {

namespace {

// Written whole or not at all; empty on success, else why not.
QString SaveWhole(const QString& path, const QByteArray& bytes) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        return QStringLiteral("cannot write %1: %2").arg(path, f.errorString());
    }
    return {};
}

QByteArray ParamFileBytes(const core::ParamBlock& b) {
    return QByteArray::fromStdString(core::WriteParamFile(b));
}

} // namespace

BackupRun::BackupRun(QString dir, Fleet& fleet) : dir_(std::move(dir)), fleet_(fleet) {
    manifest_.created = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

std::vector<FleetStep> BackupRun::plan(FleetPort&) const {
    const auto keep = [](Memory m) {
        return [m](FleetPort& p, const Reply& r) {
            (m == Memory::Ram ? p.ram : p.eeprom) = ToBlock(r.bytes);
            return QString();
        };
    };
    return {{QStringLiteral("line check"), [](PortSession& s, Done d) { s.lineCheck(d); }, {}},
            {QStringLiteral("RAM read"),
             [](PortSession& s, Done d) { s.readParams(Memory::Ram, d); }, keep(Memory::Ram)},
            {QStringLiteral("EEPROM read"),
             [](PortSession& s, Done d) { s.readParams(Memory::Eeprom, d); },
             keep(Memory::Eeprom)}};
}

void BackupRun::finished(FleetPort& p) {
    const QDir dir(dir_);
    for (const bool ram : {true, false}) {
        const QString why = SaveWhole(dir.filePath(BackupFileName(p.ref.label, ram)),
                                      ParamFileBytes(ram ? *p.ram : *p.eeprom));
        if (!why.isEmpty()) {
            p.state = FleetPort::State::Failed;
            p.note = why;
            return;
        }
    }
}

Status BackupRun::saveManifest() {
    manifest_.complete = !fleet_.interrupted();
    manifest_.entries.clear();
    for (const auto& p : fleet_.ports()) {
        ManifestEntry e;
        e.port = p->ref.label;
        e.device = p->ref.device;
        e.location = p->location;
        e.time = p->time;
        switch (p->state) {
        case FleetPort::State::Ok:
            e.result = BackupResult::Ok;
            e.ram = *p->ram;
            e.eeprom = *p->eeprom;
            e.ramFile = BackupFileName(p->ref.label, true);
            e.eepromFile = BackupFileName(p->ref.label, false);
            break;
        case FleetPort::State::Failed:
            e.result = BackupResult::Failed;
            e.error = p->note;
            break;
        case FleetPort::State::Running:
        case FleetPort::State::Interrupted:
            e.result = BackupResult::Interrupted;
            break;
        case FleetPort::State::Differs:
        case FleetPort::State::Skipped:
            continue;
        }
        manifest_.entries.append(e);
    }
    const QString why =
        SaveWhole(QDir(dir_).filePath(QLatin1String(kManifestName)), WriteManifest(manifest_));
    return why.isEmpty() ? Status{} : Status::failure(why);
}

} // namespace zurid::sensors
