// Counting margin and light level (core/health.h) for people and for scripts: the JSON that
// zurid serve and `zurid health` share, and the line `zurid health` prints.
#pragma once

#include "core/health.h"

#include <QJsonObject>
#include <QString>

namespace zurid::sensors {

// {"percent", "state", "light_margin", "dark_margin", "light_level", "light_reference",
// "light_decline_percent"}: numbers to a tenth, each null until known.
QJsonObject HealthJson(const core::HealthFigures& h);
// "health 100 % stable, light margin 58, dark margin 30, light level 236"; a figure not known
// says so ("dark margin not known").
QString HealthText(const core::HealthFigures& h);

} // namespace zurid::sensors
