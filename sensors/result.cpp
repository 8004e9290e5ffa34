#include "sensors/result.h"

namespace zurid::sensors {

QString KindCode(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::None:
        return QStringLiteral("ok");
    case ErrorKind::Timeout:
        return QStringLiteral("sensor_timeout");
    case ErrorKind::WrongReply:
        return QStringLiteral("sensor_error");
    case ErrorKind::Unsteady:
        return QStringLiteral("sensor_unsteady");
    case ErrorKind::NotKept:
        return QStringLiteral("not_kept");
    case ErrorKind::Gone:
        return QStringLiteral("sensor_absent");
    case ErrorKind::Busy:
        return QStringLiteral("busy");
    case ErrorKind::Unavailable:
        return QStringLiteral("unavailable");
    case ErrorKind::NotPermitted:
        return QStringLiteral("forbidden");
    case ErrorKind::NoCredentials:
        return QStringLiteral("unauthorized");
    case ErrorKind::LockedOut:
        return QStringLiteral("too_many_requests");
    case ErrorKind::Invalid:
        return QStringLiteral("bad_request");
    case ErrorKind::Refused:
        return QStringLiteral("value_not_allowed");
    case ErrorKind::NotFound:
        return QStringLiteral("not_found");
    case ErrorKind::Io:
        return QStringLiteral("io_error");
    case ErrorKind::Unrecorded:
        return QStringLiteral("journal_unavailable");
    }
    return QStringLiteral("error");
}

} // namespace zurid::sensors
