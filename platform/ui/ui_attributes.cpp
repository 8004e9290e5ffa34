// Control attributes: visibility, dimming, caption, position, colours and font.
#include "platform/ui/ui_internal.h"
#include "platform/ui/userint.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFrame>
#include <QLabel>

namespace {

QColor ToColor(int rgb) {
    return QColor::fromRgb(static_cast<QRgb>(rgb & 0xFFFFFF));
}

int FromColor(const QColor& c) {
    return static_cast<int>(c.rgb() & 0xFFFFFF);
}

// The caption of a control: its label widget, else the text of a button.
int SetCaption(QWidget* w, const QString& text) {
    if (QLabel* caption = ui::CaptionOf(w)) {
        caption->setText(text);
    } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        button->setText(text);
    } else {
        w->setProperty("labelText", text);
    }
    return 0;
}

QString Caption(QWidget* w) {
    if (QLabel* caption = ui::CaptionOf(w)) {
        return caption->text();
    }
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        return button->text();
    }
    return w->property("labelText").toString();
}

void SetTextColor(QWidget* w, int rgb) {
    QPalette pal = w->palette();
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        pal.setColor(role, ToColor(rgb));
    }
    w->setPalette(pal);
    w->setProperty("textColor", rgb);
}

void SetTextBackground(QWidget* w, int rgb) {
    w->setProperty("textBgColor", rgb);
    if (rgb == VAL_TRANSPARENT) {
        w->setAutoFillBackground(false);
        return;
    }
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, ToColor(rgb));
    pal.setColor(QPalette::Base, ToColor(rgb));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
}

// Font names of the original toolkit ("NIApp", "NIDialog", ...) stand for the application's
// own sans-serif font.
void SetFontName(QWidget* w, const QString& name) {
    QFont font = w->font();
    font.setFamily(name.startsWith(QLatin1String("NI")) ? QApplication::font().family() : name);
    w->setFont(font);
    w->setProperty("fontName", name);
}

// Text sizes are taken as pixel heights, the unit the panel's positions are given in, so
// that lines placed 15 pixels apart in 12 "points" do not overlap.
void SetTextSize(QWidget* w, int size) {
    QFont font = w->font();
    font.setPixelSize(qMax(1, size));
    w->setFont(font);
}

int TextSize(const QWidget* w) {
    const QFont& font = w->font();
    return font.pixelSize() > 0 ? font.pixelSize() : qRound(font.pointSizeF() * 96.0 / 72.0);
}

void SizeToText(QWidget* w) {
    if (w->property("sizeToText").toBool()) {
        w->adjustSize();
    }
}

} // namespace

namespace ui {

void SetFillColor(QWidget* w, int rgb) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, ToColor(rgb));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
    w->setProperty("frameColor", rgb);
}

} // namespace ui

int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    if (w == nullptr) {
        return error;
    }
    QLabel* caption = ui::CaptionOf(w);
    switch (attribute) {
    case ATTR_VISIBLE:
        w->setVisible(value != 0);
        if (caption != nullptr) {
            caption->setVisible(value != 0);
        }
        return 0;
    case ATTR_DIMMED:
        w->setEnabled(value == 0);
        if (caption != nullptr) {
            caption->setEnabled(value == 0);
        }
        return 0;
    case ATTR_LEFT:
        w->move(value, w->y());
        return 0;
    case ATTR_TOP:
        w->move(w->x(), value);
        return 0;
    case ATTR_FRAME_COLOR:
        if (qobject_cast<QFrame*>(w) == nullptr) {
            return ui::kErrAttribute;
        }
        ui::SetFillColor(w, value);
        return 0;
    case ATTR_TEXT_COLOR:
        SetTextColor(w, value);
        return 0;
    case ATTR_TEXT_BGCOLOR:
        SetTextBackground(w, value);
        return 0;
    case ATTR_TEXT_POINT_SIZE:
        SetTextSize(w, value);
        SizeToText(w);
        return 0;
    case ATTR_POINTS_PER_SCREEN:
        return ui::IsChart(w) ? ui::SetPointsPerScreen(w, value) : ui::kErrAttribute;
    default:
        return ui::kErrAttribute;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    if (w == nullptr) {
        return error;
    }
    const QString text = QString::fromLatin1(value == nullptr ? "" : value);
    switch (attribute) {
    case ATTR_LABEL_TEXT:
        return SetCaption(w, text);
    case ATTR_TEXT_FONT:
        SetFontName(w, text);
        SizeToText(w);
        return 0;
    default:
        return ui::kErrAttribute;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    if (w == nullptr) {
        return error;
    }
    switch (attribute) {
    case ATTR_VISIBLE:
        *value = w->isHidden() ? 0 : 1;
        return 0;
    case ATTR_DIMMED:
        *value = w->isEnabled() ? 0 : 1;
        return 0;
    case ATTR_LEFT:
        *value = w->x();
        return 0;
    case ATTR_TOP:
        *value = w->y();
        return 0;
    case ATTR_FRAME_COLOR:
        *value = w->property("frameColor").isValid()
                     ? w->property("frameColor").toInt()
                     : FromColor(w->palette().color(QPalette::Window));
        return 0;
    case ATTR_TEXT_COLOR:
        *value = FromColor(w->palette().color(QPalette::WindowText));
        return 0;
    case ATTR_TEXT_BGCOLOR:
        *value = w->property("textBgColor").isValid()
                     ? w->property("textBgColor").toInt()
                     : FromColor(w->palette().color(QPalette::Window));
        return 0;
    case ATTR_TEXT_POINT_SIZE:
        *value = TextSize(w);
        return 0;
    case ATTR_POINTS_PER_SCREEN:
        return ui::IsChart(w) ? ui::PointsPerScreen(w, value) : ui::kErrAttribute;
    default:
        return ui::kErrAttribute;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, std::string* value) {
    int error = 0;
    QWidget* w = ui::FindCtrl(panel, control, &error);
    if (w == nullptr) {
        return error;
    }
    switch (attribute) {
    case ATTR_LABEL_TEXT:
        *value = Caption(w).toStdString();
        return 0;
    case ATTR_TEXT_FONT:
        *value = w->property("fontName").isValid()
                     ? w->property("fontName").toString().toStdString()
                     : w->font().family().toStdString();
        return 0;
    default:
        return ui::kErrAttribute;
    }
}
