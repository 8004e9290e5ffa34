#include "serve/http/server.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <algorithm>
#include <map>

namespace zurid::serve::http {

namespace {

constexpr int kCloseGraceMs = 2000; // after a polite close, the connection is cut
// A WebSocket's send buffer in the kernel, fixed instead of grown by the system up to megabytes:
// what a client that stops reading can hold is bounded there too, and the stream's own queue
// (which counts what it drops) takes over soon.
constexpr int kWebSocketSendBuffer = 64 * 1024;

QByteArray MethodName(QHttpServerRequest::Method m) {
    switch (m) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Head:
        return "HEAD";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    case QHttpServerRequest::Method::Patch:
        return "PATCH";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Options:
        return "OPTIONS";
    default:
        return "UNKNOWN";
    }
}

// Writes the answer, closes politely and cuts the connection if the peer does not go.
void AnswerAndClose(QTcpSocket* socket, const Response& response) {
    socket->write(Serialize(response, true));
    socket->disconnectFromHost();
    QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); });
}

// "host:port" of an Origin header ("http://host:port"), lower case; empty for "null" or junk.
QByteArray OriginAuthority(const QByteArray& origin) {
    const qsizetype scheme = origin.indexOf("://");
    if (scheme <= 0) {
        return {};
    }
    QByteArray rest = origin.mid(scheme + 3);
    if (rest.endsWith('/')) {
        rest.chop(1);
    }
    return rest.contains('/') ? QByteArray() : rest.toLower();
}

} // namespace

// One HTTP connection: our framer watches every byte before Qt's parser reads it (our slot is
// connected first), answers leave in request order, and a connection that completes no request
// within the idle time is closed.
class Connection : public QObject {
  public:
    Connection(Server& server, QTcpSocket* socket)
        : QObject(socket), server_(server), socket_(socket), framer_(server.limits_) {
        idle_.setSingleShot(true);
        idle_.setInterval(server.limits_.idleMs);
        connect(&idle_, &QTimer::timeout, this, &Connection::onIdle);
        connect(socket, &QIODevice::readyRead, this, &Connection::onReadyRead);
        connect(socket, &QIODevice::bytesWritten, this, [this] {
            if (!busy()) {
                idle_.start();
            }
        });
        idle_.start();
    }

    QTcpSocket* socket() const { return socket_; }
    quint64 nextSeq() { return nextSeq_++; }
    bool busy() const { return nextOut_ != nextSeq_; }

    void complete(quint64 seq, QByteArray wire) {
        ready_.emplace(seq, std::move(wire));
        while (!ready_.empty() && ready_.begin()->first == nextOut_) {
            socket_->write(ready_.begin()->second);
            ready_.erase(ready_.begin());
            ++nextOut_;
        }
        socket_->flush(); // now: otherwise it waits a turn of the loop to hear it may write
        if (!busy()) {
            idle_.start();
        }
    }

    // Off to the WebSocket server: neither our framer nor Qt's parser reads from it any more.
    void release() {
        idle_.stop();
        QObject::disconnect(socket_, static_cast<const char*>(nullptr), this,
                            static_cast<const char*>(nullptr));
    }

  private:
    void onReadyRead() {
        // Until Qt's parser has the socket, nobody reads what we peek: skip what we saw before.
        const QByteArray buffered = socket_->peek(socket_->bytesAvailable());
        const QByteArrayView fresh =
            QByteArrayView(buffered).sliced(std::min(unread_, buffered.size()));
        unread_ = parsed_ ? 0 : buffered.size();
        if (const auto refusal = framer_.feed(fresh)) {
            refuse(Response::error(refusal->status, refusal->message));
            return;
        }
        for (const RequestHead& head : framer_.takeHeads()) {
            idle_.start();
            if (head.upgradesToWebSocket()) {
                server_.handOver(this, head);
                return;
            }
            if (!parsed_) {
                // Only now Qt's server gets the socket: one that goes straight to WebSocket never
                // meets it (Qt 6.4 loses its per-connection request object when a WebSocket
                // takes over a socket it has seen).
                parsed_ = true;
                server_.parse(socket_);
                QMetaObject::invokeMethod(
                    socket_, [s = socket_] { emit s->readyRead(); }, Qt::QueuedConnection);
            }
        }
    }

    void onIdle() {
        if (busy()) {
            idle_.start();
            return;
        }
        socket_->disconnectFromHost();
        QTimer::singleShot(kCloseGraceMs, socket_, [s = socket_] { s->abort(); });
    }

    // Qt's parser must not see what we refused.
    void refuse(const Response& response) {
        server_.detach(socket_);
        release();
        AnswerAndClose(socket_, response);
    }

    Server& server_;
    QTcpSocket* socket_;
    RequestFramer framer_;
    QTimer idle_;
    quint64 nextSeq_ = 0;  // of the next request handed to a handler
    quint64 nextOut_ = 0;  // of the next answer to write
    bool parsed_ = false;  // Qt's server reads the socket
    qsizetype unread_ = 0; // bytes at the front of the socket's buffer the framer has seen
    std::map<quint64, QByteArray> ready_;
};

class Server::Gate : public QTcpServer {
  public:
    explicit Gate(Server& server) : server_(server) {}
    void pend(QTcpSocket* socket) { addPendingConnection(socket); }

  protected:
    void incomingConnection(qintptr descriptor) override { server_.incoming(descriptor); }

  private:
    Server& server_;
};

