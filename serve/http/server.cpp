#include "serve/http/server.h"

#include "serve/http/connection.h"

#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <cerrno>
#include <utility>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zurid::serve::http {

namespace {

constexpr int kHandshakeMs = 10'000; // for the first bytes and the TLS handshake
// A WebSocket's send buffer in the kernel, fixed instead of grown by the system up to megabytes:
// what a client that stops reading can hold is bounded there too, and the stream's own queue
// (which counts what it drops) takes over soon.
constexpr int kWebSocketSendBuffer = 64 * 1024;
constexpr char kTlsHandshakeByte = 0x16; // the first byte of a TLS record that opens a session

// Writes the answer, closes politely and cuts the connection if the peer does not go.
void AnswerAndClose(QTcpSocket* socket, const Response& response) {
    socket->write(Serialize(response, true));
    socket->disconnectFromHost();
    QTimer::singleShot(Connection::kCloseGraceMs, socket, [socket] { socket->abort(); });
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

// The host of a Host header without its port, lower case: "[::1]:8480" is "::1".
QString HostName(const QByteArray& host) {
    QByteArray h = host.trimmed().toLower();
    if (h.startsWith('[')) {
        const qsizetype close = h.indexOf(']');
        return close < 0 ? QString() : QString::fromLatin1(h.mid(1, close - 1));
    }
    const qsizetype colon = h.lastIndexOf(':');
    if (colon >= 0 && h.indexOf(':') == colon) {
        h.truncate(colon);
    }
    return QString::fromLatin1(h);
}

// An IPv4 address as such, also when an IPv6 socket gives it mapped.
QHostAddress Plain(const QHostAddress& a) {
    bool mapped = false;
    const quint32 v4 = a.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4) : a;
}

// The peer of an accepted descriptor.
QHostAddress PeerOf(qintptr descriptor) {
    sockaddr_storage peer{};
    socklen_t length = sizeof(peer);
    if (::getpeername(static_cast<int>(descriptor), reinterpret_cast<sockaddr*>(&peer), &length) !=
        0) {
        return {};
    }
    return Plain(QHostAddress(reinterpret_cast<const sockaddr*>(&peer)));
}

} // namespace

// The open connections, in all and per address. A connection's place is a Slot object, the
// child of whatever holds the connection (its socket, before that the first-byte watch): it is
// given back when that goes, however the connection ends.
struct Server::Slots {
    int open = 0;
    QHash<QHostAddress, int> perAddress;

    class Slot : public QObject {
      public:
        Slot(std::shared_ptr<Slots> all, QHostAddress peer)
            : all_(std::move(all)), peer_(std::move(peer)) {
            ++all_->open;
            ++all_->perAddress[peer_];
        }
        ~Slot() override {
            --all_->open;
            if (--all_->perAddress[peer_] <= 0) {
                all_->perAddress.remove(peer_);
            }
        }

      private:
        std::shared_ptr<Slots> all_;
        QHostAddress peer_;
    };
};

class Server::Listener : public QTcpServer {
  public:
    explicit Listener(Server& server) : server_(server) {}

  protected:
    void incomingConnection(qintptr descriptor) override { server_.incoming(descriptor); }

  private:
    Server& server_;
};

class Server::WebSockets : public QWebSocketServer {
  public:
    WebSockets() : QWebSocketServer(QStringLiteral("zurid"), QWebSocketServer::NonSecureMode) {}
};

Server::Server(const Router& router, const Limits& limits, QObject* parent)
    : QObject(parent), router_(router), limits_(limits), listener_(new Listener(*this)),
      webSockets_(std::make_unique<WebSockets>()), slots_(std::make_shared<Slots>()) {
    listener_->setParent(this);
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
}

void Server::useTls(const QSslConfiguration& configuration) {
    tls_ = configuration;
}

void Server::allowHosts(const QStringList& names) {
    for (const QString& n : names) {
        hosts_ << n.toLower();
    }
}

sensors::Status Server::listen(const QHostAddress& address, quint16 port) {
    if (!listener_->listen(address, port)) {
        return sensors::Status::failure(sensors::ErrorKind::Io, listener_->errorString());
    }
    localAddresses_ = QNetworkInterface::allAddresses();
    // An address that is none of the machine's own is the wildcard: every one of them answers.
    everyAddress_ = !localAddresses_.contains(listener_->serverAddress());
    return {};
}

