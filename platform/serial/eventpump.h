// The event pump that waits use: the window's reply wait and its delays dispatch the
// application's events through it, so the panel stays live and a reply is noticed at once.
#pragma once

namespace zurid::platform {

// Dispatches what is pending and may wait a few milliseconds for the next event; a loop around
// it notices a port's bytes within a millisecond yet costs under 2 % of a core. Returns 0, or
// -3 when there is no application object yet.
int ProcessSystemEvents();

} // namespace zurid::platform
