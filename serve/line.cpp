#include "serve/line.h"

#include "sensors/paramtext.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace zurid::serve {

namespace {

constexpr double kRateWindowSeconds = 5.0;

double Monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A reply that never came is a time-out, a port that failed is absent; anything else is an
// error of the line.
SensorStatus FailureKind(const sensors::TransactionResult& r) {
    switch (r.kind) {
    case ErrorKind::Timeout:
        return SensorStatus::Timeout;
    case ErrorKind::Gone:
        return SensorStatus::Absent;
    default:
        return SensorStatus::Error;
    }
}

} // namespace

struct ClientUnit {
    ClientWork work;
    std::vector<Waiter> waiters; // the clients that wait for it, one or (a shared read) more
    double started = 0;          // monotonic, when it went out
    double live = 0;             // seconds of live-data exchanges between its steps
    bool ended = false;

    bool wanted() const {
        return std::any_of(waiters.begin(), waiters.end(),
                           [](const Waiter& w) { return w.waiting(); });
    }
};

bool ClientTurn::wanted() const {
    return unit_->wanted();
}

void ClientTurn::answer(const Answer& answer) const {
    if (std::exchange(unit_->ended, true)) {
        return;
    }
    for (const Waiter& w : unit_->waiters) {
        w.deliver(answer);
    }
    line_->clientEnded(*port_, unit_);
}

QString StatusName(SensorStatus s) {
    switch (s) {
    case SensorStatus::Starting:
        return QStringLiteral("starting");
    case SensorStatus::Ok:
        return QStringLiteral("ok");
    case SensorStatus::Timeout:
        return QStringLiteral("timeout");
    case SensorStatus::Absent:
        return QStringLiteral("absent");
    case SensorStatus::Error:
        break;
    }
    return QStringLiteral("error");
}

double LinePort::rate() const {
    if (recent_.size() < 2 || Monotonic() - recent_.back() > kRateWindowSeconds) {
        return 0;
    }
    return static_cast<double>(recent_.size() - 1) / (recent_.back() - recent_.front());
}

Answer Unavailable(const LinePort& p) {
    const QString& id = p.ref.label;
    switch (p.status) {
    case SensorStatus::Starting:
        return Answer::failure(ErrorKind::Unavailable, QStringLiteral("%1 is starting").arg(id),
                               QStringLiteral("starting"));
    case SensorStatus::Absent:
        return Answer::failure(ErrorKind::Gone,
                               QStringLiteral("%1 is absent: %2").arg(id, p.message));
    case SensorStatus::Timeout:
        return Answer::failure(ErrorKind::Timeout,
                               QStringLiteral("%1 does not answer: %2").arg(id, p.message));
    case SensorStatus::Ok:
    case SensorStatus::Error:
        break;
    }
    if (p.busy) {
        return Answer::failure(ErrorKind::Busy, QStringLiteral("%1: %2").arg(id, p.message));
    }
    return Answer::failure(ErrorKind::Unavailable, QStringLiteral("%1: %2").arg(id, p.message),
                           QStringLiteral("sensor_error"));
}

Answer Failure(const LinePort& p, ErrorKind kind, const QString& why) {
    if (p.status == SensorStatus::Absent || kind == ErrorKind::Gone) {
        return Answer::failure(ErrorKind::Gone,
                               QStringLiteral("%1 is absent: %2").arg(p.ref.label, why));
    }
    return Answer::failure(kind, QStringLiteral("%1: %2").arg(p.ref.label, why));
}

std::shared_ptr<void> HoldWriter(LinePort& p, const QString& what) {
    p.writer = what;
    return {nullptr, [&p](void*) { p.writer.clear(); }};
}

Line::Line(QObject* parent) : QObject(parent) {}

Line::~Line() {
    stop();
}

