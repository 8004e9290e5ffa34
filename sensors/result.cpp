#include "sensors/result.h"

namespace zurid::sensors {

const char* ErrorCode(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::None:
        return "ok";
    case ErrorKind::Timeout:
        return "sensor_timeout";
    case ErrorKind::WrongReply:
        return "wrong_reply";
    case ErrorKind::Unsteady:
        return "sensor_unsteady";
    case ErrorKind::NotKept:
        return "not_kept";
    case ErrorKind::Gone:
        return "sensor_absent";
    case ErrorKind::Busy:
        return "busy";
    case ErrorKind::NotPermitted:
        return "not_permitted";
    case ErrorKind::Refused:
        return "refused";
    case ErrorKind::NotFound:
        return "not_found";
    case ErrorKind::Io:
        return "io_error";
    }
    return "error";
}

} // namespace zurid::sensors
