// Operator actions to callback events: commits, value changes, right clicks and the close
// request of a panel.
#include "platform/ui/ui_internal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTimer>

namespace {

// The control that an event on `obj` belongs to: the object itself, one of its ancestors up
// to the window (a spin box's line edit, a chart's viewport), or the control whose caption it
// is. nullptr if none of these has a callback.
QWidget* OwningControl(QObject* obj) {
    auto* w = qobject_cast<QWidget*>(obj);
    if (w == nullptr) {
        return nullptr;
    }
    bool isCaption = false;
    const int captionOf = w->property("labelFor").toInt(&isCaption);
    if (isCaption) {
        int error = 0;
        QWidget* ctrl = ui::FindCtrl(w->property("panelHandle").toInt(), captionOf, &error);
        return ctrl != nullptr && ui::HasCallback(ctrl) ? ctrl : nullptr;
    }
    for (QWidget* up = w; up != nullptr; up = up->parentWidget()) {
        if (up->property("ctrlId").isValid()) {
            return ui::HasCallback(up) ? up : nullptr;
        }
        if (up->isWindow()) {
            break;
        }
    }
    return nullptr;
}

// Rings and spin boxes step with the wheel only while they have the keyboard focus. A turn
// they ignore is dropped, so the value stays and nothing behind them scrolls either.
bool WheelIgnored(QObject* obj) {
    for (auto* w = qobject_cast<QWidget*>(obj); w != nullptr && !w->isWindow();
         w = w->parentWidget()) {
        if (qobject_cast<QComboBox*>(w) != nullptr ||
            qobject_cast<QAbstractSpinBox*>(w) != nullptr) {
            return !w->hasFocus();
        }
    }
    return false;
}

// A panel is a fixed instrument layout: its minimum and maximum size are equal, and window
// managers keep it so. Resized all the same (no window manager), it goes back to its size. A
// size imposed a second time is left alone, so that a window manager that insists on it is not
// fought.
void KeepFixedSize(QWidget* window) {
    const QSize fixed = window->minimumSize();
    const QSize now = window->size();
    if (fixed != window->maximumSize() || now == fixed ||
        window->property("refusedSize").toSize() == now) {
        return;
    }
    window->setProperty("refusedSize", now);
    const QPointer<QWidget> guard(window);
    QTimer::singleShot(0, window, [guard, fixed] {
        if (guard) {
            guard->resize(fixed);
        }
    });
}

// Right clicks become EVENT_RIGHT_CLICK (data: vertical, horizontal position in the control)
// and do nothing else: no context menu, no change of value. Closing a panel becomes
// EVENT_CLOSE; the window stays until the program discards it.
class EventRouter : public QObject {
  public:
    bool eventFilter(QObject* obj, QEvent* event) override {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::RightButton) {
                return false;
            }
            QWidget* ctrl = OwningControl(obj);
            if (ctrl == nullptr) {
                return false;
            }
            if (event->type() == QEvent::MouseButtonPress) {
                const QPoint at = ctrl->mapFromGlobal(mouse->globalPosition().toPoint());
                ui::DispatchCtrl(ctrl, EVENT_RIGHT_CLICK, at.y(), at.x());
            }
            return true;
        }
        case QEvent::ContextMenu:
            return OwningControl(obj) != nullptr;
        case QEvent::Wheel:
            return WheelIgnored(obj);
        case QEvent::Shortcut: {
            // A shortcut key acts at once, as a click does, instead of Qt's 100 ms pressed look
            // first: the operator's key starts the command without a delay of its own.
            auto* button = qobject_cast<QAbstractButton*>(obj);
            if (button == nullptr || !button->isEnabled()) {
                return false;
            }
            button->click();
            return true;
        }
        case QEvent::Resize: {
            auto* w = qobject_cast<QWidget*>(obj);
            if (w != nullptr && w->isWindow() && w->property("panelHandle").isValid()) {
                KeepFixedSize(w);
            }
            return false;
        }
        case QEvent::Close: {
            auto* w = qobject_cast<QWidget*>(obj);
            if (w == nullptr || !w->property("panelHandle").isValid()) {
                return false; // discarded: let it close
            }
            event->ignore();
            ui::DispatchPanel(w, EVENT_CLOSE);
            return true;
        }
        default:
            return false;
        }
    }
};

