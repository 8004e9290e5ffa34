// /api/v1/sensors: the sensors, their parameters (a fresh read, or a change by the rules of
// `zurid set`) and their jump buffer.
#include "serve/api.h"
#include "serve/sensorjson.h"
#include "serve/token.h"

#include "sensors/change.h"
#include "sensors/paramtext.h"

#include <QElapsedTimer>
#include <QJsonArray>

#include <cmath>

namespace zurid::serve {

namespace {
constexpr int kListCacheMs = 100;
// No parameter takes a number beyond this (codes are 0-255, POWER a percentage, HOLD at most
// 1000 ms): a larger one is refused before it is turned into an integer.
constexpr double kLargestValue = 1e6;
} // namespace

using http::Request;
using http::Responder;
using http::Response;

std::optional<Response> WriteRefusal(const Api& api, const QByteArray& authorization) {
    // Before the token is judged: a read-only server tells no one whether theirs is right.
    if (api.readOnly) {
        return Response::error(403, QStringLiteral("this server is read-only"),
                               QStringLiteral("read_only"));
    }
    switch (CheckBearer(authorization, api.token)) {
    case Auth::Missing: {
        Response r = Response::error(
            401, QStringLiteral("a write needs the header Authorization: Bearer TOKEN"));
        r.headers.emplaceBack("WWW-Authenticate", "Bearer");
        return r;
    }
    case Auth::Wrong:
        return Response::error(403, QStringLiteral("wrong token"));
    case Auth::Ok:
        break;
    }
    return std::nullopt;
}

bool MayWrite(Api& api, const Request& request, const Responder& reply) {
    if (const int wait = api.lockout.lockedFor(request.peer)) {
        Response r =
            Response::error(429, QStringLiteral("too many wrong tokens from %1: try again in %2 s")
                                     .arg(request.peer.toString())
                                     .arg(wait));
        r.headers.emplaceBack("Retry-After", QByteArray::number(wait));
        reply.send(r);
        return false;
    }
    const QByteArray authorization = request.header("Authorization");
    if (const std::optional<Response> refusal = WriteRefusal(api, authorization)) {
        // Without --read-only, a 403 is a wrong token.
        if (!api.readOnly && refusal->status == 403 && api.lockout.failed(request.peer) &&
            api.note) {
            api.note(QStringLiteral("%1 gave %2 wrong tokens within %3 s: its writes are refused "
                                    "for %4 s")
                         .arg(request.peer.toString())
                         .arg(api.lockout.limit)
                         .arg(api.lockout.windowS)
                         .arg(api.lockout.lockS));
        }
        reply.send(*refusal);
        return false;
    }
    return true;
}

LinePort* FindPort(const Api& api, const QString& id, const Responder& reply) {
    LinePort* p = api.line.find(id);
    if (p == nullptr) {
        reply.error(404, QStringLiteral("no sensor %1").arg(id));
    }
    return p;
}

PortSession* WorkingSession(const LinePort& p, const Responder& reply) {
    if (PortSession* s = p.session()) {
        return s;
    }
    reply.send(Unavailable(p));
    return nullptr;
}

std::optional<Memory> MemoryOf(const Request& request, const Responder& reply) {
    const QString m = request.query.queryItemValue(QStringLiteral("memory")).toLower();
    if (m.isEmpty() || m == QLatin1String("ram")) {
        return Memory::Ram;
    }
    if (m == QLatin1String("eeprom")) {
        return Memory::Eeprom;
    }
    reply.error(400, QStringLiteral("memory is ram or eeprom, not '%1'").arg(m.left(40)));
    return std::nullopt;
}

Response FailureResponse(const LinePort& p, const sensors::TransactionResult& r) {
    if (p.status == SensorStatus::Absent) {
        return Response::error(503, QStringLiteral("%1 is absent: %2").arg(p.ref.label, r.error),
                               QStringLiteral("sensor_absent"));
    }
    return Response::error(504, QStringLiteral("%1: %2").arg(p.ref.label, r.error),
                           QStringLiteral("sensor_timeout"));
}

ParsedPatch ParsePatch(const QByteArray& body) {
    ParsedPatch out;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (!doc.isObject() || doc.object().isEmpty()) {
        out.status = 400;
        out.message = QStringLiteral("send a JSON object of parameters and values, "
                                     "{\"THRESHOLD\": 80, \"HOLD\": \"50ms\"}");
        return out;
    }
    std::vector<std::string> words;
    const QJsonObject o = doc.object();
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (it.key().contains(QLatin1Char('='))) {
            out.status = 400;
            out.message = QStringLiteral("'%1' is no parameter").arg(it.key().left(40));
            return out;
        }
        QString value;
        const double d = it.value().toDouble();
        if (it.value().isString()) {
            value = it.value().toString();
        } else if (it.value().isDouble() && !(std::abs(d) <= kLargestValue)) { // NaN too
            out.status = 422;
            out.message = QStringLiteral("%1: %2 is out of every parameter's range")
                              .arg(it.key().left(40))
                              .arg(d);
            return out;
        } else if (it.value().isDouble() && d == std::trunc(d)) {
            value = QString::number(static_cast<qint64>(d)); // judged above: it fits
        } else {
            out.status = 422;
            out.message = QStringLiteral("%1: a value is a number or a text as the window "
                                         "shows it")
                              .arg(it.key().left(40));
            return out;
        }
        words.push_back(QStringLiteral("%1=%2").arg(it.key(), value).toStdString());
    }
    core::AssignmentsRead list = core::ParseAssignments(words);
    if (!list.ok) {
        out.status = 400;
        out.message = QString::fromStdString(list.reason);
        return out;
    }
    if (const core::AssignmentsChecked checked = core::CheckAssignments(list.items); !checked.ok) {
        out.status = 422;
        out.message = QString::fromStdString(checked.reason);
        return out;
    }
    out.items = std::move(list.items);
    return out;
}

