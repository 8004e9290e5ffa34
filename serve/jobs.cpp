#include "serve/jobs.h"

#include "platform/serial/files.h"
#include "sensors/fleettable.h"
#include "sensors/paramtext.h"
#include "sensors/restore.h"
#include "serve/sensorjson.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace zurid::serve {

using sensors::FleetPort;
using sensors::Result;

namespace {

constexpr std::size_t kKeptJobs = 20;
constexpr int kListedBackups = 500;

QString Now() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

QJsonArray Differences(Memory m, const core::ParamBlock& saved, const core::ParamBlock& now) {
    QJsonArray out;
    for (const int pos : core::DifferingPositions(saved, now)) {
        const core::ParamInfo& info = core::ParamTable()[static_cast<std::size_t>(pos)];
        out.append(QJsonObject{
            {QStringLiteral("memory"), MemoryKey(m)},
            {QStringLiteral("name"), QString::fromLatin1(info.name.data(), info.name.size())},
            {QStringLiteral("key"), QString::fromLatin1(info.key.data(), info.key.size())},
            {QStringLiteral("backup"), sensors::ParamJson(info, saved)},
            {QStringLiteral("sensor"), sensors::ParamJson(info, now)}});
    }
    return out;
}

} // namespace

struct Jobs::Job {
    int id = 0;
    QString kind; // "backup", "verify", "restore"
    QString name;
    QString state = QStringLiteral("running");
    QString started, ended, error;
    QStringList notes; // an incomplete backup, kept sets, files that stay behind
    bool dryRun = false;
    QList<Memory> memories;
    std::optional<sensors::WriteOrigin> origin; // a restore's, for the journal
    std::unique_ptr<sensors::Fleet> fleet;
    std::unique_ptr<sensors::BackupRun> backup;
    sensors::Manifest manifest;
    std::vector<std::shared_ptr<void>> holds; // the ports a restore writes to
};

bool IsPlainName(const QString& name) {
    // The whole text: '$' alone would let a final line feed through.
    static const QRegularExpression plain(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_-][A-Za-z0-9._-]{0,63}")));
    return plain.match(name).hasMatch();
}

Jobs::Jobs(Line& line, QString folder, QObject* parent)
    : QObject(parent), line_(line), folder_(std::move(folder)) {}

Jobs::~Jobs() {
    interrupt();
}

bool Jobs::running() const {
    return std::any_of(jobs_.begin(), jobs_.end(),
                       [](const auto& j) { return j->state == QLatin1String("running"); });
}

void Jobs::interrupt() {
    for (const auto& j : jobs_) {
        if (j->fleet && j->fleet->running()) {
            j->fleet->interrupt();
        }
    }
}

std::optional<Jobs::Started> Jobs::checkName(const QString& name) const {
    if (!IsPlainName(name)) {
        return Started::failure(ErrorKind::Invalid,
                                QStringLiteral("a backup's name is a plain name (letters, digits, "
                                               "'.', '_', '-'), not '%1'")
                                    .arg(name.left(80)));
    }
    for (const auto& j : jobs_) {
        if (j->state == QLatin1String("running")) {
            return Started::failure(
                ErrorKind::Busy,
                QStringLiteral("job %1 (%2 %3) is running").arg(j->id).arg(j->kind, j->name));
        }
    }
    return std::nullopt;
}

// Nothing is read or written through a symbolic link in the backups folder: it would lead a
// job out of the folder.
std::optional<Jobs::Started> Jobs::checkFolder(const QString& name, const QString& dir) const {
    const QFileInfo info(dir);
    if (info.isSymLink()) {
        return Started::failure(
            ErrorKind::Refused,
            QStringLiteral("%1 in the backups folder is a symbolic link; it is not "
                           "followed")
                .arg(name));
    }
    if (info.exists() && !info.isDir()) {
        return Started::failure(
            ErrorKind::Refused,
            QStringLiteral("%1 in the backups folder is not a folder").arg(name));
    }
    return std::nullopt;
}

