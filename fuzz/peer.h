// The sensor's side of the line for the reply fuzzer: a pseudo-terminal whose slave side is the
// program's COM1, answered from inside the program's request write. The linker routes the
// program's ComWrt, Timer and Sleep here (see CMakeLists.txt):
//  - ComWrt: after the real write, the request is read off the line and the next planned
//    answer is put on it; the write returns only when the whole answer is in the port's input
//    queue, so the reply wait that follows finds everything the sensor will ever send.
//  - Timer: each reading is several seconds after the last, so every reply wait and event
//    delay ends after its first pass. With the answer already queued, that pass sees exactly
//    what the full three seconds would have seen.
//  - Sleep: the data loop's pause is skipped.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace peer {

using Bytes = std::vector<std::uint8_t>;

struct Answer {
    std::optional<Bytes> reply; // bytes put on the line, or silence
    bool stop = false;          // the operator presses STOP while the reply is awaited
};

// Opens the pseudo-terminal; its slave path is then in path().
bool Open();
const std::string& path();

// Answers to the next requests, in order. A request with no planned answer gets silence and a
// STOP.
void Plan(Answer answer);
// Every request written since the last Reset, as the sensor received it.
const std::vector<Bytes>& Requests();
// Forgets plans and requests and empties the line in both directions.
void Reset();

} // namespace peer
