#include "sensors/fleet.h"
#include "sensors/paramtext.h"

#include <QDateTime>
#include <QEventLoop>
#include <QTimer>

namespace zurid::sensors {

QString StateName(FleetPort::State s) {
    switch (s) {
    case FleetPort::State::Running:
        return QStringLiteral("running");
    case FleetPort::State::Ok:
        return QStringLiteral("ok");
    case FleetPort::State::Differs:
        return QStringLiteral("DIFFERS");
    case FleetPort::State::Failed:
        return QStringLiteral("FAILED");
    case FleetPort::State::Interrupted:
        return QStringLiteral("INTERRUPTED");
    case FleetPort::State::Skipped:
        break;
    }
    return QStringLiteral("skipped");
}

FleetStep TransactionStep(QString name, std::function<void(PortSession&, Done)> start,
                          std::function<Status(FleetPort&, const TransactionResult&)> accept) {
    return {std::move(name), [start = std::move(start), accept = std::move(accept)](
                                 FleetPort& p, PortSession& s, StepDone done) {
                start(s, [&p, accept, done = std::move(done)](const TransactionResult& r) {
                    if (!r.ok()) {
                        done(Error{r.kind, r.error});
                    } else {
                        done(accept ? accept(p, r) : Status());
                    }
                });
            }};
}

FleetStep LineCheckStep() {
    return TransactionStep(QStringLiteral("line check"),
                           [](PortSession& s, Done d) { s.lineCheck(std::move(d)); });
}

FleetStep ReadStep(Memory m) {
    return TransactionStep(
        QStringLiteral("%1 read").arg(QLatin1String(MemoryName(m))),
        [m](PortSession& s, Done d) { s.readParams(m, std::move(d)); },
        [m](FleetPort& p, const TransactionResult& r) {
            (m == Memory::Ram ? p.ram : p.eeprom) = ToBlock(r.bytes);
            return Status();
        });
}

Fleet::Fleet(QObject* parent) : QObject(parent) {}

Fleet::~Fleet() = default;

Status Fleet::addPorts(const QStringList& names) {
    for (const QString& name : names) {
        if (const Result<FleetPort*> added = addPort(name); !added) {
            return added.failed();
        }
    }
    return {};
}

Status Fleet::addPorts(const QList<PortRef>& refs) {
    for (const PortRef& ref : refs) {
        if (const Result<FleetPort*> added = addPort(ref); !added) {
            return added.failed();
        }
    }
    return {};
}

Result<FleetPort*> Fleet::addPort(const QString& name, const QString& location) {
    const Result<PortRef> found = LookupPort(name);
    if (!found) {
        return found.failed();
    }
    return addPort(*found, location);
}

Result<FleetPort*> Fleet::addPort(const PortRef& ref, const QString& location) {
    QList<PortRef> all;
    for (const auto& p : ports_) {
        all.append(p->ref);
    }
    all.append(ref);
    if (const QString twice = SamePortTwice(all); !twice.isEmpty()) {
        return Result<FleetPort*>::failure(ErrorKind::Invalid, twice);
    }
    auto p = std::make_unique<FleetPort>();
    p->ref = ref;
    p->location = location.isEmpty() ? StableLocation(ref.device) : location;
    ports_.push_back(std::move(p));
    return ports_.back().get();
}

void Fleet::addAbsent(const PortRef& ref, const QString& location, const Error& why) {
    auto p = std::make_unique<FleetPort>();
    p->ref = ref;
    p->location = location;
    p->state = FleetPort::State::Failed;
    p->note = why.message;
    p->kind = why.kind;
    p->time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    ports_.push_back(std::move(p));
}

void Fleet::addAll() {
    all_ = true;
    for (const PortRef& ref : PortTable()) {
        auto p = std::make_unique<FleetPort>();
        p->ref = ref;
        p->location = StableLocation(ref.device);
        ports_.push_back(std::move(p));
    }
}

void Fleet::start(Plan plan, Finished finished) {
    plan_ = std::move(plan);
    finished_ = std::move(finished);
    running_ = true;
    // Each port starts as soon as it is open: its line check is on the wire while the next
    // ports are being opened.
    QTimer::singleShot(0, this, [this] {
        startFrom(0);
        checkDone();
    });
}

void Fleet::run(Plan plan, Finished finished) {
    QEventLoop loop;
    connect(this, &Fleet::done, &loop, &QEventLoop::quit);
    start(std::move(plan), std::move(finished));
    if (running_) {
        loop.exec();
    }
}

void Fleet::startFrom(std::size_t index) {
    for (; index < ports_.size() && !interrupted_; ++index) {
        FleetPort& p = *ports_[index];
        if (p.state != FleetPort::State::Running) {
            continue;
        }
        const Status opened = p.lent != nullptr ? Status() : openSession(p);
        if (!opened) {
            end(p, all_ ? FleetPort::State::Skipped : FleetPort::State::Failed,
                QStringLiteral("open: %1").arg(opened.error()), opened.kind());
            continue;
        }
        p.steps = plan_(p);
        p.next = 0;
        advance(p);
        QTimer::singleShot(0, this, [this, index] { startFrom(index + 1); });
        return;
    }
}

Status Fleet::openSession(FleetPort& p) {
    p.session = std::make_unique<PortSession>(p.ref.device);
    return p.session->open();
}

void Fleet::advance(FleetPort& p) {
    if (p.next == p.steps.size()) {
        if (finished_) {
            finished_(p);
        }
        end(p, p.state == FleetPort::State::Running ? FleetPort::State::Ok : p.state, p.note);
        return;
    }
    FleetPort* port = &p;
    PortSession& session = p.lent != nullptr ? *p.lent : *p.session;
    p.steps[p.next].run(p, session, [this, port](const Status& s) { onStep(*port, s); });
}

void Fleet::onStep(FleetPort& p, const Status& s) {
    if (p.state != FleetPort::State::Running) {
        return;
    }
    if (!s) {
        // With --all, a port that does not answer the line check has no sensor.
        const bool noSensor = all_ && p.next == 0;
        const QString& name = noSensor ? QStringLiteral("no sensor") : p.steps[p.next].name;
        end(p, noSensor ? FleetPort::State::Skipped : FleetPort::State::Failed,
            name.isEmpty() ? s.error() : QStringLiteral("%1: %2").arg(name, s.error()), s.kind());
        return;
    }
    ++p.next;
    advance(p);
}

void Fleet::end(FleetPort& p, FleetPort::State s, const QString& note, ErrorKind kind) {
    p.state = s;
    p.note = note;
    p.kind = kind;
    p.time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    if (p.session) {
        p.session->cancel();
        p.session->close();
    }
    checkDone();
}

void Fleet::interrupt() {
    if (interrupted_) {
        return;
    }
    interrupted_ = true;
    for (auto& p : ports_) {
        if (p->state == FleetPort::State::Running) {
            p->state = FleetPort::State::Interrupted;
            p->note = QStringLiteral("stopped before its end");
            p->time = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
            if (p->session) {
                p->session->cancel();
                p->session->close();
            }
        }
    }
    checkDone();
}

void Fleet::checkDone() {
    if (!running_) {
        return;
    }
    for (const auto& p : ports_) {
        if (p->state == FleetPort::State::Running) {
            return;
        }
    }
    running_ = false;
    plan_ = nullptr;
    finished_ = nullptr;
    emit done();
}

bool Fleet::allOk() const {
    bool any = false;
    for (const auto& p : ports_) {
        if (p->state == FleetPort::State::Skipped) {
            continue;
        }
        any = true;
        if (p->state != FleetPort::State::Ok) {
            return false;
        }
    }
    return any;
}

} // namespace zurid::sensors
