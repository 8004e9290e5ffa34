#include "platform/serial/wake.h"

#include <algorithm>
#include <cerrno>
#include <termios.h>
#include <unistd.h>

namespace zurid::platform {

bool WakeOnBytes(int fd, int count) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        return false;
    }
    // Non-canonical input with no inter-byte timer: poll() reports the device readable once
    // VMIN bytes are queued.
    t.c_cc[VMIN] = static_cast<cc_t>(std::clamp(count, 1, 255));
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

long WriteNow(int fd, const void* data, unsigned long size) {
    ssize_t n = 0;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

} // namespace zurid::platform
