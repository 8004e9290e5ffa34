// One transaction with the sensor: what it sends, how long it waits, and what it accepts. The
// plan and the judge are the one home of these rules; the window's reply wait and the command
// line's asynchronous session only move bytes and keep time. Pure functions; no state, no I/O.
#pragma once

#include "core/protocol.h"

#include <span>
#include <string>

namespace zurid::core {

// After the last expected byte the line must stay quiet this long before the reply counts; a
// byte within it makes the reply too long. A byte sent with the reply follows it within one
// byte time (2.08 ms) on the wire; three byte times leave room for a driver that hands bytes
// on in small bursts, and the 5 ms floor keeps the wait above the granularity of the timers
// that measure it. Much longer would cost every read as much again: the wire floor of a RAM
// read is 167 ms, and the command line must stay within a tenth of it.
inline constexpr double kQuietSeconds = 3 * kByteSeconds > 0.005 ? 3 * kByteSeconds : 0.005;

struct ExchangePlan {
    Order order = Order::LineCheck;
    Request request{};
    int expected = 0;         // reply bytes; 0 for a write, which gets no answer
    double settleSeconds = 0; // pause before the flush and the request
    bool flushFirst = false;  // empty both queues before the request
    double quietSeconds = 0;  // quiet line after the last expected byte; 0 for live data
    double limitSeconds = kReplyLimitSeconds; // the expected count must be in by then
};

// The plan of `order` carrying `block`. Every exchange with a reply flushes first, so that only
// what comes after the request is judged. A parameter read settles first, 0.1 s for RAM and
// 1.5 s for EEPROM; the other orders do not (a caller that settles before live data or the
// jump buffer says so itself). Live data has no quiet time: the pause after each reading comes
// before the next flush anyway, and the data loop runs at the wire's rate.
ExchangePlan PlanExchange(Order order, const ParamBlock& block);

enum class Verdict {
    Wait,        // undecided: judge again when bytes arrive or `waitSeconds` has passed
    Accept,      // exactly the expected bytes, then a quiet line (line check: AA 01 00)
    TooShort,    // fewer bytes than expected when the limit passed, none at all included
    TooLong,     // more bytes than expected, in one piece or within the quiet time
    WrongAnswer, // a line check answered exactly three bytes, but not AA 01 00
};

struct Judgement {
    Verdict verdict = Verdict::Wait;
    double waitSeconds = 0; // Wait: the longest time until the verdict can change without a byte
    std::string message;    // a failure in words, for people ("no reply within 3.0 s")
};

// Judges the reply to `plan` so far: `received` is every byte since the request, `elapsed` the
// seconds since the request, `quietFor` the seconds since the last of them arrived (unused
// while nothing has). A reply with the expected count or more is judged only once the line
// has been quiet for the quiet time, so its full length shows; a line that keeps talking past
// the limit fails at the limit.
Judgement JudgeReply(const ExchangePlan& plan, std::span<const Byte> received, double elapsed,
                     double quietFor);

} // namespace zurid::core
