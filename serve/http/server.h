// Our HTTP server: a QTcpServer and our own request parser (framer.h) with its limits, one
// parser for every request. Around it: the connection caps (in all and per address, 503), the
// idle time-out, answers in request order even when a handler answers later, "Connection:
// close" and HTTP/1.0 honoured, the Host check (a name that is not ours is refused, so that a
// page of another site cannot reach us through DNS), TLS on the same port when configured, and
// the WebSocket handshake, handed to Qt WebSockets once its Origin and Host are ours. Every
// connection that ends gives its slot back, whoever holds it by then.
#pragma once

#include "sensors/result.h"
#include "serve/http/framer.h"
#include "serve/http/router.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

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

    // Every connection speaks TLS first (HTTPS, WSS); a plain request gets a short plain
    // answer that says so. Before listen().
    void useTls(const QSslConfiguration& configuration);
    bool tls() const { return tls_.has_value(); }
    // Host names (besides the listen address, and "localhost" on the loopback) that a request
    // may name in its Host header.
    void allowHosts(const QStringList& names);

    // Starts listening; empty on success, else why not ("address in use").
    sensors::Status listen(const QHostAddress& address, quint16 port);
    QHostAddress address() const;
    quint16 port() const;

    // WebSocket handshakes at `path` (its query is the client's own) from the same origin as
    // the Host header, or from no browser at all (no Origin), go to `accept` once complete;
    // `accept` owns the socket. Anywhere else a handshake is answered 404.
    void acceptWebSockets(const QString& path, std::function<void(QWebSocket*)> accept);

    // Judges every request and WebSocket handshake from a host of ours before it is routed or
    // handed over: a response refuses it (the page's --private).
    void admit(std::function<std::optional<Response>(const Request&)> judge);

    // Open connections, WebSockets and TLS handshakes included.
    int connections() const;
    // Stops listening and closes every HTTP connection (WebSockets belong to `accept`).
    void close();

  private:
    friend class Connection;
    class Listener;
    class WebSockets;
    struct Slots;

    void incoming(qintptr descriptor);
    // A plain socket on the descriptor, holding `slot`, deleted once disconnected.
    QTcpSocket* adopt(qintptr descriptor, QObject* slot);
    void startTls(qintptr descriptor, QObject* slot);
    void start(QTcpSocket* socket);
    // Why a request's Host is refused; nothing when it is ours.
    std::optional<Response> foreignHost(const RequestHead& head) const;
    // Once the connection has answered everything before it.
    void handOver(QTcpSocket* socket, const RequestHead& head);
    void dispatch(Connection& connection, quint64 seq, const RequestHead& head);

    const Router& router_;
    Limits limits_;
    std::optional<QSslConfiguration> tls_;
    QStringList hosts_; // lower case
    QList<QHostAddress> localAddresses_;
    bool everyAddress_ = false; // listening on all of them
    Listener* listener_ = nullptr;
    std::unique_ptr<WebSockets> webSockets_;
    QString webSocketPath_;
    std::function<void(QWebSocket*)> acceptWebSocket_;
    std::function<std::optional<Response>(const Request&)> admit_;
    std::shared_ptr<Slots> slots_;
    QList<QPointer<Connection>> open_; // HTTP connections, for close(); emptied as they go
};

} // namespace zurid::serve::http
