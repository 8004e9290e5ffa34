// The members of a journal record and the two records of a write (see journal_record.h).
#include "platform/serial/journal_record.h"

#include "core/params.h"
#include "platform/serial/journal.h"

#include <QJsonArray>
#include <QSysInfo>

#include <array>
#include <utility>

#include <pwd.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

QString Key(const char* name) {
    return QString::fromLatin1(name);
}

// The names as written, in the order of their enumerations.
constexpr std::array kEvents{"change", "restore", "backup", "auth_failed",   "locked_out",
                             "start",  "stop",    "drift",  "drift_accepted"};
constexpr std::array kChannels{"window", "cli", "api", "mqtt"};
constexpr std::array kOutcomes{"pending", "written", "unchanged", "refused", "failed", "sent"};
static_assert(kEvents.size() == std::size_t(JournalEvent::DriftAccepted) + 1);
static_assert(kChannels.size() == std::size_t(JournalChannel::Mqtt) + 1);
static_assert(kOutcomes.size() == std::size_t(JournalOutcome::Sent) + 1);

template <std::size_t N, typename Enum>
QString Name(const std::array<const char*, N>& names, Enum value) {
    return QString::fromLatin1(names[static_cast<std::size_t>(value)]);
}

QJsonArray Numbers(const core::ParamBlock& block) {
    QJsonArray out;
    for (const core::Byte b : block) {
        out.append(int(b));
    }
    return out;
}

// "before" as it was recorded; nullopt when the entry has none.
std::optional<core::ParamBlock> BlockOf(const QJsonValue& value) {
    const QJsonArray numbers = value.toArray();
    if (numbers.size() != core::kParamLen) {
        return std::nullopt;
    }
    core::ParamBlock block{};
    for (qsizetype i = 0; i < numbers.size(); ++i) {
        block[static_cast<std::size_t>(i)] = static_cast<core::Byte>(numbers.at(i).toInt());
    }
    return block;
}

} // namespace

QString ReasonRefusal(const QJsonValue& reason) {
    if (reason.isUndefined() || (reason.isString() && reason.toString().size() <= kMaxReason)) {
        return {};
    }
    return QStringLiteral("reason is a text of at most %1 characters").arg(kMaxReason);
}

QString UnixUser() {
    const uid_t uid = ::geteuid();
    if (const passwd* pw = ::getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
        return QString::fromLocal8Bit(pw->pw_name);
    }
    return QString::number(uid);
}

JournalEntry::JournalEntry(JournalEvent event, JournalChannel channel, const QString& who) {
    members_.insert(Key("event"), Name(kEvents, event));
    members_.insert(Key("channel"), Name(kChannels, channel));
    if (!who.isEmpty()) { // unknown for a wrong token, and for serve's start and stop
        members_.insert(Key("who"), who);
    }
    members_.insert(Key("host"), QSysInfo::machineHostName());
}

JournalEntry& JournalEntry::address(const QString& address) {
    members_.insert(Key("address"), address);
    return *this;
}

JournalEntry& JournalEntry::sensor(const QString& port, const QString& location) {
    members_.insert(Key("sensor"), port);
    members_.insert(Key("location"), location);
    return *this;
}

JournalEntry& JournalEntry::memory(JournalMemory memory) {
    members_.insert(Key("memory"), memory == JournalMemory::Ram ? Key("ram") : Key("eeprom"));
    return *this;
}

JournalEntry& JournalEntry::bytes(const core::ParamBlock& before, const core::ParamBlock& after) {
    members_.insert(Key("before"), Numbers(before));
    members_.insert(Key("after"), Numbers(after));
    QJsonArray changes;
    for (const core::ParamInfo& p : core::ParamTable()) {
        const auto at = static_cast<std::size_t>(p.pos);
        if (before[at] != after[at]) {
            changes.append(QJsonObject{
                {Key("key"), QString::fromLatin1(p.key.data(), qsizetype(p.key.size()))},
                {Key("before"), int(before[at])},
                {Key("after"), int(after[at])}});
        }
    }
    members_.insert(Key("changes"), changes);
    return *this;
}

JournalEntry& JournalEntry::after(const core::ParamBlock& after) {
    members_.insert(Key("after"), Numbers(after));
    return *this;
}

JournalEntry& JournalEntry::outcome(JournalOutcome outcome) {
    members_.insert(Key("outcome"), Name(kOutcomes, outcome));
    members_.remove(Key("error"));
    return *this;
}

JournalEntry& JournalEntry::error(JournalOutcome outcome, const QString& code,
                                  const QString& message) {
    members_.insert(Key("outcome"), Name(kOutcomes, outcome));
    members_.insert(Key("error"), QJsonObject{{Key("code"), code}, {Key("message"), message}});
    return *this;
}

JournalEntry& JournalEntry::reason(const QString& reason) {
    if (!reason.isEmpty()) {
        members_.insert(Key("reason"), reason);
    }
    return *this;
}

JournalEntry& JournalEntry::attempt(qint64 seq) {
    members_.insert(Key("attempt"), seq);
    return *this;
}

JournalWrite::JournalWrite(const QString& path, JournalEntry attempt)
    : path_(path), entry_(std::move(attempt)) {}

QString JournalWrite::append(const JournalEntry& entry) {
    const JournalAppend done = AppendJournal(path_, entry.members());
    if (done.ok() && attemptSeq_ == 0) {
        attemptSeq_ = done.seq;
    }
    return done.error;
}

QString JournalWrite::begin() {
    return append(JournalEntry(entry_).outcome(JournalOutcome::Pending));
}

QString JournalWrite::finish(JournalOutcome outcome,
                             const std::optional<core::ParamBlock>& readBack) {
    JournalEntry done = JournalEntry(entry_).outcome(outcome).attempt(attemptSeq_);
    if (const auto before = BlockOf(entry_.members().value(Key("before"))); before && readBack) {
        done.bytes(*before, *readBack);
    }
    return append(done);
}

QString JournalWrite::finish(JournalOutcome outcome, const QString& code, const QString& message) {
    return append(JournalEntry(entry_).error(outcome, code, message).attempt(attemptSeq_));
}

} // namespace zurid::platform
