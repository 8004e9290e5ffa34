// The parameter file: fifteen lines, each a value 0-255 right-aligned in four characters, '\n'
// line ends. Reading is strict: any ASCII white space between values, nothing else.
#pragma once

#include "core/protocol.h"

#include <string>
#include <string_view>

namespace zurid::core {

std::string WriteParamFile(const ParamBlock& block);

struct ParamFileRead {
    bool ok = false;
    ParamBlock block{};
    std::string reason; // when not ok: what is wrong and where ("value 3: 300 is out of 0-255")
};
ParamFileRead ReadParamFile(std::string_view text);

} // namespace zurid::core
