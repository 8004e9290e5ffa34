// The window's SEND as the journal keeps it (journal_record.h's JournalWrite), in the window's
// own types: its code holds no Qt. The frame is the caller's to write between begin() and
// finish(); nothing here touches the port.
#pragma once

#include "core/protocol.h"

#include <memory>
#include <string>

namespace zurid::platform {

class JournalWrite;

// One block sent to port `port` of the port table: event change, channel window, who the Unix
// user, sensor "COM<port>" at the port's device, memory from `order` (WriteRam or WriteEeprom),
// after the block sent (what the sensor held is not read first), journal JournalPath().
class JournalSend {
  public:
    JournalSend(int port, core::Order order, const core::ParamBlock& block);
    ~JournalSend();
    JournalSend(const JournalSend&) = delete;
    JournalSend& operator=(const JournalSend&) = delete;

    // The attempt, before the frame is written: "" when it is on disk, else why not, naming
    // the journal; then nothing may be sent.
    std::string begin();
    // The outcome, from what ComWrt returned: sent when it took the whole request (nothing
    // reads it back), else failed, sensor_absent when the port is not open and io_error
    // otherwise. "" when it is on disk, else why not.
    std::string finish(int written);

  private:
    std::unique_ptr<JournalWrite> write_;
};

} // namespace zurid::platform
