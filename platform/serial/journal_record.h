// The members of a journal record (see journal.h), built by name so that no caller writes
// the JSON by hand, and a write to a sensor as the journal keeps it: two records.
//
// Members (absent when they do not apply):
//   event     change, restore, backup, auth_failed, locked_out, start, stop, drift (a
//             difference from the line's reference found, not made by zurid serve),
//             drift_accepted (the sensor's blocks made its reference)
//   channel   window, cli, api, mqtt
//   who       the token's name (api, mqtt) or the Unix user (window, cli)
//   address   the client's address (api, mqtt)
//   host      the machine's name
//   sensor    the port as it was named ("COM1"); location: its device or by-path link
//   memory    ram, eeprom
//   before, after   the 15 parameter bytes as an array of numbers
//   changes   [{"key": "THRESHOLD", "before": 100, "after": 80}, ...] with the codes
//   outcome   pending (the attempt), written (read back), unchanged, refused, failed, sent
//             (written, not read back: the window's SEND, zurid --no-verify)
//   error     {"code": KIND, "message": TEXT} when refused or failed
//   reason    why, when the person or system gave one
//   attempt   on an outcome: the seq of its attempt
#pragma once

#include "core/protocol.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>
#include <utility>

namespace zurid::platform {

enum class JournalEvent {
    Change,
    Restore,
    Backup,
    AuthFailed,
    LockedOut,
    Start,
    Stop,
    Drift,
    DriftAccepted
};
enum class JournalChannel { Window, Cli, Api, Mqtt };
enum class JournalMemory { Ram, Eeprom };
// Sent: written without reading it back (the window's SEND, zurid --no-verify), so not known
// to be held.
enum class JournalOutcome { Pending, Written, Unchanged, Refused, Failed, Sent };

// A reason is a sentence for the journal, not a document.
inline constexpr qsizetype kMaxReason = 500;
// "" when `reason` (a JSON value: absent, or a text) can go into a record, else why not.
QString ReasonRefusal(const QJsonValue& reason);

// The user this process runs as (the login name; the uid as a number when it has none).
QString UnixUser();

class JournalEntry {
  public:
    // event, channel, who (none when empty), and this machine's host name.
    JournalEntry(JournalEvent event, JournalChannel channel, const QString& who);

    JournalEntry& address(const QString& address);
    JournalEntry& sensor(const QString& port, const QString& location);
    JournalEntry& memory(JournalMemory memory);
    // before and after, and the changes between them by parameter key.
    JournalEntry& bytes(const core::ParamBlock& before, const core::ParamBlock& after);
    // Only the bytes written, when what the sensor held before is not known (a whole block
    // sent without reading it first).
    JournalEntry& after(const core::ParamBlock& after);
    JournalEntry& outcome(JournalOutcome outcome);
    // refused or failed, with the error's kind and message.
    JournalEntry& error(JournalOutcome outcome, const QString& code, const QString& message);
    JournalEntry& reason(const QString& reason); // nothing when empty
    JournalEntry& attempt(qint64 seq);

    const QJsonObject& members() const { return members_; }

  private:
    QJsonObject members_;
};

// One write to a sensor: begin() records the attempt (outcome pending) before the sensor is
// touched; finish() its outcome, naming the attempt. Both "" when on disk, else why not
// (naming the journal): a write whose attempt could not be recorded must not be made.
class JournalWrite {
  public:
    // The entry of the attempt: event, channel, who, sensor, memory, the bytes it holds and
    // the bytes to be written, reason.
    JournalWrite(const QString& path, JournalEntry attempt);

    QString begin();
    // Written, sent or unchanged; `readBack`, when given, becomes "after" (and the changes).
    QString finish(JournalOutcome outcome, const std::optional<core::ParamBlock>& readBack = {});
    // Refused or failed.
    QString finish(JournalOutcome outcome, const QString& code, const QString& message);

    qint64 attemptSeq() const { return attemptSeq_; }

  private:
    QString append(const JournalEntry& entry);

    QString path_;
    JournalEntry entry_;
    qint64 attemptSeq_ = 0;
};

} // namespace zurid::platform