class Server::Backend : public QAbstractHttpServer {
  public:
    explicit Backend(Server& server) : server_(server) {}

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        const auto found = server_.connections_.constFind(socket);
        if (found == server_.connections_.constEnd() || found->isNull()) {
            return true;
        }
        Request r;
        r.method = MethodName(request.method());
        const bool headOnly = r.method == "HEAD";
        if (headOnly) {
            r.method = "GET";
        }
        r.path = request.url().path(QUrl::FullyEncoded);
        r.query = QUrlQuery(request.url().query(QUrl::FullyEncoded));
        r.headers = request.headers();
        r.body = request.body();
        r.peer = request.remoteAddress();
        server_.dispatch(found->data(), std::move(r), headOnly);
        return true;
    }
    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

  private:
    Server& server_;
};

class Server::WebSockets : public QWebSocketServer {
  public:
    WebSockets() : QWebSocketServer(QStringLiteral("zurid"), QWebSocketServer::NonSecureMode) {}
};

Server::Server(const Router& router, const Limits& limits, QObject* parent)
    : QObject(parent), router_(router), limits_(limits),
      webSockets_(std::make_unique<WebSockets>()) {
    backend_ = new Backend(*this);
    backend_->setParent(this);
    gate_ = new Gate(*this);
    gate_->setParent(backend_);
    connect(webSockets_.get(), &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket* ws = webSockets_->nextPendingConnection()) {
            if (acceptWebSocket_) {
                acceptWebSocket_(ws);
            } else {
                ws->deleteLater();
            }
        }
    });
}

Server::~Server() {
    close();
    // The sockets go first: their last signals still find this server whole.
    delete backend_;
}

QString Server::listen(const QHostAddress& address, quint16 port) {
    if (!gate_->listen(address, port)) {
        return gate_->errorString();
    }
    backend_->bind(gate_); // the gate becomes the backend's child
    return {};
}

QHostAddress Server::address() const {
    return gate_->serverAddress();
}

quint16 Server::port() const {
    return gate_->serverPort();
}

void Server::acceptWebSockets(const QString& path, std::function<void(QWebSocket*)> accept) {
    webSocketPath_ = path;
    acceptWebSocket_ = std::move(accept);
}

void Server::close() {
    if (gate_ != nullptr) {
        gate_->close();
    }
    const auto all = connections_;
    for (const QPointer<Connection>& c : all) {
        if (c) {
            c->socket()->abort();
        }
    }
}

void Server::detach(QTcpSocket* socket) {
    QObject::disconnect(socket, static_cast<const char*>(nullptr), backend_,
                        static_cast<const char*>(nullptr));
}

void Server::incoming(qintptr descriptor) {
    auto* socket = new QTcpSocket(gate_);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (open_ >= limits_.connections) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        AnswerAndClose(
            socket,
            Response::error(
                503, QStringLiteral("too many connections (at most %1)").arg(limits_.connections),
                QStringLiteral("too_many_connections")));
        return;
    }
    ++open_;
    auto* connection = new Connection(*this, socket);
    connections_.insert(socket, connection);
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QObject::destroyed, this, [this, socket] {
        --open_;
        connections_.remove(socket);
    });
}

void Server::parse(QTcpSocket* socket) {
    // Qt's server connects its own slots when it takes the socket, after ours.
    gate_->pend(socket);
}

void Server::handOver(Connection* connection, const RequestHead& head) {
    QTcpSocket* socket = connection->socket();
    const QByteArray target = head.target;
    const qsizetype q = target.indexOf('?');
    const QString path = QString::fromUtf8(q < 0 ? target : target.left(q));
    const QByteArray origin = head.header("Origin");
    Response refusal;
    if (!acceptWebSocket_ || path != webSocketPath_) {
        refusal = Response::error(404, QStringLiteral("no WebSocket at %1").arg(path));
    } else if (!origin.isEmpty() && OriginAuthority(origin) != head.header("Host").toLower()) {
        refusal = Response::error(
            403, QStringLiteral("origin %1 is not this server's").arg(QString::fromUtf8(origin)));
    }
    // Neither Qt's HTTP parser nor our framer reads this socket again.
    detach(socket);
    connection->release();
    connections_.remove(socket);
    if (refusal.status != 200) {
        AnswerAndClose(socket, refusal);
        return;
    }
    // Qt's server deletes a socket once it disconnects; from now on the WebSocket owns it, or,
    // if the handshake fails, we do.
    QObject::disconnect(socket, SIGNAL(disconnected()), socket, static_cast<const char*>(nullptr));
    connect(socket, &QAbstractSocket::disconnected, this, [socket, gate = gate_] {
        if (socket->parent() == gate) {
            socket->deleteLater();
        }
    });
    if (socket->isTransactionStarted()) {
        socket->rollbackTransaction(); // the handshake whole, from its first byte
    }
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kWebSocketSendBuffer);
    // Each reading is a small message of its own: without this, Nagle's algorithm holds one
    // back until the client's delayed acknowledgement of the last (up to 40 ms).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    webSockets_->handleConnection(socket);
    QMetaObject::invokeMethod(
        socket, [socket] { emit socket->readyRead(); }, Qt::QueuedConnection);
}

void Server::dispatch(Connection* connection, Request request, bool headOnly) {
    const quint64 seq = connection->nextSeq();
    QPointer<Connection> target(connection);
    Reply reply(
        [target, seq, headOnly](const Response& response) {
            if (!target) {
                return;
            }
            QByteArray wire = Serialize(response, false);
            if (headOnly) {
                wire.chop(response.body.size());
            }
            target->complete(seq, std::move(wire));
        },
        [target] {
            return !target.isNull() && target->socket()->state() == QAbstractSocket::ConnectedState;
        });
    router_.dispatch(std::move(request), reply);
}

} // namespace zurid::serve::http
