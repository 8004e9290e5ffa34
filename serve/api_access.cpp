// What every route shares: answers as HTTP responses, who may do what, and finding the sensor,
// its working session and the memory a request names.
#include "serve/api.h"

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

// A token the role does not cover: the role needed, and whose token it is.
Answer WrongRole(const Identity& who, Role needed) {
    return Answer::failure(ErrorKind::NotPermitted,
                           QStringLiteral("this needs the %1 role; %2 has the %3 role")
                               .arg(RoleName(needed), who.name, RoleName(who.role)));
}

} // namespace

// Under --read-only every write is refused before the token is judged: a read-only server
// tells no one whether theirs is right.
Access Authorize(Api& api, const QByteArray& token, Need need, platform::JournalChannel channel,
                 const QHostAddress& address) {
    if (need != Need::Read && api.readOnly) {
        return {std::nullopt,
                Answer::failure(ErrorKind::NotPermitted, QStringLiteral("this server is read-only"),
                                QStringLiteral("read_only"))};
    }
    if (need == Need::Read && !api.privateReads) {
        return {};
    }
    if (token.isEmpty()) {
        return {std::nullopt,
                Answer::failure(ErrorKind::NoCredentials,
                                need == Need::Read
                                    ? QStringLiteral("this server is private: every request "
                                                     "needs the header Authorization: Bearer TOKEN")
                                    : QStringLiteral("a write needs the header Authorization: "
                                                     "Bearer TOKEN"))};
    }
    std::optional<Identity> who = api.keys.match(token);
    if (!who) {
        const bool locked = !address.isNull() && api.lockout.failed(address);
        if (locked && api.note) {
            api.note(QStringLiteral("%1 gave %2 wrong tokens within %3 s: its writes are refused "
                                    "for %4 s")
                         .arg(address.toString())
                         .arg(api.lockout.limit)
                         .arg(api.lockout.windowS)
                         .arg(api.lockout.lockS));
        }
        if (api.authFailed) {
            api.authFailed({channel, address, locked});
        }
        return {std::nullopt,
                Answer::failure(ErrorKind::NotPermitted, QStringLiteral("wrong token"))};
    }
    const Role needed = need == Need::Engineer ? Role::Engineer : Role::Operator;
    if (need != Need::Read && !Covers(who->role, needed)) {
        return {who, WrongRole(*who, needed)};
    }
    return {std::move(who), std::nullopt};
}

Access Authorize(Api& api, const Request& request, Need need) {
    if (need == Need::Read && !api.privateReads) {
        return {};
    }
    if (const int wait = api.lockout.lockedFor(request.peer)) {
        return {std::nullopt,
                Answer::failure(ErrorKind::LockedOut,
                                QStringLiteral("too many wrong tokens from %1: try again in %2 s")
                                    .arg(request.peer.toString())
                                    .arg(wait),
                                {}, wait)};
    }
    // "Bearer TOKEN"; a header of another scheme is a wrong token as it stands.
    QByteArray token = request.header("Authorization").trimmed();
    if (token.size() >= 7 && token.left(7).toLower() == "bearer ") {
        token = token.mid(7).trimmed();
    }
    return Authorize(api, token, need, platform::JournalChannel::Api, request.peer);
}

std::optional<Answer> ReadRefusal(Api& api, const Request& request) {
    if (!api.privateReads || request.method != "GET" || request.path == QLatin1String("/") ||
        request.path.startsWith(QLatin1String("/static/"))) {
        return std::nullopt;
    }
    return Authorize(api, request, Need::Read).refusal;
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
