// The sensor's wire protocol: request frames, reply lengths, the line-check answer and the timing
// rules every exchange keeps. Pure functions and constants; no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace zurid::core {

using Byte = std::uint8_t;

inline constexpr int kParamLen = 15;    // parameter block
inline constexpr int kDataLen = 9;      // live-data reply
inline constexpr int kJumpBufLen = 16;  // jump-buffer reply
inline constexpr int kLineCheckLen = 3; // line-check reply
inline constexpr int kRequestLen = kParamLen + 2;
inline constexpr Byte kSync = 0x55;

using ParamBlock = std::array<Byte, kParamLen>;
using Request = std::array<Byte, kRequestLen>;

enum class Order : Byte {
    WriteRam = 1,
    WriteEeprom = 2,
    ReadRam = 3,
    ReadEeprom = 4,
    Data = 5,
    JumpBuf = 6,
    LineCheck = 7,
};

// Line settings and timing.
inline constexpr long kBaudRate = 4800;                  // 8N1, no handshake
inline constexpr double kByteSeconds = 10.0 / kBaudRate; // one byte on the wire
inline constexpr double kReplyLimitSeconds = 3.0;        // every exchange waits this long
inline constexpr double kSettleRamSeconds = 0.1;         // before reads after a RAM choice
inline constexpr double kSettleEepromSeconds = 1.5;      // before reads after an EEPROM choice
inline constexpr int kDataPauseMs = 50;                  // pause after each live-data reply

// Status text of a good line check: "LINE OK", padding, the program's version.
inline constexpr char kLineOkText[] = "LINE OK                              V1.0";

// Sync, order, block. Orders that carry no parameters still send the block.
Request RequestFrame(Order order, const ParamBlock& block);
// Reply bytes the order expects: 0 for the writes (no answer), 15, 9, 16 or 3.
int ReplyLength(Order order);
// The line-check answer 0xAA 0x01 0x00, exactly three bytes.
bool LineCheckOk(std::span<const Byte> reply);
// Order for a read or a write of RAM (ram = true) or EEPROM.
Order ReadOrder(bool ram);
Order WriteOrder(bool ram);

} // namespace zurid::core
