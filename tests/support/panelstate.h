// Test helper: what the operator can see of every control, and the program state behind the
// panel, as lines of text. Compared before and after an action that must change nothing, a
// difference names the control or variable at once.
#pragma once

#include "gui/state.h"
#include "link/blocks.h"
#include "platform/ui/qtaccess.h"
#include "platform/ui/userint.h"

#include <QAbstractButton>
#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QStringList>
#include <QXYSeries>

#include <array>

namespace testing_support {

// One line per control of the main panel: value, selection, item texts, label, shown, dimmed.
inline QStringList ControlState() {
    QStringList out;
    for (int id = 1; id <= 64; ++id) {
        QWidget* w = CtrlWidget(zurid::panel, id);
        if (w == nullptr) {
            continue;
        }
        std::string caption;
        GetCtrlAttribute(zurid::panel, id, ATTR_LABEL_TEXT, &caption);
        QString line = QStringLiteral("%1 label=\"%2\" shown=%3 dimmed=%4")
                           .arg(id)
                           .arg(QString::fromStdString(caption))
                           .arg(!w->isHidden())
                           .arg(!w->isEnabled());
        if (auto* spin = qobject_cast<QSpinBox*>(w)) {
            line += QStringLiteral(" value=%1").arg(spin->value());
        } else if (auto* ring = qobject_cast<QComboBox*>(w)) {
            QStringList items;
            for (int i = 0; i < ring->count(); ++i) {
                items << ring->itemText(i) + "=" + ring->itemData(i).toString();
            }
            line +=
                QStringLiteral(" index=%1 items=%2").arg(ring->currentIndex()).arg(items.join(','));
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            line += QStringLiteral(" checked=%1 down=%2")
                        .arg(button->isChecked())
                        .arg(button->isDown());
        } else if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            line += " text=\"" + edit->text() + "\"";
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            line += " text=\"" + label->text() + "\"";
        } else if (auto* view = qobject_cast<QChartView*>(w)) {
            for (QAbstractSeries* s : view->chart()->series()) {
                auto* xy = qobject_cast<QXYSeries*>(s);
                line +=
                    QStringLiteral(" series=%1/%2").arg(s->isVisible()).arg(xy ? xy->count() : -1);
            }
        }
        out << line;
    }
    return out;
}

// The parameter block, the fifteen parameter variables and the selections the commands use.
inline QStringList ProgramState() {
    using namespace zurid;
    const std::array<unsigned char, AnzPara> vars = {
        threshold, hysteresis,   power,    pmod,    hold,   trigger, backlim, regcnt,
        average,   deadtimemode, deadtime, outmode, frei13, frei14,  frei15};
    QStringList ppText;
    QStringList varText;
    for (int i = 0; i < AnzPara; ++i) {
        ppText << QString::number(pp[static_cast<std::size_t>(i)]);
        varText << QString::number(vars[static_cast<std::size_t>(i)]);
    }
    return {"pp " + ppText.join(' '), "vars " + varText.join(' '),
            QStringLiteral("target %1 para %2 poll %3 source %4")
                .arg(target)
                .arg(int(para))
                .arg(poll)
                .arg(source),
            "status " + QString::fromStdString(szStatus)};
}

} // namespace testing_support
