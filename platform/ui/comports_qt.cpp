// The serial-port ring on a QComboBox.
#include "platform/ui/comports_qt.h"

#include "platform/serial/rs232.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QSignalBlocker>

namespace {

QString PortLabel(int number, const ComPortEntry& entry) {
    QString label =
        QStringLiteral("COM%1  %2").arg(number).arg(QString::fromStdString(entry.device));
    if (!entry.description.empty()) {
        label += QStringLiteral(" (%1)").arg(QString::fromStdString(entry.description));
    }
    return label;
}

// Appends the ports the ring does not list yet; existing items and the selection stay.
void AppendNewPorts(QComboBox* ring) {
    const std::vector<ComPortEntry> table = ComPortTable();
    const QSignalBlocker quiet(ring);
    for (int i = 0; i < static_cast<int>(table.size()); ++i) {
        if (ring->findData(i + 1) < 0) {
            ring->addItem(PortLabel(i + 1, table[static_cast<std::size_t>(i)]), i + 1);
        }
    }
}

// Rescans before the list opens: on a press on the ring, and when its popup is shown (which
// also covers a popup opened from code). A second trigger within a moment is skipped.
class RescanFilter : public QObject {
  public:
    RescanFilter(QComboBox* ring, QObject* popup) : QObject(ring), ring_(ring), popup_(popup) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        const auto type = event->type();
        const bool onRing =
            watched == ring_ && (type == QEvent::MouseButtonPress || type == QEvent::KeyPress);
        const bool onPopup = watched == popup_ && type == QEvent::Show;
        if ((onRing || onPopup) && (!lastScan_.isValid() || lastScan_.elapsed() > 300)) {
            lastScan_.start();
            AppendNewPorts(ring_);
        }
        return false;
    }

  private:
    QComboBox* ring_;
    QObject* popup_;
    QElapsedTimer lastScan_;
};

} // namespace

void AttachComPortRing(QComboBox* ring) {
    {
        const QSignalBlocker quiet(ring);
        ring->clear();
    }
    AppendNewPorts(ring);
    QWidget* popup = ring->view()->window();
    auto* filter = new RescanFilter(ring, popup);
    ring->installEventFilter(filter);
    if (popup != ring->window()) {
        popup->installEventFilter(filter);
    }
}
