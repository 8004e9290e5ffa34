#include "serve/daemon.h"

#include "platform/serial/journal.h"
#include "platform/serial/journal_record.h"
#include "platform/serial/utility.h"
#include "serve/api.h"
#include "serve/drift.h"
#include "serve/http/server.h"
#include "serve/jobs.h"
#include "serve/line.h"
#include "serve/mqttline.h"
#include "serve/sensorjson.h"

#include <QTimer>
#include <QWebSocket>

namespace zurid::serve {

namespace {

constexpr int kGoodbyeMs = 300; // for the stream's close frames
constexpr int kTrimMs = 30'000; // how often free heap pages go back to the system

// The server's own events in the journal (its start and stop, wrong tokens): empty when
// recorded, else why not, naming the journal.
QString Record(const QString& journal, platform::JournalEntry entry) {
    if (journal.isEmpty()) {
        return {};
    }
    return platform::AppendJournal(journal, entry.members()).error;
}

platform::JournalEntry ServerEvent(platform::JournalEvent event) {
    return platform::JournalEntry(event, platform::JournalChannel::Api, platform::UnixUser());
}

} // namespace

struct Daemon::Parts {
    explicit Parts(ServeOptions o)
        : options(std::move(o)), stream(options.stream), jobs(line, options.backups),
          health(line, options.health), api{line,
                                            stream,
                                            jobs,
                                            options.keys,
                                            options.readOnly,
                                            options.privateReads,
                                            {},
                                            nullptr,
                                            {},
                                            {},
                                            {},
                                            {},
                                            nullptr,
                                            &health},
          server(router, options.limits), commands(api), drift(line) {}

