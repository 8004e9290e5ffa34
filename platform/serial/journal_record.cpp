// The members of a journal record and the two records of a write (see journal_record.h).
#include "platform/serial/journal_record.h"

#include "core/params.h"
#include "platform/serial/journal.h"

#include <QJsonArray>
#include <QSysInfo>

#include <pwd.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

QString Key(const char* name) {
    return QString::fromLatin1(name);
}

QString EventName(JournalEvent event) {
    switch (event) {
    case JournalEvent::Change:
        return Key("change");
    case JournalEvent::Restore:
        return Key("restore");
    case JournalEvent::Backup:
        return Key("backup");
    case JournalEvent::AuthFailed:
        return Key("auth_failed");
    case JournalEvent::LockedOut:
        return Key("locked_out");
    case JournalEvent::Start:
        return Key("start");
    case JournalEvent::Stop:
        break;
    }
    return Key("stop");
}

QString ChannelName(JournalChannel channel) {
    switch (channel) {
    case JournalChannel::Window:
        return Key("window");
    case JournalChannel::Cli:
        return Key("cli");
    case JournalChannel::Api:
        return Key("api");
    case JournalChannel::Mqtt:
        break;
    }
    return Key("mqtt");
}

QString OutcomeName(JournalOutcome outcome) {
    switch (outcome) {
    case JournalOutcome::Pending:
        return Key("pending");
    case JournalOutcome::Written:
        return Key("written");
    case JournalOutcome::Unchanged:
        return Key("unchanged");
    case JournalOutcome::Refused:
        return Key("refused");
    case JournalOutcome::Failed:
        break;
    }
    return Key("failed");
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

QString UnixUser() {
    const uid_t uid = ::geteuid();
    if (const passwd* pw = ::getpwuid(uid); pw != nullptr && pw->pw_name != nullptr) {
        return QString::fromLocal8Bit(pw->pw_name);
    }
    return QString::number(uid);
}

JournalEntry::JournalEntry(JournalEvent event, JournalChannel channel, const QString& who) {
    members_.insert(Key("event"), EventName(event));
    members_.insert(Key("channel"), ChannelName(channel));
    members_.insert(Key("who"), who);
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

JournalEntry& JournalEntry::outcome(JournalOutcome outcome) {
    members_.insert(Key("outcome"), OutcomeName(outcome));
    members_.remove(Key("error"));
    return *this;
}

JournalEntry& JournalEntry::error(JournalOutcome outcome, const QString& code,
                                  const QString& message) {
    members_.insert(Key("outcome"), OutcomeName(outcome));
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