sensors::Status Line::addPorts(const QStringList& names) {
    QList<PortRef> refs;
    for (const QString& name : names) {
        const auto found = sensors::LookupPort(name);
        if (!found) {
            return found.failed();
        }
        refs.append(*found);
    }
    if (const QString twice = sensors::SamePortTwice(refs); !twice.isEmpty()) {
        return sensors::Status::failure(sensors::ErrorKind::Invalid,
                                        QStringLiteral("serve: %1").arg(twice));
    }
    for (const PortRef& ref : refs) {
        add(ref);
    }
    return {};
}

void Line::addAll() {
    for (const PortRef& ref : sensors::PortTable()) {
        add(ref);
    }
}

void Line::add(const PortRef& ref) {
    auto p = std::make_unique<LinePort>();
    p->ref = ref;
    p->location = sensors::StableLocation(ref.device);
    p->pause_.setSingleShot(true);
    p->pause_.setTimerType(Qt::PreciseTimer);
    connect(&p->pause_, &QTimer::timeout, this, [this, port = p.get()] { resume(*port); });
    // One session for the port's whole life, opened again after each failure: whatever is
    // queued on it always gets its answer, a failure when the port is gone.
    p->session_ = std::make_unique<PortSession>(ref.device);
    p->session_->setPromptResults(true); // the line keeps its sessions for the port's life
    connect(p->session_.get(), &PortSession::portFailed, this,
            [this, port = p.get()](const QString& reason) { portGone(*port, reason); });
    ports_.push_back(std::move(p));
}

LinePort* Line::find(const QString& id) const {
    for (const auto& p : ports_) {
        if (p->ref.label.compare(id, Qt::CaseInsensitive) == 0 || p->ref.device == id) {
            return p.get();
        }
    }
    return nullptr;
}

void Line::start() {
    stopped_ = false;
    for (const auto& p : ports_) {
        open(*p);
    }
}

void Line::stop() {
    stopped_ = true;
    for (const auto& p : ports_) {
        ++p->gen_;
        p->pause_.stop();
        p->waiting_.clear();
        p->running_.reset();
        p->session_->cancel();
        p->session_->close();
    }
}

void Line::setStatus(LinePort& p, SensorStatus s, const QString& message) {
    const bool changed = p.status != s || p.message != message;
    p.status = s;
    p.message = message;
    if (!changed) {
        return;
    }
    ++statusChanges_;
    if (statusChanged) {
        statusChanged(p);
    }
}

void Line::keepBlock(LinePort& p, Memory m, const core::ParamBlock& block) {
    auto& kept = m == Memory::Ram ? p.ram : p.eeprom;
    const bool changed = kept != block;
    kept = block;
    if (changed && blockChanged) {
        blockChanged(p, m);
    }
}

void Line::wroteBlock(LinePort& p, Memory m, const std::optional<core::ParamBlock>& before,
                      const core::ParamBlock& after) {
    keepBlock(p, m, after);
    if (blockWritten) {
        blockWritten(p, m, before, after);
    }
}

void Line::open(LinePort& p) {
    if (stopped_) {
        return;
    }
    ++p.gen_;
    const sensors::Status opened = p.session_->open();
    if (!opened) {
        const bool present = QFileInfo::exists(p.ref.device);
        p.busy = present && opened.kind() == sensors::ErrorKind::Busy;
        fail(p, present ? SensorStatus::Error : SensorStatus::Absent,
             present ? opened.error() : QStringLiteral("no such device: unplugged?"));
        retry(p, LinePort::Next::Open);
        return;
    }
    p.busy = false;
    begin(p);
}

void Line::portGone(LinePort& p, const QString& reason) {
    ++p.gen_;
    p.pause_.stop();
    fail(p, SensorStatus::Absent, reason); // the session has closed the port already
    retry(p, LinePort::Next::Open);
}

