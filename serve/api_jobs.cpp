// /api/v1/backups and /api/v1/jobs: backup, verify and restore as jobs, 202 with the job's
// Location, and the jobs' results.
#include "platform/serial/journal_record.h"
#include "serve/api.h"
#include "serve/jobs.h"

#include <QJsonDocument>

namespace zurid::serve {

using http::Request;
using http::Responder;
using http::Response;

Checked<QJsonObject> BodyObject(const Request& request, const QStringList& allowed) {
    if (request.body.trimmed().isEmpty()) {
        return QJsonObject{};
    }
    const QJsonDocument doc = QJsonDocument::fromJson(request.body);
    if (!doc.isObject()) {
        return Checked<QJsonObject>::failure(ErrorKind::Invalid,
                                             QStringLiteral("the body is a JSON object"));
    }
    const QJsonObject o = doc.object();
    for (const QString& key : o.keys()) {
        if (!allowed.contains(key)) {
            return Checked<QJsonObject>::failure(
                ErrorKind::Invalid, QStringLiteral("unknown field '%1' (takes %2)")
                                        .arg(key.left(40), allowed.join(QStringLiteral(", "))));
        }
    }
    return o;
}

namespace {

void Accepted(const Jobs::Started& s, const Responder& reply) {
    if (!s) {
        Send(reply, s.failed());
        return;
    }
    const QString location = QStringLiteral("/api/v1/jobs/%1").arg(*s);
    Response r = Response::json(QJsonObject{{QStringLiteral("id"), *s},
                                            {QStringLiteral("state"), QStringLiteral("running")},
                                            {QStringLiteral("location"), location}},
                                202);
    r.headers.emplaceBack("Location", location.toUtf8());
    reply.send(r);
}

// A job's refusal for a request that does not have what it needs, sent; false when it may go
// ahead.
bool Refused(Api& api, const Request& request, Need need, const Responder& reply) {
    const Access a = Authorize(api, request, need);
    if (a.refusal) {
        Send(reply, *a.refusal);
    }
    return a.refusal.has_value();
}

void StartBackup(Api& api, const Request& request, const Responder& reply) {
    const Access a = Authorize(api, request, Need::Operator);
    if (a.refusal) {
        Send(reply, *a.refusal);
        return;
    }
    const Checked<QJsonObject> body = BodyObject(request, {QStringLiteral("name")});
    if (!body) {
        Send(reply, body.failed());
    } else if (!body->value(QStringLiteral("name")).isString()) {
        reply.error(400, QStringLiteral("send {\"name\": \"line-7\"}"));
    } else {
        std::optional<sensors::WriteOrigin> origin;
        if (!api.journal.isEmpty()) {
            origin = sensors::WriteOrigin{api.journal,
                                          platform::JournalEvent::Backup,
                                          platform::JournalChannel::Api,
                                          a.who ? a.who->name : QString(),
                                          request.peer.toString(),
                                          {},
                                          {},
                                          {}};
        }
        Accepted(api.jobs.backup(body->value(QStringLiteral("name")).toString(), std::move(origin)),
                 reply);
    }
}

void StartRestore(Api& api, const Request& request, const Responder& reply) {
    const Access a = Authorize(api, request, Need::Engineer);
    if (a.refusal) {
        Send(reply, *a.refusal);
        return;
    }
    const QStringList keys{QStringLiteral("ram"), QStringLiteral("dry_run"),
                           QStringLiteral("reason"), QStringLiteral("sensors")};
    const Checked<QJsonObject> body = BodyObject(request, keys);
    if (!body) {
        Send(reply, body.failed());
        return;
    }
    for (const QString& key : {QStringLiteral("ram"), QStringLiteral("dry_run")}) {
        if (body->contains(key) && !body->value(key).isBool()) {
            reply.error(400, QStringLiteral("%1 is true or false").arg(key));
            return;
        }
    }
    const QJsonValue reason = body->value(QStringLiteral("reason"));
    if (const QString why = platform::ReasonRefusal(reason); !why.isEmpty()) {
        reply.error(400, why);
        return;
    }
    // Some of the backup's sensors only ("sensors": ["COM2"]), as `zurid restore NAME PORT`.
    QStringList only;
    const QJsonValue named = body->value(QStringLiteral("sensors"));
    for (const QJsonValue& v : named.toArray()) {
        only << v.toString();
    }
    if (body->contains(QStringLiteral("sensors")) &&
        (!named.isArray() || only.isEmpty() || only.contains(QString()))) {
        reply.error(400, QStringLiteral("sensors is a list of ports, [\"COM2\"]"));
        return;
    }
    std::optional<sensors::WriteOrigin> origin;
    if (!api.journal.isEmpty()) {
        origin = sensors::WriteOrigin{api.journal,
                                      platform::JournalEvent::Restore,
                                      platform::JournalChannel::Api,
                                      a.who ? a.who->name : QString(),
                                      request.peer.toString(),
                                      {},
                                      {},
                                      reason.toString()};
    }
    Accepted(api.jobs.restore(request.param(QStringLiteral("name")),
                              body->value(QStringLiteral("ram")).toBool(false),
                              body->value(QStringLiteral("dry_run")).toBool(false),
                              std::move(origin), only),
             reply);
}

} // namespace

void AddJobRoutes(http::Router& router, Api& api) {
    router.add(
        "GET", QStringLiteral("/api/v1/backups"), [&api](const Request&, const Responder& r) {
            r.send(Response::json(QJsonObject{{QStringLiteral("backups"), api.jobs.backups()}}));
        });
    router.add(
        "POST", QStringLiteral("/api/v1/backups"),
        [&api](const Request& request, const Responder& r) { StartBackup(api, request, r); });
    // A verify writes nothing, yet it holds the one job slot: an operator's, as a backup, so
    // that nobody without a token can keep an operator's backup waiting.
    router.add("POST", QStringLiteral("/api/v1/backups/{name}/verify"),
               [&api](const Request& request, const Responder& r) {
                   if (!Refused(api, request, Need::Operator, r)) {
                       Accepted(api.jobs.verify(request.param(QStringLiteral("name"))), r);
                   }
               });
    router.add(
        "POST", QStringLiteral("/api/v1/backups/{name}/restore"),
        [&api](const Request& request, const Responder& r) { StartRestore(api, request, r); });
    router.add("GET", QStringLiteral("/api/v1/jobs"), [&api](const Request&, const Responder& r) {
        r.send(Response::json(QJsonObject{{QStringLiteral("jobs"), api.jobs.list()}}));
    });
    router.add("GET", QStringLiteral("/api/v1/jobs/{n}"),
               [&api](const Request& request, const Responder& r) {
                   bool number = false;
                   const int n = request.param(QStringLiteral("n")).toInt(&number);
                   const auto job = number ? api.jobs.json(n) : std::nullopt;
                   if (!job) {
                       r.error(404, QStringLiteral("no job %1").arg(request.param("n").left(20)));
                       return;
                   }
                   r.send(Response::json(*job));
               });
}

} // namespace zurid::serve
