#include "sensors/fleettable.h"

#include <algorithm>

namespace zurid::sensors {

QString FleetTable(const Fleet& fleet, const QString& verb) {
    int labelWidth = 4, locationWidth = 8;
    int ok = 0, counted = 0;
    for (const auto& p : fleet.ports()) {
        labelWidth = std::max(labelWidth, static_cast<int>(p->ref.label.size()));
        locationWidth = std::max(locationWidth, static_cast<int>(p->location.size()));
        ok += p->state == FleetPort::State::Ok ? 1 : 0;
        counted += p->state == FleetPort::State::Skipped ? 0 : 1;
    }
    QString text = QStringLiteral("%1: %2 of %3 ports ok%4\n")
                       .arg(verb)
                       .arg(ok)
                       .arg(counted)
                       .arg(fleet.interrupted() ? QStringLiteral(" (interrupted)") : QString());
    text += QStringLiteral("%1  %2  RESULT\n")
                .arg(QStringLiteral("PORT"), -labelWidth)
                .arg(QStringLiteral("LOCATION"), -locationWidth);
    for (const auto& p : fleet.ports()) {
        QString result = StateName(p->state);
        if (!p->note.isEmpty()) {
            result += QStringLiteral("  ") + p->note;
        }
        text += QStringLiteral("%1  %2  %3\n")
                    .arg(p->ref.label, -labelWidth)
                    .arg(p->location, -locationWidth)
                    .arg(result);
    }
    return text;
}

} // namespace zurid::sensors
