// A request as the rest of serve/ sees it, a response, and the error answer every endpoint
// gives: {"error": {"code": "not_found", "message": "no sensor COM9"}} with the fitting status.
#pragma once

#include "serve/http/framer.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QUrlQuery>

namespace zurid::serve::http {

struct Request {
    QByteArray method; // "GET", "PATCH", ...
    QString path;      // as sent, percent-encoded: "/api/v1/sensors/COM1"
    QUrlQuery query;
    HeaderList headers;
    QByteArray body;
    QHostAddress peer;
    // The {name} segments of the route that matched, percent-decoded.
    QHash<QString, QString> params;

    QByteArray header(QByteArrayView name) const { return HeaderValue(headers, name); }
    QString param(const QString& name) const { return params.value(name); }
};

struct Response {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    HeaderList headers; // besides Content-Type and Content-Length

    static Response json(const QJsonObject& object, int status = 200);
    static Response json(const QJsonDocument& document, int status = 200);
    // The error answer; `code` defaults to the status's own word ("not_found" for 404).
    static Response error(int status, const QString& message, const QString& code = {});
};

// "not_found" for 404, "value_not_allowed" for 422, ...
QString ErrorCode(int status);
// "Not Found" for 404.
QByteArray ReasonPhrase(int status);
// The response on the wire: status line, headers, body. `close` adds "Connection: close".
QByteArray Serialize(const Response& response, bool close);

} // namespace zurid::serve::http
