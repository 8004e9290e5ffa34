// The simulator's thread: collects request frames from the pty master, answers them with the
// wire timing of 4800 baud, and injects the configured faults.
#include "sim/sensorsim.h"
#include "sim/pty.h"
#include "sim/replies.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr double kNever = std::numeric_limits<double>::infinity();
constexpr double kSleepInstead = 0.002; // deadlines this close are slept to, not polled for

timespec toTimespec(double s) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((s - static_cast<double>(ts.tv_sec)) * 1e9);
    if (ts.tv_nsec >= 1000000000L) {
        ++ts.tv_sec;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

double monotonicSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// What the line carries, seen from the sensor: owned by the simulator's thread alone.
struct Line {
    std::vector<std::uint8_t> frame; // partial frame being received
    double frameFirst = 0, frameLast = 0;
    struct Complete {
        std::vector<std::uint8_t> bytes;
        double due; // when its last bit has arrived
    };
    std::deque<Complete> complete;
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        double start;
        std::size_t sent = 0;
        bool counts = true; // a reply of its own (not the tail of one) for replies and hang-up
    };
    std::deque<Outgoing> out;       // by start time; the one being sent stays in front
    double inFree = 0, outFree = 0; // when the wire in each direction is free again
    double unplugAt = kNever;       // the hang-up count has run out at this time

    // A late reply does not hold back the replies due before it.
    void schedule(std::vector<std::uint8_t> bytes, double start, bool counts = true) {
        auto at = std::find_if(out.begin(), out.end(),
                               [&](const Outgoing& o) { return o.sent == 0 && o.start > start; });
        out.insert(at, {std::move(bytes), start, 0, counts});
    }
};

struct SensorSim::Impl {
    explicit Impl(Config c) : cfg(c), state(c) {}

    Config cfg;
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    SensorState state; // under mu
    std::function<void(const Request&)> hook;
    int hangupLeft = -1;
    bool hung = false;
    std::string path;

    int master = -1, slave = -1, wake[2] = {-1, -1};
    std::thread thread;
    std::atomic<bool> stopRequested{false}, hangupRequested{false};

    bool openPty();
    void closeLine();
    bool lastReplyTaken(double since) const;
    void wakeUp() const;
    void run();
    void service(Line& line, double now);
    void accept(Line& line, std::uint8_t b, double at);
    void record(const std::vector<std::uint8_t>& bytes, double t, Line& line);
    void send(Line& line, double now);
    double nextDeadline(const Line& line) const;
};

bool SensorSim::Impl::openPty() {
    PtyEnds ends;
    if (!OpenPty(&ends, true))
        return false;
    master = ends.master;
    slave = ends.slave;
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        closeFd(slave);
        closeFd(master);
        return false;
    }
    std::lock_guard lock(mu);
    path = ends.path;
    hung = false;
    return true;
}

// The pulled plug: the program's port sees EIO/HUP from now on.
void SensorSim::Impl::closeLine() {
    closeFd(master);
    closeFd(slave);
    std::lock_guard lock(mu);
    hung = true;
    cv.notify_all();
}

// Closing the master discards what the slave has not read yet, so the hang-up after the N-th
// reply waits until the program has read it (or gives up after a second).
bool SensorSim::Impl::lastReplyTaken(double since) const {
    const double waited = monotonicSeconds() - since;
    int queued = 0;
    // The pty hands bytes on asynchronously: give them a moment to reach the slave's queue.
    return waited > 5.0 || (waited > 0.02 && ioctl(slave, FIONREAD, &queued) == 0 && queued == 0);
}

void SensorSim::Impl::wakeUp() const {
    const char c = 1;
    [[maybe_unused]] auto n = ::write(wake[1], &c, 1);
}

void SensorSim::Impl::record(const std::vector<std::uint8_t>& bytes, double t, Line& line) {
    std::function<void(const Request&)> notify;
    Request req{t, bytes, false};
    {
        std::lock_guard lock(mu);
        Answer a = state.handle(bytes, t);
        req.valid = a.valid;
        state.requests.push_back(req);
        // A long-running simulator keeps only the recent past; drop the older half at once so
        // that the log costs no more than a copy now and then.
        if (state.requests.size() > kRequestLogLimit) {
            state.requests.erase(state.requests.begin(),
                                 state.requests.begin() + kRequestLogLimit / 2);
        }
        notify = hook;
        if (!a.reply.empty()) {
            const double start = t + a.delay;
            // The tail's last byte arrives tailGap after the reply's last byte.
            const double wire = cfg.wireTime ? kByteSeconds : 0;
            const double tailStart = start + wire * static_cast<double>(a.reply.size()) +
                                     a.tailGap - wire * static_cast<double>(a.tail.size());
            line.schedule(std::move(a.reply), start);
            if (!a.tail.empty())
                line.schedule(std::move(a.tail), tailStart, false);
        }
        cv.notify_all();
    }
    if (notify)
        notify(req);
}