// An entry still being typed into a spin box counts before the action that follows it (a
// button or a shortcut key): the spin box takes its text as if it had lost the focus, and
// commits if the value changed.
void CommitPendingEdit() {
    QWidget* focus = QApplication::focusWidget();
    auto* spin = qobject_cast<QAbstractSpinBox*>(focus);
    if (spin == nullptr && focus != nullptr) {
        spin = qobject_cast<QAbstractSpinBox*>(focus->parentWidget());
    }
    if (spin != nullptr && !spin->isReadOnly()) {
        spin->interpretText();
    }
}

EventRouter* Router() {
    static EventRouter* router = new EventRouter;
    return router;
}

void FilterTree(QWidget* w) {
    w->installEventFilter(Router());
    const QList<QWidget*> inner = w->findChildren<QWidget*>();
    for (QWidget* child : inner) {
        if (!child->isWindow()) {
            child->installEventFilter(Router());
        }
    }
}

} // namespace

namespace ui {

void WireControl(QWidget* ctrl) {
    FilterTree(ctrl);
    if (qobject_cast<QComboBox*>(ctrl) != nullptr ||
        qobject_cast<QAbstractSpinBox*>(ctrl) != nullptr) {
        // A wheel turn must not give the focus (and with it the value) to the control.
        if (ctrl->focusPolicy() == Qt::WheelFocus) {
            ctrl->setFocusPolicy(Qt::StrongFocus);
        }
    }
    const QPointer<QWidget> guard(ctrl);
    if (auto* spin = qobject_cast<QSpinBox*>(ctrl)) {
        // Typing commits once (on Enter or leaving the field), a step commits at once.
        spin->setKeyboardTracking(false);
        QObject::connect(spin, &QSpinBox::valueChanged, spin, [guard](int) {
            if (guard) {
                DispatchCtrl(guard, EVENT_COMMIT);
            }
        });
    } else if (auto* ring = qobject_cast<QComboBox*>(ctrl)) {
        QObject::connect(ring, &QComboBox::activated, ring, [guard](int) {
            CommitPendingEdit();
            if (guard) {
                DispatchCtrl(guard, EVENT_COMMIT);
            }
        });
    } else if (auto* button = qobject_cast<QAbstractButton*>(ctrl)) {
        const bool isSwitch = button->property("ctrlKind").toString() == QLatin1String("switch");
        QObject::connect(button, &QAbstractButton::clicked, button, [guard, isSwitch](bool) {
            CommitPendingEdit();
            if (!guard) {
                return;
            }
            auto* b = static_cast<QAbstractButton*>(guard.data());
            if (isSwitch) {
                SyncSwitchText(b);
            } else if (b->isCheckable()) {
                DispatchCtrl(b, EVENT_VAL_CHANGED);
            }
            if (guard) {
                DispatchCtrl(guard, EVENT_COMMIT);
            }
        });
    }
}

void WireCaption(QLabel* caption) {
    caption->installEventFilter(Router());
}

void WirePanel(QWidget* panel) {
    panel->installEventFilter(Router());
}

QLabel* CaptionOf(QWidget* ctrl) {
    const QString name = ctrl->property("labelWidget").toString();
    if (name.isEmpty() || ctrl->parentWidget() == nullptr) {
        return nullptr;
    }
    return ctrl->parentWidget()->findChild<QLabel*>(name, Qt::FindDirectChildrenOnly);
}

void SyncSwitchText(QWidget* ctrl) {
    auto* button = qobject_cast<QAbstractButton*>(ctrl);
    if (button == nullptr || button->property("ctrlKind").toString() != QLatin1String("switch")) {
        return;
    }
    const QVariant text = button->property(button->isChecked() ? "textOn" : "textOff");
    if (text.isValid()) {
        button->setText(text.toString());
    }
}

} // namespace ui
