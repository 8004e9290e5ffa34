// What a client's request to the line comes to, before a transport renders it: a JSON body, or
// an error with its kind. The API sends it as an HTTP response (the kind's status, the error
// object as the body), the MQTT bridge as a command's answer (the same object); one table here
// gives each kind its HTTP status and error code.
#pragma once

#include "sensors/result.h"

#include <QJsonObject>
#include <QString>

namespace zurid::serve {

using sensors::ErrorKind;

struct Answer : sensors::Error {
    QString code;       // a code of its own instead of the kind's ("starting", "read_only")
    int retryAfter = 0; // seconds after which a refusal may pass (Retry-After), 0 for none
    QJsonObject body;   // when ok

    static Answer json(QJsonObject body);
    static Answer failure(ErrorKind kind, QString message, QString code = {}, int retryAfter = 0);
    // {"error": {"code", "message"}}, or the body when ok.
    QJsonObject toJson() const;
    QString errorCode() const; // `code`, else the kind's
};

// A value, or the answer that refuses it.
template <class T> using Checked = sensors::Result<T, Answer>;

using sensors::KindCode;

// The one table of zurid serve: each kind's HTTP status (its code is sensors::KindCode).
int HttpStatus(ErrorKind kind);

} // namespace zurid::serve