void SensorSim::Impl::accept(Line& line, std::uint8_t b, double at) {
    if (!line.frame.empty() && at - line.frameLast > kFrameGapSeconds) {
        record(line.frame, line.frameLast, line);
        line.frame.clear();
    }
    if (line.frame.empty())
        line.frameFirst = at;
    line.frame.push_back(b);
    line.frameLast = at;
    if (line.frame.size() < kFrameLength)
        return;
    double due = at;
    if (cfg.wireTime) {
        const double first = std::max(line.frameFirst, line.inFree);
        due = std::max(first + kByteSeconds * static_cast<double>(kFrameLength), at);
    }
    line.inFree = due;
    line.complete.push_back({std::move(line.frame), due});
    line.frame.clear();
}

// Writes the reply bytes that are due; a byte goes out once its last bit would have arrived.
void SensorSim::Impl::send(Line& line, double now) {
    while (!line.out.empty() && master >= 0) {
        auto& r = line.out.front();
        if (r.sent == 0 && cfg.wireTime)
            r.start = std::max(r.start, line.outFree); // wait for the wire
        // Every byte that is due goes out in one write, so that a reader never sees a reply
        // half written that the wire would have delivered whole by now.
        std::size_t due = r.sent;
        while (due < r.bytes.size() &&
               r.start + (cfg.wireTime ? kByteSeconds * static_cast<double>(due + 1) : 0) <= now)
            ++due;
        if (due > r.sent) {
            // A full slave queue (nobody reading) loses the bytes, as a real line would.
            [[maybe_unused]] auto n = ::write(master, &r.bytes[r.sent], due - r.sent);
            line.outFree = r.start + (cfg.wireTime ? kByteSeconds * static_cast<double>(due) : 0);
            r.sent = due;
        }
        if (r.sent < r.bytes.size())
            return;
        const bool counts = r.counts;
        line.out.pop_front();
        if (!counts)
            continue;
        bool hangNow = false;
        {
            std::lock_guard lock(mu);
            ++state.replies;
            if (hangupLeft > 0 && --hangupLeft == 0)
                hangNow = true;
            cv.notify_all();
        }
        if (hangNow)
            line.unplugAt = now;
    }
}

void SensorSim::Impl::service(Line& line, double now) {
    if (!line.frame.empty() && now - line.frameLast > kFrameGapSeconds) {
        record(line.frame, line.frameLast, line);
        line.frame.clear();
    }
    while (!line.complete.empty() && line.complete.front().due <= now) {
        auto c = std::move(line.complete.front());
        line.complete.pop_front();
        record(c.bytes, c.due, line);
    }
    send(line, now);
}

double SensorSim::Impl::nextDeadline(const Line& line) const {
    double next = kNever;
    if (!line.frame.empty())
        next = line.frameLast + kFrameGapSeconds + 1e-4;
    if (!line.complete.empty())
        next = std::min(next, line.complete.front().due);
    if (!line.out.empty()) {
        const auto& r = line.out.front();
        next = std::min(
            next, r.start + (cfg.wireTime ? kByteSeconds * static_cast<double>(r.sent + 1) : 0));
    }
    return next;
}

