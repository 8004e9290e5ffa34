// Byte arrays as ASCII files: one right-aligned value per line, read back strictly. The format
// is the parameter file's (core/paramfile.h); here the file itself and the window's codes.
#include "core/paramfile.h"
#include "platform/serial/files.h"
#include "platform/serial/utility.h"

#include <algorithm>
#include <span>
#include <string_view>

namespace zurid::platform {

namespace {

constexpr int kFileIoError = -1;       // cannot be opened, read or written
constexpr int kFileFormatError = -2;   // read, but not the expected values
constexpr int kFileArgumentError = -3; // a layout this layer does not write or read
constexpr int kAsciiFile = 1;

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
    const std::span values(static_cast<const core::Byte*>(array), static_cast<std::size_t>(count));
    const std::string text =
        core::WriteParamValues(values, static_cast<std::size_t>(std::clamp(fieldWidth, 0, 64)));
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
    const std::span values(static_cast<core::Byte*>(array), static_cast<std::size_t>(count));
    std::string text;
    std::string why;
    if (!ReadRegularFile(fileName, core::ParamFileMaxBytes(values.size()) + 1, &text, &why)) {
        return Fail(fileName, "cannot be read: " + why, kFileIoError);
    }
    const core::ParamValuesRead read = core::ReadParamValues(text, values);
    if (!read.ok) {
        return Fail(fileName, read.reason, kFileFormatError);
    }
    lastError.clear();
    return 0;
}

const std::string& LastFileError() {
    return lastError;
}

} // namespace zurid::platform
