// Ctrl-C and SIGTERM as an event: the handler runs from the event loop (not from the signal), so
// it may do anything, e.g. finish the line it is writing and quit.
#pragma once

#include <functional>

// Installs the handler for SIGINT and SIGTERM; a second call replaces it. Needs a
// QCoreApplication. Until it is called the signals keep their default action.
void OnInterrupt(std::function<void()> handler);
