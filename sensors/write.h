// The one way a parameter block goes into a sensor from `zurid` (set, send, restore) and
// `zurid serve` (PATCH, MQTT commands, restore jobs): optionally read the block twice first
// (both reads must agree, so a stale or shifted reply never becomes a block to write back),
// write, and read back unless told not to, so that success means the sensor holds the block.
// Whatever records or reports a write hooks in here, not in the front ends.
#pragma once

#include "core/assign.h"
#include "core/protocol.h"
#include "platform/serial/journal_record.h"
#include "sensors/result.h"
#include "sensors/session.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace zurid::sensors {

// Who writes, from where and why. A write with an origin is recorded in its journal: the
// attempt before the sensor is touched (a write whose attempt cannot be recorded is not made:
// Unrecorded), the outcome at its end with what the sensor held before and holds after.
struct WriteOrigin {
    QString journal; // the journal's path
    platform::JournalEvent event = platform::JournalEvent::Change;
    platform::JournalChannel channel = platform::JournalChannel::Cli;
    QString who;
    QString address; // the client's, over the network
    QString sensor;  // the port as it was named ("COM1")
    QString location;
    QString reason;
};

struct BlockWrite {
    Memory memory = Memory::Ram;
    // The whole block to write (send, restore) ...
    std::optional<core::ParamBlock> block;
    // ... or, without it, these values changed on the block as read (set, PATCH, MQTT). Only
    // the named bytes change; a value the block does not allow (DEAD TIME in its mode) is
    // refused and nothing is written.
    std::vector<core::Assignment> changes;
    // Read twice first (always with `changes`). Then nothing is written when the sensor holds
    // the block already (EEPROM wear).
    bool readFirst = false;
    bool readBack = true;
    std::optional<WriteOrigin> origin;
    // What the sensor holds, as the caller read it (twice) just before: recorded as "before"
    // in the journal, and not read again.
    std::optional<core::ParamBlock> known;
};

struct WriteResult {
    enum class State {
        Written,   // written, and read back unless the write said not to
        Unchanged, // the sensor held the block already: nothing written
        Failed,    // `error` says why; `stage` where
    };
    enum class Stage { Read, Write, ReadBack };

    State state = State::Failed;
    Stage stage = Stage::Read;
    // Timeout, WrongReply, Gone, Io of a transaction; Unsteady (the two reads differ), Refused
    // (a value the block does not allow), NotKept (the read-back differs: `after` holds it).
    Error error;
    std::optional<core::ParamBlock> before; // as read twice, when read first
    core::ParamBlock after{};               // as written; NotKept: as read back
    core::ParamBlock wanted{};              // the block that was to be written
    // With an origin: the seq of the attempt's record, and why the outcome's record could not
    // be written when it could not (the attempt then stays pending in the journal).
    qint64 attemptSeq = 0;
    QString notRecorded;

    bool ok() const { return state != State::Failed; }
    // Whether the sensor may hold something else than before (a write went out).
    bool touched() const { return stage != Stage::Read && state != State::Unchanged; }
};

using WriteDone = std::function<void(const WriteResult&)>;

// "read", "write", "read-back".
const char* StageName(WriteResult::Stage stage);

// Runs the write on the session's queue and calls `done` once, from the event loop.
void WriteBlock(PortSession& session, BlockWrite what, WriteDone done);

// A failure as `zurid set` and the API say it: "RAM read: no reply within 3.0 s; nothing
// written", "EEPROM write: ...", "the sensor holds something else than was written: ...".
QString WriteFailureText(Memory m, const WriteResult& r);

} // namespace zurid::sensors
