#include "serve/answer.h"

namespace zurid::serve {

namespace {

// The HTTP status of each kind; the codes are the kinds' own (sensors::KindCode).
int StatusOf(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::None:
        return 200;
    case ErrorKind::Timeout:
    case ErrorKind::Unsteady:
        return 504;
    case ErrorKind::WrongReply:
    case ErrorKind::NotKept:
    case ErrorKind::Gone:
    case ErrorKind::Unavailable:
    case ErrorKind::Unrecorded:
        return 503;
    case ErrorKind::Busy:
        return 409;
    case ErrorKind::NotPermitted:
        return 403;
    case ErrorKind::NoCredentials:
        return 401;
    case ErrorKind::LockedOut:
        return 429;
    case ErrorKind::Invalid:
        return 400;
    case ErrorKind::Refused:
        return 422;
    case ErrorKind::NotFound:
        return 404;
    case ErrorKind::Io:
        break;
    }
    return 500;
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
    return StatusOf(kind);
}

} // namespace zurid::serve
