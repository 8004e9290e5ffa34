// The port table: ZURID_PORTS entries first, then the system's serial ports in name order.
// It only grows during a run, so a port number keeps its device. One entry per device: a name
// that leads to a device already in the table (a by-id link, a second path) adds nothing.
#include "platform/serial/rs232.h"

#include "platform/serial/portlock.h"

#include <QSerialPortInfo>
#include <QString>

#include <algorithm>
#include <cstdlib>

namespace zurid::platform {

namespace {

std::vector<ComPortEntry> portTable;

// The entry whose device `device` leads to, or end(). Resolved at each call: a link may lead
// elsewhere after a re-plug.
std::vector<ComPortEntry>::iterator Find(const std::string& device) {
    const std::string canonical = CanonicalDevice(device);
    return std::find_if(portTable.begin(), portTable.end(), [&](const ComPortEntry& e) {
        return e.device == device || CanonicalDevice(e.device) == canonical;
    });
}

bool Known(const std::string& device) {
    return Find(device) != portTable.end();
}

// Name order with digit runs compared as numbers: ttyS2 before ttyS10.
bool NameLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ei = i;
            qsizetype ej = j;
            while (ei < a.size() && a[ei].isDigit()) {
                ++ei;
            }
            while (ej < b.size() && b[ej].isDigit()) {
                ++ej;
            }
            const qulonglong na = a.mid(i, ei - i).toULongLong();
            const qulonglong nb = b.mid(j, ej - j).toULongLong();
            if (na != nb) {
                return na < nb;
            }
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) {
                return a[i] < b[j];
            }
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

void Append(const std::string& device, const std::string& description) {
    if (!device.empty() && !Known(device)) {
        portTable.push_back({device, description});
    }
}

// Re-read on every call: a port named there later in the run gets the next number.
template <typename Describe> void AppendFromEnvironment(const Describe& describe) {
    if (const char* env = std::getenv("ZURID_PORTS"); env != nullptr) {
        const QString list = QString::fromLocal8Bit(env);
        for (const QString& path : list.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            const QString device = path.trimmed();
            if (!device.isEmpty()) {
                Append(device.toStdString(), describe(device));
            }
        }
    }
}

// The table as far as ZURID_PORTS makes it, without asking the system.
void AppendFromEnvironmentOnly() {
    AppendFromEnvironment([](const QString&) { return std::string(); });
}

} // namespace

std::string ComPortDevice(int port) {
    if (port < 1) {
        return {};
    }
    AppendFromEnvironmentOnly();
    if (static_cast<std::size_t>(port) > portTable.size()) {
        ComPortTable();
    }
    return static_cast<std::size_t>(port) <= portTable.size()
               ? portTable[static_cast<std::size_t>(port - 1)].device
               : std::string();
}

int ComPortNumber(const std::string& device) {
    const auto find = [&device] {
        const auto it = Find(device);
        return it == portTable.end() ? 0 : static_cast<int>(it - portTable.begin()) + 1;
    };
    AppendFromEnvironmentOnly();
    if (const int n = find(); n > 0) {
        return n;
    }
    ComPortTable();
    return find();
}

std::vector<ComPortEntry> ComPortTable() {
    auto found = QSerialPortInfo::availablePorts();
    std::sort(found.begin(), found.end(), [](const QSerialPortInfo& a, const QSerialPortInfo& b) {
        return NameLess(a.systemLocation(), b.systemLocation());
    });
    const auto describe = [&found](const QString& device) {
        for (const QSerialPortInfo& info : found) {
            if (info.systemLocation() == device) {
                return info.description().toStdString();
            }
        }
        return std::string();
    };
    AppendFromEnvironment(describe);
    for (const QSerialPortInfo& info : found) {
        Append(info.systemLocation().toStdString(), info.description().toStdString());
    }
    return portTable;
}

} // namespace zurid::platform
