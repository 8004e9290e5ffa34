// The fifteen bytes of the parameter block: names as on the panel, kinds, ranges, ring labels,
// units, the POWER conversion and the DEAD TIME labels by mode. Formatting and parsing of values
// as the panel shows them, with unknown codes kept and marked, never replaced.
#pragma once

#include "core/protocol.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zurid::core {

enum class ParamKind {
    Number,   // 0-255 as it stands (THRESHOLD, HYSTERESIS, BACKLIM, REGCNT)
    Ring,     // a code with a label per known value (TRIGGER, PMOD, HOLD, ...)
    Power,    // device code 0-46 (0 = full intensity) shown as 0-100 %
    DeadTime, // ring whose labels (% or ms) follow the DEAD TIME MODE byte
    Spare,    // frei13-frei15: never shown on the panel, passed through
};

struct ParamInfo {
    std::string_view name; // as on the panel: "THRESHOLD", "DEAD TIME MODE"; spares "SPARE13"
    std::string_view key;  // one word for the command line: "THRESHOLD", "DEADTIMEMODE"
    int pos;               // index in the block
    ParamKind kind;
    int maxCode; // highest known code (255 for Number and Spare, 46 for Power)
    std::span<const std::string_view> labels; // Ring: label per code 0..maxCode
    std::string_view unit; // "ms" (HOLD), "%" (POWER), "" otherwise; DEAD TIME by mode
};

// All fifteen, in block order.
std::span<const ParamInfo> ParamTable();
// By key or panel name, case-insensitive, spaces ignored; nullptr when there is none.
const ParamInfo* FindParam(std::string_view name);
// Keys of every parameter, for messages ("THRESHOLD, HYSTERESIS, ...").
std::string ParamKeyList();

// POWER. Percent to code truncates (code = 46 - pct*46/100); code to percent rounds up, so every
// code 0-46 survives a read followed by a send. Codes above 46 have no percent value.
Byte PowerPercentToCode(int percent);
int PowerCodeToPercent(Byte code);
inline constexpr int kPowerMaxCode = 46;

// DEAD TIME labels: mode 0 percent, any other mode milliseconds (16 each).
std::span<const std::string_view> DeadTimeLabels(Byte deadTimeMode);
std::string_view DeadTimeUnit(Byte deadTimeMode);

// Whether the code has a label or value on the panel.
bool IsKnownCode(const ParamInfo& info, const ParamBlock& block);
// The value as the panel shows it, with its unit: "80 %", "50 ms", "EXT", "12 ms"; an unknown
// code as "? 9".
std::string FormatValue(const ParamInfo& info, const ParamBlock& block);

struct ParsedValue {
    std::optional<Byte> code; // set on success
    std::string error;        // on failure: what is wrong and the allowed values
};
// A value as the panel shows it (label or number, unit optional: "80%", "50ms", "EXT", "12") or
// a raw code "#N" (0-255). DEAD TIME is read against the mode in `block`.
ParsedValue ParseValue(const ParamInfo& info, std::string_view text, const ParamBlock& block);

// Positions where the two blocks differ, in block order.
std::vector<int> DifferingPositions(const ParamBlock& a, const ParamBlock& b);

} // namespace zurid::core
