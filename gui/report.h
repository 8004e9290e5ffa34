// The time-out report: what the operator sees when a reply is missing or a write is short; and
// a write refused because the journal cannot take it.
#pragma once

#include <string>

namespace zurid {

// Status "TIMEOUT", then the modal time-out popup titled "INFO".
void ReportTimeout();
// `why` in the status line, then in the same popup.
void ReportUnjournaled(const std::string& why);

extern const char InfoTimeout[];
// Title of the time-out popup and of the other popups that report a failure.
inline constexpr char TimeoutTitle[] = "INFO";

} // namespace zurid
