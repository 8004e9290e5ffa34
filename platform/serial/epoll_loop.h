// An event loop for a program that owns many ports at once (zurid serve): Qt's own loop asks the
// kernel about every port and socket on each turn (poll), and a terminal answers that question
// slowly, so with thirty-two ports each reply cost more in asking than in reading. This one keeps
// the ports and sockets in one epoll set: a turn costs what is ready, not what is open. Timers,
// socket notifiers, posted events and wake-ups from other threads work as in Qt's loop.
#pragma once

namespace zurid::platform {

// Makes it the main thread's event loop. Call before the QCoreApplication is made; false (Qt's
// own loop stays) when the system has no epoll to offer.
bool UseEpollEventLoop();

} // namespace zurid::platform