namespace {

// Each changed parameter: {"name", "key", "before": {...}, "after": {...}}.
QJsonArray Changes(const core::ParamBlock& before, const core::ParamBlock& after) {
    QJsonArray out;
    for (const int pos : core::DifferingPositions(before, after)) {
        const core::ParamInfo& info = core::ParamTable()[static_cast<std::size_t>(pos)];
        out.append(QJsonObject{
            {QStringLiteral("name"), QString::fromLatin1(info.name.data(), info.name.size())},
            {QStringLiteral("key"), QString::fromLatin1(info.key.data(), info.key.size())},
            {QStringLiteral("before"), sensors::ParamJson(info, before)},
            {QStringLiteral("after"), sensors::ParamJson(info, after)}});
    }
    return out;
}

void ReadParameters(Api& api, const Request& request, const Responder& reply) {
    LinePort* p = FindPort(api, request.param(QStringLiteral("id")), reply);
    const auto m = p != nullptr ? MemoryOf(request, reply) : std::nullopt;
    if (!m || WorkingSession(*p, reply) == nullptr) {
        return;
    }
    const Memory memory = *m;
    const auto run = [&api, p, memory](PortSession& s, const ClientTurn& turn) {
        s.readParams(memory, [&api, p, memory, turn](const sensors::TransactionResult& r) {
            const auto block = sensors::ToBlock(r.bytes);
            if (!r.ok || !block) {
                turn.answer(FailureResponse(*p, r));
                return;
            }
            api.line.keepBlock(*p, memory, *block);
            turn.answer(Response::json(ParametersJson(*p, memory, *block)));
        });
    };
    api.line.submit(*p, {QStringLiteral("parameters ") + MemoryKey(memory), false, run}, reply);
}

// The answer to a change as it ended.
Response ChangeResponse(const LinePort& p, Memory memory, const sensors::BlockChange& c) {
    using Outcome = sensors::BlockChange::Outcome;
    switch (c.outcome) {
    case Outcome::Written:
    case Outcome::Unchanged: {
        QJsonObject o = ParametersJson(p, memory, c.after);
        o[QStringLiteral("written")] = c.outcome == Outcome::Written;
        o[QStringLiteral("changed")] = Changes(c.before, c.after);
        return Response::json(o);
    }
    case Outcome::Refused:
        return Response::error(422, c.message);
    case Outcome::Unsteady:
        return Response::error(504, c.message, QStringLiteral("sensor_unsteady"));
    case Outcome::NotKept:
        return Response::error(503, c.message, QStringLiteral("not_kept"));
    case Outcome::Failed:
        break;
    }
    sensors::TransactionResult r;
    r.error = c.message;
    return FailureResponse(p, r);
}

} // namespace