void Line::begin(LinePort& p) {
    const quint64 gen = p.gen_;
    PortSession& s = *p.session_;
    const auto failed = [this, &p, gen](const sensors::TransactionResult& r, const QString& step) {
        if (gen != p.gen_) {
            return true;
        }
        if (r.ok()) {
            return false;
        }
        fail(p, FailureKind(r), QStringLiteral("%1: %2").arg(step, r.error));
        retry(p, LinePort::Next::Begin);
        return true;
    };
    s.lineCheck([this, &p, &s, failed](const sensors::TransactionResult& r) {
        if (failed(r, QStringLiteral("line check"))) {
            return;
        }
        p.version = QStringLiteral("%1.%2")
                        .arg(static_cast<quint8>(r.bytes.at(1)))
                        .arg(static_cast<quint8>(r.bytes.at(2)));
        s.readParams(Memory::Ram, [this, &p, &s, failed](const sensors::TransactionResult& ram) {
            if (failed(ram, QStringLiteral("RAM read"))) {
                return;
            }
            keepBlock(p, Memory::Ram, *sensors::ToBlock(ram.bytes));
            s.readParams(Memory::Eeprom, [this, &p, failed](const sensors::TransactionResult& ee) {
                if (failed(ee, QStringLiteral("EEPROM read"))) {
                    return;
                }
                keepBlock(p, Memory::Eeprom, *sensors::ToBlock(ee.bytes));
                p.backoffMs_ = 0;
                setStatus(p, SensorStatus::Ok, {});
                poll(p, PortSession::SettleMs(Memory::Ram));
            });
        });
    });
}

void Line::poll(LinePort& p, int settleMs) {
    const quint64 gen = p.gen_;
    p.session_->readData(settleMs, [this, &p, gen](const sensors::TransactionResult& r) {
        if (gen == p.gen_) {
            onData(p, r);
        }
    });
}

void Line::onData(LinePort& p, const sensors::TransactionResult& r) {
    if (!r.ok()) {
        fail(p, FailureKind(r), QStringLiteral("live data: %1").arg(r.error));
        retry(p, LinePort::Next::Begin);
        return;
    }
    Reading reading;
    reading.t = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    reading.values = sensors::ToLiveValues(r.bytes).value_or(core::LiveValues{});
    ++p.readings;
    if (p.running_) {
        p.running_->live += static_cast<double>(r.doneNs - r.sentNs) * 1e-9;
    }
    const double now = Monotonic();
    p.recent_.push_back(now);
    while (p.recent_.size() > 2 && now - p.recent_.front() > kRateWindowSeconds) {
        p.recent_.pop_front();
    }
    p.last = reading;
    if (readingArrived) {
        readingArrived(p, reading);
    }
    p.next_ = LinePort::Next::Poll;
    p.pause_.start(dataPauseMs);
    p.liveSinceClient_ = true;
    startClient(p);
}

void Line::fail(LinePort& p, SensorStatus s, const QString& message) {
    if (s == SensorStatus::Timeout) {
        ++p.timeouts;
    } else if (s == SensorStatus::Error) {
        ++p.failures;
    }
    p.recent_.clear();
    setStatus(p, s, message);
    refuseWaiting(p);
}

void Line::resume(LinePort& p) {
    switch (p.next_) {
    case LinePort::Next::Poll:
        poll(p, 0);
        break;
    case LinePort::Next::Begin:
        begin(p);
        break;
    case LinePort::Next::Open:
        open(p);
        break;
    }
}

void Line::retry(LinePort& p, LinePort::Next again) {
    if (stopped_) {
        return;
    }
    ++p.gen_; // whatever was still queued belongs to the attempt that failed
    p.backoffMs_ = p.backoffMs_ == 0 ? firstRetryMs : std::min(2 * p.backoffMs_, lastRetryMs);
    p.next_ = again;
    p.pause_.start(p.backoffMs_);
}

