// Fuzzes the value parser of `NAME=VALUE` against the parameter table. The first byte is the
// block's DEAD TIME MODE, the rest the text. The value is tried against every parameter (no
// crash, a refusal names the parameter); the named one, when it exists, must give a code that
// formats as the panel shows it and parses back to the same code.
#include "core/params.h"
#include "fuzz/check.h"

#include <cstdint>
#include <string>
#include <string_view>

using namespace zurid::core;

namespace {

void CheckOne(const ParamInfo& info, std::string_view value, ParamBlock block) {
    const ParsedValue parsed = ParseValue(info, value, block);
    if (!parsed.code) {
        FUZZ_CHECK(parsed.error.rfind(std::string(info.key) + ": ", 0) == 0,
                   "refusal does not name %s: %s", std::string(info.key).c_str(),
                   parsed.error.c_str());
        return;
    }
    FUZZ_CHECK(parsed.error.empty(), "accepted with an error: %s", parsed.error.c_str());
    const Byte code = *parsed.code;
    block[static_cast<std::size_t>(info.pos)] = code;
    const std::string shown = FormatValue(info, block);
    const std::string again = IsKnownCode(info, block) ? shown : "#" + std::to_string(code);
    if (!IsKnownCode(info, block)) {
        FUZZ_CHECK(shown == "? " + std::to_string(code), "unknown code %d shown as %s", code,
                   shown.c_str());
    }
    const ParsedValue back = ParseValue(info, again, block);
    FUZZ_CHECK(back.code && *back.code == code, "%s: code %d shown as \"%s\" parses to %d",
               std::string(info.key).c_str(), code, again.c_str(), back.code ? *back.code : -1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    ParamBlock block{};
    block[kPosDeadTimeMode] = data[0];
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::size_t eq = text.find('=');
    const std::string_view value = eq == std::string_view::npos ? text : text.substr(eq + 1);
    for (const ParamInfo& info : ParamTable()) {
        CheckOne(info, value, block);
    }
    if (eq != std::string_view::npos) {
        if (const ParamInfo* named = FindParam(text.substr(0, eq))) {
            CheckOne(*named, value, block);
        }
    }
    return 0;
}
