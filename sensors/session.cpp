#include "sensors/session.h"

#include "core/exchange.h"
#include "platform/serial/portopen.h"
#include "platform/serial/wake.h"

#include <QMetaObject>

#include <algorithm>
#include <cmath>
#include <utility>

namespace zurid::sensors {

namespace {

constexpr int kReplyLimitMs = static_cast<int>(core::kReplyLimitSeconds * 1000);

// A timer for a wait in seconds: whole milliseconds, never less than the wait.
int TimerMs(double seconds) {
    return std::max(1, static_cast<int>(std::ceil(seconds * 1000.0)));
}

int WireMs(int bytes) {
    return static_cast<int>(std::ceil(bytes * core::kByteSeconds * 1000.0));
}

TransactionResult Failed(ErrorKind kind, QString why, QByteArray bytes = {}) {
    TransactionResult r;
    r.kind = kind;
    r.error = std::move(why);
    r.bytes = std::move(bytes);
    return r;
}

} // namespace

const char* MemoryName(Memory m) {
    return m == Memory::Ram ? "RAM" : "EEPROM";
}

int PortSession::SettleMs(Memory m) {
    const double s = core::PlanExchange(core::ReadOrder(m == Memory::Ram), {}).settleSeconds;
    return static_cast<int>(std::lround(s * 1000.0));
}

PortSession::PortSession(QString device, QObject* parent)
    : QObject(parent), device_(std::move(device)) {
    clock_.start();
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &PortSession::onTimer);
    connect(&port_, &QSerialPort::readyRead, this, &PortSession::onReadyRead);
    connect(&port_, &QSerialPort::bytesWritten, this, &PortSession::onBytesWritten);
    connect(&port_, &QSerialPort::errorOccurred, this, &PortSession::onError);
}

PortSession::~PortSession() {
    port_.disconnect(this);
    close();
}

Status PortSession::open() {
    const platform::PortOpenResult opened = platform::OpenSerialDevice(
        port_, lock_, device_.toStdString(), platform::LineSettings{.baudRate = core::kBaudRate});
    if (!opened.ok()) {
        ErrorKind kind = ErrorKind::Io;
        switch (opened.failure) {
        case platform::PortOpenFailure::NoSuchDevice:
        case platform::PortOpenFailure::PathDenied:
            kind = ErrorKind::NotFound;
            break;
        case platform::PortOpenFailure::Locked:
        case platform::PortOpenFailure::Busy:
            kind = ErrorKind::Busy;
            break;
        case platform::PortOpenFailure::NotPermitted:
            kind = ErrorKind::NotPermitted;
            break;
        case platform::PortOpenFailure::None:
        case platform::PortOpenFailure::CannotOpen:
        case platform::PortOpenFailure::CannotSet:
            break;
        }
        return Status::failure(kind, QString::fromStdString(opened.message));
    }
    failure_.clear();
    wakeBytes_ = 1; // as Qt's settings left the device
    return {};
}

void PortSession::close() {
    if (port_.isOpen()) {
        port_.close();
    }
    lock_.release();
}

bool PortSession::isOpen() const {
    return port_.isOpen();
}

bool PortSession::idle() const {
    return step_ == Step::Idle && queue_.empty();
}

void PortSession::lineCheck(Done done) {
    enqueue({core::Order::LineCheck, 0, false, {}, std::move(done)});
}

void PortSession::readParams(Memory m, Done done) {
    enqueue({core::ReadOrder(m == Memory::Ram), SettleMs(m), false, {}, std::move(done)});
}

void PortSession::readParamsTwice(Memory m, Done done) {
    readParams(m, [this, m, done = std::move(done)](const TransactionResult& first) {
        if (!first.ok()) {
            done(first);
            return;
        }
        readParams(m, [m, first, done](const TransactionResult& second) {
            if (!second.ok() || second.bytes == first.bytes) {
                done(second);
                return;
            }
            TransactionResult r = second;
            r.kind = ErrorKind::Unsteady;
            r.error = QStringLiteral("two reads of the %1 block differ; nothing written")
                          .arg(QLatin1String(MemoryName(m)));
            done(r);
        });
    });
}

