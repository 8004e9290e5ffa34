#include "fuzz/peer.h"

#include "fuzz/check.h"
#include "gui/state.h"
#include "sim/pty.h"

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// The program's own functions, reached through the linker's --wrap.
extern "C" int __real__ZN5zurid8platform6ComWrtEiPKhi(int port, const unsigned char* buffer,
                                                      int count);
extern "C" double __real__ZN5zurid8platform5TimerEv();

namespace peer {
namespace {

int master = -1;
int slave = -1; // held open so the line never hangs up between the program's openings
std::string slavePath;
std::deque<Answer> plans;
std::vector<Bytes> requests;

// How far the clock jumps at each reading: more than any wait of the program.
constexpr double kLeapSeconds = 4.0;
constexpr int kLineTimeoutMs = 2000;

int QueuedAtSlave() {
    int n = 0;
    return ::ioctl(slave, FIONREAD, &n) == 0 ? n : -1;
}

Bytes ReadRequest(int count) {
    Bytes got;
    while (static_cast<int>(got.size()) < count) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, kLineTimeoutMs) <= 0) {
            break;
        }
        std::uint8_t buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

void Send(const Bytes& reply) {
    const int before = QueuedAtSlave();
    for (std::size_t done = 0; done < reply.size();) {
        const ssize_t n = ::write(master, reply.data() + done, reply.size() - done);
        if (n < 0 && errno == EAGAIN) {
            pollfd p{master, POLLOUT, 0};
            FUZZ_CHECK(::poll(&p, 1, kLineTimeoutMs) > 0, "line does not take the reply");
            continue;
        }
        FUZZ_CHECK(n > 0, "cannot write the reply: errno %d", errno);
        done += static_cast<std::size_t>(n);
    }
    // The pseudo-terminal hands bytes over asynchronously: wait until all are queued.
    const int want = before + static_cast<int>(reply.size());
    for (int i = 0; i < kLineTimeoutMs && QueuedAtSlave() < want; ++i) {
        ::usleep(1000);
    }
    FUZZ_CHECK(QueuedAtSlave() >= want, "reply of %zu bytes not queued (%d of %d)", reply.size(),
               QueuedAtSlave(), want);
}

void OnRequest(int written) {
    requests.push_back(ReadRequest(written));
    Answer next;
    if (plans.empty()) {
        next.stop = true;
    } else {
        next = std::move(plans.front());
        plans.pop_front();
    }
    if (next.reply) {
        Send(*next.reply);
    }
    if (next.stop) {
        zurid::poll = 0;
    }
}

} // namespace

bool Open() {
    sim::PtyEnds ends;
    if (!sim::OpenPty(&ends, true)) {
        return false;
    }
    master = ends.master;
    slave = ends.slave;
    slavePath = ends.path;
    return true;
}

const std::string& path() {
    return slavePath;
}

void Plan(Answer answer) {
    plans.push_back(std::move(answer));
}

const std::vector<Bytes>& Requests() {
    return requests;
}

void Reset() {
    plans.clear();
    requests.clear();
    ::tcflush(slave, TCIOFLUSH);
    std::uint8_t buf[4096];
    while (::read(master, buf, sizeof buf) > 0) {
    }
}

} // namespace peer

extern "C" int __wrap__ZN5zurid8platform6ComWrtEiPKhi(int port, const unsigned char* buffer,
                                                      int count) {
    const int written = __real__ZN5zurid8platform6ComWrtEiPKhi(port, buffer, count);
    if (written > 0) {
        peer::OnRequest(written);
    }
    return written;
}

extern "C" double __wrap__ZN5zurid8platform5TimerEv() {
    static double leap = 0.0;
    leap += peer::kLeapSeconds;
    return __real__ZN5zurid8platform5TimerEv() + leap;
}

extern "C" void __wrap__ZN5zurid8platform5SleepEi(int /*milliseconds*/) {}
