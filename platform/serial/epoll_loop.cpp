#include "platform/serial/epoll_loop.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <limits>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace zurid::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTypes = 3; // QSocketNotifier::Read, Write, Exception

// What makes a notifier of each type ready; a hang-up or an error wakes a reader and a writer
// alike, so that the next read or write meets it (and a loop never spins on it unseen).
constexpr std::array<std::uint32_t, kTypes> kReadyFor = {EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP,
                                                         EPOLLOUT | EPOLLHUP | EPOLLERR, EPOLLPRI};
constexpr std::array<std::uint32_t, kTypes> kAskFor = {EPOLLIN, EPOLLOUT, EPOLLPRI};

// Waits on the epoll set with nanosecond time-outs where the system has them (a 50 ms pause
// then lasts 50 ms, not 50 ms rounded to the next tick); `timeout` null waits for ever.
int Wait(int epfd, epoll_event* events, int max, const timespec* timeout) {
    static bool precise = true;
    if (precise) {
        const int n = epoll_pwait2(epfd, events, max, timeout, nullptr);
        if (n >= 0 || errno != ENOSYS) {
            return n;
        }
        precise = false;
    }
    int ms = -1;
    if (timeout != nullptr) {
        const long long ns = timeout->tv_sec * 1'000'000'000LL + timeout->tv_nsec;
        ms = static_cast<int>(
            std::min<long long>((ns + 999'999) / 1'000'000, std::numeric_limits<int>::max()));
    }
    return epoll_wait(epfd, events, max, ms);
}

class EpollDispatcher final : public QAbstractEventDispatcher {
  public:
    EpollDispatcher(int epfd, int wakefd) : epfd_(epfd), wakefd_(wakefd) {}
    ~EpollDispatcher() override {
        ::close(wakefd_);
        ::close(epfd_);
    }
    EpollDispatcher(const EpollDispatcher&) = delete;
    EpollDispatcher& operator=(const EpollDispatcher&) = delete;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int id, qint64 intervalMs, Qt::TimerType type, QObject* object) override;
    bool unregisterTimer(int id) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int id) override;

    void wakeUp() override {
        if (!wakePending_.exchange(true)) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakefd_, &one, sizeof one);
        }
    }
    void interrupt() override {
        interrupted_.store(true);
        wakeUp();
    }

  private:
    struct Watch {
        std::array<QSocketNotifier*, kTypes> notifiers{};
        std::uint32_t inSet = 0; // what the epoll set asks of the fd
        bool added = false;
        bool pollable = true; // false: a plain file, which epoll refuses and poll calls ready
        bool dirty = false;
    };
    struct Timer {
        int id = 0;
        qint64 intervalMs = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        Clock::time_point due;
        bool firing = false; // its event is being delivered: a nested loop must not fire it again
    };

    bool takeWakeUp();
    void sync(int fd, Watch& w);
    void syncAll();
    int wait(bool mayBlock, bool withNotifiers);
    void collect(int fd, std::uint32_t ready);
    int activateNotifiers();
    int fireTimers();
    Timer* timer(int id);
    Clock::duration intervalOf(const Timer& t) const;

    int epfd_;
    int wakefd_;
    std::unordered_map<int, Watch> watches_;
    std::vector<int> dirty_;
    std::vector<int> alwaysReady_;          // fds epoll cannot watch
    std::vector<QSocketNotifier*> pending_; // ready and not yet told, in this turn
    std::vector<Timer> timers_;
    std::atomic<bool> wakePending_{false}; // the eventfd holds a count not yet read
    std::atomic<bool> interrupted_{false};
};

// ---- socket notifiers -------------------------------------------------------------------------

void EpollDispatcher::registerSocketNotifier(QSocketNotifier* notifier) {
    const int fd = static_cast<int>(notifier->socket());
    const int type = static_cast<int>(notifier->type());
    Watch& w = watches_[fd];
    if (w.notifiers[type] != nullptr && w.notifiers[type] != notifier) {
        qWarning("QSocketNotifier: Multiple socket notifiers for same socket %d and type %d", fd,
                 type);
    }
    w.notifiers[type] = notifier;
    if (!w.dirty) {
        w.dirty = true;
        dirty_.push_back(fd);
    }
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier) {
    const int fd = static_cast<int>(notifier->socket());
    const int type = static_cast<int>(notifier->type());
    std::replace(pending_.begin(), pending_.end(), notifier,
                 static_cast<QSocketNotifier*>(nullptr));
    const auto it = watches_.find(fd);
    if (it == watches_.end() || it->second.notifiers[type] != notifier) {
        return;
    }
    Watch& w = it->second;
    w.notifiers[type] = nullptr;
    if (std::any_of(w.notifiers.begin(), w.notifiers.end(), [](auto* n) { return n; })) {
        if (!w.dirty) {
            w.dirty = true;
            dirty_.push_back(fd);
        }
        return;
    }
    // The last one: out of the set now, while the fd is surely still the same file (it is
    // usually closed right after).
    if (w.added) {
        epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr); // fails harmlessly when already closed
    }
    if (!w.pollable) {
        std::erase(alwaysReady_, fd);
    }
    watches_.erase(it); // a mark left in dirty_ finds nothing, or a new watch of its own
}

