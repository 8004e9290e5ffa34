// Parameter transfers with the sensor's RAM or EEPROM, and the port set-up with its line check.
#pragma once

#include "core/protocol.h"

namespace zurid {

// Panel → pp → sensor (order 1 RAM, 2 EEPROM); no flush, no reply.
void SendPara();
// Sensor (order 3 RAM, 4 EEPROM) → pp → variables → panel.
void GetPara();

// Opens `port` with the sensor's line settings, reports a failure in the status line, else
// runs the line check.
void InitRS232(int port);
// Order 7, answer 0xAA 0x01 0x00: "LINE OK" and a parameter read, else the time-out report.
void CheckComLine();

// Status text for a failed port opening.
const char* ComErrorText(int code);

// Status text of a good line check.
inline constexpr const auto& LineOkText = core::kLineOkText;

} // namespace zurid