void ChangeParameters(Api& api, const QString& id, Memory memory, const QByteArray& body,
                      const Responder& reply) {
    ParsedPatch patch = ParsePatch(body);
    if (patch.status != 0) {
        reply.error(patch.status, patch.message);
        return;
    }
    LinePort* p = FindPort(api, id, reply);
    if (p == nullptr || WorkingSession(*p, reply) == nullptr) {
        return;
    }
    if (!p->writer.isEmpty()) {
        reply.error(409, QStringLiteral("%1: %2 is under way").arg(p->ref.label, p->writer));
        return;
    }
    // Held from now until the change has ended, however it ends, or until it is dropped unrun.
    const auto hold = HoldWriter(*p, QStringLiteral("a parameter change"));
    const auto run = [&api, p, memory, items = std::move(patch.items),
                      hold](PortSession& s, const ClientTurn& turn) {
        sensors::ChangeBlock(
            s, memory, items, [&api, p, memory, turn, hold](const sensors::BlockChange& c) {
                using Outcome = sensors::BlockChange::Outcome;
                if (c.outcome == Outcome::Written || c.outcome == Outcome::NotKept) {
                    api.line.keepBlock(*p, memory, c.after);
                } else if (c.outcome != Outcome::Failed) {
                    api.line.keepBlock(*p, memory, c.before);
                }
                turn.answer(ChangeResponse(*p, memory, c));
            });
    };
    api.line.submit(*p, {QString(), true, run}, reply);
}

namespace {

void PatchParameters(Api& api, const Request& request, const Responder& reply) {
    if (!MayWrite(api, request, reply)) {
        return;
    }
    if (const auto m = MemoryOf(request, reply)) {
        ChangeParameters(api, request.param(QStringLiteral("id")), *m, request.body, reply);
    }
}

void ReadBuffer(Api& api, const Request& request, const Responder& reply) {
    LinePort* p = FindPort(api, request.param(QStringLiteral("id")), reply);
    if (p == nullptr || WorkingSession(*p, reply) == nullptr) {
        return;
    }
    // The THRESHOLD as the sensor holds it now, then the buffer, as `zurid buffer` does.
    const auto run = [&api, p](PortSession& s, const ClientTurn& turn) {
        s.readParams(Memory::Ram, [&api, p, &s, turn](const sensors::TransactionResult& params) {
            const auto block = sensors::ToBlock(params.bytes);
            if (!params.ok || !block) {
                turn.answer(FailureResponse(*p, params));
                return;
            }
            api.line.keepBlock(*p, Memory::Ram, *block);
            if (!turn.wanted()) {
                turn.answer(Response()); // to no one: the buffer is not read
                return;
            }
            const int threshold =
                (*block)[static_cast<std::size_t>(core::FindParam("THRESHOLD")->pos)];
            s.readJumpBuffer(0, [p, threshold, turn](const sensors::TransactionResult& r) {
                if (!r.ok) {
                    turn.answer(FailureResponse(*p, r));
                    return;
                }
                QJsonArray values;
                for (const char b : r.bytes) {
                    values.append(static_cast<unsigned char>(b));
                }
                turn.answer(Response::json(QJsonObject{{QStringLiteral("sensor"), p->ref.label},
                                                       {QStringLiteral("values"), values},
                                                       {QStringLiteral("THRESHOLD"), threshold}}));
            });
        });
    };
    api.line.submit(*p, {QStringLiteral("buffer"), false, run}, reply);
}

} // namespace

void AddSensorRoutes(http::Router& router, Api& api) {
    // The list is asked for often (dashboards poll it) and changes with every reading: it is
    // built at most every kListCacheMs, and at once after a status change.
    struct Cache {
        Response response;
        QElapsedTimer age;
        quint64 changes = 0;
    };
    auto cache = std::make_shared<Cache>();
    router.add(
        "GET", QStringLiteral("/api/v1/sensors"),
        [&api, cache](const Request&, const Responder& r) {
            if (!cache->age.isValid() || cache->age.elapsed() >= kListCacheMs ||
                cache->changes != api.line.statusChanges()) {
                QJsonArray list;
                for (const auto& p : api.line.ports()) {
                    list.append(SensorJson(*p, false));
                }
                cache->response = Response::json(QJsonObject{{QStringLiteral("sensors"), list}});
                cache->age.start();
                cache->changes = api.line.statusChanges();
            }
            r.send(cache->response);
        });
    router.add("GET", QStringLiteral("/api/v1/sensors/{id}"),
               [&api](const Request& request, const Responder& r) {
                   if (LinePort* p = FindPort(api, request.param(QStringLiteral("id")), r)) {
                       r.send(Response::json(SensorJson(*p, true)));
                   }
               });
    router.add(
        "GET", QStringLiteral("/api/v1/sensors/{id}/parameters"),
        [&api](const Request& request, const Responder& r) { ReadParameters(api, request, r); });
    router.add(
        "PATCH", QStringLiteral("/api/v1/sensors/{id}/parameters"),
        [&api](const Request& request, const Responder& r) { PatchParameters(api, request, r); });
    router.add("GET", QStringLiteral("/api/v1/sensors/{id}/buffer"),
               [&api](const Request& request, const Responder& r) { ReadBuffer(api, request, r); });
}

} // namespace zurid::serve
