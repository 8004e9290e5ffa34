// The routes of zurid serve: the JSON API under /api/v1, the metrics and the page. Reads are
// open; every write (PATCH of parameters, a backup, a restore) and a verify, which holds the one
// job slot, needs the bearer token and is refused under --read-only.
#pragma once

#include "core/assign.h"
#include "serve/http/router.h"
#include "serve/line.h"
#include "serve/lockout.h"

#include <QString>

namespace zurid::serve {

class Jobs;
class Stream;
namespace mqtt {
class Bridge;
}

struct Api {
    Line& line;
    Stream& stream;
    Jobs& jobs;
    QString token;
    bool readOnly = false;
    std::function<int()> connections;   // open HTTP and WebSocket connections, for the metrics
    const mqtt::Bridge* mqtt = nullptr; // the MQTT bridge when there is one, for the metrics
    Lockout lockout{};                  // addresses that guessed tokens
    std::function<void(const QString&)> note{}; // a line for the log
};

// Why a write with this Authorization header may not go ahead: 403 under --read-only (whatever
// the token), else 401 no token, 403 a wrong one; nothing when it may.
std::optional<http::Response> WriteRefusal(const Api& api, const QByteArray& authorization);

// True when the request may write; otherwise it has been answered (401 no token, 403 a wrong
// one or --read-only, 429 while its address is locked out for wrong tokens).
bool MayWrite(Api& api, const http::Request& request, const http::Responder& reply);
// The port of a sensor id; nullptr after a 404.
LinePort* FindPort(const Api& api, const QString& id, const http::Responder& reply);
// The session of a port that works now; nullptr after 503 (absent, starting, a line error),
// 504 (the sensor does not answer) or 409 (another program holds the port).
PortSession* WorkingSession(const LinePort& port, const http::Responder& reply);
// The memory a request names (?memory=ram|eeprom, RAM when none); nullopt after a 400.
std::optional<Memory> MemoryOf(const http::Request& request, const http::Responder& reply);
// The answer to a failed transaction: 503 when the port is gone, 504 otherwise.
http::Response FailureResponse(const LinePort& port, const sensors::TransactionResult& r);

// The body of a PATCH of parameters, {"THRESHOLD": 80, "HOLD": "50ms"}, as the NAME=VALUE
// words of `zurid set`. `status` 400 (not an object, a name that is no parameter) or 422 (a
// value no sensor block allows) with the message; 0 when fine.
struct ParsedPatch {
    std::vector<core::Assignment> items;
    int status = 0;
    QString message;
};
ParsedPatch ParsePatch(const QByteArray& body);
// The change of a PATCH of parameters once the write is allowed, by the rules of `zurid set`
// (two reads agree, only the named bytes change, read back); answers the before/after of each
// changed parameter or the error. The API's PATCH and the MQTT commands both come here.
void ChangeParameters(Api& api, const QString& id, Memory memory, const QByteArray& body,
                      const http::Responder& reply);

void AddSensorRoutes(http::Router& router, Api& api);
void AddJobRoutes(http::Router& router, Api& api);
void AddSiteRoutes(http::Router& router, Api& api);

} // namespace zurid::serve
