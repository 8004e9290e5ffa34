// The JSON of zurid serve's sensors, as the API answers it and the stream sends it.
#pragma once

#include "serve/line.h"

#include <QJsonObject>
#include <QString>

namespace zurid::serve {

// {"id", "device", "location", "status", "message", "version", "reading", "rate", "readings",
// "timeouts", "health", "drift" (null without a reference set)}; with `blocks` also "ram" and
// "eeprom" as last read ({"bytes", "parameters"} or null).
QJsonObject SensorJson(const LinePort& p, bool blocks);
// {"percent", "state", "light_margin", "dark_margin", "light_level", "light_reference",
// "light_decline_percent"}, each null until known.
QJsonObject HealthJson(const LinePort& p);
// A parameter set as the API answers it: {"sensor", "memory", "bytes", "parameters"}, each
// parameter with its choices or range (sensors::AllowedJson).
QJsonObject ParametersJson(const LinePort& p, Memory m, const core::ParamBlock& block);
// {"t", "DAT0", "DAT1", "NORM", "IN0", "IN1", "EDGE"}.
QJsonObject ReadingJson(const Reading& r);
// A JSON string literal of the text, quotes included.
QString JsonString(const QString& text);
// "ram" or "eeprom".
QString MemoryKey(Memory m);

// Stream messages, compact JSON text:
// {"type": "reading", "sensor": "COM3", "t": ..., "DAT0": ..., ...}
QString ReadingMessage(const LinePort& p, const Reading& r);
// {"type": "status", "sensor": "COM3", "status": "absent", "message": "..."}
QString StatusMessage(const LinePort& p);
// {"type": "parameters", "sensor": "COM3", "memory": "ram", "bytes": [...], "parameters": [...]},
// the parameters as in ParametersJson.
QString BlockMessage(const LinePort& p, Memory m);
// {"type": "drift", "sensor": "COM3", "on": true, "since": ..., "differences": [...]}
QString DriftMessage(const LinePort& p);
// {"type": "health", "sensor": "COM3", "percent": ..., ...the members of HealthJson}
QString HealthMessage(const LinePort& p);

} // namespace zurid::serve
