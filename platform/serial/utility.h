// Time, the program's directory and numeric arrays in text files.
#pragma once

#include <string>

namespace zurid::platform {

// Data types of arrays in files and graphs.
constexpr int VAL_DOUBLE = 4;
constexpr int VAL_UNSIGNED_CHAR = 8;

// Seconds from a fixed origin on a monotonic clock.
double Timer();
// Plain pause of the calling thread.
void Sleep(int milliseconds);
// Directory that holds the program's resources (the panel file and bitmaps). Returns 0.
int GetProjectDir(std::string* directory);
// Gives the heap's free pages back to the system. A daemon whose clients come and go in bursts
// would otherwise keep the high-water mark of the busiest minute for good.
void ReleaseFreeMemory();
// A directory where the operator can write files: the program's directory when it is
// writable, otherwise the user's home directory.
std::string GetUserFileDir();

// Writes `count` values of `dataType` (VAL_UNSIGNED_CHAR) as ASCII, one per line, each
// right-aligned in a field of `fieldWidth`, '\n' line ends, through SaveFile (files.h): a file is
// replaced all at once; on failure the previous file is untouched. Returns 0 or a
// negative code; LastFileError() then says why.
int ArrayToFile(const char* fileName, const void* array, int dataType, int count, int numGroups,
                int arrayDataOrder, int fileLayout, int columnSeparation, int fieldWidth,
                int fileType, int fileAction);
// Reads exactly `count` values 0-255 separated by ASCII white space into `array`. Anything
// else (other text, a value out of range, fewer or more values, an unreadable file) leaves
// `array` untouched and returns a negative code; LastFileError() then says why.
int FileToArray(const char* fileName, void* array, int dataType, int count, int numGroups,
                int arrayDataOrder, int fileLayout, int fileType);
// Text of the last failure of ArrayToFile or FileToArray, naming the file and the problem.
const std::string& LastFileError();

} // namespace zurid::platform
