// Our limits on HTTP/1.x requests, checked on the byte stream of a connection before Qt's
// server parses it (Qt 6.4's server has none of its own): the request line, the header lines,
// the body's declared length. The framer follows the stream request by request (head, body,
// next head) with the same framing rules as the parser behind it, so that no request can slip
// past it. Plain QtCore, no sockets: the fuzz target drives it directly.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QPair>
#include <QString>

#include <optional>

namespace zurid::serve::http {

struct Limits {
    int requestLine = 8 * 1024;   // bytes of the request line; beyond: 414
    int headerBytes = 16 * 1024;  // bytes of all header lines; beyond: 431
    qint64 bodyBytes = 64 * 1024; // declared Content-Length; beyond: 413
    int connections = 64;         // open connections (WebSockets included); beyond: 503
    int idleMs = 30'000;          // a connection that completes no request for so long is closed
};

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// The first value of a header, by name without regard to case; empty when it is absent.
QByteArray HeaderValue(const HeaderList& headers, QByteArrayView name);

struct RequestHead {
    QByteArray method;  // "GET"
    QByteArray target;  // "/api/v1/sensors?x=1", as sent
    QByteArray version; // "HTTP/1.1"
    HeaderList headers; // names as sent, values without surrounding white space
    qint64 contentLength = 0;
    qint64 bodyOffset = 0; // where its body starts in the connection's byte stream

    QByteArray header(QByteArrayView name) const { return HeaderValue(headers, name); }
    // A WebSocket handshake: GET with "Upgrade: websocket".
    bool upgradesToWebSocket() const;
};

class RequestFramer {
  public:
    explicit RequestFramer(const Limits& limits) : limits_(limits) {}

    struct Refusal {
        int status = 0; // 400, 411, 413, 414, 431, 501
        QString message;
    };

    // Takes the next bytes of the stream. Returns a refusal as soon as the stream breaks a
    // limit or the framing rules; after one, the connection is answered and closed, and
    // further calls refuse again. Complete heads are collected for takeHeads().
    std::optional<Refusal> feed(QByteArrayView bytes);

    // The heads completed since the last call, in order.
    QList<RequestHead> takeHeads();
    // After a WebSocket handshake head the stream is no longer HTTP: the framer stops.
    bool upgraded() const { return state_ == State::Upgraded; }
    // Between requests: nothing of a next one has arrived.
    bool idle() const { return state_ == State::Head && line_.isEmpty() && headerBytes_ == 0; }

  private:
    enum class State { Head, Body, Upgraded, Refused };

    std::optional<Refusal> takeLine(QByteArray line);
    std::optional<Refusal> endOfHead();
    std::optional<Refusal> refuse(int status, QString message);

    Limits limits_;
    State state_ = State::Head;
    QByteArray line_;     // the line being collected
    int headerBytes_ = 0; // of the current head's header lines so far
    bool haveRequestLine_ = false;
    RequestHead head_; // being collected
    qint64 bodyLeft_ = 0;
    QList<RequestHead> done_;
    Refusal refusal_;
    qint64 pos_ = 0; // of the next byte of the stream
};

} // namespace zurid::serve::http
