// Serial ports on QSerialPort: one QSerialPort per open port number.
#include "platform/serial/rs232.h"

#include "platform/serial/portlock.h"
#include "platform/serial/portopen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPort>

#include <algorithm>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/ioctl.h>

namespace zurid::platform {

namespace {

struct OpenPort {
    PortLock lock; // released after the port is closed (declared first, destroyed last)
    std::unique_ptr<QSerialPort> serial;
    double timeoutSeconds = 2.0;
    int inputQueueSize = 1024;
};

std::map<int, OpenPort> openPorts;

// Drops the port after a read or resource error (a pulled adapter, a hung-up pseudo-terminal):
// left open, its read notifier would keep firing and spin a core.
void DropPort(QSerialPort* serial) {
    for (auto it = openPorts.begin(); it != openPorts.end(); ++it) {
        if (it->second.serial.get() == serial) {
            serial->disconnect();
            serial->close();
            // The object may be inside its own signal right now.
            it->second.serial.release()->deleteLater();
            openPorts.erase(it);
            return;
        }
    }
}

bool IsFatal(QSerialPort::SerialPortError error) {
    return error == QSerialPort::ResourceError || error == QSerialPort::ReadError ||
           error == QSerialPort::WriteError;
}

// The open port behind `port`, or nullptr once it is closed or has failed. Also notices a
// hang-up that Qt has not reported yet because no events were processed.
OpenPort* Usable(int port) {
    const auto it = openPorts.find(port);
    if (it == openPorts.end()) {
        return nullptr;
    }
    QSerialPort* serial = it->second.serial.get();
    bool failed = !serial->isOpen() || IsFatal(serial->error());
    if (!failed) {
        pollfd p{static_cast<int>(serial->handle()), POLLIN, 0};
        if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            failed = true;
        }
    }
    if (failed) {
        DropPort(serial);
        return nullptr;
    }
    return &it->second;
}

// Ports still open when the application object goes are closed while Qt is still there.
void CloseAllPorts() {
    for (auto& [number, open] : openPorts) {
        open.serial->disconnect();
        open.serial->close();
    }
    openPorts.clear();
}

int ErrorCode(int port) {
    return port < 1 ? kComInvalidPort : kComPortNotOpen;
}

// The window's code for each failure: -6 nothing there, -7 refused (a lock, another owner, no
// right), -1 anything else.
int OpenErrorCode(PortOpenFailure failure) {
    switch (failure) {
    case PortOpenFailure::None:
        return 0;
    case PortOpenFailure::NoSuchDevice:
        return kComNoPortFound;
    case PortOpenFailure::PathDenied:
    case PortOpenFailure::Locked:
    case PortOpenFailure::Busy:
    case PortOpenFailure::NotPermitted:
        return kComCannotOpen;
    case PortOpenFailure::CannotOpen:
    case PortOpenFailure::CannotSet:
        break;
    }
    return kComUnknownSystemError;
}

int RemainingMs(const QElapsedTimer& clock, double timeoutSeconds) {
    const qint64 left = static_cast<qint64>(timeoutSeconds * 1000.0) - clock.elapsed();
    return static_cast<int>(std::max<qint64>(left, 0));
}

} // namespace

int OpenComConfig(int port, const char* deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    (void)outputQueueSize; // the output side is handed to the kernel at once
    CloseCom(port);
    const std::vector<ComPortEntry> table = ComPortTable();
    if (port < 1 || port > static_cast<int>(table.size())) {
        return kComInvalidPort;
    }
    const std::string device = (deviceName != nullptr && deviceName[0] != '\0')
                                   ? std::string(deviceName)
                                   : table[static_cast<std::size_t>(port - 1)].device;
    // The same lock as zurid's: one owner per device, whatever name each was given.
    PortLock lock;
    auto serial = std::make_unique<QSerialPort>();
    const PortOpenResult opened =
        OpenSerialDevice(*serial, lock, device, LineSettings{baudRate, parity, dataBits, stopBits});
    if (!opened.ok()) {
        return OpenErrorCode(opened.failure);
    }
    const int queue = inputQueueSize > 0 ? inputQueueSize : 1024;
    serial->setReadBufferSize(queue);
    QSerialPort* raw = serial.get();
    QObject::connect(raw, &QSerialPort::errorOccurred, [raw](QSerialPort::SerialPortError e) {
        if (IsFatal(e)) {
            DropPort(raw);
        }
    });
    static bool closeAtExit = false;
    if (!closeAtExit && QCoreApplication::instance() != nullptr) {
        qAddPostRoutine(CloseAllPorts);
        closeAtExit = true;
    }
    openPorts[port] = OpenPort{std::move(lock), std::move(serial), 2.0, queue};
    return 0;
}

int CloseCom(int port) {
    const auto it = openPorts.find(port);
    if (it != openPorts.end()) {
        DropPort(it->second.serial.get());
    }
    return 0;
}

int SetComTime(int port, double timeoutSeconds) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    p->timeoutSeconds = std::max(timeoutSeconds, 0.0);
    return 0;
}

int SetCTSMode(int port, int mode) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    const auto flow = mode == 0 ? QSerialPort::NoFlowControl : QSerialPort::HardwareControl;
    return p->serial->setFlowControl(flow) ? 0 : kComUnknownSystemError;
}

int FlushInQ(int port) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    return p->serial->clear(QSerialPort::Input) ? 0 : kComUnknownSystemError;
}

int FlushOutQ(int port) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    return p->serial->clear(QSerialPort::Output) ? 0 : kComUnknownSystemError;
}

int ComWrt(int port, const unsigned char* buffer, int count) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    if (count <= 0) {
        return 0;
    }
    QSerialPort* serial = p->serial.get();
    const qint64 queued = serial->write(reinterpret_cast<const char*>(buffer), count);
    if (queued < 0) {
        return kComUnknownSystemError;
    }
    // Hand everything to the driver now rather than at the next event loop pass.
    QElapsedTimer clock;
    clock.start();
    const double timeout = p->timeoutSeconds;
    while (serial->bytesToWrite() > 0) {
        if (!serial->waitForBytesWritten(RemainingMs(clock, timeout)) || Usable(port) == nullptr) {
            break;
        }
    }
    if (Usable(port) == nullptr) {
        return kComPortNotOpen;
    }
    return static_cast<int>(queued - serial->bytesToWrite());
}

int GetInQLen(int port) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    // Qt's buffer plus what the driver holds but Qt has not fetched yet.
    int pending = 0;
    if (::ioctl(static_cast<int>(p->serial->handle()), FIONREAD, &pending) != 0) {
        pending = 0;
    }
    const qint64 total = p->serial->bytesAvailable() + pending;
    return static_cast<int>(std::min<qint64>(total, p->inputQueueSize));
}

int ComRd(int port, unsigned char* buffer, int count) {
    OpenPort* p = Usable(port);
    if (p == nullptr) {
        return ErrorCode(port);
    }
    QSerialPort* serial = p->serial.get();
    const double timeout = p->timeoutSeconds;
    QElapsedTimer clock;
    clock.start();
    int got = 0;
    while (got < count) {
        const qint64 n = serial->read(reinterpret_cast<char*>(buffer) + got, count - got);
        if (n > 0) {
            got += static_cast<int>(n);
        } else if (!serial->waitForReadyRead(RemainingMs(clock, timeout))) {
            break; // the time-out has passed, or the port failed while waiting
        }
    }
    if (got == 0 && Usable(port) == nullptr) {
        return kComPortNotOpen;
    }
    return got;
}

} // namespace zurid::platform
