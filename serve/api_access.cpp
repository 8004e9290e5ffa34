// What every route shares: answers as HTTP responses, who may write, and finding the sensor,
// its working session and the memory a request names.
#include "serve/api.h"
#include "serve/token.h"

namespace zurid::serve {

using http::Request;
using http::Responder;
using http::Response;

http::Response ToResponse(const Answer& a) {
    Response r = Response::json(a.toJson(), HttpStatus(a.kind));
    if (a.retryAfter > 0) {
        r.headers.emplaceBack("Retry-After", QByteArray::number(a.retryAfter));
    }
    if (a.kind == ErrorKind::NoCredentials) {
        r.headers.emplaceBack("WWW-Authenticate", "Bearer");
    }
    return r;
}

void Send(const Responder& reply, const Answer& a) {
    reply.send(ToResponse(a));
}

Waiter ForClient(const Responder& reply) {
    return {[reply] { return !reply.answered() && !reply.gone(); },
            [reply](const Answer& a) { Send(reply, a); }};
}

namespace {

// Under --read-only every write is refused before the token is judged: a read-only server
// tells no one whether theirs is right.
template <class Judge> std::optional<Answer> Refusal(const Api& api, Judge judge) {
    if (api.readOnly) {
        return Answer::failure(ErrorKind::NotPermitted, QStringLiteral("this server is read-only"),
                               QStringLiteral("read_only"));
    }
    switch (judge()) {
    case Auth::Missing:
        return Answer::failure(
            ErrorKind::NoCredentials,
            QStringLiteral("a write needs the header Authorization: Bearer TOKEN"));
    case Auth::Wrong:
        return Answer::failure(ErrorKind::NotPermitted, QStringLiteral("wrong token"));
    case Auth::Ok:
        break;
    }
    return std::nullopt;
}

} // namespace

std::optional<Answer> TokenRefusal(const Api& api, const QByteArray& token) {
    return Refusal(api, [&] { return CheckToken(token, api.token); });
}

std::optional<Answer> WriteRefusal(Api& api, const Request& request) {
    if (const int wait = api.lockout.lockedFor(request.peer)) {
        return Answer::failure(ErrorKind::LockedOut,
                               QStringLiteral("too many wrong tokens from %1: try again in %2 s")
                                   .arg(request.peer.toString())
                                   .arg(wait),
                               {}, wait);
    }
    std::optional<Answer> refusal =
        Refusal(api, [&] { return CheckBearer(request.header("Authorization"), api.token); });
    // Without --read-only, NotPermitted is a wrong token.
    if (refusal && refusal->kind == ErrorKind::NotPermitted && !api.readOnly &&
        api.lockout.failed(request.peer) && api.note) {
        api.note(QStringLiteral("%1 gave %2 wrong tokens within %3 s: its writes are refused "
                                "for %4 s")
                     .arg(request.peer.toString())
                     .arg(api.lockout.limit)
                     .arg(api.lockout.windowS)
                     .arg(api.lockout.lockS));
    }
    return refusal;
}

Checked<LinePort*> FindPort(const Api& api, const QString& id) {
    if (LinePort* p = api.line.find(id)) {
        return p;
    }
    return Checked<LinePort*>::failure(ErrorKind::NotFound, QStringLiteral("no sensor %1").arg(id));
}

Checked<PortSession*> WorkingSession(const LinePort& p) {
    if (PortSession* s = p.session()) {
        return s;
    }
    return Unavailable(p);
}

Checked<Memory> MemoryOf(const Request& request) {
    const QString m = request.query.queryItemValue(QStringLiteral("memory")).toLower();
    if (m.isEmpty() || m == QLatin1String("ram")) {
        return Memory::Ram;
    }
    if (m == QLatin1String("eeprom")) {
        return Memory::Eeprom;
    }
    return Checked<Memory>::failure(
        ErrorKind::Invalid, QStringLiteral("memory is ram or eeprom, not '%1'").arg(m.left(40)));
}

} // namespace zurid::serve