void PortSession::writeParams(Memory m, const core::ParamBlock& block, Done done) {
    enqueue({core::WriteOrder(m == Memory::Ram), 0, true, block, std::move(done)});
}

void PortSession::readData(int settleMs, Done done) {
    enqueue({core::Order::Data, settleMs, false, {}, std::move(done)});
}

void PortSession::readJumpBuffer(int settleMs, Done done) {
    enqueue({core::Order::JumpBuf, settleMs, false, {}, std::move(done)});
}

void PortSession::enqueue(Transaction t) {
    queue_.push_back(std::move(t));
    if (step_ == Step::Idle) {
        startNext();
    }
}

void PortSession::cancel() {
    ++generation_;
    queue_.clear();
    timer_.stop();
    current_ = {};
    step_ = Step::Idle;
}

void PortSession::startNext() {
    while (step_ == Step::Idle && !queue_.empty()) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        if (!failure_.isEmpty() || !port_.isOpen()) {
            step_ = Step::Waiting; // so that finish() has something to end
            finish(Failed(ErrorKind::Gone,
                          failure_.isEmpty() ? QStringLiteral("port is not open") : failure_));
            continue;
        }
        if (current_.settleMs > 0) {
            step_ = Step::Settling;
            timer_.start(current_.settleMs);
        } else {
            sendRequest();
        }
    }
}

void PortSession::sendRequest() {
    plan_ = core::PlanExchange(current_.order, current_.ownBlock ? current_.block : block_);
    if (plan_.flushFirst) {
        // Whatever is queued either way belongs to an earlier exchange.
        port_.clear(QSerialPort::AllDirections);
        port_.readAll();
    }
    reply_.clear();
    written_ = 0;
    ++exchanges_;
    if (plan_.expected > 0) {
        wakeOn(plan_.expected); // one wake-up for the whole reply, not one per byte
    }
    sentNs_ = clockNs();
    lastByteNs_ = sentNs_;
    // The state first: the port may report the bytes written from inside write() or flush().
    step_ = plan_.expected > 0 ? Step::Waiting : Step::Writing;
    timer_.start(step_ == Step::Waiting ? TimerMs(plan_.limitSeconds) : kReplyLimitMs);
    const auto* frame = reinterpret_cast<const char*>(plan_.request.data());
    const auto size = static_cast<qint64>(plan_.request.size());
    // Straight to the driver: Qt's port would keep it until a turn of the loop says the device
    // is writable. What the driver does not take now, or an error, goes Qt's way, which reports
    // it as it reports every port error.
    const qint64 now =
        std::max(0L, platform::WriteNow(static_cast<int>(port_.handle()), frame, size));
    if (now < size) {
        const qint64 n = port_.write(frame + now, size - now);
        if (n != size - now) {
            finish(Failed(
                ErrorKind::Io,
                QStringLiteral("the port did not take the request: %1").arg(port_.errorString())));
            return;
        }
        port_.flush(); // out now, not at the next turn of the event loop
    }
    onBytesWritten(now);
}

void PortSession::onReadyRead() {
    const QByteArray data = port_.readAll();
    if (step_ != Step::Waiting || data.isEmpty()) {
        return; // stray bytes: a late reply, or noise between exchanges
    }
    reply_ += data;
    lastByteNs_ = clockNs();
    if (reply_.size() >= plan_.expected && plan_.quietSeconds > 0) {
        wakeOn(1); // a byte too many, in the quiet time, shows at once
    }
    promptNow_ = prompt_ && !fetching_;
    judge();
    promptNow_ = false;
}

void PortSession::wakeOn(int bytes) {
    if (bytes != wakeBytes_ && platform::WakeOnBytes(static_cast<int>(port_.handle()), bytes)) {
        wakeBytes_ = bytes;
    }
}

// Before a time-out is judged: what arrived but stayed below the wake-up count is fetched.
void PortSession::fetchBelowWakeCount() {
    if (wakeBytes_ > 1) {
        wakeOn(1);
        fetching_ = true;
        if (!port_.waitForReadyRead(0)) { // reads it, and onReadyRead() takes it
            port_.clearError();           // "timed out" only says nothing was there
        }
        fetching_ = false;
    }
}

