// The one parser of HTTP/1.x requests, with our limits checked on the byte stream of a
// connection as it arrives: the request line, the header lines, the body's declared length.
// The framer follows the stream request by request (head, body, next head) and hands out each
// request whole, with its body. Plain QtCore, no sockets: the fuzz target drives it directly.
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
    int perAddress = 16;          // open connections from one address; beyond: 503
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
    QByteArray body;
    // Where it starts (its request line) and ends (after its body) in the connection's stream.
    qint64 startOffset = 0;
    qint64 endOffset = 0;

    QByteArray header(QByteArrayView name) const { return HeaderValue(headers, name); }
    // A WebSocket handshake: GET with "Upgrade: websocket".
    bool upgradesToWebSocket() const;
    // The connection stays open after the answer: HTTP/1.1 unless "Connection: close",
    // HTTP/1.0 only with "Connection: keep-alive".
    bool keepAlive() const;
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
    // further calls refuse again. Complete requests are collected for takeHeads().
    std::optional<Refusal> feed(QByteArrayView bytes);

    // The requests completed since the last call, in order, each with its body.
    QList<RequestHead> takeHeads();
    // After a WebSocket handshake head or a request that closes the connection, the stream
    // is no longer ours to read: the framer takes nothing more.
    bool stopped() const { return state_ == State::Stopped; }

  private:
    enum class State { Head, Body, Stopped, Refused };

    std::optional<Refusal> takeLine(QByteArray line);
    std::optional<Refusal> endOfHead();
    std::optional<Refusal> refuse(int status, QString message);
    void complete(); // the request being collected is whole

    Limits limits_;
    State state_ = State::Head;
    QByteArray line_;     // the line being collected
    int headerBytes_ = 0; // of the current head's header lines so far
    bool haveRequestLine_ = false;
    RequestHead head_; // being collected
    qint64 bodyLeft_ = 0;
    qint64 lineStart_ = 0; // stream position of the line being collected
    QList<RequestHead> done_;
    Refusal refusal_;
    qint64 pos_ = 0; // of the next byte of the stream
};

} // namespace zurid::serve::http
