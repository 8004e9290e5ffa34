// Request and reply frames, and the one reply read that every exchange with the sensor uses.
// A request is 17 bytes: sync 0x55, the order code, the parameter block pp. A reply is its
// payload alone; only its length tells a good one from a bad one.
#pragma once

#include "link/blocks.h"

#include <array>

namespace zurid {

constexpr int kFrameBufSize = 1024;
constexpr int kRequestLen = AnzPara + 2;
constexpr double kReplyLimit = 3.0; // seconds every exchange waits for its reply

// Order codes.
constexpr unsigned char kOrderWriteRam = 1;
constexpr unsigned char kOrderWriteEeprom = 2;
constexpr unsigned char kOrderReadRam = 3;
constexpr unsigned char kOrderReadEeprom = 4;
constexpr unsigned char kOrderData = 5;
constexpr unsigned char kOrderJumpBuf = 6;
constexpr unsigned char kOrderLineCheck = 7;

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
// bytes while dispatching events, then reads exactly the count last queued into szReadBuf
// (nBytesR). The write's result is not examined: a failed write shows as a missing reply.
Reply RequestReply(unsigned char order, int expected, ReplyRead how);

// Status "TIMEOUT", then the modal time-out popup titled "INFO".
void ReportTimeout();

// Waits `seconds` while dispatching events (the settle and drawing delays).
void EventDelay(double seconds);

extern const char InfoTimeout[];
// Title of the time-out popup and of the other popups that report a failure.
inline constexpr char TimeoutTitle[] = "INFO";

} // namespace zurid
