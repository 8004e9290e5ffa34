// The self-pipe way: the signal handler only writes a byte, a socket notifier turns it into an
// event. A second signal ends the process at once: the operator pressed Ctrl-C again because
// the clean stop did not come (a write that blocks, say).
#include "platform/serial/interrupt.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace zurid::platform {

namespace {

int pipeFds[2] = {-1, -1};
std::function<void()> interruptHandler;
volatile sig_atomic_t pending = 0; // the signal that is waiting for the event loop

void OnSignal(int sig) {
    if (pending != 0) {
        _exit(128 + sig);
    }
    pending = sig;
    const int saved = errno; // the interrupted code may be about to read it
    const char byte = 1;
    // Non-blocking: with the buffer full the byte is not needed anyway.
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[0], &byte, 1);
    errno = saved;
}

void SetAction(void (*action)(int)) {
    struct sigaction sa {};
    sa.sa_handler = action;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT); // one handler at a time
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}

} // namespace

void OnInterrupt(std::function<void()> handler) {
    interruptHandler = std::move(handler);
    if (!interruptHandler) {
        // Between commands and after the last one, Ctrl-C does what it always does.
        SetAction(SIG_DFL);
        return;
    }
    if (pipeFds[0] < 0) {
        // Close-on-exec: a program started later must not hold them; non-blocking: the
        // handler must never wait.
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeFds) != 0) {
            return;
        }
        auto* notifier =
            new QSocketNotifier(pipeFds[1], QSocketNotifier::Read, QCoreApplication::instance());
        QObject::connect(notifier, &QSocketNotifier::activated, [] {
            char bytes[16];
            while (::read(pipeFds[1], bytes, sizeof bytes) > 0) {
            }
            if (interruptHandler) {
                interruptHandler();
            }
        });
    }
    pending = 0;
    SetAction(OnSignal);
}

} // namespace zurid::platform
