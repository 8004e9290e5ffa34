#include "serve/http/message.h"

namespace zurid::serve::http {

namespace {

struct StatusWords {
    int status;
    const char* reason;
    const char* code;
};

constexpr StatusWords kStatuses[] = {
    {101, "Switching Protocols", "switching_protocols"},
    {200, "OK", "ok"},
    {202, "Accepted", "accepted"},
    {204, "No Content", "no_content"},
    {400, "Bad Request", "bad_request"},
    {401, "Unauthorized", "unauthorized"},
    {403, "Forbidden", "forbidden"},
    {404, "Not Found", "not_found"},
    {405, "Method Not Allowed", "method_not_allowed"},
    {408, "Request Timeout", "request_timeout"},
    {409, "Conflict", "busy"},
    {411, "Length Required", "length_required"},
    {413, "Content Too Large", "body_too_large"},
    {414, "URI Too Long", "uri_too_long"},
    {415, "Unsupported Media Type", "unsupported_media_type"},
    {421, "Misdirected Request", "foreign_host"},
    {422, "Unprocessable Content", "value_not_allowed"},
    {426, "Upgrade Required", "upgrade_required"},
    {429, "Too Many Requests", "too_many_requests"},
    {431, "Request Header Fields Too Large", "headers_too_large"},
    {500, "Internal Server Error", "internal_error"},
    {501, "Not Implemented", "not_implemented"},
    {503, "Service Unavailable", "unavailable"},
    {504, "Gateway Timeout", "timeout"},
};

const StatusWords* Find(int status) {
    for (const StatusWords& s : kStatuses) {
        if (s.status == status) {
            return &s;
        }
    }
    return nullptr;
}

} // namespace

QString ErrorCode(int status) {
    const StatusWords* s = Find(status);
    return s != nullptr ? QLatin1String(s->code) : QStringLiteral("error");
}

QByteArray ReasonPhrase(int status) {
    const StatusWords* s = Find(status);
    return s != nullptr ? QByteArray(s->reason) : QByteArray("Status");
}

Response Response::json(const QJsonObject& object, int status) {
    return json(QJsonDocument(object), status);
}

Response Response::json(const QJsonDocument& document, int status) {
    Response r;
    r.status = status;
    r.body = document.toJson(QJsonDocument::Compact);
    r.body += '\n';
    return r;
}

Response Response::error(int status, const QString& message, const QString& code) {
    const QJsonObject inner{{QStringLiteral("code"), code.isEmpty() ? ErrorCode(status) : code},
                            {QStringLiteral("message"), message}};
    return json(QJsonObject{{QStringLiteral("error"), inner}}, status);
}

QByteArray Serialize(const Response& response, bool close) {
    QByteArray out;
    out.reserve(response.body.size() + 256);
    out += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + ReasonPhrase(response.status) +
           "\r\n";
    if (!response.contentType.isEmpty()) {
        out += "Content-Type: " + response.contentType + "\r\n";
    }
    out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    // On every answer: the page runs only its own files, no other site frames it or learns
    // where its visitors came from.
    out += "X-Content-Type-Options: nosniff\r\n"
           "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; "
           "img-src 'self' data:; connect-src 'self'; object-src 'none'; base-uri 'none'; "
           "form-action 'self'; frame-ancestors 'none'\r\n"
           "X-Frame-Options: DENY\r\n"
           "Referrer-Policy: no-referrer\r\n";
    for (const auto& [key, value] : response.headers) {
        out += key + ": " + value + "\r\n";
    }
    if (close) {
        out += "Connection: close\r\n";
    }
    out += "\r\n";
    out += response.body;
    return out;
}

} // namespace zurid::serve::http
