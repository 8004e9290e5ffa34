#include "serve/answer.h"

#include <iterator>

namespace zurid::serve {

namespace {

struct KindWords {
    ErrorKind kind;
    int status;
    const char* code;
};

constexpr KindWords kKinds[] = {
    {ErrorKind::None, 200, "ok"},
    {ErrorKind::Timeout, 504, "sensor_timeout"},
    {ErrorKind::WrongReply, 503, "sensor_error"},
    {ErrorKind::Unsteady, 504, "sensor_unsteady"},
    {ErrorKind::NotKept, 503, "not_kept"},
    {ErrorKind::Gone, 503, "sensor_absent"},
    {ErrorKind::Busy, 409, "busy"},
    {ErrorKind::Unavailable, 503, "unavailable"},
    {ErrorKind::NotPermitted, 403, "forbidden"},
    {ErrorKind::NoCredentials, 401, "unauthorized"},
    {ErrorKind::LockedOut, 429, "too_many_requests"},
    {ErrorKind::Invalid, 400, "bad_request"},
    {ErrorKind::Refused, 422, "value_not_allowed"},
    {ErrorKind::NotFound, 404, "not_found"},
    {ErrorKind::Io, 500, "io_error"},
};

const KindWords& Find(ErrorKind kind) {
    for (const KindWords& k : kKinds) {
        if (k.kind == kind) {
            return k;
        }
    }
    return kKinds[std::size(kKinds) - 1];
}

} // namespace

Answer Answer::json(QJsonObject body) {
    Answer a;
    a.body = std::move(body);
    return a;
}

Answer Answer::failure(ErrorKind kind, QString message, QString code, int retryAfter) {
    Answer a;
    a.kind = kind;
    a.message = std::move(message);
    a.code = std::move(code);
    a.retryAfter = retryAfter;
    return a;
}

QString Answer::errorCode() const {
    return code.isEmpty() ? KindCode(kind) : code;
}

QJsonObject Answer::toJson() const {
    if (ok()) {
        return body;
    }
    return QJsonObject{
        {QStringLiteral("error"),
         QJsonObject{{QStringLiteral("code"), errorCode()}, {QStringLiteral("message"), message}}}};
}

int HttpStatus(ErrorKind kind) {
    return Find(kind).status;
}

QString KindCode(ErrorKind kind) {
    return QLatin1String(Find(kind).code);
}

} // namespace zurid::serve