void EpollDispatcher::syncAll() {
    // sync() may disable a notifier, which comes back here: work on a copy.
    const std::vector<int> dirty = std::exchange(dirty_, {});
    for (const int fd : dirty) {
        const auto it = watches_.find(fd);
        if (it != watches_.end() && it->second.dirty) {
            it->second.dirty = false;
            sync(fd, it->second);
        }
    }
}

void EpollDispatcher::sync(int fd, Watch& w) {
    std::uint32_t want = 0;
    for (int type = 0; type < kTypes; ++type) {
        if (w.notifiers[type] != nullptr) {
            want |= kAskFor[type];
        }
    }
    if (!w.pollable || (w.added && want == w.inSet)) {
        return;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.fd = fd;
    int rc = epoll_ctl(epfd_, w.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
    if (rc != 0 && errno == ENOENT) { // the fd was closed and opened again under our feet
        rc = epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev);
    } else if (rc != 0 && errno == EEXIST) {
        rc = epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev);
    }
    if (rc == 0) {
        w.added = true;
        w.inSet = want;
        return;
    }
    if (errno == EPERM) { // a plain file or directory: always ready, as poll() says
        w.pollable = false;
        alwaysReady_.push_back(fd);
        return;
    }
    // A closed fd: as Qt's own loop does with it, say so and switch its notifiers off.
    qWarning("QSocketNotifier: Invalid socket %d, disabling...", fd);
    const auto notifiers = w.notifiers;
    for (QSocketNotifier* n : notifiers) {
        if (n != nullptr) {
            n->setEnabled(false); // unregisters it, and may erase `w`
        }
    }
}

void EpollDispatcher::collect(int fd, std::uint32_t ready) {
    const auto it = watches_.find(fd);
    if (it == watches_.end()) {
        return;
    }
    for (int type = 0; type < kTypes; ++type) {
        if ((ready & kReadyFor[type]) != 0 && it->second.notifiers[type] != nullptr) {
            pending_.push_back(it->second.notifiers[type]);
        }
    }
}

int EpollDispatcher::activateNotifiers() {
    int told = 0;
    // A notifier's handler may unregister others (they turn null here) or run a nested loop
    // (which tells the rest and clears the list).
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        QSocketNotifier* n = std::exchange(pending_[i], nullptr);
        if (n != nullptr) {
            QEvent activate(QEvent::SockAct);
            QCoreApplication::sendEvent(n, &activate);
            ++told;
        }
    }
    pending_.clear();
    return told;
}

// ---- timers -----------------------------------------------------------------------------------

Clock::duration EpollDispatcher::intervalOf(const Timer& t) const {
    qint64 ms = t.intervalMs;
    if (t.type == Qt::VeryCoarseTimer) { // whole seconds, as Qt's own loop rounds them
        ms = std::max<qint64>(1000, (ms + 500) / 1000 * 1000);
    }
    return std::chrono::milliseconds(ms);
}

void EpollDispatcher::registerTimer(int id, qint64 intervalMs, Qt::TimerType type,
                                    QObject* object) {
    Timer t;
    t.id = id;
    t.intervalMs = intervalMs;
    t.type = type;
    t.object = object;
    t.due = Clock::now() + intervalOf(t);
    timers_.push_back(t);
}

EpollDispatcher::Timer* EpollDispatcher::timer(int id) {
    const auto it =
        std::find_if(timers_.begin(), timers_.end(), [id](const Timer& t) { return t.id == id; });
    return it == timers_.end() ? nullptr : &*it;
}

bool EpollDispatcher::unregisterTimer(int id) {
    return std::erase_if(timers_, [id](const Timer& t) { return t.id == id; }) > 0;
}

