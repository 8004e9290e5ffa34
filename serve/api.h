// The routes of zurid serve: the JSON API under /api/v1, the metrics and the page. Reads are
// open (under --private they need a token of any role); every write (PATCH of parameters, a
// backup, a restore) and a verify, which holds the one job slot, needs a bearer token whose role
// covers it and is refused under --read-only.
#pragma once

#include "core/assign.h"
#include "platform/serial/journal_record.h"
#include "serve/http/router.h"
#include "serve/line.h"
#include "serve/lockout.h"
#include "serve/tokens.h"

#include <QString>

namespace zurid::serve {

class Drift;
class HealthWatch;
class Jobs;
class Stream;
namespace mqtt {
class Bridge;
}

// A wrong token: by which channel (the API or MQTT), from which address (null when the channel
// does not know it), and whether it locked that address out.
struct AuthFailure {
    platform::JournalChannel channel = platform::JournalChannel::Api;
    QHostAddress address;
    bool lockedOut = false;
};

struct Api {
    Line& line;
    Stream& stream;
    Jobs& jobs;
    Keys keys; // the tokens accepted, each with whom it stands for
    bool readOnly = false;
    bool privateReads = false;          // --private: reads need a token too
    std::function<int()> connections;   // open HTTP and WebSocket connections, for the metrics
    const mqtt::Bridge* mqtt = nullptr; // the MQTT bridge when there is one, for the metrics
    Lockout lockout{};                  // addresses that guessed tokens
    std::function<void(const QString&)> note{}; // a line for the log
    // Every wrong token is reported here, once, whatever the channel (a missing one is none).
    std::function<void(const AuthFailure&)> authFailed{};
    QString journal{};             // where every change is recorded; empty: not recorded (tests)
    Drift* drift = nullptr;        // the line's reference, when serve has one
    HealthWatch* health = nullptr; // the counting margins, for their light reference
};

// The handlers' convention: a check returns the value it found or the Answer that refuses
// the request (Checked<T>); the handler sends that answer (Send) and stops.

// An answer as an HTTP response: the kind's status, Retry-After and WWW-Authenticate where
// they belong.
http::Response ToResponse(const Answer& a);
// Sends `a` to the client; a line's Waiter that does the same while the client waits.
void Send(const http::Responder& reply, const Answer& a);
Waiter ForClient(const http::Responder& reply);

// What a request needs: a read, or the role that may do it.
enum class Need { Read, Operator, Engineer };

// Whom a request runs as (the token's identity, when it gave a known one) and, when it may not
// go ahead, the answer that refuses it.
struct Access {
    std::optional<Identity> who;
    std::optional<Answer> refusal;
};

// Whether a request with this token (empty: none) may do what it needs: a write NotPermitted
// under --read-only (whatever the token, and nobody named); NoCredentials without a token when
// one is needed; NotPermitted for a wrong token (reported to authFailed with `channel` and
// `address`) or a role that does not cover the need (the message names the role needed).
Access Authorize(Api& api, const QByteArray& token, Need need, platform::JournalChannel channel,
                 const QHostAddress& address = {});
// The same for an HTTP request's Authorization header, and LockedOut while the request's
// address is locked out for wrong tokens (each wrong one counts).
Access Authorize(Api& api, const http::Request& request, Need need);
// A read (a GET of the API, the stream's handshake, /metrics) under --private, judged as
// above; nothing when it may go ahead: always without --private, and for the page's own files.
std::optional<Answer> ReadRefusal(Api& api, const http::Request& request);

// The body as a JSON object with no keys but `allowed` (an empty body is an empty object), so
// that a misspelt "dry_run" never writes.
Checked<QJsonObject> BodyObject(const http::Request& request, const QStringList& allowed);

// The port of a sensor id; NotFound when there is none.
Checked<LinePort*> FindPort(const Api& api, const QString& id);
// The session of a port that works now; else why not (see Unavailable).
Checked<PortSession*> WorkingSession(const LinePort& port);
// The memory a request names (?memory=ram|eeprom, RAM when none).
Checked<Memory> MemoryOf(const http::Request& request);

// The values of a change, {"THRESHOLD": 80, "HOLD": "50ms"}, as the NAME=VALUE words of
// `zurid set`: Invalid (a name that is no parameter) or Refused (a value no sensor block
// allows).
Checked<std::vector<core::Assignment>> ParseValues(const QJsonObject& values);
// The same from a PATCH body, which must be a JSON object.
// With the reason for the change, {"reason": "TEXT"} beside the parameters, when given.
struct Patch {
    std::vector<core::Assignment> items;
    QString reason;
};
Checked<Patch> ParsePatch(const QByteArray& body);

// A change of parameters on one sensor, whatever it came by (the API's PATCH, an MQTT
// command): by the rules of `zurid set` (two reads agree, only the named bytes change, read
// back), queued as the port's client work. The waiter gets the before/after of each changed
// parameter, or the error; a change nobody waits for any more is dropped unrun.
struct ParameterChange {
    QString id;
    Memory memory = Memory::Ram;
    std::vector<core::Assignment> items;
    // For the journal: who asks (the token's name), how and from where, and why.
    platform::JournalChannel channel = platform::JournalChannel::Api;
    QString who{};
    QString address{};
    QString reason{};
};
void ChangeParameters(Api& api, ParameterChange change, Waiter waiter);

void AddSensorRoutes(http::Router& router, Api& api);
void AddJobRoutes(http::Router& router, Api& api);
void AddSiteRoutes(http::Router& router, Api& api);
void AddJournalRoutes(http::Router& router, Api& api);
// POST /api/v1/sensors/ID/drift/accept (an engineer's): the sensor's blocks, read afresh, become
// its set in the reference backup; journaled.
void AddDriftRoutes(http::Router& router, Api& api);

} // namespace zurid::serve
