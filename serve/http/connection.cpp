#include "serve/http/connection.h"

#include "serve/http/server.h"

#include <QSslSocket>
#include <QTcpSocket>

#include <sys/socket.h>

namespace zurid::serve::http {

namespace {

constexpr qint64 kChunk = 16 * 1024; // read at a time: what one read can complete is bounded

} // namespace

Connection::Connection(Server& server, QTcpSocket* socket)
    : QObject(socket), server_(server), socket_(socket), framer_(server.limits_) {
    idle_.setSingleShot(true);
    idle_.setInterval(server.limits_.idleMs);
    connect(&idle_, &QTimer::timeout, this, &Connection::onIdle);
    connect(socket, &QIODevice::readyRead, this, &Connection::pump);
    idle_.start();
    pump(); // what came with the connection (after a TLS handshake) is there already
}

bool Connection::open() const {
    return !gone_ && socket_->state() == QAbstractSocket::ConnectedState;
}

// Reads, hands requests to their handlers and writes answers until nothing more can move. A
// handler that answers at once re-enters here through complete(): the loop then goes round
// once more instead of nesting.
void Connection::pump() {
    if (pumping_) {
        again_ = true;
        return;
    }
    pumping_ = true;
    do {
        again_ = false;
        read();
        while (startNext()) {
        }
    } while (again_ && !gone_);
    pumping_ = false;
}

void Connection::read() {
    while (!done_ && !gone_ && static_cast<int>(waiting_.size()) < kWaiting) {
        const qint64 held = fed_ - consumed_; // seen by the framer, still in the buffer
        const qint64 available = socket_->bytesAvailable();
        if (available <= held) {
            return;
        }
        const QByteArray chunk = socket_->peek(std::min(available, held + kChunk)).mid(held);
        const auto refusal = framer_.feed(chunk);
        fed_ += chunk.size();
        take(framer_.takeHeads());
        if (refusal) {
            waiting_.push_back(Pending{{}, Response::error(refusal->status, refusal->message)});
            done_ = true;
        } else if (framer_.stopped()) {
            done_ = true;
        }
    }
}

void Connection::take(QList<RequestHead> heads) {
    for (RequestHead& head : heads) {
        idle_.start();
        // The handshake stays in the buffer for the WebSocket server to read.
        skipTo(head.upgradesToWebSocket() ? head.startOffset : head.endOffset);
        waiting_.push_back(Pending{std::move(head), std::nullopt});
    }
}

void Connection::skipTo(qint64 offset) {
    if (offset > consumed_) {
        socket_->skip(offset - consumed_);
        consumed_ = offset;
    }
}

bool Connection::startNext() {
    if (waiting_.empty() || gone_ || nextSeq_ - nextOut_ >= static_cast<quint64>(kInFlight)) {
        return false;
    }
    if (!open()) {
        waiting_.clear(); // the client has gone: what it asked for is not worth doing
        return false;
    }
    Pending& next = waiting_.front();
    if (next.refusal) {
        const quint64 seq = nextSeq_++;
        last_ = seq;
        const Response refusal = *next.refusal;
        waiting_.clear();
        complete(seq, refusal, false);
        return false;
    }
    if (next.head.upgradesToWebSocket()) {
        if (nextOut_ != nextSeq_) {
            return false; // after the answers before it
        }
        const RequestHead head = std::move(next.head);
        waiting_.clear();
        gone_ = true;
        idle_.stop();
        QObject::disconnect(socket_, nullptr, this, nullptr);
        server_.handOver(socket_, head);
        deleteLater();
        return false;
    }
    const RequestHead head = std::move(next.head);
    waiting_.pop_front();
    const quint64 seq = nextSeq_++;
    if (!head.keepAlive()) {
        last_ = seq;
    }
    server_.dispatch(*this, seq, head);
    return true;
}

void Connection::complete(quint64 seq, const Response& response, bool headOnly) {
    if (gone_) {
        return;
    }
    QByteArray wire = Serialize(response, last_ && *last_ == seq);
    if (headOnly) {
        wire.chop(response.body.size());
    }
    ready_.emplace(seq, std::move(wire));
    write();
    // Room for more. Not from inside this call: an answer may come from the middle of a
    // handler's own work (a queue that drops what waited), which must not meet the next request
    // before it is done.
    if (pumping_) {
        again_ = true;
    } else if (!pumpPosted_) {
        pumpPosted_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                pumpPosted_ = false;
                pump();
            },
            Qt::QueuedConnection);
    }
}

void Connection::write() {
    bool wrote = false;
    while (!ready_.empty() && ready_.begin()->first == nextOut_) {
        socket_->write(ready_.begin()->second);
        ready_.erase(ready_.begin());
        ++nextOut_;
        wrote = true;
    }
    if (!wrote) {
        return;
    }
    socket_->flush(); // now: otherwise it waits a turn of the loop to hear it may write
    if (last_ && nextOut_ > *last_) {
        shut();
        return;
    }
    if (nextOut_ == nextSeq_) {
        idle_.start();
    }
}

void Connection::onIdle() {
    if (nextOut_ != nextSeq_) {
        idle_.start();
        return;
    }
    shut();
}

// Closes once what is written has left; cuts the connection if the peer does not go. What the
// client still sends is read and dropped meanwhile: closing with unread bytes would reset the
// connection, and the client could lose the answers before they are read.
void Connection::shut() {
    gone_ = true;
    idle_.stop();
    waiting_.clear();
    QTcpSocket* socket = socket_;
    QObject::disconnect(socket, nullptr, this, nullptr);
    QTimer::singleShot(kCloseGraceMs, socket, [socket] { socket->abort(); });
    if (qobject_cast<QSslSocket*>(socket) != nullptr) {
        socket->disconnectFromHost(); // with TLS's own close
        return;
    }
    const auto halfClose = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
            ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
        }
    };
    connect(socket, &QIODevice::readyRead, socket,
            [socket] { socket->skip(socket->bytesAvailable()); });
    connect(socket, &QIODevice::bytesWritten, socket, halfClose);
    socket->skip(socket->bytesAvailable());
    halfClose();
}

} // namespace zurid::serve::http
