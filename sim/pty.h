// A fresh pseudo-terminal for a serial line without a device: the sensor simulator plays the
// sensor on its master side, and tests, benchmarks and fuzzers use it as a hand-made peer.
#pragma once

#include <string>

namespace sim {

struct PtyEnds {
    int master = -1;
    int slave = -1;   // our own hold on the slave side: the master reads no EIO while it is open
    std::string path; // the slave side, which the program opens as its port
};

// Opens a pseudo-terminal with both ends close-on-exec and the line raw at 4800 baud, the
// master non-blocking if asked. False (and nothing left open) if any step fails.
bool OpenPty(PtyEnds* ends, bool nonBlockingMaster);
// Closes whichever ends are open; closing the master hangs the line up.
void ClosePty(PtyEnds* ends);

} // namespace sim
