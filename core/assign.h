// NAME=VALUE words of `zurid set`, against the parameter table. Plain C++ (no Qt), so the fuzz
// target can drive it directly. Each function answers with `ok` and, when not ok, the reason.
#pragma once

#include "core/params.h"

#include <span>
#include <string>
#include <vector>

namespace zurid::core {

struct Assignment {
    const ParamInfo* param = nullptr;
    std::string value; // as typed after '='
};

struct AssignmentsRead {
    bool ok = false;
    std::vector<Assignment> items;
    std::string reason; // when not ok: a word is not NAME=VALUE, names no parameter, or repeats one
};
AssignmentsRead ParseAssignments(std::span<const std::string> words);

struct AssignedBlock {
    bool ok = false;
    ParamBlock block{};
    std::string reason; // when not ok: the first refusal, with the allowed values
};
// `block` with the named bytes set, nothing else. DEAD TIME MODE goes first, so a DEAD TIME
// value is read in the mode it will have.
AssignedBlock ApplyAssignments(std::span<const Assignment> items, const ParamBlock& block);

struct AssignmentsChecked {
    bool ok = false;
    std::string reason; // when not ok: the value no sensor block could accept, and why
};
// Before anything is read from the sensor: refuses a value that no sensor block could accept
// (DEAD TIME is tried in both modes unless DEAD TIME MODE is set as well).
AssignmentsChecked CheckAssignments(std::span<const Assignment> items);

} // namespace zurid::core