Jobs::Job& Jobs::add(const QString& kind, const QString& name) {
    auto job = std::make_unique<Job>();
    job->id = nextId_++;
    job->kind = kind;
    job->name = name;
    job->started = Now();
    job->fleet = std::make_unique<sensors::Fleet>(); // a compare brings its own
    // The oldest finished ones go.
    while (jobs_.size() >= kKeptJobs) {
        const auto it = std::find_if(jobs_.begin(), jobs_.end(), [](const auto& j) {
            return j->state != QLatin1String("running");
        });
        if (it == jobs_.end()) {
            break;
        }
        jobs_.erase(it);
    }
    jobs_.push_back(std::move(job));
    return *jobs_.back();
}

// Every port of the line, on the server's own sessions; one that does not work now fails at
// once with what is wrong with it.
void Jobs::lendPorts(Job& job) {
    for (const auto& lp : line_.ports()) {
        auto p = std::make_unique<FleetPort>();
        p->ref = lp->ref;
        p->location = lp->location;
        p->lent = &lp->anySession();
        if (lp->status != SensorStatus::Ok) {
            p->state = FleetPort::State::Failed;
            p->note = QStringLiteral("%1: %2").arg(StatusName(lp->status), lp->message);
            p->time = Now();
        }
        job.fleet->ports().push_back(std::move(p));
    }
}

void Jobs::launch(Job& job, sensors::Fleet::Plan plan, sensors::Fleet::Finished finished) {
    connect(job.fleet.get(), &sensors::Fleet::done, this, [this, &job] { ended(job); });
    job.fleet->start(std::move(plan), std::move(finished));
}

Jobs::Started Jobs::backup(const QString& name, std::optional<sensors::WriteOrigin> origin) {
    if (const auto refused = checkName(name)) {
        return *refused;
    }
    const QString dir = QDir(folder_).filePath(name);
    if (const auto refused = checkFolder(name, dir)) {
        return *refused;
    }
    // The backups folder and the backup's own, when missing, for their owner alone.
    if (const std::string why = platform::MakeFolders(QFile::encodeName(dir).toStdString());
        !why.empty()) {
        return Started::failure(ErrorKind::Io, QStringLiteral("cannot make the folder %1: %2")
                                                   .arg(dir, QString::fromLocal8Bit(why.c_str())));
    }
    if (const auto refused = checkFolder(name, dir)) { // and it is still no link
        return *refused;
    }
    Result<sensors::BackupRun> run = sensors::BackupRun::open(dir);
    if (!run) {
        return Started::failure(ErrorKind::Refused, run.error());
    }
    Job& job = add(QStringLiteral("backup"), name);
    job.origin = std::move(origin);
    lendPorts(job);
    job.backup = std::make_unique<sensors::BackupRun>(std::move(*run));
    sensors::BackupRun* backup = job.backup.get();
    launch(
        job, [](FleetPort&) { return sensors::BackupRun::plan(); },
        [backup](FleetPort& p) { backup->finished(p); });
    return job.id;
}

Jobs::Started Jobs::verify(const QString& name) {
    return startCompare(name, {Memory::Ram, Memory::Eeprom}, true, false);
}

Jobs::Started Jobs::restore(const QString& name, bool ram, bool dryRun,
                            std::optional<sensors::WriteOrigin> origin, const QStringList& only) {
    QList<Memory> memories{Memory::Eeprom};
    if (ram) {
        memories << Memory::Ram;
    }
    return startCompare(name, memories, false, !dryRun, std::move(origin), only);
}

