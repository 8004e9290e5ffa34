#include "sensors/assign.h"

namespace zurid::sensors {

namespace {

const core::ParamInfo* DeadTimeMode() {
    return core::FindParam("DEADTIMEMODE");
}

bool SetsMode(std::span<const Assignment> items) {
    for (const Assignment& a : items) {
        if (a.param == DeadTimeMode()) {
            return true;
        }
    }
    return false;
}

} // namespace

AssignmentList ParseAssignments(std::span<const std::string> words) {
    AssignmentList out;
    for (const std::string& word : words) {
        const std::size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            out.error = "'" + word + "' is not NAME=VALUE";
            return out;
        }
        const std::string name = word.substr(0, eq);
        const core::ParamInfo* param = core::FindParam(name);
        if (param == nullptr) {
            out.error = "no parameter '" + name + "'; the names are " + core::ParamKeyList();
            return out;
        }
        for (const Assignment& a : out.items) {
            if (a.param == param) {
                out.error = std::string(param->key) + " is given twice";
                return out;
            }
        }
        out.items.push_back({param, word.substr(eq + 1)});
    }
    return out;
}

std::string ApplyAssignments(std::span<const Assignment> items, core::ParamBlock& block) {
    // Two rounds: everything but DEAD TIME, then DEAD TIME against the mode now in the block.
    for (const bool deadTimeRound : {false, true}) {
        for (const Assignment& a : items) {
            if ((a.param->kind == core::ParamKind::DeadTime) != deadTimeRound) {
                continue;
            }
            const core::ParsedValue v = core::ParseValue(*a.param, a.value, block);
            if (!v.code) {
                return v.error;
            }
            block[static_cast<std::size_t>(a.param->pos)] = *v.code;
        }
    }
    return {};
}

std::string CheckAssignments(std::span<const Assignment> items) {
    core::ParamBlock block{};
    const std::string error = ApplyAssignments(items, block);
    if (error.empty() || SetsMode(items)) {
        return error;
    }
    // Without DEAD TIME MODE the sensor's own mode decides; either mode that takes it will do.
    block = {};
    block[static_cast<std::size_t>(DeadTimeMode()->pos)] = 1;
    const std::string other = ApplyAssignments(items, block);
    if (other.empty()) {
        return {};
    }
    if (other == error) {
        return error; // not about DEAD TIME
    }
    for (const Assignment& a : items) {
        if (a.param->kind == core::ParamKind::DeadTime) {
            std::string text =
                std::string(a.param->key) + ": \"" + a.value + "\" is a DEAD TIME in neither mode";
            for (const core::Byte mode : {0, 1}) {
                text += mode == 0 ? " (" : "; ";
                text += std::string(core::DeadTimeUnit(mode)) + ":";
                for (const std::string_view label : core::DeadTimeLabels(mode)) {
                    text += " " + std::string(label);
                }
            }
            return text + "), nor a raw code #0-#255";
        }
    }
    return error;
}

} // namespace zurid::sensors
