#include "core/params.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace zurid::core {

namespace {

using Labels = std::span<const std::string_view>;

constexpr std::array<std::string_view, 2> kPmod = {"STAT", "DYN"};
constexpr std::array<std::string_view, 8> kHold = {"OFF",    "10 ms",  "20 ms",  "50 ms",
                                                   "100 ms", "200 ms", "500 ms", "1000 ms"};
constexpr std::array<std::string_view, 3> kTrigger = {"CONT", "EXT", "ADJ EXT"};
constexpr std::array<std::string_view, 8> kAverage = {"1", "2", "4", "8", "16", "32", "64", "128"};
constexpr std::array<std::string_view, 2> kDeadTimeMode = {"%", "ms"};
constexpr std::array<std::string_view, 2> kOutmode = {"DIRECT", "INVERSE"};
constexpr std::array<std::string_view, kDeadTimeCodes> kDeadTimePercent = {
    "0", "6", "12", "18", "24", "30", "36", "42", "48", "54", "60", "66", "72", "78", "84", "90"};
constexpr std::array<std::string_view, kDeadTimeCodes> kDeadTimeMs = {
    "0", "2", "4", "6", "8", "10", "12", "14", "16", "18", "20", "22", "24", "26", "28", "30"};

constexpr int Last(Labels l) {
    return static_cast<int>(l.size()) - 1;
}

const std::array<ParamInfo, kParamLen> kTable = {{
    {"THRESHOLD", "THRESHOLD", 0, ParamKind::Number, 255, {}, ""},
    {"HYSTERESIS", "HYSTERESIS", 1, ParamKind::Number, 255, {}, ""},
    {"POWER", "POWER", kPosPower, ParamKind::Power, kPowerMaxCode, {}, "%"},
    {"PMOD", "PMOD", kPosPmod, ParamKind::Ring, Last(kPmod), kPmod, ""},
    {"HOLD", "HOLD", 4, ParamKind::Ring, Last(kHold), kHold, "ms"},
    {"TRIGGER", "TRIGGER", 5, ParamKind::Ring, Last(kTrigger), kTrigger, ""},
    {"BACKLIM", "BACKLIM", 6, ParamKind::Number, 255, {}, ""},
    {"REGCNT", "REGCNT", 7, ParamKind::Number, 255, {}, ""},
    {"AVERAGE", "AVERAGE", 8, ParamKind::Ring, Last(kAverage), kAverage, ""},
    {"DEAD TIME MODE", "DEADTIMEMODE", kPosDeadTimeMode, ParamKind::Ring, Last(kDeadTimeMode),
     kDeadTimeMode, ""},
    {"DEAD TIME", "DEADTIME", kPosDeadTime, ParamKind::DeadTime, kDeadTimeCodes - 1, {}, ""},
    {"OUTMODE", "OUTMODE", 11, ParamKind::Ring, Last(kOutmode), kOutmode, ""},
    {"SPARE13", "SPARE13", 12, ParamKind::Spare, 255, {}, ""},
    {"SPARE14", "SPARE14", 13, ParamKind::Spare, 255, {}, ""},
    {"SPARE15", "SPARE15", 14, ParamKind::Spare, 255, {}, ""},
}};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Upper case without blanks, for comparing names and labels as typed; a blank between two digits
// stays, so that "1 28" is not taken for "128".
std::string Squeeze(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            const bool between =
                !out.empty() && IsDigit(out.back()) && i + 1 < text.size() && IsDigit(text[i + 1]);
            if (!between || out.back() == ' ') {
                continue;
            }
        }
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// A whole decimal number with at most three digits (leading zeros allowed), else nothing.
std::optional<int> Decimal(std::string_view s) {
    const std::size_t first = s.find_first_not_of('0');
    const std::string_view digits = first == std::string_view::npos ? "0" : s.substr(first);
    if (s.empty() || digits.size() > 3 || !std::all_of(s.begin(), s.end(), IsDigit)) {
        return std::nullopt;
    }
    int value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

// `text` without the unit at its end (both squeezed); unchanged when it does not end in it.
std::string_view WithoutUnit(std::string_view text, std::string_view unit) {
    if (!unit.empty() && text.size() > unit.size() && text.ends_with(unit)) {
        return text.substr(0, text.size() - unit.size());
    }
    return text;
}

std::string Join(Labels labels) {
    std::string out;
    for (std::string_view l : labels) {
        out += out.empty() ? "" : ", ";
        out += l;
    }
    return out;
}

ParsedValue Refuse(const ParamInfo& info, std::string_view text, const std::string& allowed) {
    ParsedValue r;
    r.error = std::string(info.key) + ": \"" + std::string(text).substr(0, 40) +
              "\" is not allowed; use " + allowed + ", or a raw code #0-#255";
    return r;
}

ParsedValue Accept(int code) {
    ParsedValue r;
    r.code = static_cast<Byte>(code);
    return r;
}

} // namespace

std::span<const ParamInfo> ParamTable() {
    return kTable;
}

const ParamInfo* FindParam(std::string_view name) {
    const std::string wanted = Squeeze(name);
    for (const ParamInfo& p : kTable) {
        if (wanted == Squeeze(p.key) || wanted == Squeeze(p.name)) {
            return &p;
        }
    }
    return nullptr;
}

std::string ParamKeyList() {
    std::string out;
    for (const ParamInfo& p : kTable) {
        out += out.empty() ? "" : ", ";
        out += p.key;
    }
    return out;
}

Byte PowerPercentToCode(int percent) {
    return static_cast<Byte>((kPowerMaxCode - (percent * kPowerMaxCode) / 100) & 0xFF);
}

int PowerCodeToPercent(Byte code) {
    const int scaled = (kPowerMaxCode - code) * 100;
    const int pct = scaled / kPowerMaxCode; // truncates toward zero
    return scaled > 0 && scaled % kPowerMaxCode != 0 ? pct + 1 : pct;
}

std::span<const std::string_view> DeadTimeLabels(Byte deadTimeMode) {
    if (deadTimeMode == 0) {
        return kDeadTimePercent;
    }
    return kDeadTimeMs;
}

std::string_view DeadTimeUnit(Byte deadTimeMode) {
    return deadTimeMode == 0 ? "%" : "ms";
}

std::span<const std::string_view> LabelsOf(const ParamInfo& info, const ParamBlock& block) {
    return info.kind == ParamKind::DeadTime ? DeadTimeLabels(block[kPosDeadTimeMode]) : info.labels;
}

std::string_view UnitOf(const ParamInfo& info, const ParamBlock& block) {
    return info.kind == ParamKind::DeadTime ? DeadTimeUnit(block[kPosDeadTimeMode]) : info.unit;
}

bool IsKnownCode(const ParamInfo& info, const ParamBlock& block) {
    return block[static_cast<std::size_t>(info.pos)] <= info.maxCode;
}

std::string FormatValue(const ParamInfo& info, const ParamBlock& block) {
    const Byte code = block[static_cast<std::size_t>(info.pos)];
    if (!IsKnownCode(info, block)) {
        return "? " + std::to_string(code);
    }
    switch (info.kind) {
    case ParamKind::Number:
    case ParamKind::Spare:
        return std::to_string(code);
    case ParamKind::Power:
        return std::to_string(PowerCodeToPercent(code)) + " %";
    case ParamKind::DeadTime:
        return std::string(DeadTimeLabels(block[kPosDeadTimeMode])[code]) + " " +
               std::string(DeadTimeUnit(block[kPosDeadTimeMode]));
    case ParamKind::Ring:
        break;
    }
    return std::string(info.labels[code]);
}

ParsedValue ParseValue(const ParamInfo& info, std::string_view text, const ParamBlock& block) {
    const std::string typed = Squeeze(text);
    if (typed.starts_with('#')) {
        const std::optional<int> raw = Decimal(std::string_view(typed).substr(1));
        if (raw && *raw <= 255) {
            return Accept(*raw);
        }
        ParsedValue r;
        r.error = std::string(info.key) + ": \"" + std::string(text).substr(0, 40) +
                  "\" is not a raw code; use #0-#255";
        return r;
    }
    const std::string unit = Squeeze(UnitOf(info, block));
    switch (info.kind) {
    case ParamKind::Number:
    case ParamKind::Spare: {
        const std::optional<int> n = Decimal(typed);
        if (n && *n <= 255) {
            return Accept(*n);
        }
        return Refuse(info, text, "a number 0-255");
    }
    case ParamKind::Power: {
        const std::optional<int> pct = Decimal(WithoutUnit(typed, unit));
        if (pct && *pct <= 100) {
            return Accept(PowerPercentToCode(*pct));
        }
        return Refuse(info, text, "a percentage 0-100 (\"80%\")");
    }
    case ParamKind::Ring:
    case ParamKind::DeadTime:
        break;
    }
    const Labels labels = LabelsOf(info, block);
    const std::string_view bare = WithoutUnit(typed, unit);
    for (std::size_t code = 0; code < labels.size(); ++code) {
        const std::string label = Squeeze(labels[code]);
        if (typed == label || bare == WithoutUnit(label, unit)) {
            return Accept(static_cast<int>(code));
        }
    }
    std::string allowed = "one of " + Join(labels);
    if (info.kind == ParamKind::DeadTime) {
        allowed += " (" + std::string(UnitOf(info, block)) + ", as DEAD TIME MODE is now)";
    }
    return Refuse(info, text, allowed);
}

std::vector<int> DifferingPositions(const ParamBlock& a, const ParamBlock& b) {
    std::vector<int> out;
    for (int i = 0; i < kParamLen; ++i) {
        if (a[static_cast<std::size_t>(i)] != b[static_cast<std::size_t>(i)]) {
            out.push_back(i);
        }
    }
    return out;
}

} // namespace zurid::core
