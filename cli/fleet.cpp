#include "cli/fleet.h"

#include "platform/serial/interrupt.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <algorithm>

namespace zurid::cli {

QString StableLocation(const QString& device, const QString& root) {
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty()) {
        return device;
    }
    for (const char* kind : {"by-path", "by-id"}) {
        const QDir dir(root + QLatin1Char('/') + QLatin1String(kind));
        const QFileInfoList links =
            dir.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QFileInfo& link : links) {
            if (link.isSymLink() && link.canonicalFilePath() == target) {
                return link.absoluteFilePath();
            }
        }
    }
    return device;
}

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

std::optional<int> ParseFleetCommand(QCommandLineParser& parser, const QStringList& args,
                                     const char* details) {
    parser.addPositionalArgument(QStringLiteral("DIR"), QStringLiteral("Folder of the backup."));
    parser.addPositionalArgument(QStringLiteral("PORT"), QStringLiteral("COMn, n or a device."),
                                 QStringLiteral("[PORT...]"));
    return ParseCommand(parser, args, QLatin1String(details), 1, -1);
}

Fleet::Fleet(QString verb, QObject* parent) : QObject(parent), verb_(std::move(verb)) {}

Fleet::~Fleet() = default;

bool Fleet::addPorts(const QStringList& names) {
    for (const QString& name : names) {
        const PortLookup found = LookupPort(name);
        if (!found.error.isEmpty()) {
            Message(found.error);
            return false;
        }
        const QString canonical = QFileInfo(found.port.device).canonicalFilePath();
        for (const auto& p : ports_) {
            if (p->ref.device == found.port.device ||
                (!canonical.isEmpty() &&
                 QFileInfo(p->ref.device).canonicalFilePath() == canonical)) {
                Message(QStringLiteral("%1 and %2 are the same port").arg(p->ref.label, name));
                return false;
            }
        }
        auto p = std::make_unique<FleetPort>();
        p->ref = found.port;
        p->location = StableLocation(found.port.device);
        ports_.push_back(std::move(p));
    }
    return true;
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

void Fleet::run(const std::function<std::vector<FleetStep>(FleetPort&)>& plan,
                const std::function<void(FleetPort&)>& finished) {
    OnInterrupt([this] { interrupt(); });
    plan_ = plan;
    finished_ = finished;
    const bool any = std::any_of(ports_.begin(), ports_.end(), [](const auto& p) {
        return p->state == FleetPort::State::Running;
    });
    if (any) {
        running_ = true;
        // Each port starts as soon as it is open: its line check is on the wire while the next
        // ports are being opened.
        QTimer::singleShot(0, this, [this] { startFrom(0); });
        RunLoop();
        running_ = false;
    }
    OnInterrupt({});
    plan_ = nullptr;
    finished_ = nullptr;
}

void Fleet::startFrom(std::size_t index) {
    for (; index < ports_.size() && !interrupted_; ++index) {
        FleetPort& p = *ports_[index];
        if (p.state != FleetPort::State::Running) {
            continue;
        }
        p.session = std::make_unique<PortSession>(p.ref.device);
        const QString error = p.session->open();
        if (!error.isEmpty()) {
            end(p, all_ ? FleetPort::State::Skipped : FleetPort::State::Failed,
                QStringLiteral("open: %1").arg(error));
            continue;
        }
        p.steps = plan_(p);
        p.next = 0;
        advance(p);
        QTimer::singleShot(0, this, [this, index] { startFrom(index + 1); });
        return;
    }
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
    p.steps[p.next].start(*p.session, [this, port](const Reply& r) { onReply(*port, r); });
}

void Fleet::onReply(FleetPort& p, const Reply& r) {
    if (p.state != FleetPort::State::Running) {
        return;
    }
    const FleetStep& step = p.steps[p.next];
    QString why = r.ok ? QString() : r.error;
    if (r.ok && step.accept) {
        why = step.accept(p, r);
    }
    if (!why.isEmpty()) {
        // With --all, a port that does not answer the line check has no sensor.
        const bool noSensor = all_ && p.next == 0;
        end(p, noSensor ? FleetPort::State::Skipped : FleetPort::State::Failed,
            QStringLiteral("%1: %2").arg(noSensor ? QStringLiteral("no sensor") : step.name, why));
        return;
    }
    ++p.next;
    advance(p);
}

void Fleet::end(FleetPort& p, FleetPort::State s, const QString& note) {
    p.state = s;
    p.note = note;
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
    Message(QStringLiteral("%1: interrupted; stopping every port").arg(verb_));
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
    Finish(0);
}

void Fleet::printSummary() const {
    int labelWidth = 4, locationWidth = 8;
    int ok = 0, counted = 0;
    for (const auto& p : ports_) {
        labelWidth = std::max(labelWidth, static_cast<int>(p->ref.label.size()));
        locationWidth = std::max(locationWidth, static_cast<int>(p->location.size()));
        ok += p->state == FleetPort::State::Ok ? 1 : 0;
        counted += p->state == FleetPort::State::Skipped ? 0 : 1;
    }
    QString text = QStringLiteral("%1: %2 of %3 ports ok%4\n")
                       .arg(verb_)
                       .arg(ok)
                       .arg(counted)
                       .arg(interrupted_ ? QStringLiteral(" (interrupted)") : QString());
    text += QStringLiteral("%1  %2  RESULT\n")
                .arg(QStringLiteral("PORT"), -labelWidth)
                .arg(QStringLiteral("LOCATION"), -locationWidth);
    for (const auto& p : ports_) {
        QString result = StateName(p->state);
        if (!p->note.isEmpty()) {
            result += QStringLiteral("  ") + p->note;
        }
        text += QStringLiteral("%1  %2  %3\n")
                    .arg(p->ref.label, -labelWidth)
                    .arg(p->location, -locationWidth)
                    .arg(result);
    }
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stderr);
    std::fflush(stderr);
}

int Fleet::exitStatus() const {
    bool any = false;
    for (const auto& p : ports_) {
        if (p->state == FleetPort::State::Skipped) {
            continue;
        }
        any = true;
        if (p->state != FleetPort::State::Ok) {
            return kExitFailed;
        }
    }
    return any ? kExitOk : kExitFailed;
}

} // namespace zurid::cli
