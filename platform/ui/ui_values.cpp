// Control values and ring items. Values set here raise no event.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>

#include <cmath>

namespace {

// Numeric value of a control (spin box, ring item value, toggle state).
int NumberOf(QWidget* w, int* value) {
    if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        *value = spin->value();
        return 0;
    }
    if (auto* ring = qobject_cast<QComboBox*>(w)) {
        if (ring->currentIndex() < 0) {
            return ui::kErrIndex;
        }
        *value = ring->currentData().toInt();
        return 0;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w);
        button != nullptr && button->isCheckable()) {
        *value = button->isChecked() ? 1 : 0;
        return 0;
    }
    return ui::kErrType;
}

// A spin box without a value keeps its own minimum here while it is lowered by one.
const char* const kRangeMinimum = "rangeMinimum";

void EndNoValue(QSpinBox* spin) {
    const QVariant minimum = spin->property(kRangeMinimum);
    if (minimum.isValid()) {
        spin->setMinimum(minimum.toInt());
        spin->setSpecialValueText(QString());
        spin->setProperty(kRangeMinimum, QVariant());
    }
}

int SetNumber(QWidget* w, int value) {
    const QSignalBlocker quiet(w);
    if (auto* spin = qobject_cast<QSpinBox*>(w)) {
        EndNoValue(spin);
        spin->setValue(value); // coerced to the range
        return 0;
    }
    if (auto* ring = qobject_cast<QComboBox*>(w)) {
        const int index = ring->findData(value);
        if (index < 0) {
            return ui::kErrValue;
        }
        ring->setCurrentIndex(index);
        return 0;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w);
        button != nullptr && button->isCheckable()) {
        button->setChecked(value != 0);
        ui::SyncSwitchText(button);
        return 0;
    }
    return ui::kErrType;
}

int SetText(QWidget* w, const QString& text) {
    const QSignalBlocker quiet(w);
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        edit->setText(text);
        edit->setCursorPosition(0);
        return 0;
    }
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(text);
        if (label->property("sizeToText").toBool()) {
            label->adjustSize();
        }
        return 0;
    }
    return ui::kErrType;
}

} // namespace

int GetCtrlVal(int panel, int control, int* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    return w == nullptr ? error : NumberOf(w, value);
}

int GetCtrlVal(int panel, int control, unsigned char* value) {
    int v = 0;
    const int result = GetCtrlVal(panel, control, &v);
    if (result == 0) {
        *value = static_cast<unsigned char>(v & 0xFF);
    }
    return result;
}

int GetCtrlVal(int panel, int control, double* value) {
    int v = 0;
    const int result = GetCtrlVal(panel, control, &v);
    if (result == 0) {
        *value = v;
    }
    return result;
}

int GetCtrlVal(int panel, int control, std::string* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    if (w == nullptr) {
        return error;
    }
    if (auto* edit = qobject_cast<QLineEdit*>(w)) {
        *value = edit->text().toStdString();
    } else if (auto* label = qobject_cast<QLabel*>(w)) {
        *value = label->text().toStdString();
    } else if (auto* ring = qobject_cast<QComboBox*>(w)) {
        *value = ring->currentText().toStdString();
    } else {
        return ui::kErrType;
    }
    return 0;
}

int SetCtrlVal(int panel, int control, int value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    return w == nullptr ? error : SetNumber(w, value);
}

int SetCtrlVal(int panel, int control, double value) {
    return SetCtrlVal(panel, control, static_cast<int>(std::lround(value)));
}

int SetCtrlVal(int panel, int control, const char* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    return w == nullptr ? error : SetText(w, QString::fromLatin1(value));
}

int SetCtrlVal(int panel, int control, const std::string& value) {
    return SetCtrlVal(panel, control, value.c_str());
}

int SetCtrlNoValue(int panel, int control, const char* text) {
    int error = 0;
    auto* spin = qobject_cast<QSpinBox*>(ui::FindCtrl(panel, control, &error));
    if (spin == nullptr) {
        return error != 0 ? error : ui::kErrType;
    }
    const QSignalBlocker quiet(spin);
    EndNoValue(spin);
    const int minimum = spin->minimum();
    spin->setProperty(kRangeMinimum, minimum);
    spin->setMinimum(minimum - 1);
    // Shown for the minimum only, which is now the step below the range.
    spin->setSpecialValueText(QString::fromLatin1(text));
    spin->setValue(minimum - 1);
    return 0;
}