void SensorSim::Impl::run() {
    Line line;
    while (!stopRequested && master >= 0) {
        if (hangupRequested || (line.unplugAt != kNever && lastReplyTaken(line.unplugAt))) {
            closeLine();
            break;
        }
        if (line.unplugAt != kNever) { // the line is dead already; just let the reply drain
            const timespec pause = toTimespec(0.005);
            nanosleep(&pause, nullptr);
            continue;
        }
        double now = monotonicSeconds();
        service(line, now);
        if (line.unplugAt != kNever)
            continue;
        const double next = nextDeadline(line);
        if (next - now < kSleepInstead) {
            const timespec at = toTimespec(next);
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            continue;
        }
        pollfd fds[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
        timespec timeout{};
        if (next != kNever)
            timeout = toTimespec(next - now);
        const int r = ppoll(fds, 2, next == kNever ? nullptr : &timeout, nullptr);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            char buf[64];
            while (::read(wake[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[0].revents & POLLIN) {
            std::uint8_t buf[256];
            ssize_t n;
            now = monotonicSeconds();
            while ((n = ::read(master, buf, sizeof buf)) > 0)
                for (ssize_t i = 0; i < n; ++i)
                    accept(line, buf[i], now);
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Cannot happen while we hold a slave fd; never spin on it.
            const timespec pause = toTimespec(0.01);
            nanosleep(&pause, nullptr);
        }
    }
}

SensorSim::SensorSim(Config cfg) : d(std::make_unique<Impl>(cfg)) {}

SensorSim::~SensorSim() {
    stop();
}

bool SensorSim::start() {
    if (d->thread.joinable())
        return true;
    if (!d->openPty())
        return false;
    d->stopRequested = false;
    d->hangupRequested = false;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

void SensorSim::stop() {
    if (d->thread.joinable()) {
        d->stopRequested = true;
        d->wakeUp();
        d->thread.join();
    }
    closeFd(d->master);
    closeFd(d->slave);
    closeFd(d->wake[0]);
    closeFd(d->wake[1]);
}

std::string SensorSim::path() const {
    std::lock_guard lock(d->mu);
    return d->path;
}

void SensorSim::hangUp() {
    if (!d->thread.joinable()) {
        d->closeLine();
        return;
    }
    d->hangupRequested = true;
    d->wakeUp();
    std::unique_lock lock(d->mu);
    d->cv.wait_for(lock, std::chrono::seconds(2), [this] { return d->hung; });
}

bool SensorSim::hungUp() const {
    std::lock_guard lock(d->mu);
    return d->hung;
}

void SensorSim::setHangupAfter(int replies) {
    if (replies == 0) {
        hangUp();
        return;
    }
    std::lock_guard lock(d->mu);
    d->hangupLeft = replies < 0 ? -1 : replies;
}

void SensorSim::setRequestHook(std::function<void(const Request&)> hook) {
    std::lock_guard lock(d->mu);
    d->hook = std::move(hook);
}

std::vector<Request> SensorSim::requests() const {
    std::lock_guard lock(d->mu);
    return d->state.requests;
}

void SensorSim::clearRequests() {
    std::lock_guard lock(d->mu);
    d->state.requests.clear();
}

std::size_t SensorSim::replyCount() const {
    std::lock_guard lock(d->mu);
    return d->state.replies;
}

bool SensorSim::waitForRequests(std::size_t n, double timeoutSeconds) const {
    std::unique_lock lock(d->mu);
    return d->cv.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                          [&] { return d->state.requests.size() >= n; });
}

void SensorSim::setFault(Fault f, unsigned orderMask) {
    std::lock_guard lock(d->mu);
    d->state.fault = f;
    d->state.orderMask = orderMask;
    d->state.strayDone = false;
}

void SensorSim::setLateSeconds(double s) {
    std::lock_guard lock(d->mu);
    d->state.lateSeconds = s;
}

void SensorSim::setSplitSeconds(double s) {
    std::lock_guard lock(d->mu);
    d->state.splitSeconds = s;
}

void SensorSim::setRandomFaults(double probability) {
    std::lock_guard lock(d->mu);
    d->state.randomChance = probability;
}

Block SensorSim::ram() const {
    std::lock_guard lock(d->mu);
    return d->state.ram;
}

void SensorSim::setRam(const Block& b) {
    std::lock_guard lock(d->mu);
    d->state.ram = b;
}

Block SensorSim::eeprom() const {
    std::lock_guard lock(d->mu);
    return d->state.eeprom;
}

void SensorSim::setEeprom(const Block& b) {
    std::lock_guard lock(d->mu);
    d->state.eeprom = b;
}

void SensorSim::setLiveData(std::optional<DataBlock> fixed) {
    std::lock_guard lock(d->mu);
    d->state.liveData = fixed;
}

void SensorSim::setJumpBuffer(const JumpBuffer& values) {
    std::lock_guard lock(d->mu);
    d->state.jumpBuffer = values;
}

void SensorSim::useModelJumpBuffer() {
    std::lock_guard lock(d->mu);
    d->state.jumpBuffer.reset();
}

void SensorSim::setReply(int order, std::optional<std::vector<std::uint8_t>> raw) {
    std::lock_guard lock(d->mu);
    d->state.setReply(order, std::move(raw));
}

} // namespace sim
