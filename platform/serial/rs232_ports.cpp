// The port table: ZURID_PORTS entries first, then the system's serial ports in name order.
// It only grows during a run, so a port number keeps its device.
#include "platform/serial/rs232.h"

#include <QSerialPortInfo>
#include <QString>

#include <algorithm>
#include <cstdlib>

namespace {

std::vector<ComPortEntry> portTable;

bool Known(const std::string& device) {
    return std::any_of(portTable.begin(), portTable.end(),
                       [&](const ComPortEntry& e) { return e.device == device; });
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

} // namespace

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
    // Re-read on every scan: a port named there later in the run gets the next number.
    if (const char* env = std::getenv("ZURID_PORTS"); env != nullptr) {
        const QString list = QString::fromLocal8Bit(env);
        for (const QString& path : list.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            const QString device = path.trimmed();
            if (!device.isEmpty()) {
                Append(device.toStdString(), describe(device));
            }
        }
    }
    for (const QSerialPortInfo& info : found) {
        Append(info.systemLocation().toStdString(), info.description().toStdString());
    }
    return portTable;
}
