// The window's SEND as two journal records (see journal_send.h).
#include "platform/serial/journal_send.h"

#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"
#include "platform/serial/rs232.h"

namespace zurid::platform {

namespace {

JournalEntry Attempt(int port, core::Order order, const core::ParamBlock& block) {
    JournalEntry e(JournalEvent::Change, JournalChannel::Window, UnixUser());
    e.sensor(QStringLiteral("COM%1").arg(port), QString::fromStdString(ComPortDevice(port)))
        .memory(order == core::Order::WriteEeprom ? JournalMemory::Eeprom : JournalMemory::Ram)
        .after(block);
    return e;
}

} // namespace

JournalSend::JournalSend(int port, core::Order order, const core::ParamBlock& block)
    : write_(std::make_unique<JournalWrite>(JournalPath(), Attempt(port, order, block))) {}

JournalSend::~JournalSend() = default;

std::string JournalSend::begin() {
    return write_->begin().toStdString();
}

std::string JournalSend::finish(int written) {
    if (written == core::kRequestLen) {
        return write_->finish(JournalOutcome::Sent).toStdString();
    }
    if (written == kComPortNotOpen || written == kComInvalidPort) {
        return write_
            ->finish(JournalOutcome::Failed, QStringLiteral("sensor_absent"),
                     QStringLiteral("port is not open"))
            .toStdString();
    }
    const QString why =
        written < 0
            ? QStringLiteral("the port did not take the request")
            : QStringLiteral("the port took %1 of %2 bytes").arg(written).arg(core::kRequestLen);
    return write_->finish(JournalOutcome::Failed, QStringLiteral("io_error"), why).toStdString();
}

} // namespace zurid::platform
