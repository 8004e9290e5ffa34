// Request and reply frames, and the one reply read that every exchange with the sensor uses.
// A request is 17 bytes: sync 0x55, the order code, the parameter block pp. A reply is its
// payload alone. What an exchange sends, waits for and accepts is the exchange core's plan and
// judgement; here are the window's buffers and its wait around them.
#pragma once

#include "core/protocol.h"
#include "link/blocks.h"

#include <array>
#include <string>

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
// What became of the window's one write.
struct ParaWrite {
    int written = 0;        // bytes the port took (kRequestLen when all)
    std::string refused;    // the attempt could not be journaled, why (naming the journal): then
                            // nothing was sent
    std::string unrecorded; // written (or tried), but its outcome is not in the journal: why
};

// The window's one write into the sensor (SEND to RAM or EEPROM): the request for `order`
// carrying pp, handed to the port, journaled as an attempt before and its outcome after. A
// write has no reply; nothing is read, flushed or dispatched here.
ParaWrite WriteParaFrame(unsigned char order);
// Reply bytes from szReadBuf into pp or databuf.
void GetRxBufPara();
void GetRxBufData();

// How the wait for a reply ended.
enum class ReplyOutcome {
    Accepted,  // the reply was judged good; it is in szReadBuf
    Missing,   // too few or too many bytes, a wrong line-check answer, or a port error
    Abandoned, // poll dropped during the wait; nothing is taken
};

struct ReplyRead {
    bool watchPoll = false; // give up at once when poll drops to 0 (the data loop)
};

// Flushes as the plan says, writes the request for `order` (built from pp), and reads what
// arrives into szReadBuf while dispatching events, until the judge decides: the expected count
// within kReplyLimit, then (but for live data) a quiet line for the quiet time. The settle
// delays are the callbacks' (EventDelay), before they start a read. The write's result is not
// examined: a failed write shows as a missing reply. A missing reply is the caller's to report.
ReplyOutcome RequestReply(unsigned char order, ReplyRead how);

// Waits `seconds` while dispatching events (the settle and drawing delays).
void EventDelay(double seconds);

} // namespace zurid