Jobs::Started Jobs::startCompare(const QString& name, const QList<Memory>& memories, bool verify,
                                 bool restore, std::optional<sensors::WriteOrigin> origin,
                                 const QStringList& only) {
    if (const auto refused = checkName(name)) {
        return *refused;
    }
    const QString dir = QDir(folder_).filePath(name);
    if (const auto refused = checkFolder(name, dir)) {
        return *refused;
    }
    if (!QFileInfo::exists(QDir(dir).filePath(QLatin1String(sensors::kManifestName)))) {
        return Started::failure(ErrorKind::NotFound,
                                QStringLiteral("no backup named %1").arg(name));
    }
    const QString kind = verify ? QStringLiteral("verify") : QStringLiteral("restore");
    auto fleet = std::make_unique<sensors::Fleet>();
    // The backup's sensors where they sit, as `zurid verify` and `restore` find them.
    Result<sensors::BackupPorts> found = sensors::AddBackupPorts(*fleet, dir, only);
    if (!found) {
        return Started::failure(ErrorKind::Refused, found.error());
    }
    Job& job = add(kind, name);
    job.fleet = std::move(fleet);
    job.manifest = found->manifest;
    job.notes = found->notes;
    job.memories = memories;
    job.origin = std::move(origin);
    job.dryRun = !verify && !restore;
    for (const auto& p : job.fleet->ports()) {
        if (p->state != FleetPort::State::Running) {
            continue;
        }
        // On this server's own session: a port it does not serve cannot take part.
        const auto lp =
            std::find_if(line_.ports().begin(), line_.ports().end(), [&p](const auto& l) {
                return l->location == p->location || l->ref.device == p->ref.device;
            });
        std::optional<sensors::Error> why;
        if (lp == line_.ports().end()) {
            why = {ErrorKind::NotFound, QStringLiteral("not one of this server's ports")};
        } else if ((*lp)->status != SensorStatus::Ok) {
            why = {Unavailable(**lp).kind,
                   QStringLiteral("%1: %2").arg(StatusName((*lp)->status), (*lp)->message)};
        } else if (restore && !(*lp)->writer.isEmpty()) {
            why = {ErrorKind::Busy, QStringLiteral("busy: %1 is under way").arg((*lp)->writer)};
        }
        if (why) {
            p->state = FleetPort::State::Failed;
            p->note = why->message;
            p->kind = why->kind;
            p->time = Now();
            continue;
        }
        p->ref = (*lp)->ref;
        p->lent = &(*lp)->anySession();
        if (restore) {
            job.holds.push_back(HoldWriter(**lp, QStringLiteral("restore job %1").arg(job.id)));
        }
    }
    Job* j = &job;
    const sensors::Fleet::Plan plan = [j, restore](FleetPort& p) {
        const sensors::ManifestEntry& e = j->manifest.entries[p.entry];
        return restore ? sensors::RestorePlan(e, j->memories, j->origin)
                       : sensors::ComparePlan(j->memories);
    };
    const sensors::Fleet::Finished finished = [j, restore, verify](FleetPort& p) {
        if (restore) {
            p.note = sensors::RestoredNote(j->memories);
        } else {
            sensors::JudgeComparison(p, j->manifest.entries[p.entry], j->memories, verify);
        }
    };
    launch(job, plan, finished);
    return job.id;
}

void Jobs::ended(Job& job) {
    job.ended = Now();
    if (job.backup) {
        const auto committed = job.backup->saveManifest(*job.fleet);
        if (!committed) {
            job.error = committed.error();
        } else {
            job.notes << committed->kept << committed->notes;
            if (job.origin) {
                if (const QString why = sensors::JournalBackup(*job.fleet, *job.origin);
                    !why.isEmpty()) {
                    job.error = QStringLiteral("saved, but not in the journal: %1").arg(why);
                }
            }
        }
    }
    // What the job read or wrote is what the sensors hold now.
    for (const auto& p : job.fleet->ports()) {
        LinePort* lp = p->lent != nullptr ? line_.find(p->ref.label) : nullptr;
        const bool good = p->state == FleetPort::State::Ok || p->state == FleetPort::State::Differs;
        if (lp == nullptr || !good) {
            continue;
        }
        if (job.kind == QLatin1String("restore") && !job.dryRun) {
            for (Memory m : job.memories) {
                line_.wroteBlock(*lp, m, std::nullopt,
                                 sensors::SavedBlock(job.manifest.entries[p->entry], m));
            }
        } else {
            if (p->ram) {
                line_.keepBlock(*lp, Memory::Ram, *p->ram);
            }
            if (p->eeprom) {
                line_.keepBlock(*lp, Memory::Eeprom, *p->eeprom);
            }
        }
    }
    job.holds.clear();
    job.state = job.error.isEmpty() && job.fleet->allOk() ? QStringLiteral("done")
                                                          : QStringLiteral("failed");
}

