// Byte arrays as ASCII files: one right-aligned value per line, read back strictly.
#include "platform/serial/files.h"
#include "platform/serial/utility.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace {

constexpr int kFileIoError = -1;       // cannot be opened, read or written
constexpr int kFileFormatError = -2;   // read, but not the expected values
constexpr int kFileArgumentError = -3; // a layout this layer does not write or read
constexpr int kAsciiFile = 1;
constexpr int kMaxValueChars = 64; // generous per value, for any spacing between values
constexpr int kSlackBytes = 4096;

std::string lastError;

int Fail(const char* fileName, const std::string& problem, int code) {
    lastError = std::string(fileName != nullptr ? fileName : "(no file)") + ": " + problem;
    return code;
}

// Only the layout of the parameter file: one group of unsigned bytes as ASCII text.
bool SupportedLayout(const char* fileName, int dataType, int count, int numGroups, int fileType,
                     int* code) {
    std::string problem;
    if (fileName == nullptr || fileName[0] == '\0') {
        problem = "no file name";
    } else if (dataType != VAL_UNSIGNED_CHAR) {
        problem = "only unsigned byte arrays are supported";
    } else if (count < 1 || numGroups != 1) {
        problem = "only one group of at least one value is supported";
    } else if (fileType != kAsciiFile) {
        problem = "only ASCII files are supported";
    }
    if (problem.empty()) {
        return true;
    }
    *code = Fail(fileName, problem, kFileArgumentError);
    return false;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A token as it may be shown in a message: short, with anything unprintable escaped.
std::string Printable(std::string_view token) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < token.size() && i < 20; ++i) {
        const auto c = static_cast<unsigned char>(token[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (token.size() > 20) {
        out += "...";
    }
    return out;
}

} // namespace

int ArrayToFile(const char* fileName, const void* array, int dataType, int count, int numGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth,
                int fileType, int fileAction) {
    // With one group, the group order, the layout and the column separation all give one value
    // per line; only replacing the whole file is offered.
    (void)arrayDataOrder;
    (void)fileLayout;
    (void)columnSeparation;
    int code = 0;
    if (!SupportedLayout(fileName, dataType, count, numGroups, fileType, &code)) {
        return code;
    }
    if (fileAction != 0) {
        return Fail(fileName, "only replacing the file is supported", kFileArgumentError);
    }
    const auto* bytes = static_cast<const unsigned char*>(array);
    const int width = std::clamp(fieldWidth, 0, 64);
    std::string text;
    for (int i = 0; i < count; ++i) {
        const std::string value = std::to_string(bytes[i]);
        text.append(static_cast<std::size_t>(std::max(0, width - static_cast<int>(value.size()))),
                    ' ');
        text += value;
        text += '\n';
    }
    // A file named "-" is a file here, not standard output.
    const std::string name = std::string_view(fileName) == "-" ? "./-" : fileName;
    if (const std::string why = SaveFile(name, text); !why.empty()) {
        return Fail(fileName, "cannot be written: " + why, kFileIoError);
    }
    lastError.clear();
    return 0;
}

int FileToArray(const char* fileName, void* array, int dataType, int count, int numGroups,
                int arrayDataOrder, int fileLayout, int fileType) {
    (void)arrayDataOrder;
    (void)fileLayout;
    int code = 0;
    if (!SupportedLayout(fileName, dataType, count, numGroups, fileType, &code)) {
        return code;
    }
    // A file longer than any sensible spelling of `count` values is refused unread.
    const std::size_t limit =
        static_cast<std::size_t>(count) * kMaxValueChars + static_cast<std::size_t>(kSlackBytes);
    std::string text;
    std::string why;
    if (!ReadRegularFile(fileName, limit + 1, &text, &why)) {
        return Fail(fileName, "cannot be read: " + why, kFileIoError);
    }
    if (text.empty()) {
        return Fail(fileName, "the file is empty", kFileFormatError);
    }
    if (text.size() > limit) {
        return Fail(fileName, "too large (more than " + std::to_string(limit) + " bytes)",
                    kFileFormatError);
    }

    std::vector<unsigned char> values;
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
        const std::string_view token(text.data() + i, end - i);
        const std::string where = "line " + std::to_string(line) + ": ";
        if (static_cast<int>(values.size()) == count) {
            return Fail(fileName, "more than " + std::to_string(count) + " values",
                        kFileFormatError);
        }
        const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
        if (token.size() > 1 && token[0] == '-' &&
            std::all_of(token.begin() + 1, token.end(), isDigit)) {
            return Fail(fileName, where + Printable(token) + " is below 0", kFileFormatError);
        }
        if (!std::all_of(token.begin(), token.end(), isDigit)) {
            return Fail(fileName, where + "\"" + Printable(token) + "\" is not a whole number",
                        kFileFormatError);
        }
        const std::string_view digits =
            token.substr(std::min(token.find_first_not_of('0'), token.size() - 1));
        if (digits.size() > 3 || std::stoi(std::string(digits)) > 255) {
            return Fail(fileName, where + Printable(token) + " is above 255", kFileFormatError);
        }
        values.push_back(static_cast<unsigned char>(std::stoi(std::string(digits))));
        i = end;
    }
    if (static_cast<int>(values.size()) < count) {
        return Fail(fileName, "only " + std::to_string(values.size()) + " values",
                    kFileFormatError);
    }
    std::copy(values.begin(), values.end(), static_cast<unsigned char*>(array));
    lastError.clear();
    return 0;
}

const std::string& LastFileError() {
    return lastError;
}
