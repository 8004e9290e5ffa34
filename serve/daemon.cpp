#include "serve/daemon.h"

#include "serve/api.h"
#include "serve/http/server.h"
#include "serve/jobs.h"
#include "serve/line.h"
#include "serve/sensorjson.h"

#include <QTimer>
#include <QWebSocket>

namespace zurid::serve {

namespace {

constexpr int kGoodbyeMs = 300; // for the stream's close frames
}

struct Daemon::Parts {
    explicit Parts(ServeOptions o)
        : options(std::move(o)), stream(options.stream),
          jobs(line, options.backups), api{line, stream, jobs, options.token, options.readOnly, {}},
          server(router, options.limits) {}

    ServeOptions options;
    Line line;
    Stream stream;
    Jobs jobs;
    Api api;
    http::Router router;
    http::Server server;
};

Daemon::Daemon(ServeOptions options, QObject* parent)
    : QObject(parent), d_(std::make_unique<Parts>(std::move(options))) {
    Parts& d = *d_;
    d.api.connections = [&d] { return d.server.connections(); };
    AddSensorRoutes(d.router, d.api);
    AddJobRoutes(d.router, d.api);
    AddSiteRoutes(d.router, d.api);

    d.line.statusChanged = [&d](LinePort& p) { d.stream.publish(p.ref.label, StatusMessage(p)); };
    d.line.readingArrived = [&d](LinePort& p, const Reading& r) {
        d.stream.publish(p.ref.label, ReadingMessage(p, r));
    };
    d.line.blockChanged = [&d](LinePort& p, Memory m) {
        d.stream.publish(p.ref.label, BlockMessage(p, m));
    };
    d.stream.known = [&d](const QString& id) { return d.line.find(id) != nullptr; };
    d.stream.greeting = [&d](const QSet<QString>& wanted) {
        QStringList out;
        for (const auto& p : d.line.ports()) {
            if (wanted.isEmpty() || wanted.contains(p->ref.label)) {
                out << StatusMessage(*p);
            }
        }
        return out;
    };
    d.server.acceptWebSockets(QLatin1String(kStreamPath),
                              [&d](QWebSocket* socket) { d.stream.add(socket); });
}

Daemon::~Daemon() = default;

sensors::Status Daemon::prepare() {
    Parts& d = *d_;
    if (d.options.all) {
        d.line.addAll();
        return {};
    }
    return d.line.addPorts(d.options.ports);
}

sensors::Status Daemon::start() {
    Parts& d = *d_;
    if (const QString why = d.server.listen(d.options.address, d.options.port); !why.isEmpty()) {
        return sensors::Status::failure(QStringLiteral("cannot listen on %1 port %2: %3")
                                            .arg(d.options.address.toString())
                                            .arg(d.options.port)
                                            .arg(why));
    }
    d.line.start();
    return {};
}

void Daemon::stop(std::function<void()> stopped) {
    Parts& d = *d_;
    d.server.close();
    d.jobs.interrupt();
    d.line.stop();
    d.stream.closeAll();
    QTimer::singleShot(kGoodbyeMs, this, std::move(stopped));
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
