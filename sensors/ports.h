// The serial ports of the machine as the sensor library names them: the window's numbering
// (ZURID_PORTS first, then the system's ports in name order), stable locations, and opening a
// session on one.
#pragma once

#include "sensors/result.h"
#include "sensors/session.h"

#include <QList>
#include <QString>

#include <memory>

namespace zurid::sensors {

// A port as the operator named it, resolved to its device.
struct PortRef {
    QString label;  // "COM3", or the path of a device outside the table
    QString device; // "/dev/ttyUSB0"
};

// "COM3", "3" or a device path. The message names the port and what is wrong.
Result<PortRef> LookupPort(const QString& text);
QList<PortRef> PortTable();

// Where a port sits, in a name that survives a reboot and a re-plug: the link in
// ROOT/by-path (the socket or USB port), else in ROOT/by-id (the adapter), that leads to the
// device; else the device path itself.
QString StableLocation(const QString& device, const QString& root = QStringLiteral("/dev/serial"));

// "COM3 (/dev/ttyUSB0)", or the label alone when it is the device.
QString PortName(const PortRef& ref);

// Opens a session on the port; the message names the port and why it cannot be opened.
Result<std::unique_ptr<PortSession>> OpenSession(const PortRef& ref);

} // namespace zurid::sensors
