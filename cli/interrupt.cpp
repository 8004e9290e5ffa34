#include "cli/interrupt.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zurid::cli {

namespace {

int pipeFds[2] = {-1, -1};
struct sigaction previousInt {};
struct sigaction previousTerm {};

void OnSignal(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &b, 1);
}

} // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
    if (::pipe(pipeFds) != 0) {
        return; // then Ctrl-C keeps its default: the process ends
    }
    for (int fd : pipeFds) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    notifier_ = std::make_unique<QSocketNotifier>(pipeFds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &StopSignals::onReadable);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &previousInt);
    ::sigaction(SIGTERM, &sa, &previousTerm);
}

StopSignals::~StopSignals() {
    if (!notifier_) {
        return;
    }
    ::sigaction(SIGINT, &previousInt, nullptr);
    ::sigaction(SIGTERM, &previousTerm, nullptr);
    notifier_.reset();
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void StopSignals::onReadable() {
    unsigned char b = 0;
    while (::read(pipeFds[0], &b, 1) == 1) {
        last_ = b;
    }
    if (last_ != 0) {
        emit stopRequested(last_);
    }
}

} // namespace zurid::cli
