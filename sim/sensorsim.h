// The sensor simulator: plays the contrast sensor on the master side of a pseudo-terminal, so
// the program (or a test) can open the slave side as its serial port. No Qt here on purpose.
//
// Protocol: 17-byte requests (0x55, order 1..7, 15-byte parameter block); replies are the bare
// payload: orders 1/2 store the block (no reply), 3/4 return the RAM/EEPROM block, 5 nine bytes
// of live data, 6 the 16-byte jump buffer, 7 the line check 0xAA 0x01 0x00. A frame that does
// not start with 0x55, carries an unknown order or stops short (a gap of more than 20 ms) is
// discarded without an answer.
#pragma once

#include "core/protocol.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Block = zurid::core::ParamBlock;
using DataBlock = std::array<std::uint8_t, zurid::core::kDataLen>;
using JumpBuffer = std::array<std::uint8_t, zurid::core::kJumpBufLen>;

constexpr std::uint8_t kSync = zurid::core::kSync;
constexpr std::size_t kFrameLength = zurid::core::kRequestLen;
constexpr double kByteSeconds = zurid::core::kByteSeconds; // 8N1 at 4800 baud: 2.083 ms a byte
constexpr double kFrameGapSeconds = 0.020; // a longer pause discards a partial frame
constexpr double kDefaultLateSeconds = 3.5;
constexpr double kDefaultSplitSeconds =
    0.004; // split-long: the extra byte this long after the reply
constexpr std::size_t kRequestLogLimit = 8192; // beyond it the older half of the log goes

// StrayPrefix: the first reply the fault applies to comes after a stray line-check answer
// AA 01 00, in one piece with it. SplitLong: a correct reply, then one byte more (00) that
// arrives a few milliseconds after the reply's last byte. IgnoreWrite: a write request (order 1
// or 2) is taken and the memory keeps its old block.
enum class Fault {
    None,
    Silent,
    Short,
    Long,
    WrongLineCheck,
    Late,
    Garbage,
    StrayPrefix,
    SplitLong,
    IgnoreWrite
};

// "silent", "short", "long", "wrong-line-check", "late", "garbage", "stray-prefix",
// "split-long", "ignore-write" (and "none").
std::optional<Fault> faultFromName(std::string_view name);
std::string_view faultName(Fault f);

// A plausible parameter set for demos: THRESHOLD 100, HYSTERESIS 120, full power, STAT,
// HOLD 10 ms, CONT, BACKLIM 20, REGCNT 50, AVERAGE 4, DEAD TIME 12 %, DIRECT.
Block defaultBlock();

// CLOCK_MONOTONIC in seconds (the clock of std::chrono::steady_clock and of Request::t).
double monotonicSeconds();

// How the sensor ages, on top of the reply faults: dirt on the optics takes a share of the light
// that the background sends to the first receiver (DAT0), growing with run time, so that the
// light level falls and NORM between marks sinks toward HYSTERESIS; shallow marks give dips that
// end just below THRESHOLD, so that each one barely counts.
struct Aging {
    double foulingPercentPerMinute = 0; // DAT0's light lost per minute of run time, percent
    bool shallow = false;
};

// "fouling=P" (P >= 0) or "shallow"; nullopt for anything else.
std::optional<Aging> agingFromName(std::string_view name);

struct Config {
    double answerDelay = 0.005; // s between the end of a request and the reply's start
    bool wireTime = true;       // 10 bits per byte at 4800 baud both ways
    Block ram{};                // initial RAM block
    Block eeprom{};             // initial EEPROM block
    unsigned seed = 1;          // for the target model and random faults
    Aging aging{};
};

struct Request {
    double t = 0;                    // monotonic seconds when complete (or discarded)
    std::vector<std::uint8_t> bytes; // exactly what arrived
    bool valid = false;              // 17 bytes, sync 0x55, known order: it was acted on
};

class SensorSim {
  public:
    explicit SensorSim(Config cfg = {});
    ~SensorSim(); // stops
    SensorSim(const SensorSim&) = delete;
    SensorSim& operator=(const SensorSim&) = delete;

    bool start(); // opens the pseudo-terminal, starts the thread; false if that fails
    void stop();
    std::string path() const; // the slave side, e.g. /dev/pts/7

    // Fault for replies of the orders in the mask (bit 1<<order); mask 0 = all orders. The mask
    // also limits the random faults.
    void setFault(Fault f, unsigned orderMask = 0);
    void setLateSeconds(double s); // for Fault::Late (default 3.5)
    // For Fault::SplitLong: from the reply's last byte to the extra one (default 4 ms).
    void setSplitSeconds(double s);
    // Close the pty after N more replies have been written (0: now); -1 never. The close waits
    // until the program has read the last reply (at most 5 s: a busy machine), since closing
    // discards it.
    void setHangupAfter(int replies);
    void hangUp(); // close now (a pulled USB plug); returns once it is closed
    bool hungUp() const;
    // Each reply is faulty with this chance, of a random kind (WrongLineCheck only for order 7).
    void setRandomFaults(double probability);

    Block ram() const;
    void setRam(const Block& b);
    Block eeprom() const;
    void setEeprom(const Block& b);
    // A fixed live-data reply, or nullopt for the moving-target model.
    void setLiveData(std::optional<DataBlock> fixed);
    // A fixed jump-buffer reply; useModelJumpBuffer() goes back to the model's minima.
    void setJumpBuffer(const JumpBuffer& values);
    void useModelJumpBuffer();
    // Raw reply for an order 1..7 instead of the normal one (an empty vector: no reply);
    // nullopt restores the normal reply. Faults still apply on top.
    void setReply(int order, std::optional<std::vector<std::uint8_t>> raw);

    // Every complete or discarded frame, in order (the most recent kRequestLogLimit at most).
    std::vector<Request> requests() const;
    void clearRequests();
    std::size_t replyCount() const; // replies written completely (not counting silences)
    // Waits until requests() holds at least n entries; false on time-out.
    bool waitForRequests(std::size_t n, double timeoutSeconds) const;
    // Called from the simulator's thread for every frame as it is recorded (for logs).
    void setRequestHook(std::function<void(const Request&)> hook);

    struct Impl;

  private:
    std::unique_ptr<Impl> d;
};

} // namespace sim
