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

// The most live-data readings a second the wire allows: request and reply, then the pause.
constexpr double WireReadingsPerSecond(int pauseMs = kDataPauseMs) {
    return 1.0 / ((kRequestLen + kDataLen) * kByteSeconds + pauseMs / 1000.0);
}

// Status text of a good line check: "LINE OK", padding, the program's version.
inline constexpr char kLineOkText[] = "LINE OK                              V1.0";

// The sensor's answer to the line check.
inline constexpr std::array<Byte, kLineCheckLen> kLineCheckAnswer = {0xAA, 0x01, 0x00};

// The pause before a read: 1.5 s when EEPROM is chosen, 0.1 s otherwise.
constexpr double SettleSeconds(bool eeprom) {
    return eeprom ? kSettleEepromSeconds : kSettleRamSeconds;
}

// Sync, order, block. Orders that carry no parameters still send the block.
Request RequestFrame(Order order, const ParamBlock& block);
// Reply bytes the order expects: 0 for the writes (no answer), 15, 9, 16 or 3; 0 for a byte
// that is no order.
int ReplyLength(Order order);
// The line-check answer 0xAA 0x01 0x00, exactly three bytes.
bool LineCheckOk(std::span<const Byte> reply);
// Whether the byte is one of the seven order codes.
bool IsOrder(Byte code);
// Order for a read or a write of RAM (ram = true) or EEPROM.
Order ReadOrder(bool ram);
Order WriteOrder(bool ram);

} // namespace zurid::core
