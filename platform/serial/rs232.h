// Serial ports, numbered from 1: first the device paths named in the environment variable
// ZURID_PORTS (colon-separated), then the serial ports the system reports, in name order. A
// number keeps its device for the whole run; ports found later are appended.
#pragma once

#include <string>
#include <vector>

namespace zurid::platform {

// Error codes of OpenComConfig and of the calls on a port that is not usable.
constexpr int kComUnknownSystemError = -1;
constexpr int kComInvalidPort = -2;
constexpr int kComPortNotOpen = -3;
constexpr int kComNoPortFound = -6;
constexpr int kComCannotOpen = -7;

// Opens port `port` with the given line settings (parity 0 none, 1 odd, 2 even). An empty
// device name means the port's own device. Returns 0 or more on success, else a negative code:
// -2 number outside the port table, -6 device missing, -7 permission denied or in use, -1 other.
int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize);
int CloseCom(int port);
int SetComTime(int port, double timeoutSeconds);
int SetCTSMode(int port, int mode);
int FlushInQ(int port);
int FlushOutQ(int port);
// Writes `count` bytes; returns the number written or a negative code.
int ComWrt(int port, const unsigned char* buffer, int count);
// Bytes waiting in the input queue, without blocking; negative when the port is not usable.
int GetInQLen(int port);
// Reads up to `count` bytes, waiting at most the port's time-out; returns the number read or a
// negative code.
int ComRd(int port, unsigned char* buffer, int count);

// The port table, rescanned: entry i is port i + 1.
struct ComPortEntry {
    std::string device;      // e.g. /dev/ttyUSB0
    std::string description; // what the system says of it, may be empty
};
std::vector<ComPortEntry> ComPortTable();
// The device of port `port`, empty when there is none. Asking the system for its ports takes
// tens of milliseconds, so it is skipped while the ZURID_PORTS entries answer.
std::string ComPortDevice(int port);
// The number of `device` in the table, 0 when it is not there; the same shortcut.
int ComPortNumber(const std::string& device);

} // namespace zurid::platform
