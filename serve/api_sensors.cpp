// /api/v1/sensors: the sensors, their parameters (a fresh read, or a change by the rules of
// `zurid set`) and their jump buffer.
#include "serve/api.h"
#include "serve/health.h"
#include "serve/sensorjson.h"

#include "sensors/paramtext.h"

#include <QElapsedTimer>
#include <QJsonArray>

namespace zurid::serve {

namespace {

constexpr int kListCacheMs = 100;

using http::Request;
using http::Responder;
using http::Response;

void ReadParameters(Api& api, const Request& request, const Responder& reply) {
    const Checked<LinePort*> found = FindPort(api, request.param(QStringLiteral("id")));
    const Checked<Memory> m = found ? MemoryOf(request) : Checked<Memory>(found.failed());
    const Checked<PortSession*> working =
        m ? WorkingSession(**found) : Checked<PortSession*>(m.failed());
    if (!working) {
        Send(reply, working.failed());
        return;
    }
    LinePort* p = *found;
    const Memory memory = *m;
    const auto run = [&api, p, memory](PortSession& s, const ClientTurn& turn) {
        s.readParams(memory, [&api, p, memory, turn](const sensors::TransactionResult& r) {
            const auto block = sensors::ToBlock(r.bytes);
            if (!r.ok() || !block) {
                turn.answer(Failure(*p, r.kind, r.error));
                return;
            }
            api.line.keepBlock(*p, memory, *block);
            turn.answer(Answer::json(ParametersJson(*p, memory, *block)));
        });
    };
    api.line.submit(*p, {QStringLiteral("parameters ") + MemoryKey(memory), false, run},
                    ForClient(reply));
}

void PatchParameters(Api& api, const Request& request, const Responder& reply) {
    // RAM is an operator's, EEPROM an engineer's; a memory that is none is judged as RAM and
    // refused after.
    const Checked<Memory> m = MemoryOf(request);
    const bool eeprom = m && *m == Memory::Eeprom;
    const Access a = Authorize(api, request, eeprom ? Need::Engineer : Need::Operator);
    if (a.refusal) {
        Send(reply, *a.refusal);
        return;
    }
    Checked<Patch> patch = m ? ParsePatch(request.body) : Checked<Patch>(m.failed());
    if (!patch) {
        Send(reply, patch.failed());
        return;
    }
    ChangeParameters(api,
                     {request.param(QStringLiteral("id")), *m, std::move(patch->items),
                      platform::JournalChannel::Api, a.who ? a.who->name : QString(),
                      request.peer.toString(), patch->reason},
                     ForClient(reply));
}

void ReadBuffer(Api& api, const Request& request, const Responder& reply) {
    const Checked<LinePort*> found = FindPort(api, request.param(QStringLiteral("id")));
    const Checked<PortSession*> working =
        found ? WorkingSession(**found) : Checked<PortSession*>(found.failed());
    if (!working) {
        Send(reply, working.failed());
        return;
    }
    LinePort* p = *found;
    // The THRESHOLD as the sensor holds it now, then the buffer, as `zurid buffer` does.
    const auto run = [&api, p](PortSession& s, const ClientTurn& turn) {
        s.readParams(Memory::Ram, [&api, p, &s, turn](const sensors::TransactionResult& params) {
            const auto block = sensors::ToBlock(params.bytes);
            if (!params.ok() || !block) {
                turn.answer(Failure(*p, params.kind, params.error));
                return;
            }
            api.line.keepBlock(*p, Memory::Ram, *block);
            if (!turn.wanted()) {
                turn.answer({}); // to no one: the buffer is not read
                return;
            }
            const int threshold =
                (*block)[static_cast<std::size_t>(core::FindParam("THRESHOLD")->pos)];
            s.readJumpBuffer(0, [p, threshold, turn](const sensors::TransactionResult& r) {
                if (!r.ok()) {
                    turn.answer(Failure(*p, r.kind, r.error));
                    return;
                }
                QJsonArray values;
                for (const char b : r.bytes) {
                    values.append(static_cast<unsigned char>(b));
                }
                turn.answer(Answer::json(QJsonObject{{QStringLiteral("sensor"), p->ref.label},
                                                     {QStringLiteral("values"), values},
                                                     {QStringLiteral("THRESHOLD"), threshold}}));
            });
        });
    };
    api.line.submit(*p, {QStringLiteral("buffer"), false, run}, ForClient(reply));
}

// The light level now becomes the sensor's light reference (an operator's, as a RAM change).
void TakeReference(Api& api, const Request& request, const Responder& reply) {
    const Access a = Authorize(api, request, Need::Operator);
    if (a.refusal) {
        Send(reply, *a.refusal);
        return;
    }
    const Checked<QJsonObject> body = BodyObject(request, {});
    const Checked<LinePort*> found = body ? FindPort(api, request.param(QStringLiteral("id")))
                                          : Checked<LinePort*>(body.failed());
    if (!found) {
        Send(reply, found.failed());
        return;
    }
    LinePort* p = *found;
    if (!api.health || !api.health->takeReference(*p)) {
        Send(reply, Answer::failure(ErrorKind::Unavailable,
                                    QStringLiteral("%1 has no light level yet: it is read between "
                                                   "the marks while the sensor works")
                                        .arg(p->ref.label)));
        return;
    }
    Send(reply, Answer::json(HealthJson(*p)));
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
                   const Checked<LinePort*> p = FindPort(api, request.param(QStringLiteral("id")));
                   Send(r, p ? Answer::json(SensorJson(**p, true)) : p.failed());
               });
    router.add(
        "GET", QStringLiteral("/api/v1/sensors/{id}/parameters"),
        [&api](const Request& request, const Responder& r) { ReadParameters(api, request, r); });
    router.add(
        "PATCH", QStringLiteral("/api/v1/sensors/{id}/parameters"),
        [&api](const Request& request, const Responder& r) { PatchParameters(api, request, r); });
    router.add("GET", QStringLiteral("/api/v1/sensors/{id}/buffer"),
               [&api](const Request& request, const Responder& r) { ReadBuffer(api, request, r); });
    router.add(
        "POST", QStringLiteral("/api/v1/sensors/{id}/health/reference"),
        [&api](const Request& request, const Responder& r) { TakeReference(api, request, r); });
}

} // namespace zurid::serve