QHostAddress Server::address() const {
    return listener_->serverAddress();
}

quint16 Server::port() const {
    return listener_->serverPort();
}

void Server::admit(std::function<std::optional<Response>(const Request&)> judge) {
    admit_ = std::move(judge);
}

int Server::connections() const {
    return slots_->open;
}

void Server::acceptWebSockets(const QString& path, std::function<void(QWebSocket*)> accept) {
    webSocketPath_ = path;
    acceptWebSocket_ = std::move(accept);
}

void Server::close() {
    listener_->close();
    const auto all = std::exchange(open_, {});
    for (const QPointer<Connection>& c : all) {
        if (c) {
            c->socket()->abort();
        }
    }
}

void Server::incoming(qintptr descriptor) {
    const QHostAddress peer = PeerOf(descriptor);
    QString full;
    if (slots_->open >= limits_.connections) {
        full = QStringLiteral("too many connections (at most %1)").arg(limits_.connections);
    } else if (slots_->perAddress.value(peer) >= limits_.perAddress) {
        full = QStringLiteral("too many connections from %1 (at most %2)")
                   .arg(peer.toString())
                   .arg(limits_.perAddress);
    }
    if (!full.isEmpty() && tls_) {
        ::close(static_cast<int>(descriptor)); // no plain answer a TLS client could read
        return;
    }
    if (!full.isEmpty()) {
        if (QTcpSocket* socket = adopt(descriptor, nullptr)) {
            AnswerAndClose(socket,
                           Response::error(503, full, QStringLiteral("too_many_connections")));
        }
        return;
    }
    auto* slot = new Slots::Slot(slots_, peer);
    if (tls_) {
        startTls(descriptor, slot);
        return;
    }
    if (QTcpSocket* socket = adopt(descriptor, slot)) {
        start(socket);
    }
}

QTcpSocket* Server::adopt(qintptr descriptor, QObject* slot) {
    auto* socket = new QTcpSocket(listener_);
    if (slot != nullptr) {
        slot->setParent(socket);
    }
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return nullptr;
    }
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    return socket;
}

// A TLS port waits for the client's first byte: a TLS handshake goes on encrypted, anything
// else (a browser sent to http://) gets a plain answer that names the right scheme.
void Server::startTls(qintptr descriptor, QObject* slot) {
    const int fd = static_cast<int>(descriptor);
    auto* watch = new QSocketNotifier(descriptor, QSocketNotifier::Read, listener_);
    slot->setParent(watch);
    auto* timeout = new QTimer(watch);
    timeout->setSingleShot(true);
    connect(timeout, &QTimer::timeout, watch, [watch, fd] {
        delete watch;
        ::close(fd);
    });
    timeout->start(kHandshakeMs);
    connect(watch, &QSocketNotifier::activated, this, [this, watch, slot, fd, descriptor] {
        char first = 0;
        const ssize_t n = ::recv(fd, &first, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        watch->setEnabled(false);
        slot->setParent(nullptr);
        watch->deleteLater();
        if (n <= 0) {
            delete slot;
            ::close(fd);
            return;
        }
        if (first != kTlsHandshakeByte) {
            QTcpSocket* socket = adopt(descriptor, slot);
            if (socket == nullptr) {
                return;
            }
            socket->skip(socket->bytesAvailable());
            AnswerAndClose(socket, Response::error(400,
                                                   QStringLiteral("this port speaks HTTPS: use "
                                                                  "https:// (wss:// for the "
                                                                  "stream)"),
                                                   QStringLiteral("tls_required")));
            return;
        }
        auto* socket = new QSslSocket(listener_);
        slot->setParent(socket);
        if (!socket->setSocketDescriptor(descriptor)) {
            delete socket;
            return;
        }
        socket->setSslConfiguration(*tls_);
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QAbstractSocket::errorOccurred, socket, [socket] {
            if (!socket->isEncrypted()) {
                socket->abort();
            }
        });
        auto* handshake = new QTimer(socket);
        handshake->setSingleShot(true);
        connect(handshake, &QTimer::timeout, socket, [socket] { socket->abort(); });
        handshake->start(kHandshakeMs);
        connect(socket, &QSslSocket::encrypted, this, [this, socket, handshake] {
            delete handshake;
            start(socket);
        });
        socket->startServerEncryption();
    });
}

