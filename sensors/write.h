// The one way a parameter block goes into a sensor from `zurid` (set, send, restore) and
// `zurid serve` (PATCH, MQTT commands, restore jobs): optionally read the block twice first
// (both reads must agree, so a stale or shifted reply never becomes a block to write back),
// write, and read back unless told not to, so that success means the sensor holds the block.
// Whatever records or reports a write hooks in here, not in the front ends.
#pragma once

#include "core/assign.h"
#include "core/protocol.h"
#include "sensors/result.h"
#include "sensors/session.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace zurid::sensors {

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
