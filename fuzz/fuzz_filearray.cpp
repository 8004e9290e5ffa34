// Fuzzes the parameter-file reader: any bytes as the file, read as fifteen byte values. The
// result is compared with what the file format allows, and a good read must survive a write
// and a second read unchanged.
#include "fuzz/check.h"
#include "platform/serial/utility.h"
#include "platform/ui/userint.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>

using zurid::platform::ArrayToFile;
using zurid::platform::FileToArray;
using zurid::platform::LastFileError;
using zurid::platform::VAL_UNSIGNED_CHAR;

namespace {

constexpr int kCount = 15;
using Block = std::array<unsigned char, kCount>;

// The reader refuses files longer than any sensible spelling of the values, unread.
constexpr std::size_t kMaxFileBytes = kCount * 64 + 4096;

std::string dir;

bool IsSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// What a file of these bytes holds: exactly fifteen decimal numbers 0-255 between ASCII white
// space, or nothing.
std::optional<Block> Expected(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kMaxFileBytes) {
        return std::nullopt;
    }
    Block values{};
    int count = 0;
    for (std::size_t i = 0; i < size;) {
        if (IsSpace(data[i])) {
            ++i;
            continue;
        }
        unsigned value = 0;
        for (; i < size && !IsSpace(data[i]); ++i) {
            if (data[i] < '0' || data[i] > '9' || count == kCount) {
                return std::nullopt;
            }
            value = value * 10 + (data[i] - '0');
            if (value > 255) {
                return std::nullopt;
            }
        }
        values[static_cast<std::size_t>(count++)] = static_cast<unsigned char>(value);
    }
    if (count != kCount) {
        return std::nullopt;
    }
    return values;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot create %s", path.c_str());
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        FUZZ_CHECK(n > 0, "cannot write %s", path.c_str());
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

int Read(const std::string& path, Block* block) {
    return FileToArray(path.c_str(), block->data(), VAL_UNSIGNED_CHAR, kCount, 1, 0, 0, 1);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    char tmpl[] = "/tmp/fuzz_filearray.XXXXXX";
    FUZZ_CHECK(::mkdtemp(tmpl) != nullptr, "no temporary directory");
    dir = tmpl;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = dir + "/in.dat";
    WriteFile(path, data, size);

    const std::optional<Block> expected = Expected(data, size);
    Block untouched;
    for (int i = 0; i < kCount; ++i) {
        untouched[static_cast<std::size_t>(i)] = static_cast<unsigned char>(0xA0 + i);
    }
    Block got = untouched;
    const int rc = Read(path, &got);

    if (!expected) {
        FUZZ_CHECK(rc < 0, "accepted a file that is not fifteen values 0-255 (rc %d)", rc);
        FUZZ_CHECK(got == untouched, "a refused file changed the array");
        const std::string& why = LastFileError();
        FUZZ_CHECK(why.rfind(path + ": ", 0) == 0 && why.size() > path.size() + 2,
                   "failure text does not name the file: \"%s\"", why.c_str());
        return 0;
    }
    FUZZ_CHECK(rc == 0, "refused a good file: %s", LastFileError().c_str());
    FUZZ_CHECK(got == *expected, "values read differ from the file's");
    FUZZ_CHECK(LastFileError().empty(), "error text left after success");

    // What was read is written in the program's layout and read back the same.
    const std::string out = dir + "/out.dat";
    FUZZ_CHECK(
        ArrayToFile(out.c_str(), got.data(), VAL_UNSIGNED_CHAR, kCount, 1, 0, 0, 0, 4, 1, 0) == 0,
        "cannot write back: %s", LastFileError().c_str());
    Block again = untouched;
    FUZZ_CHECK(Read(out, &again) == 0 && again == got, "written block does not read back");
    return 0;
}