namespace {

// The ring `control` when `index` names one of its items; else nullptr and the error code.
QComboBox* RingItem(int panel, int control, int index, int* error) {
    *error = 0;
    auto* ring = qobject_cast<QComboBox*>(ui::FindCtrl(panel, control, error));
    if (ring == nullptr) {
        *error = *error != 0 ? *error : ui::kErrType;
        return nullptr;
    }
    if (index < 0 || index >= ring->count()) {
        *error = ui::kErrIndex;
        return nullptr;
    }
    return ring;
}

} // namespace

int ReplaceListItem(int panel, int control, int index, const char* label, int value) {
    int error = 0;
    QComboBox* ring = RingItem(panel, control, index, &error);
    if (ring == nullptr) {
        return error;
    }
    const QSignalBlocker quiet(ring);
    ring->setItemText(index, QString::fromLatin1(label));
    ring->setItemData(index, value);
    return 0;
}

int InsertListItem(int panel, int control, int index, const char* label, int value) {
    int error = 0;
    auto* ring = qobject_cast<QComboBox*>(ui::FindCtrl(panel, control, &error));
    if (ring == nullptr) {
        return error != 0 ? error : ui::kErrType;
    }
    if (index == -1) {
        index = ring->count();
    }
    if (index < 0 || index > ring->count()) {
        return ui::kErrIndex;
    }
    const QSignalBlocker quiet(ring);
    ring->insertItem(index, QString::fromLatin1(label), value);
    return 0;
}

int DeleteListItem(int panel, int control, int index, int count) {
    int error = 0;
    QComboBox* ring = RingItem(panel, control, index, &error);
    if (ring == nullptr) {
        return error;
    }
    const int end = count == -1 ? ring->count() : index + count;
    if (count < -1 || end > ring->count()) {
        return ui::kErrIndex;
    }
    const QSignalBlocker quiet(ring);
    for (int i = end - 1; i >= index; --i) {
        ring->removeItem(i);
    }
    return 0;
}

int GetLabelFromIndex(int panel, int control, int index, std::string* label) {
    int error = 0;
    QComboBox* ring = RingItem(panel, control, index, &error);
    if (ring == nullptr) {
        return error;
    }
    *label = ring->itemText(index).toStdString();
    return 0;
}

int GetNumListItems(int panel, int control, int* count) {
    int error = 0;
    auto* ring = qobject_cast<QComboBox*>(ui::FindCtrl(panel, control, &error));
    if (ring == nullptr) {
        return error != 0 ? error : ui::kErrType;
    }
    *count = ring->count();
    return 0;
}

int NewCtrl(int panel, int style, const char* label, int top, int left) {
    ui::Panel* p = ui::FindPanel(panel);
    if (p == nullptr) {
        return ui::kErrPanel;
    }
    if (style != CTRL_TEXT_MSG) {
        return ui::kErrType;
    }
    auto* text = new QLabel(p->widget);
    text->setProperty("sizeToText", true);
    text->setProperty("textBgColor", VAL_TRANSPARENT);
    if (label != nullptr && *label != '\0') {
        text->setText(QString::fromLatin1(label));
    }
    text->move(left, top);
    text->adjustSize();
    text->raise();
    text->show();
    const int id = ui::NextDynamicId();
    ui::RegisterCtrl(panel, id, text);
    return id;
}

int DisplayImageFile(int panel, int control, const char* file) {
    int error = 0;
    auto* picture = qobject_cast<QLabel*>(ui::FindCtrl(panel, control, &error));
    if (picture == nullptr) {
        return error != 0 ? error : ui::kErrType;
    }
    QPixmap image;
    if (file == nullptr || !image.load(ui::ResolveProgramFile(file))) {
        return ui::kErrFile;
    }
    picture->setPixmap(image);
    picture->resize(image.size());
    return 0;
}
