// NAME=VALUE words of `zurid set`, against the parameter table. Plain C++ (no Qt), so the fuzz
// target can drive it directly.
#pragma once

#include "core/params.h"

#include <span>
#include <string>
#include <vector>

namespace zurid::sensors {

struct Assignment {
    const core::ParamInfo* param = nullptr;
    std::string value; // as typed after '='
};

struct AssignmentList {
    std::vector<Assignment> items;
    std::string error; // set when a word is not NAME=VALUE, names no parameter, or repeats one
};
AssignmentList ParseAssignments(std::span<const std::string> words);

// Sets the named bytes in `block`, nothing else. DEAD TIME MODE goes first, so a DEAD TIME
// value is read in the mode it will have. Empty on success; otherwise the first refusal, with
// the allowed values, and `block` may be partly changed.
std::string ApplyAssignments(std::span<const Assignment> items, core::ParamBlock& block);

// Before anything is read from the sensor: refuses a value that no sensor block could accept
// (DEAD TIME is tried in both modes unless DEAD TIME MODE is set as well). Empty when fine.
std::string CheckAssignments(std::span<const Assignment> items);

} // namespace zurid::sensors
