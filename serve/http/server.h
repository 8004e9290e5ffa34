// Our HTTP server: Qt HTTP Server (6.4, a technical preview whose API changes later) parses
// the requests; everything around it is ours and only this folder sees Qt's server. Each
// connection passes our gate first: the connection cap (503), the limits on request line,
// headers and body (414, 431, 413, then closed), the idle time-out, answers in request order
// even when a handler answers later, and the WebSocket handshake, which is taken away from
// Qt's server so that a foreign Origin can be refused (403) before it completes.
#pragma once

#include "serve/http/framer.h"
#include "serve/http/router.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QTcpSocket;
class QWebSocket;

namespace zurid::serve::http {

class Connection;

class Server : public QObject {
  public:
    Server(const Router& router, const Limits& limits, QObject* parent = nullptr);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts listening; empty on success, else why not ("address in use").
    QString listen(const QHostAddress& address, quint16 port);
    QHostAddress address() const;
    quint16 port() const;

    // WebSocket handshakes at `path` (its query is the client's own) from the same origin as
    // the Host header, or from no browser at all (no Origin), go to `accept` once complete;
    // `accept` owns the socket. Anywhere else a handshake is answered 404.
    void acceptWebSockets(const QString& path, std::function<void(QWebSocket*)> accept);

    // Open connections, WebSockets included.
    int connections() const { return open_; }
    // Stops listening and closes every HTTP connection (WebSockets belong to `accept`).
    void close();

  private:
    friend class Connection;
    class Gate;
    class Backend;

    void incoming(qintptr descriptor);
    // Qt's server starts reading the socket.
    void parse(QTcpSocket* socket);
    // Qt's server stops reading the socket.
    void detach(QTcpSocket* socket);
    void handOver(Connection* connection, const RequestHead& head);
    void dispatch(Connection* connection, Request request, bool headOnly);

    const Router& router_;
    Limits limits_;
    Backend* backend_ = nullptr; // owns the gate
    Gate* gate_ = nullptr;
    class WebSockets;
    std::unique_ptr<WebSockets> webSockets_;
    QString webSocketPath_;
    std::function<void(QWebSocket*)> acceptWebSocket_;
    QHash<QTcpSocket*, QPointer<Connection>> connections_;
    int open_ = 0;
};

} // namespace zurid::serve::http