void Line::submit(LinePort& p, ClientWork work, Waiter waiter) {
    dropGone(p);
    if (!work.key.isEmpty()) {
        for (const auto& u : p.waiting_) {
            if (u->work.key == work.key) {
                u->waiters.push_back(std::move(waiter)); // one read answers them all
                return;
            }
        }
    }
    if (clientsWaiting(p) >= clientQueueLimit) {
        // About the time one unit takes with the live data it owes.
        const double turn = p.lastTurn_ + std::max(0.0, p.restUntil_ - Monotonic());
        const int seconds = std::clamp(static_cast<int>(std::ceil(turn)), 1, 60);
        waiter.deliver(
            Answer::failure(ErrorKind::Unavailable,
                            QStringLiteral("%1 is busy: %2 requests wait for it; try again in %3 s")
                                .arg(p.ref.label)
                                .arg(clientsWaiting(p))
                                .arg(seconds),
                            QStringLiteral("busy"), seconds));
        return;
    }
    auto unit = std::make_shared<ClientUnit>();
    unit->work = std::move(work);
    unit->waiters.push_back(std::move(waiter));
    // Writes go before the reads that wait, in their own order.
    const auto at = !unit->work.write ? p.waiting_.end()
                                      : std::find_if(p.waiting_.begin(), p.waiting_.end(),
                                                     [](const auto& u) { return !u->work.write; });
    p.waiting_.insert(at, std::move(unit));
    startClient(p);
}

// The next unit goes out in the pause after a reading (so the live-data request follows it),
// once the unit before it has had a live-data cycle after it and live data its rest since. A
// write may cut into the rest a read left (a flood of reads never holds an operator's change
// back), not into that of a write. Work of the jobs on the session goes first: a unit never
// stacks on a job's transaction in the same cycle.
void Line::startClient(LinePort& p) {
    dropGone(p);
    const bool betweenCycles = p.status == SensorStatus::Ok && p.next_ == LinePort::Next::Poll &&
                               p.pause_.isActive() && p.session_->idle();
    if (p.running_ || !p.liveSinceClient_ || !betweenCycles || p.waiting_.empty()) {
        return;
    }
    const double now = Monotonic();
    const bool write = p.waiting_.front()->work.write;
    if (now < p.restUntil_ && !(write && !p.lastWasWrite_)) {
        return;
    }
    std::shared_ptr<ClientUnit> unit = std::move(p.waiting_.front());
    p.waiting_.pop_front();
    p.running_ = unit;
    p.liveSinceClient_ = false;
    unit->started = now;
    ClientTurn turn;
    turn.line_ = this;
    turn.port_ = &p;
    turn.unit_ = unit;
    // Out of the unit first: what the work holds (a change's hold on the parameters) goes with
    // its last transaction, not with the unit.
    const auto run = std::move(unit->work.run);
    run(*p.session_, turn);
}

void Line::clientEnded(LinePort& p, const std::shared_ptr<ClientUnit>& unit) {
    if (p.running_ != unit) {
        return; // the line stopped meanwhile
    }
    p.running_.reset();
    // The port was the unit's but for the live-data exchanges between its steps.
    const double now = Monotonic();
    const double held = std::max(0.0, now - unit->started - unit->live);
    const double share = std::clamp(liveShare, 0.0, 0.99);
    const double rest = std::min(held * share / (1.0 - share), longestRest);
    p.restUntil_ = std::min(std::max(p.restUntil_, now) + rest, now + longestRest);
    p.lastTurn_ = held + rest;
    p.lastWasWrite_ = unit->work.write;
}

void Line::dropGone(LinePort& p) {
    // Out of the queue first, gone after: a unit's end may reach back into this line.
    std::vector<std::shared_ptr<ClientUnit>> gone;
    for (auto it = p.waiting_.begin(); it != p.waiting_.end();) {
        if ((*it)->wanted()) {
            ++it;
        } else {
            gone.push_back(std::move(*it));
            it = p.waiting_.erase(it);
        }
    }
}

void Line::refuseWaiting(LinePort& p) {
    const std::deque<std::shared_ptr<ClientUnit>> waiting = std::move(p.waiting_);
    p.waiting_.clear();
    const Answer why = Unavailable(p);
    for (const auto& u : waiting) {
        for (const Waiter& w : u->waiters) {
            w.deliver(why);
        }
    }
}

} // namespace zurid::serve
