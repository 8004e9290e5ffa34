// Opening a serial device for one owner: the device's lock (portlock.h), the device opened and
// claimed, the line set. The window's RS-232 layer and zurid's port session both open this way;
// each reports a failure in its own terms (a numeric code, an error kind).
#pragma once

#include "platform/serial/portlock.h"

#include <string>

class QSerialPort;

namespace zurid::platform {

// Parity 0 none, 1 odd, 2 even; 5 to 8 data bits; 1 or 2 stop bits. No handshake.
struct LineSettings {
    long baudRate = 4800;
    int parity = 0;
    int dataBits = 8;
    int stopBits = 1;
};

enum class PortOpenFailure {
    None,
    NoSuchDevice, // nothing at the path, or the system says the device is gone
    PathDenied,   // the path cannot be looked up (a directory on it may not be searched)
    Locked,       // the device's lock is another's or cannot be taken
    Busy,         // the system or another program's lock on the device refuses a second owner
    NotPermitted, // no right to read and write the device
    CannotOpen,   // any other refusal to open
    CannotSet,    // open, but the line settings are refused or are none this layer knows
};

struct PortOpenResult {
    PortOpenFailure failure = PortOpenFailure::None;
    // When failed, for the operator: "no such device", the lock's refusal ("in use by process
    // 1234 (zurid)"), "in use by another program", "in use by another program (it holds the
    // device locked)", PermissionAdvice, "cannot open: ...", "cannot set 4800 baud 8N1: ...".
    std::string message;

    bool ok() const { return failure == PortOpenFailure::None; }
};

// Takes `lock` for the device `path` leads to before the device is touched at all (even opening
// it would let the settings cut into the owner's exchange), opens `port` read-write on the
// resolved device, claims it (ClaimOpenDevice) and sets the line. On failure `port` is closed
// and `lock` released.
PortOpenResult OpenSerialDevice(QSerialPort& port, PortLock& lock, const std::string& path,
                                const LineSettings& line);

} // namespace zurid::platform
