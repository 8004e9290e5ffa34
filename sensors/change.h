// Changing named parameters of a sensor, by the rules of `zurid set`: the block is read twice
// and both reads must agree (a stale or shifted reply never becomes a block to write back), only
// the named bytes change, nothing is written when nothing changes (EEPROM wear), and a written
// block is read back: success means the sensor holds it.
#pragma once

#include "core/assign.h"
#include "core/protocol.h"
#include "sensors/session.h"

#include <QString>

#include <functional>
#include <vector>

namespace zurid::sensors {

struct BlockChange {
    enum class Outcome {
        Written,   // written and read back
        Unchanged, // the values were there already: nothing written
        Refused,   // a value the block does not allow (DEAD TIME in its mode): nothing written
        Unsteady,  // the two reads differ: nothing written
        Failed,    // a transaction failed (message); `timedOut` when nothing came back
        NotKept,   // written, but the sensor holds something else
    };
    Outcome outcome = Outcome::Failed;
    core::ParamBlock before{}; // as read (twice)
    core::ParamBlock after{};  // as written; for NotKept as read back
    QString message;
    bool timedOut = false;
};

// Runs the change on the session's queue and calls `done` once, from the event loop. Without
// `readBack` a written block counts as Written unread (`zurid set --no-verify`).
void ChangeBlock(PortSession& session, Memory m, std::vector<core::Assignment> items,
                 std::function<void(const BlockChange&)> done, bool readBack = true);

} // namespace zurid::sensors
