#include "serve/http/router.h"

namespace zurid::serve::http {

struct Responder::State {
    std::function<void(const Response&)> sink;
    std::function<bool()> alive;
    bool sent = false;

    ~State() {
        if (!sent && sink && (!alive || alive())) {
            sink(Response::error(500, QStringLiteral("the request was not answered")));
        }
    }
};

Responder::Responder(std::function<void(const Response&)> sink, std::function<bool()> alive)
    : d_(std::make_shared<State>()) {
    d_->sink = std::move(sink);
    d_->alive = std::move(alive);
}

void Responder::send(const Response& response) const {
    if (!d_ || d_->sent) {
        return;
    }
    d_->sent = true;
    if (d_->sink) {
        d_->sink(response);
    }
}

bool Responder::answered() const {
    return d_ && d_->sent;
}

bool Responder::gone() const {
    return d_ && !d_->sent && d_->alive && !d_->alive();
}

namespace {

QString Decoded(const QString& segment) {
    return QString::fromUtf8(QByteArray::fromPercentEncoding(segment.toUtf8()));
}

} // namespace

void Router::add(const QByteArray& method, const QString& pattern, Handler handler) {
    routes_.push_back({method, pattern.mid(1).split(QLatin1Char('/')), std::move(handler)});
}

bool Router::Matches(const Route& route, const QStringList& path, QHash<QString, QString>* params) {
    params->clear();
    const qsizetype n = route.segments.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QString& want = route.segments[i];
        if (want.startsWith(QLatin1String("{*")) && i == n - 1) {
            if (path.size() < n) {
                return false;
            }
            QStringList rest;
            for (qsizetype k = i; k < path.size(); ++k) {
                rest << Decoded(path[k]);
            }
            params->insert(want.mid(2, want.size() - 3), rest.join(QLatin1Char('/')));
            return true;
        }
        if (i >= path.size()) {
            return false;
        }
        if (want.startsWith(QLatin1Char('{'))) {
            if (path[i].isEmpty()) {
                return false;
            }
            params->insert(want.mid(1, want.size() - 2), Decoded(path[i]));
        } else if (want != path[i]) {
            return false;
        }
    }
    return path.size() == n;
}

void Router::dispatch(Request request, const Responder& reply) const {
    if (!request.path.startsWith(QLatin1Char('/'))) {
        reply.error(400, QStringLiteral("the request target must be a path"));
        return;
    }
    const QStringList path = request.path.mid(1).split(QLatin1Char('/'));
    QByteArrayList allowed;
    QHash<QString, QString> params;
    for (const Route& route : routes_) {
        if (!Matches(route, path, &params)) {
            continue;
        }
        if (route.method != request.method) {
            if (!allowed.contains(route.method)) {
                allowed << route.method;
            }
            continue;
        }
        request.params = std::move(params);
        route.handler(request, reply);
        return;
    }
    if (allowed.isEmpty()) {
        reply.error(404, QStringLiteral("nothing at %1").arg(request.path));
        return;
    }
    Response r =
        Response::error(405, QStringLiteral("%1 takes %2, not %3")
                                 .arg(request.path, QString::fromLatin1(allowed.join(", ")),
                                      QString::fromLatin1(request.method)));
    r.headers.emplaceBack("Allow", allowed.join(", "));
    reply.send(r);
}

} // namespace zurid::serve::http
