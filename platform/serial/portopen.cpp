#include "platform/serial/portopen.h"

#include <QSerialPort>

#include <cerrno>
#include <sys/stat.h>

namespace zurid::platform {

namespace {

PortOpenResult Failed(PortOpenFailure failure, std::string message) {
    return PortOpenResult{failure, std::move(message)};
}

bool Valid(const LineSettings& line) {
    return line.baudRate > 0 && line.parity >= 0 && line.parity <= 2 && line.dataBits >= 5 &&
           line.dataBits <= 8 && (line.stopBits == 1 || line.stopBits == 2);
}

// "4800 baud 8N1".
std::string Spelled(const LineSettings& line) {
    const char parity = line.parity >= 0 && line.parity <= 2 ? "NOE"[line.parity] : '?';
    return std::to_string(line.baudRate) + " baud " + std::to_string(line.dataBits) + parity +
           std::to_string(line.stopBits);
}

bool Apply(QSerialPort& port, const LineSettings& line) {
    static constexpr QSerialPort::Parity parities[] = {
        QSerialPort::NoParity, QSerialPort::OddParity, QSerialPort::EvenParity};
    return port.setBaudRate(static_cast<qint32>(line.baudRate)) &&
           port.setDataBits(static_cast<QSerialPort::DataBits>(line.dataBits)) &&
           port.setParity(parities[line.parity]) &&
           port.setStopBits(line.stopBits == 1 ? QSerialPort::OneStop : QSerialPort::TwoStop) &&
           port.setFlowControl(QSerialPort::NoFlowControl);
}

// Why the system would not open `device`.
PortOpenResult Refused(QSerialPort& port, const std::string& device) {
    const QSerialPort::SerialPortError error = port.error();
    const std::string why = port.errorString().toStdString();
    port.clearError();
    switch (error) {
    case QSerialPort::PermissionError: // no right, or another owner (EBUSY, TIOCEXCL)
        if (!DeviceAccessible(device)) {
            return Failed(PortOpenFailure::NotPermitted, PermissionAdvice(device));
        }
        return Failed(PortOpenFailure::Busy, "in use by another program");
    case QSerialPort::DeviceNotFoundError:
        return Failed(PortOpenFailure::NoSuchDevice, "no such device");
    default:
        return Failed(PortOpenFailure::CannotOpen, "cannot open: " + why);
    }
}

} // namespace

PortOpenResult OpenSerialDevice(QSerialPort& port, PortLock& lock, const std::string& path,
                                const LineSettings& line) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return Failed(errno == EACCES ? PortOpenFailure::PathDenied : PortOpenFailure::NoSuchDevice,
                      "no such device");
    }
    if (!lock.acquire(path)) {
        return Failed(PortOpenFailure::Locked, lock.error());
    }
    const std::string device = CanonicalDevice(path);
    port.setPortName(QString::fromStdString(device));
    if (!port.open(QIODevice::ReadWrite)) {
        lock.release();
        return Refused(port, device);
    }
    if (!ClaimOpenDevice(static_cast<int>(port.handle()))) {
        port.close();
        lock.release();
        return Failed(PortOpenFailure::Busy,
                      "in use by another program (it holds the device locked)");
    }
    if (!Valid(line) || !Apply(port, line)) {
        const std::string why = Valid(line) ? port.errorString().toStdString()
                                            : std::string("not a line setting of this layer");
        port.close();
        lock.release();
        return Failed(PortOpenFailure::CannotSet, "cannot set " + Spelled(line) + ": " + why);
    }
    return {};
}

} // namespace zurid::platform
