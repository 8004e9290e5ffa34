// The parameter file: fifteen lines, each a value 0-255 right-aligned in four characters, '\n'
// line ends. Reading is strict: any ASCII white space between values, nothing else; exactly
// fifteen values. The window's file reader accepts the same texts.
#pragma once

#include "core/protocol.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zurid::core {

// Width of the right-aligned field of each value.
inline constexpr std::size_t kParamFileFieldWidth = 4;
// A longer text is refused unread: more than any sensible spelling of fifteen values.
inline constexpr std::size_t kParamFileMaxBytes = kParamLen * 64 + 4096;

std::string WriteParamFile(const ParamBlock& block);

struct ParamFileRead {
    bool ok = false;
    ParamBlock block{};
    std::string reason; // when not ok: what is wrong and where ("line 3: 300 is above 255")
};
ParamFileRead ReadParamFile(std::string_view text);

} // namespace zurid::core