    ServeOptions options;
    Line line;
    Stream stream;
    Jobs jobs;
    HealthWatch health;
    Api api;
    http::Router router;
    http::Server server;
    MqttLine commands;
    Drift drift;
    std::unique_ptr<mqtt::Bridge> bridge;
    QTimer trim;
};

Daemon::Daemon(ServeOptions options, QObject* parent)
    : QObject(parent), d_(std::make_unique<Parts>(std::move(options))) {
    Parts& d = *d_;
    d.api.connections = [&d] { return d.server.connections(); };
    d.api.journal = d.options.journal;
    d.api.note = [this](const QString& text) {
        if (note) {
            note(text);
        }
    };
    d.api.authFailed = [this, &d](const AuthFailure& failure) {
        platform::JournalEntry e(failure.lockedOut ? platform::JournalEvent::LockedOut
                                                   : platform::JournalEvent::AuthFailed,
                                 failure.channel, QString());
        if (!failure.address.isNull()) {
            e.address(failure.address.toString());
        }
        if (const QString why = Record(d.api.journal, e); !why.isEmpty() && note) {
            note(QStringLiteral("a wrong token is not in the journal: %1").arg(why));
        }
        if (authFailed) {
            authFailed(failure);
        }
    };
    d.server.admit([&d](const http::Request& request) -> std::optional<http::Response> {
        if (const std::optional<Answer> refusal = ReadRefusal(d.api, request)) {
            return ToResponse(*refusal);
        }
        return std::nullopt;
    });
    if (d.options.tls) {
        d.server.useTls(*d.options.tls);
    }
    d.server.allowHosts(d.options.hosts);
    AddSensorRoutes(d.router, d.api);
    AddJobRoutes(d.router, d.api);
    AddSiteRoutes(d.router, d.api);
    AddJournalRoutes(d.router, d.api);
    AddDriftRoutes(d.router, d.api);

    d.line.statusChanged = [&d](LinePort& p) {
        d.stream.publish(p.ref.label, StatusMessage(p));
        d.health.statusChanged(p);
        if (d.bridge) {
            d.bridge->sensorChanged(p.ref.label, SensorJson(p, false));
        }
    };
    d.line.readingArrived = [&d](LinePort& p, const Reading& r) {
        d.health.reading(p, r);
        const QString message = ReadingMessage(p, r);
        d.stream.publish(p.ref.label, message);
        if (d.bridge) {
            d.bridge->reading(p.ref.label, message.toUtf8());
        }
    };
    d.line.blockChanged = [&d](LinePort& p, Memory m) {
        d.health.blockChanged(p, m);
        d.stream.publish(p.ref.label, BlockMessage(p, m));
        const auto& block = m == Memory::Ram ? p.ram : p.eeprom;
        if (d.bridge && block) {
            d.bridge->parametersChanged(p.ref.label, m, ParametersJson(p, m, *block));
        }
        d.drift.check(p);
    };
    d.line.blockWritten = [&d](LinePort& p, Memory m, const std::optional<core::ParamBlock>& before,
                               const core::ParamBlock& after) {
        d.drift.wrote(p, m, before, after);
    };
    d.drift.changed = [&d](LinePort& p) {
        d.stream.publish(p.ref.label, DriftMessage(p));
        if (d.bridge) {
            d.bridge->driftChanged(p.ref.label, p.drift);
        }
    };
    d.drift.found = [this, &d](LinePort& p, Memory m, const core::ParamBlock& reference,
                               const core::ParamBlock& sensor) {
        platform::JournalEntry e = ServerEvent(platform::JournalEvent::Drift);
        e.sensor(p.ref.label, p.location)
            .memory(m == Memory::Ram ? platform::JournalMemory::Ram
                                     : platform::JournalMemory::Eeprom)
            .bytes(reference, sensor)
            .reason(QStringLiteral("found, not made here"));
        if (const QString why = Record(d.api.journal, e); !why.isEmpty() && note) {
            note(QStringLiteral("%1: drift found is not in the journal: %2").arg(p.ref.label, why));
        }
    };
    d.health.computed = [&d](LinePort& p, bool report) {
        if (report) {
            d.stream.publish(p.ref.label, HealthMessage(p));
        }
        if (d.bridge) {
            d.bridge->healthChanged(p.ref.label, HealthJson(p));
        }
    };
    d.stream.known = [&d](const QString& id) { return d.line.find(id) != nullptr; };
    d.stream.greeting = [&d](const QSet<QString>& wanted) {
        QStringList out;
        for (const auto& p : d.line.ports()) {
            if (wanted.isEmpty() || wanted.contains(p->ref.label)) {
                out << StatusMessage(*p) << HealthMessage(*p);
                if (!p->drift.isEmpty()) {
                    out << DriftMessage(*p);
                }
            }
        }
        return out;
    };
    d.server.acceptWebSockets(QLatin1String(kStreamPath),
                              [&d](QWebSocket* socket) { d.stream.add(socket); });
    // What a storm of clients made the heap grow to goes back once they are gone.
    QObject::connect(&d.trim, &QTimer::timeout, [] { platform::ReleaseFreeMemory(); });
    d.trim.start(kTrimMs);
}

Daemon::~Daemon() = default;

sensors::Status Daemon::prepare() {
    Parts& d = *d_;
    if (!d.options.reference.isEmpty()) {
        if (sensors::Status loaded = d.drift.load(d.options.backups, d.options.reference);
            !loaded) {
            return loaded;
        }
        d.api.drift = &d.drift;
    }
    if (d.options.all) {
        d.line.addAll();
        return {};
    }
    return d.line.addPorts(d.options.ports);
}

sensors::Status Daemon::start() {
    Parts& d = *d_;
    if (const sensors::Status listening = d.server.listen(d.options.address, d.options.port);
        !listening) {
        return sensors::Status::failure(listening.kind(),
                                        QStringLiteral("cannot listen on %1 port %2: %3")
                                            .arg(d.options.address.toString())
                                            .arg(d.options.port)
                                            .arg(listening.error()));
    }
    // No start without a journal that takes records: every change would be refused.
    if (const QString why = Record(d.api.journal, ServerEvent(platform::JournalEvent::Start));
        !why.isEmpty()) {
        d.server.close();
        return sensors::Status::failure(ErrorKind::Unrecorded, why);
    }
    d.line.start();
    d.drift.start(d.options.verifyEveryMs);
    d.health.start();
    if (d.options.mqtt) {
        mqtt::BridgeOptions bridge = *d.options.mqtt;
        bridge.journal = d.api.journal; // its records and head published too
        d.bridge = std::make_unique<mqtt::Bridge>(std::move(bridge), &d.commands);
        d.api.mqtt = d.bridge.get();
        QObject::connect(d.bridge.get(), &mqtt::Bridge::note, this, [this](const QString& text) {
            if (note) {
                note(text);
            }
        });
        // Every sensor's status from the start, "starting" until its line check is done.
        for (const auto& p : d.line.ports()) {
            d.bridge->sensorChanged(p->ref.label, SensorJson(*p, false));
            if (!p->drift.isEmpty()) {
                d.bridge->driftChanged(p->ref.label, p->drift);
            }
        }
        if (sensors::Status started = d.bridge->start(); !started) {
            return started;
        }
    }
    return {};
}

void Daemon::stop(std::function<void()> stopped) {
    Parts& d = *d_;
    if (const QString why = Record(d.api.journal, ServerEvent(platform::JournalEvent::Stop));
        !why.isEmpty() && note) {
        note(why);
    }
    d.server.close();
    d.jobs.interrupt();
    d.drift.stop();
    d.health.stop();
    d.line.stop();
    d.stream.closeAll();
    // Done once the goodbye time is over and the bridge has said "offline" (or given up).
    auto waiting = std::make_shared<int>(d.bridge ? 2 : 1);
    auto one = [waiting, stopped = std::move(stopped)] {
        if (--*waiting == 0) {
            stopped();
        }
    };
    if (d.bridge) {
        QObject::connect(d.bridge.get(), &mqtt::Bridge::stopped, this, one);
        d.bridge->stop();
    }
    QTimer::singleShot(kGoodbyeMs, this, one);
}

QHostAddress Daemon::address() const {
    return d_->server.address();
}

quint16 Daemon::port() const {
    return d_->server.port();
}

const Line& Daemon::line() const {
    return d_->line;
}

} // namespace zurid::serve
