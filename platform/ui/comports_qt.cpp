// The serial-port ring on a QComboBox.
#include "platform/ui/comports_qt.h"

#include "platform/serial/rs232.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEvent>
#include <QKeyEvent>
#include <QSignalBlocker>

using zurid::platform::ComPortEntry;
using zurid::platform::ComPortTable;

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

// Stepping keys on the closed ring open its list instead; typing does not jump to a port.
// Choosing from the list (click or Return) is the one way to a new port: each step would
// close the port in use and open the next.
bool OpensListInstead(QComboBox* ring, const QKeyEvent* key) {
    if (ring->view()->isVisible() || (key->modifiers() & Qt::AltModifier) != 0) {
        return false;
    }
    switch (key->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
        ring->showPopup();
        return true;
    case Qt::Key_Space:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return false;
    default:
        return !key->text().isEmpty() && key->text().at(0).isPrint();
    }
}

// Rescans before the list opens: on a press on the ring, and when its popup is shown (which
// also covers a popup opened from code). A second trigger within a moment is skipped. The
// wheel never changes the port.
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
        if (watched == ring_ && type == QEvent::Wheel) {
            return true;
        }
        if (watched == ring_ && type == QEvent::KeyPress) {
            return OpensListInstead(ring_, static_cast<QKeyEvent*>(event));
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
