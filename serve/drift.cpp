#include "serve/drift.h"

#include "sensors/backup.h"
#include "sensors/paramtext.h"
#include "sensors/restore.h"
#include "serve/jobs.h"
#include "serve/sensorjson.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

namespace zurid::serve {

namespace {

// When the backup in `dir` last had its manifest written (a new set in it writes it last).
QDateTime ManifestTime(const QString& dir) {
    return QFileInfo(QDir(dir).filePath(QLatin1String(sensors::kManifestName))).lastModified();
}

std::size_t Index(Memory m) {
    return m == Memory::Ram ? 0 : 1;
}

} // namespace

Drift::Drift(Line& line, QObject* parent) : QObject(parent), line_(line) {
    connect(&timer_, &QTimer::timeout, this, [this] {
        reread();
        for (const auto& p : line_.ports()) {
            if (p->status == SensorStatus::Ok && p->writer.isEmpty() && entryOf(*p) != nullptr) {
                verify(*p, [](const std::optional<Answer>&) {});
            }
        }
    });
}

sensors::Status Drift::load(const QString& folder, const QString& name) {
    const auto refuse = [&name](const QString& why) {
        return sensors::Status::failure(
            ErrorKind::Refused,
            QStringLiteral("the reference %1 cannot be used: %2").arg(name, why));
    };
    if (!IsPlainName(name)) {
        return refuse(QStringLiteral("a backup's name is a plain name (letters, digits, '.', '_', "
                                     "'-')"));
    }
    const QString dir = QDir(folder).filePath(name);
    const QFileInfo info(dir);
    if (info.isSymLink()) {
        return refuse(QStringLiteral("it is a symbolic link in the backups folder"));
    }
    const QDateTime modified = ManifestTime(dir);
    if (!modified.isValid()) {
        return refuse(QStringLiteral("no backup of that name in %1").arg(folder));
    }
    const sensors::Result<sensors::Manifest> m = sensors::LoadBackup(sensors::FolderReader(dir));
    if (!m) {
        return refuse(m.error());
    }
    if (std::none_of(m->entries.begin(), m->entries.end(),
                     [](const auto& e) { return e.result == sensors::BackupResult::Ok; })) {
        return refuse(QStringLiteral("it holds no sensor's set"));
    }
    dir_ = dir;
    name_ = name;
    reference_ = *m;
    modified_ = modified;
    return {};
}

void Drift::reread() {
    const QDateTime modified = ManifestTime(dir_);
    if (modified == modified_) {
        return;
    }
    const sensors::Result<sensors::Manifest> m = sensors::LoadBackup(sensors::FolderReader(dir_));
    if (!m) {
        return;
    }
    reference_ = *m;
    modified_ = modified;
    for (const auto& p : line_.ports()) {
        check(*p);
    }
}

void Drift::start(qint64 periodMs) {
    if (active()) {
        timer_.start(std::chrono::milliseconds(periodMs));
    }
}

void Drift::stop() {
    timer_.stop();
}

const sensors::ManifestEntry* Drift::entryOf(const LinePort& p) const {
    if (!active()) {
        return nullptr;
    }
    for (const sensors::ManifestEntry& e : reference_.entries) {
        if (e.result == sensors::BackupResult::Ok &&
            (e.location == p.location || e.device == p.ref.device)) {
            return &e;
        }
    }
    return nullptr;
}

void Drift::check(LinePort& p) {
    if (active() && p.writer.isEmpty()) {
        judge(p);
    }
}

void Drift::wrote(LinePort& p, Memory m, const std::optional<core::ParamBlock>& before,
                  const core::ParamBlock& after) {
    if (!active()) {
        return;
    }
    auto& made = state_[&p].madeHere[Index(m)];
    for (std::size_t i = 0; i < after.size(); ++i) {
        if (!before || (*before)[i] != after[i]) {
            made[static_cast<int>(i)] = after[i];
        }
    }
    judge(p);
}

void Drift::judge(LinePort& p) {
    const sensors::ManifestEntry* e = entryOf(p);
    if (e == nullptr) {
        if (!p.drift.isEmpty()) {
            p.drift = {};
            if (changed) {
                changed(p);
            }
        }
        return;
    }
    State& st = state_[&p];
    QJsonArray differences;
    for (const Memory m : {Memory::Ram, Memory::Eeprom}) {
        const auto& now = m == Memory::Ram ? p.ram : p.eeprom;
        if (!now) {
            continue;
        }
        const core::ParamBlock& reference = sensors::SavedBlock(*e, m);
        // Where the sensor still holds what serve wrote, the reference's byte stands in.
        core::ParamBlock judged = *now;
        auto& made = st.madeHere[Index(m)];
        for (auto it = made.begin(); it != made.end();) {
            const auto at = static_cast<std::size_t>(it->first);
            if ((*now)[at] != it->second) {
                it = made.erase(it);
            } else {
                judged[at] = reference[at];
                ++it;
            }
        }
        const QJsonArray found = sensors::DiffJson(reference, judged, QStringLiteral("reference"),
                                                   QStringLiteral("sensor"));
        for (const QJsonValue& d : found) {
            QJsonObject o = d.toObject();
            o[QStringLiteral("memory")] = MemoryKey(m);
            differences.append(o);
        }
        auto& told = st.told[Index(m)];
        if (found.isEmpty()) {
            told.reset();
        } else if (told != judged) {
            told = judged;
            if (this->found) {
                this->found(p, m, reference, *now);
            }
        }
    }
    QJsonObject next{{QStringLiteral("on"), !differences.isEmpty()},
                     {QStringLiteral("reference"), name_}};
    if (!differences.isEmpty()) {
        const bool wasOn = p.drift.value(QStringLiteral("on")).toBool();
        next[QStringLiteral("since")] =
            wasOn ? p.drift.value(QStringLiteral("since"))
                  : QJsonValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
        next[QStringLiteral("differences")] = differences;
    }
    if (next != p.drift) {
        p.drift = next;
        if (changed) {
            changed(p);
        }
    }
}

void Drift::verify(LinePort& p, std::function<void(const std::optional<Answer>&)> done) {
    const auto run = [this, &p](PortSession& s, const ClientTurn& turn) {
        s.readParams(Memory::Ram, [this, &p, &s, turn](const sensors::TransactionResult& ram) {
            const auto block = sensors::ToBlock(ram.bytes);
            if (!ram.ok() || !block) {
                turn.answer(Failure(p, ram.kind, ram.error));
                return;
            }
            line_.keepBlock(p, Memory::Ram, *block);
            s.readParams(Memory::Eeprom, [this, &p, turn](const sensors::TransactionResult& ee) {
                const auto block = sensors::ToBlock(ee.bytes);
                if (!ee.ok() || !block) {
                    turn.answer(Failure(p, ee.kind, ee.error));
                    return;
                }
                line_.keepBlock(p, Memory::Eeprom, *block);
                check(p);
                turn.answer({});
            });
        });
    };
    line_.submit(p, {QStringLiteral("drift"), false, run},
                 {[] { return true; },
                  [done = std::move(done)](const Answer& a) {
                      done(a.ok() ? std::nullopt : std::optional<Answer>(a));
                  }});
}

sensors::Status Drift::accept(LinePort& p) {
    const sensors::ManifestEntry* e = entryOf(p);
    if (e == nullptr || !p.ram || !p.eeprom) {
        return sensors::Status::failure(
            ErrorKind::NotFound,
            QStringLiteral("%1 has no set in the reference %2").arg(p.ref.label, name_));
    }
    sensors::Result<sensors::Manifest> m =
        sensors::ReplaceSet(dir_, e->location, *p.ram, *p.eeprom);
    if (!m) {
        return m.failed();
    }
    reference_ = std::move(*m);
    modified_ = ManifestTime(dir_);
    state_.remove(&p); // the sensor holds its reference now: nothing is made here any more
    judge(p);
    return {};
}

} // namespace zurid::serve
