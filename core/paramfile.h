// The parameter file: fifteen lines, each a value 0-255 right-aligned in four characters, '\n'
// line ends. Reading is strict: any ASCII white space between values, nothing else; exactly
// fifteen values. The window's file layer (FileToArray, ArrayToFile) reads and writes through
// the ...Values functions, for the count of values it is given.
#pragma once

#include "core/protocol.h"

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace zurid::core {

// Width of the right-aligned field of each value.
inline constexpr std::size_t kParamFileFieldWidth = 4;
// A longer text is refused unread: more than any sensible spelling of `count` values.
constexpr std::size_t ParamFileMaxBytes(std::size_t count) {
    return count * 64 + 4096;
}
inline constexpr std::size_t kParamFileMaxBytes = ParamFileMaxBytes(kParamLen);

std::string WriteParamFile(const ParamBlock& block);
// `values` one a line, each right-aligned in `fieldWidth` characters (a longer one written
// whole).
std::string WriteParamValues(std::span<const Byte> values, std::size_t fieldWidth);

struct ParamFileRead {
    bool ok = false;
    ParamBlock block{};
    std::string reason; // when not ok: what is wrong and where ("line 3: 300 is above 255")
};
ParamFileRead ReadParamFile(std::string_view text);

// Exactly `out.size()` values into `out`, which is written only when the whole text is good.
struct ParamValuesRead {
    bool ok = false;
    // When not ok: as ReadParamFile says it, but too few values without the count needed
    // ("only 14 values").
    std::string reason;
    bool tooFew = false; // the text ended before `out.size()` values
};
ParamValuesRead ReadParamValues(std::string_view text, std::span<Byte> out);

} // namespace zurid::core
