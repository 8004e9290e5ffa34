// The time-out report: what the operator sees when a reply is missing or a write is short.
#pragma once

namespace zurid {

// Status "TIMEOUT", then the modal time-out popup titled "INFO".
void ReportTimeout();

extern const char InfoTimeout[];
// Title of the time-out popup and of the other popups that report a failure.
inline constexpr char TimeoutTitle[] = "INFO";

} // namespace zurid