// Asks the judge about the reply so far: ends the transaction, or sets the timer for the next
// look (the rest of the limit, or the quiet time, which each new byte starts again).
void PortSession::judge() {
    const qint64 now = clockNs();
    const core::Judgement j = core::JudgeReply(
        plan_,
        std::span(reinterpret_cast<const core::Byte*>(reply_.constData()),
                  static_cast<std::size_t>(reply_.size())),
        static_cast<double>(now - sentNs_) * 1e-9, static_cast<double>(now - lastByteNs_) * 1e-9);
    if (j.verdict == core::Verdict::Wait) {
        timer_.start(TimerMs(j.waitSeconds));
        return;
    }
    // Nothing at all within the limit is a silent sensor; anything else is a wrong reply.
    const ErrorKind kind = j.verdict == core::Verdict::Accept ? ErrorKind::None
                           : reply_.isEmpty()                 ? ErrorKind::Timeout
                                                              : ErrorKind::WrongReply;
    TransactionResult r = Failed(kind, QString::fromStdString(j.message), reply_);
    if (j.verdict == core::Verdict::Accept) {
        if (current_.order == core::Order::ReadRam || current_.order == core::Order::ReadEeprom) {
            std::copy(reply_.begin(), reply_.end(), block_.begin());
        }
    }
    finish(std::move(r));
}

void PortSession::onBytesWritten(qint64 n) {
    if (step_ != Step::Writing) {
        return;
    }
    written_ += n;
    if (written_ >= core::kRequestLen) {
        // Handed to the driver; give the bytes their time on the wire before calling it done,
        // so that a close right after cannot cut them off.
        step_ = Step::Draining;
        timer_.start(WireMs(core::kRequestLen));
    }
}

void PortSession::onTimer() {
    switch (step_) {
    case Step::Settling:
        sendRequest();
        break;
    case Step::Draining:
        block_ = current_.block;
        finish(TransactionResult{});
        break;
    case Step::Writing:
        finish(Failed(ErrorKind::Timeout, QStringLiteral("the request was not sent within %1 s")
                                              .arg(core::kReplyLimitSeconds, 0, 'f', 1)));
        break;
    case Step::Waiting: {
        const quint64 exchange = exchanges_;
        fetchBelowWakeCount();
        if (step_ == Step::Waiting && exchange == exchanges_) { // not ended by what came
            judge();
        }
        break;
    }
    case Step::Idle:
        break;
    }
}

void PortSession::onError(QSerialPort::SerialPortError e) {
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || !port_.isOpen()) {
        return;
    }
    // After a good open, any port error means the device is gone or unusable: a pulled USB
    // adapter, a hung-up terminal. Qt names it after the call that noticed it first.
    const QString reason =
        QStringLiteral("the port went away (unplugged or hung up: %1)").arg(port_.errorString());
    // Left open, a failed port's notifier would keep firing.
    port_.close();
    failure_ = reason;
    failAll(reason);
    emit portFailed(reason);
}

void PortSession::failAll(const QString& reason) {
    timer_.stop();
    if (step_ != Step::Idle) {
        finish(Failed(ErrorKind::Gone, reason));
    }
    startNext(); // every queued one ends with the failure
}

void PortSession::finish(TransactionResult r) {
    timer_.stop();
    r.sentNs = sentNs_;
    r.doneNs = clockNs();
    Done done = std::move(current_.done);
    current_ = {};
    step_ = Step::Idle;
    if (std::exchange(promptNow_, false) && done) {
        startNext();
        done(r);
        return;
    }
    post(std::move(done), std::move(r));
    startNext();
}

void PortSession::post(Done done, TransactionResult r) {
    if (!done) {
        return;
    }
    const quint64 generation = generation_;
    QMetaObject::invokeMethod(
        this,
        [this, generation, done = std::move(done), r = std::move(r)] {
            if (generation == generation_) {
                done(r);
            }
        },
        Qt::QueuedConnection);
}

} // namespace zurid::sensors
