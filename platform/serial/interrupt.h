// Ctrl-C and SIGTERM as an event: the handler runs from the event loop (not from the signal), so
// it may do anything, e.g. finish the line it is writing and quit.
#pragma once

#include <functional>

namespace zurid::platform {

// Installs the handler for SIGINT and SIGTERM; a second call replaces it. Needs a
// QCoreApplication. Until it is called the signals keep their default action, and an empty
// handler restores it. While a handler is installed, the second signal ends the process at once
// with 128 + the signal's number (130 for Ctrl-C).
void OnInterrupt(std::function<void()> handler);

} // namespace zurid::platform
