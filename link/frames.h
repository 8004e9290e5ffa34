// Request and reply frames, and the one reply read that every exchange with the sensor uses.
// A request is 17 bytes: sync 0x55, the order code, the parameter block pp. A reply is its
// payload alone; only its length tells a good one from a bad one. The frame layout, the order
// codes and the reply limit are the protocol core's; here are the window's buffers around them.
#pragma once

#include "core/protocol.h"
#include "link/blocks.h"

#include <array>

namespace zurid {

constexpr int kFrameBufSize = 1024;
constexpr int kRequestLen = core::kRequestLen;
constexpr double kReplyLimit = core::kReplyLimitSeconds; // every exchange waits this long

// Order codes.
constexpr unsigned char kOrderWriteRam = static_cast<unsigned char>(core::Order::WriteRam);
constexpr unsigned char kOrderWriteEeprom = static_cast<unsigned char>(core::Order::WriteEeprom);
constexpr unsigned char kOrderReadRam = static_cast<unsigned char>(core::Order::ReadRam);
constexpr unsigned char kOrderReadEeprom = static_cast<unsigned char>(core::Order::ReadEeprom);
constexpr unsigned char kOrderData = static_cast<unsigned char>(core::Order::Data);
constexpr unsigned char kOrderJumpBuf = static_cast<unsigned char>(core::Order::JumpBuf);
constexpr unsigned char kOrderLineCheck = static_cast<unsigned char>(core::Order::LineCheck);

extern std::array<unsigned char, kFrameBufSize> szWriteBuf;
extern std::array<unsigned char, kFrameBufSize> szReadBuf;

// Builds a request in szWriteBuf: sync, order, pp.
void FillTxBuf(unsigned char order);
// Reply bytes from szReadBuf into pp or databuf.
void GetRxBufPara();
void GetRxBufData();

enum class Reply {
    Accepted,  // exactly the expected count was read into szReadBuf
    Missing,   // too few or too many bytes when the wait ended, or a port error
    Abandoned, // poll dropped during the wait; nothing was read
};

struct ReplyRead {
    bool flushFirst; // flush both queues before the request
    bool watchPoll;  // give up at once when poll drops to 0 (the data loop)
};

// Writes the request for `order` (built from pp), waits up to kReplyLimit for `expected`
// bytes while dispatching events, then reads exactly the count last queued into szReadBuf.
// The write's result is not examined: a failed write shows as a missing reply. A missing
// reply is the caller's to report.
Reply RequestReply(unsigned char order, int expected, ReplyRead how);

// Waits `seconds` while dispatching events (the settle and drawing delays).
void EventDelay(double seconds);

} // namespace zurid