bool EpollDispatcher::unregisterTimers(QObject* object) {
    return std::erase_if(timers_, [object](const Timer& t) { return t.object == object; }) > 0;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollDispatcher::registeredTimers(QObject* object) const {
    QList<TimerInfo> out;
    for (const Timer& t : timers_) {
        if (t.object == object) {
            out.append(TimerInfo(t.id, static_cast<int>(t.intervalMs), t.type));
        }
    }
    return out;
}

int EpollDispatcher::remainingTime(int id) {
    const Timer* t = timer(id);
    if (t == nullptr) {
        return -1;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->due - Clock::now());
    return static_cast<int>(std::max<qint64>(0, left.count()));
}

int EpollDispatcher::fireTimers() {
    const Clock::time_point now = Clock::now();
    std::vector<std::pair<Clock::time_point, int>> due;
    for (const Timer& t : timers_) {
        if (!t.firing && t.due <= now) {
            due.emplace_back(t.due, t.id);
        }
    }
    std::sort(due.begin(), due.end());
    int fired = 0;
    // Each at most once per turn, in the order they fell due; a handler may add, stop or start
    // timers, so each is looked up again.
    for (const auto& [when, id] : due) {
        Timer* t = timer(id);
        if (t == nullptr || t->firing || t->due != when) {
            continue;
        }
        const Clock::duration interval = intervalOf(*t);
        t->due += interval;
        if (t->due <= now) { // it fell behind: next one a whole interval from now
            t->due = now + interval;
        }
        t->firing = true;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(t->object, &event);
        if (Timer* again = timer(id)) {
            again->firing = false;
        }
        ++fired;
    }
    return fired;
}

// ---- the turn ---------------------------------------------------------------------------------

int EpollDispatcher::wait(bool mayBlock, bool withNotifiers) {
    timespec timeout{0, 0};
    bool endless = false;
    if (mayBlock && alwaysReady_.empty()) {
        const auto next =
            std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                return !a.firing && (b.firing || a.due < b.due);
            });
        if (next == timers_.end() || next->firing) {
            endless = true;
        } else {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(next->due - Clock::now())
                    .count();
            if (ns > 0) {
                timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
                timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            }
        }
    }
    int events = 0;
    if (!withNotifiers) { // only a wake-up or a timer may end the wait
        pollfd p{wakefd_, POLLIN, 0};
        if (ppoll(&p, 1, endless ? nullptr : &timeout, nullptr) > 0 && takeWakeUp()) {
            ++events;
        }
        return events;
    }
    std::array<epoll_event, 64> ready{};
    const int n =
        Wait(epfd_, ready.data(), static_cast<int>(ready.size()), endless ? nullptr : &timeout);
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.fd == wakefd_) {
            events += takeWakeUp() ? 1 : 0;
        } else {
            collect(ready[i].data.fd, ready[i].events);
        }
    }
    for (const int fd : alwaysReady_) {
        collect(fd, EPOLLIN | EPOLLOUT);
    }
    return events;
}

// Reads the wake-up count; true when there was one, i.e. something was posted or the loop was
// interrupted since the last look.
bool EpollDispatcher::takeWakeUp() {
    if (!wakePending_.exchange(false)) { // first: a wake-up after this writes again
        return false;
    }
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wakefd_, &count, sizeof count);
    return true;
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags) {
    interrupted_.store(false);
    emit awake();
    // Posted events count as what was waited for (as in Qt's glib loop): a turn that delivered
    // some returns without blocking, so that a caller's own loop sees what they did.
    const bool posted = takeWakeUp();
    QCoreApplication::sendPostedEvents();

    const bool withNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool mayBlock =
        (flags & QEventLoop::WaitForMoreEvents) && !posted && !interrupted_.load();
    if (mayBlock) {
        emit aboutToBlock();
    }
    if (interrupted_.load()) {
        return false;
    }
    syncAll();
    int events = wait(mayBlock, withNotifiers);
    if (events > 0) { // woken for posted events: they are this turn's, as in Qt's glib loop
        QCoreApplication::sendPostedEvents();
    }
    if (withNotifiers) {
        events += activateNotifiers();
    }
    if (withTimers) {
        events += fireTimers();
    }
    return events > 0 || posted;
}

} // namespace

bool UseEpollEventLoop() {
    const int epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) {
        return false;
    }
    const int wakefd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakefd;
    if (wakefd < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, wakefd, &ev) != 0) {
        if (wakefd >= 0) {
            ::close(wakefd);
        }
        ::close(epfd);
        return false;
    }
    QCoreApplication::setEventDispatcher(new EpollDispatcher(epfd, wakefd));
    return true;
}

} // namespace zurid::platform
