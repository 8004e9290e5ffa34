#include "serve/line.h"

#include "sensors/paramtext.h"

#include <QDateTime>
#include <QFileInfo>

#include <chrono>

namespace zurid::serve {

namespace {

constexpr double kRateWindowSeconds = 5.0;

double Monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A reply that never came is a time-out; one that came wrong is an error of the line.
SensorStatus FailureKind(const sensors::Reply& r) {
    return r.bytes.isEmpty() ? SensorStatus::Timeout : SensorStatus::Error;
}

} // namespace

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
            return sensors::Status::failure(found.error());
        }
        refs.append(*found);
    }
    if (const QString twice = sensors::SamePortTwice(refs); !twice.isEmpty()) {
        return sensors::Status::failure(QStringLiteral("serve: %1").arg(twice));
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

void Line::open(LinePort& p) {
    if (stopped_) {
        return;
    }
    ++p.gen_;
    const QString error = p.session_->open();
    if (!error.isEmpty()) {
        const bool present = QFileInfo::exists(p.ref.device);
        p.busy = present && error.contains(QLatin1String("in use"));
        fail(p, present ? SensorStatus::Error : SensorStatus::Absent,
             present ? error : QStringLiteral("no such device: unplugged?"));
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
    const auto failed = [this, &p, gen](const sensors::Reply& r, const QString& step) {
        if (gen != p.gen_) {
            return true;
        }
        if (r.ok) {
            return false;
        }
        fail(p, FailureKind(r), QStringLiteral("%1: %2").arg(step, r.error));
        retry(p, LinePort::Next::Begin);
        return true;
    };
    s.lineCheck([this, &p, &s, failed](const sensors::Reply& r) {
        if (failed(r, QStringLiteral("line check"))) {
            return;
        }
        p.version = QStringLiteral("%1.%2")
                        .arg(static_cast<quint8>(r.bytes.at(1)))
                        .arg(static_cast<quint8>(r.bytes.at(2)));
        s.readParams(Memory::Ram, [this, &p, &s, failed](const sensors::Reply& ram) {
            if (failed(ram, QStringLiteral("RAM read"))) {
                return;
            }
            keepBlock(p, Memory::Ram, *sensors::ToBlock(ram.bytes));
            s.readParams(Memory::Eeprom, [this, &p, failed](const sensors::Reply& ee) {
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
    p.session_->readData(settleMs, [this, &p, gen](const sensors::Reply& r) {
        if (gen == p.gen_) {
            onData(p, r);
        }
    });
}

void Line::onData(LinePort& p, const sensors::Reply& r) {
    if (!r.ok) {
        fail(p, FailureKind(r), QStringLiteral("live data: %1").arg(r.error));
        retry(p, LinePort::Next::Begin);
        return;
    }
    Reading reading;
    reading.t = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    const auto* data = reinterpret_cast<const core::Byte*>(r.bytes.constData());
    reading.values = core::DecodeLiveData(std::span<const core::Byte, core::kDataLen>(
        data, static_cast<std::size_t>(core::kDataLen)));
    ++p.readings;
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
}

void Line::fail(LinePort& p, SensorStatus s, const QString& message) {
    if (s == SensorStatus::Timeout) {
        ++p.timeouts;
    } else if (s == SensorStatus::Error) {
        ++p.failures;
    }
    p.recent_.clear();
    setStatus(p, s, message);
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

} // namespace zurid::serve