void Server::start(QTcpSocket* socket) {
    open_.removeIf([](const QPointer<Connection>& c) { return c.isNull(); });
    open_.append(new Connection(*this, socket));
}

std::optional<Response> Server::foreignHost(const RequestHead& head) const {
    const QByteArray given = head.header("Host");
    if (given.isEmpty()) {
        return std::nullopt; // HTTP/1.0 without one: no browser's page sends that
    }
    const QString host = HostName(given);
    const QHostAddress listening = address();
    const QHostAddress literal(host);
    bool ours = hosts_.contains(host);
    if (!ours && !literal.isNull()) {
        ours = literal == listening || (everyAddress_ && localAddresses_.contains(literal)) ||
               (listening.isLoopback() && literal.isLoopback());
    }
    if (!ours && host == QLatin1String("localhost")) {
        ours = listening.isLoopback() || everyAddress_;
    }
    if (ours) {
        return std::nullopt;
    }
    return Response::error(421,
                           QStringLiteral("host %1 is not this server's (start it with --host "
                                          "NAME to answer to a name)")
                               .arg(QString::fromLatin1(given.left(100))),
                           QStringLiteral("foreign_host"));
}

void Server::handOver(QTcpSocket* socket, const RequestHead& head) {
    const QByteArray target = head.target;
    const qsizetype q = target.indexOf('?');
    const QString path = QString::fromUtf8(q < 0 ? target : target.left(q));
    const QByteArray origin = head.header("Origin");
    std::optional<Response> refusal = foreignHost(head);
    if (refusal) {
        // answered as any other request from a foreign host
    } else if (!acceptWebSocket_ || path != webSocketPath_) {
        refusal = Response::error(404, QStringLiteral("no WebSocket at %1").arg(path));
    } else if (!origin.isEmpty() && OriginAuthority(origin) != head.header("Host").toLower()) {
        refusal = Response::error(
            403, QStringLiteral("origin %1 is not this server's").arg(QString::fromUtf8(origin)));
    } else if (admit_) {
        Request r;
        r.method = head.method;
        r.path = path;
        r.query = QUrlQuery(QString::fromUtf8(q < 0 ? QByteArray() : target.mid(q + 1)));
        r.headers = head.headers;
        r.peer = Plain(socket->peerAddress());
        refusal = admit_(r);
    }
    if (refusal) {
        socket->skip(head.endOffset - head.startOffset);
        AnswerAndClose(socket, *refusal);
        return;
    }
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kWebSocketSendBuffer);
    // Each reading is a small message of its own: without this, Nagle's algorithm holds one
    // back until the client's delayed acknowledgement of the last (up to 40 ms).
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    webSockets_->handleConnection(socket);
    QMetaObject::invokeMethod(
        socket, [socket] { emit socket->readyRead(); }, Qt::QueuedConnection);
}

void Server::dispatch(Connection& connection, quint64 seq, const RequestHead& head) {
    QPointer<Connection> target(&connection);
    const bool headOnly = head.method == "HEAD";
    Responder reply(
        [target, seq, headOnly](const Response& response) {
            if (target) {
                target->complete(seq, response, headOnly);
            }
        },
        [target] { return !target.isNull() && target->open(); });
    if (const auto refusal = foreignHost(head)) {
        reply.send(*refusal);
        return;
    }
    Request r;
    r.method = headOnly ? QByteArray("GET") : head.method;
    const qsizetype q = head.target.indexOf('?');
    r.path = QString::fromUtf8(q < 0 ? head.target : head.target.left(q));
    r.query = QUrlQuery(QString::fromUtf8(q < 0 ? QByteArray() : head.target.mid(q + 1)));
    r.headers = head.headers;
    r.body = head.body;
    r.peer = Plain(connection.socket()->peerAddress());
    if (admit_) {
        if (const auto refusal = admit_(r)) {
            reply.send(*refusal);
            return;
        }
    }
    router_.dispatch(std::move(r), reply);
}

} // namespace zurid::serve::http
