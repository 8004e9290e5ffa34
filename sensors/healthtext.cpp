#include "sensors/healthtext.h"

#include <cmath>

namespace zurid::sensors {

namespace {

// Tenths are as fine as the figures mean anything.
double Tenths(double v) {
    return std::round(v * 10.0) / 10.0;
}

QJsonValue Figure(const std::optional<double>& v) {
    return v ? QJsonValue(Tenths(*v)) : QJsonValue(QJsonValue::Null);
}

QString Named(const char* name, const std::optional<double>& v, const char* unit = "") {
    return v ? QStringLiteral("%1 %2%3")
                   .arg(QLatin1String(name))
                   .arg(Tenths(*v))
                   .arg(QLatin1String(unit))
             : QStringLiteral("%1 not known").arg(QLatin1String(name));
}

} // namespace

QJsonObject HealthJson(const core::HealthFigures& h) {
    return {{QStringLiteral("percent"), Figure(h.percent)},
            {QStringLiteral("state"),
             h.state ? QJsonValue(QString::fromLatin1(core::HealthStateName(*h.state)))
                     : QJsonValue(QJsonValue::Null)},
            {QStringLiteral("light_margin"), Figure(h.lightMargin)},
            {QStringLiteral("dark_margin"), Figure(h.darkMargin)},
            {QStringLiteral("light_level"), Figure(h.lightLevel)},
            {QStringLiteral("light_reference"), Figure(h.lightReference)},
            {QStringLiteral("light_decline_percent"), Figure(h.lightDeclinePercent)}};
}

QString HealthText(const core::HealthFigures& h) {
    QString out = Named("health", h.percent, " %");
    if (h.state) {
        out += QLatin1Char(' ') + QString::fromLatin1(core::HealthStateName(*h.state));
    }
    out += QStringLiteral(", ") + Named("light margin", h.lightMargin) + QStringLiteral(", ") +
           Named("dark margin", h.darkMargin) + QStringLiteral(", ") +
           Named("light level", h.lightLevel);
    if (h.lightReference) {
        out += QStringLiteral(", ") + Named("reference", h.lightReference) + QStringLiteral(", ") +
               Named("decline", h.lightDeclinePercent, " %");
    }
    return out;
}

} // namespace zurid::sensors
