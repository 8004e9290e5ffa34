// Fuzzes the protocol core's parameter-file reader: any bytes as the text. A refusal says why and
// leaves no values; an accepted text is written in the file format and read back unchanged, and
// that writing is itself the format's one spelling of the block.
#include "core/paramfile.h"
#include "fuzz/check.h"

#include <cstdint>
#include <string_view>

using namespace zurid::core;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParamFileRead read = ReadParamFile(text);
    if (!read.ok) {
        FUZZ_CHECK(!read.reason.empty(), "refused without a reason");
        FUZZ_CHECK(read.block == ParamBlock{}, "a refused text left values");
        return 0;
    }
    FUZZ_CHECK(read.reason.empty(), "accepted with a reason: %s", read.reason.c_str());
    const std::string written = WriteParamFile(read.block);
    FUZZ_CHECK(written.size() == 5 * kParamLen, "written file is %zu bytes", written.size());
    const ParamFileRead again = ReadParamFile(written);
    FUZZ_CHECK(again.ok, "written file refused: %s", again.reason.c_str());
    FUZZ_CHECK(again.block == read.block, "written file reads back different values");
    FUZZ_CHECK(WriteParamFile(again.block) == written, "second writing differs");
    return 0;
}