QJsonObject Jobs::portJson(const Job& job, const FleetPort& p) const {
    QJsonObject o{{QStringLiteral("port"), p.ref.label},
                  {QStringLiteral("device"), p.ref.device},
                  {QStringLiteral("location"), p.location},
                  {QStringLiteral("result"), sensors::StateName(p.state).toLower()},
                  {QStringLiteral("note"), p.note},
                  {QStringLiteral("time"), p.time}};
    // What kind of failure ended it, as the API's error codes say it.
    if (p.kind != ErrorKind::None) {
        o[QStringLiteral("code")] = KindCode(p.kind);
    }
    if (p.entry >= 0 && job.kind != QLatin1String("backup") &&
        p.state != FleetPort::State::Failed) {
        QJsonArray differences;
        for (Memory m : job.memories) {
            const auto& now = m == Memory::Ram ? p.ram : p.eeprom;
            if (now) {
                for (const QJsonValue& d :
                     Differences(m, sensors::SavedBlock(job.manifest.entries[p.entry], m), *now)) {
                    differences.append(d);
                }
            }
        }
        o[QStringLiteral("differences")] = differences;
    }
    return o;
}

std::optional<QJsonObject> Jobs::json(int id) const {
    for (const auto& j : jobs_) {
        if (j->id != id) {
            continue;
        }
        QJsonArray ports;
        for (const auto& p : j->fleet->ports()) {
            ports.append(portJson(*j, *p));
        }
        QJsonObject o{{QStringLiteral("id"), j->id},           {QStringLiteral("kind"), j->kind},
                      {QStringLiteral("name"), j->name},       {QStringLiteral("state"), j->state},
                      {QStringLiteral("started"), j->started}, {QStringLiteral("ended"), j->ended},
                      {QStringLiteral("ports"), ports}};
        if (j->kind == QLatin1String("restore")) {
            o[QStringLiteral("dry_run")] = j->dryRun;
        }
        if (j->state != QLatin1String("running")) {
            o[QStringLiteral("summary")] = sensors::FleetTable(*j->fleet, j->kind);
        }
        if (!j->error.isEmpty()) {
            o[QStringLiteral("error")] = j->error;
        }
        if (!j->notes.isEmpty()) {
            o[QStringLiteral("notes")] = QJsonArray::fromStringList(j->notes);
        }
        return o;
    }
    return std::nullopt;
}

QJsonArray Jobs::list() const {
    QJsonArray out;
    for (const auto& j : jobs_) {
        out.append(QJsonObject{
            {QStringLiteral("id"), j->id},
            {QStringLiteral("kind"), j->kind},
            {QStringLiteral("name"), j->name},
            {QStringLiteral("state"), j->state},
            {QStringLiteral("location"), QStringLiteral("/api/v1/jobs/%1").arg(j->id)}});
    }
    return out;
}

QJsonArray Jobs::backups() const {
    QJsonArray out;
    const QFileInfoList dirs =
        QDir(folder_).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    const QString manifest = QLatin1String(sensors::kManifestName);
    for (const QFileInfo& d : dirs) {
        if (out.size() >= kListedBackups || !IsPlainName(d.fileName())) {
            continue;
        }
        QJsonObject o{{QStringLiteral("name"), d.fileName()}};
        if (d.isSymLink()) {
            o[QStringLiteral("error")] = QStringLiteral("a symbolic link, not followed");
            out.append(o);
            continue;
        }
        const QFileInfo file(QDir(d.filePath()).filePath(manifest));
        if (!file.exists() && !file.isSymLink()) {
            continue; // a folder without a backup
        }
        // As a job reads it: a regular file only (a FIFO would hold the server up for good),
        // no link followed.
        const Result<QByteArray> json = sensors::FolderReader(d.filePath())(manifest);
        const Result<sensors::Manifest> m =
            json ? sensors::ReadManifest(*json)
                 : Result<sensors::Manifest>::failure(
                       json.kind(), QStringLiteral("%1: %2").arg(manifest, json.error()));
        if (m) {
            o[QStringLiteral("created")] = m->created;
            o[QStringLiteral("complete")] = m->complete;
            o[QStringLiteral("sensors")] = static_cast<int>(m->entries.size());
        } else {
            o[QStringLiteral("error")] = m.error();
        }
        out.append(o);
    }
    return out;
}

} // namespace zurid::serve
