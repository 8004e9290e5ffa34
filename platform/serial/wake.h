// How an open terminal device meets the event loop.
//
// How many received bytes it takes before an open terminal device reads as ready to the event
// loop. A reply of N bytes at 4800 baud otherwise wakes the program once per byte; with the
// count set to N it wakes once, when the reply is whole. A non-blocking read still returns
// whatever has arrived, so a shorter reply is only seen late, never lost: set the count back to
// 1 before looking at what a time-out left.
#pragma once

namespace zurid::platform {

// Sets the count (1..255) on the terminal `fd`; false when `fd` is no terminal or the system
// refuses (the port then simply wakes on every byte).
bool WakeOnBytes(int fd, int count);

// Writes to the terminal `fd` now, without waiting: the bytes written (maybe fewer), or -1 (errno
// set). A request handed to the driver this way needs no turn of the loop to be told writable.
long WriteNow(int fd, const void* data, unsigned long size);

} // namespace zurid::platform
