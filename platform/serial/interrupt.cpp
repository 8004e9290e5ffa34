// The self-pipe way: the signal handler only writes a byte, a socket notifier turns it into an
// event.
#include "platform/serial/interrupt.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};
std::function<void()> interruptHandler;

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[0], &byte, 1);
}

} // namespace

void OnInterrupt(std::function<void()> handler) {
    interruptHandler = std::move(handler);
    if (pipeFds[0] >= 0) {
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pipeFds) != 0) {
        return;
    }
    auto* notifier =
        new QSocketNotifier(pipeFds[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char byte = 0;
        [[maybe_unused]] const ssize_t n = ::read(pipeFds[1], &byte, 1);
        if (interruptHandler) {
            interruptHandler();
        }
    });
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
}
