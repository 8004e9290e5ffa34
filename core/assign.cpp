#include "core/assign.h"

#include <utility>

namespace zurid::core {

namespace {

const ParamInfo* DeadTimeMode() {
    return FindParam("DEADTIMEMODE");
}

bool SetsMode(std::span<const Assignment> items) {
    for (const Assignment& a : items) {
        if (a.param == DeadTimeMode()) {
            return true;
        }
    }
    return false;
}

AssignmentsRead NotRead(std::string reason) {
    return {false, {}, std::move(reason)};
}

} // namespace

AssignmentsRead ParseAssignments(std::span<const std::string> words) {
    AssignmentsRead out;
    for (const std::string& word : words) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            return NotRead("'" + word + "' is not NAME=VALUE");
        }
        const std::string name = word.substr(0, eq);
        const ParamInfo* param = FindParam(name);
        if (param == nullptr) {
            return NotRead("no parameter '" + name + "'; the names are " + ParamKeyList());
        }
        for (const Assignment& a : out.items) {
            if (a.param == param) {
                return NotRead(std::string(param->key) + " is given twice");
            }
        }
        out.items.push_back({param, word.substr(eq + 1)});
    }
    out.ok = true;
    return out;
}

AssignedBlock ApplyAssignments(std::span<const Assignment> items, const ParamBlock& block) {
    AssignedBlock out{true, block, {}};
    // Two rounds: everything but DEAD TIME, then DEAD TIME against the mode now in the block.
    for (const bool deadTimeRound : {false, true}) {
        for (const Assignment& a : items) {
            if ((a.param->kind == ParamKind::DeadTime) != deadTimeRound) {
                continue;
            }
            const ParsedValue v = ParseValue(*a.param, a.value, out.block);
            if (!v.code) {
                return {false, block, v.error};
            }
            out.block[static_cast<std::size_t>(a.param->pos)] = *v.code;
        }
    }
    return out;
}

AssignmentsChecked CheckAssignments(std::span<const Assignment> items) {
    const AssignedBlock first = ApplyAssignments(items, ParamBlock{});
    if (first.ok || SetsMode(items)) {
        return {first.ok, first.reason};
    }
    // Without DEAD TIME MODE the sensor's own mode decides; either mode that takes it will do.
    ParamBlock otherMode{};
    otherMode[static_cast<std::size_t>(DeadTimeMode()->pos)] = 1;
    const AssignedBlock other = ApplyAssignments(items, otherMode);
    if (other.ok) {
        return {true, {}};
    }
    if (other.reason == first.reason) {
        return {false, first.reason}; // not about DEAD TIME
    }
    for (const Assignment& a : items) {
        if (a.param->kind == ParamKind::DeadTime) {
            std::string text =
                std::string(a.param->key) + ": \"" + a.value + "\" is a DEAD TIME in neither mode";
            for (const Byte mode : {0, 1}) {
                text += mode == 0 ? " (" : "; ";
                text += std::string(DeadTimeUnit(mode)) + ":";
                for (const std::string_view label : DeadTimeLabels(mode)) {
                    text += " " + std::string(label);
                }
            }
            return {false, text + "), nor a raw code #0-#255"};
        }
    }
    return {false, first.reason};
}

} // namespace zurid::core
