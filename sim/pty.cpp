#include "sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <utility>

namespace sim {

bool OpenPty(PtyEnds* ends, bool nonBlockingMaster) {
    PtyEnds got;
    got.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (got.master < 0 || ::grantpt(got.master) != 0 || ::unlockpt(got.master) != 0 ||
        ::ptsname_r(got.master, name, sizeof name) != 0) {
        ClosePty(&got);
        return false;
    }
    if (nonBlockingMaster) {
        ::fcntl(got.master, F_SETFL, ::fcntl(got.master, F_GETFL) | O_NONBLOCK);
    }
    got.slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (got.slave < 0 || ::tcgetattr(got.slave, &tio) != 0) {
        ClosePty(&got);
        return false;
    }
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B4800);
    ::tcsetattr(got.slave, TCSANOW, &tio);
    got.path = name;
    *ends = std::move(got);
    return true;
}

void ClosePty(PtyEnds* ends) {
    for (int* fd : {&ends->master, &ends->slave}) {
        if (*fd >= 0) {
            ::close(*fd);
        }
        *fd = -1;
    }
}

} // namespace sim
