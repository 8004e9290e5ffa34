// Backup, verify and restore as jobs of zurid serve, with the same plans as `zurid backup`,
// `verify` and `restore` (sensors/backup.h, sensors/restore.h), on the sessions the server
// holds: a job's transactions go out between the live-data exchanges. Backups live in one
// folder given at start, each in a subfolder named by a plain name, never a path, made for its
// owner alone; a symbolic link in that folder is refused, never followed. One job runs at a
// time; the last finished ones stay to be asked for.
#pragma once

#include "sensors/write.h"
#include "serve/line.h"

#include "sensors/backup.h"
#include "sensors/fleet.h"
#include "sensors/manifest.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace zurid::serve {

// A backup's name: letters, digits, '.', '_', '-', at most 64, not starting with '.'.
bool IsPlainName(const QString& name);

class Jobs : public QObject {
  public:
    Jobs(Line& line, QString folder, QObject* parent = nullptr);
    ~Jobs() override;

    // The job's number when it started, else why not: Invalid (a name that is no plain name),
    // NotFound (no such backup), Busy (a job is running), Refused (the backup or its folder
    // cannot be used), Io (the folder cannot be made).
    using Started = Checked<int>;
    // With an origin, the backup's sensors are journaled when it has ended.
    Started backup(const QString& name, std::optional<sensors::WriteOrigin> origin = {});
    Started verify(const QString& name);
    // With an origin (who asked, how, why) each sensor's writes are journaled as its restore.
    // With `only`, those of the backup's sensors (port names) alone.
    Started restore(const QString& name, bool ram, bool dryRun,
                    std::optional<sensors::WriteOrigin> origin = {}, const QStringList& only = {});

    // {"id", "kind", "name", "state": "running" | "done" | "failed", "started", "ended",
    // "summary", "error", "ports": [{"port", "location", "result", "note", "code" (when it
    // failed: the kind, as the API's error codes), "differences"}]}.
    std::optional<QJsonObject> json(int id) const;
    QJsonArray list() const;
    // The backups in the folder: [{"name", "created", "complete", "sensors"}], or {"name",
    // "error"} for one that cannot be read (a symbolic link among them).
    QJsonArray backups() const;
    // Stops the running job: its ports end interrupted, a backup's manifest says incomplete.
    void interrupt();
    bool running() const;
    const QString& folder() const { return folder_; }

  private:
    struct Job;
    std::optional<Started> checkName(const QString& name) const;
    std::optional<Started> checkFolder(const QString& name, const QString& dir) const;
    Started startCompare(const QString& name, const QList<Memory>& memories, bool verify,
                         bool restore, std::optional<sensors::WriteOrigin> origin = {},
                         const QStringList& only = {});
    Job& add(const QString& kind, const QString& name);
    void lendPorts(Job& job);
    void launch(Job& job, sensors::Fleet::Plan plan, sensors::Fleet::Finished finished);
    void ended(Job& job);
    QJsonObject portJson(const Job& job, const sensors::FleetPort& p) const;

    Line& line_;
    QString folder_;
    std::vector<std::unique_ptr<Job>> jobs_;
    int nextId_ = 1;
};

} // namespace zurid::serve
