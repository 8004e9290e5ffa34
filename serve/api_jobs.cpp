// /api/v1/backups and /api/v1/jobs: backup, verify and restore as jobs, 202 with the job's
// Location, and the jobs' results.
#include "serve/api.h"
#include "serve/jobs.h"

#include <QJsonDocument>

namespace zurid::serve {

using http::Request;
using http::Responder;
using http::Response;

namespace {

// The body as a JSON object; an empty body is an empty object. nullopt after a 400.
std::optional<QJsonObject> BodyObject(const Request& request, const Responder& reply) {
    if (request.body.trimmed().isEmpty()) {
        return QJsonObject{};
    }
    const QJsonDocument doc = QJsonDocument::fromJson(request.body);
    if (!doc.isObject()) {
        reply.error(400, QStringLiteral("the body is a JSON object"));
        return std::nullopt;
    }
    return doc.object();
}

// Keys other than `allowed` are refused, so that a misspelt "dry_run" never writes.
bool OnlyKeys(const QJsonObject& o, const QStringList& allowed, const Responder& reply) {
    for (const QString& key : o.keys()) {
        if (!allowed.contains(key)) {
            reply.error(400, QStringLiteral("unknown field '%1' (takes %2)")
                                 .arg(key.left(40), allowed.join(QStringLiteral(", "))));
            return false;
        }
    }
    return true;
}

void Accepted(const Jobs::Started& s, const Responder& reply) {
    if (s.id == 0) {
        reply.error(s.status, s.message);
        return;
    }
    const QString location = QStringLiteral("/api/v1/jobs/%1").arg(s.id);
    Response r = Response::json(QJsonObject{{QStringLiteral("id"), s.id},
                                            {QStringLiteral("state"), QStringLiteral("running")},
                                            {QStringLiteral("location"), location}},
                                202);
    r.headers.emplaceBack("Location", location.toUtf8());
    reply.send(r);
}

void StartBackup(Api& api, const Request& request, const Responder& reply) {
    if (!MayWrite(api, request, reply)) {
        return;
    }
    const auto body = BodyObject(request, reply);
    if (!body || !OnlyKeys(*body, {QStringLiteral("name")}, reply)) {
        return;
    }
    if (!body->value(QStringLiteral("name")).isString()) {
        reply.error(400, QStringLiteral("send {\"name\": \"line-7\"}"));
        return;
    }
    Accepted(api.jobs.backup(body->value(QStringLiteral("name")).toString()), reply);
}

void StartRestore(Api& api, const Request& request, const Responder& reply) {
    if (!MayWrite(api, request, reply)) {
        return;
    }
    const auto body = BodyObject(request, reply);
    const QStringList keys{QStringLiteral("ram"), QStringLiteral("dry_run")};
    if (!body || !OnlyKeys(*body, keys, reply)) {
        return;
    }
    for (const QString& key : keys) {
        if (body->contains(key) && !body->value(key).isBool()) {
            reply.error(400, QStringLiteral("%1 is true or false").arg(key));
            return;
        }
    }
    Accepted(api.jobs.restore(request.param(QStringLiteral("name")),
                              body->value(QStringLiteral("ram")).toBool(false),
                              body->value(QStringLiteral("dry_run")).toBool(false)),
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
    // A verify writes nothing, yet it holds the one job slot: a write as far as who may start
    // it goes, so that nobody without the token can keep an operator's backup waiting.
    router.add("POST", QStringLiteral("/api/v1/backups/{name}/verify"),
               [&api](const Request& request, const Responder& r) {
                   if (MayWrite(api, request, r)) {
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
