#include "core/paramfile.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace zurid::core {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// A token as it may be quoted in a reason: short, anything unprintable as \xNN.
std::string Quoted(std::string_view token) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < 20; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return token.size() > 20 ? out + "..." : out;
}

ParamValuesRead Refuse(std::string reason) {
    ParamValuesRead r;
    r.reason = std::move(reason);
    return r;
}

// The value of one token, or the reason it is none.
std::optional<Byte> Value(std::string_view token, std::string* why) {
    const bool negative = token.size() > 1 && token[0] == '-';
    const std::string_view digits = negative ? token.substr(1) : token;
    if (!std::all_of(digits.begin(), digits.end(), IsDigit)) {
        *why = "\"" + Quoted(token) + "\" is not a whole number";
        return std::nullopt;
    }
    if (negative) {
        *why = Quoted(token) + " is below 0";
        return std::nullopt;
    }
    const std::size_t first = std::min(digits.find_first_not_of('0'), digits.size() - 1);
    const std::string_view significant = digits.substr(first);
    int value = 0;
    for (char c : significant.substr(0, 4)) {
        value = value * 10 + (c - '0');
    }
    if (significant.size() > 3 || value > 255) {
        *why = Quoted(token) + " is above 255";
        return std::nullopt;
    }
    return static_cast<Byte>(value);
}

} // namespace

std::string WriteParamValues(std::span<const Byte> values, std::size_t fieldWidth) {
    std::string text;
    for (Byte b : values) {
        const std::string value = std::to_string(b);
        text.append(fieldWidth > value.size() ? fieldWidth - value.size() : 0, ' ');
        text += value;
        text += '\n';
    }
    return text;
}

std::string WriteParamFile(const ParamBlock& block) {
    return WriteParamValues(block, kParamFileFieldWidth);
}

ParamValuesRead ReadParamValues(std::string_view text, std::span<Byte> out) {
    if (text.empty()) {
        return Refuse("the file is empty");
    }
    const std::size_t limit = ParamFileMaxBytes(out.size());
    if (text.size() > limit) {
        return Refuse("too large (more than " + std::to_string(limit) + " bytes)");
    }
    std::vector<Byte> values;
    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        if (IsSpace(text[i])) {
            line += text[i] == '\n' ? 1 : 0;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && !IsSpace(text[end])) {
            ++end;
        }
        if (values.size() == out.size()) {
            return Refuse("more than " + std::to_string(out.size()) + " values");
        }
        std::string why;
        const std::optional<Byte> value = Value(text.substr(i, end - i), &why);
        if (!value) {
            return Refuse("line " + std::to_string(line) + ": " + why);
        }
        values.push_back(*value);
        i = end;
    }
    if (values.size() < out.size()) {
        ParamValuesRead r = Refuse("only " + std::to_string(values.size()) + " values");
        r.tooFew = true;
        return r;
    }
    std::copy(values.begin(), values.end(), out.begin());
    ParamValuesRead r;
    r.ok = true;
    return r;
}

ParamFileRead ReadParamFile(std::string_view text) {
    ParamFileRead r;
    const ParamValuesRead values = ReadParamValues(text, r.block);
    r.ok = values.ok;
    r.reason = values.reason;
    if (values.tooFew) {
        r.reason += ", " + std::to_string(kParamLen) + " needed";
    }
    return r;
}

} // namespace zurid::core
