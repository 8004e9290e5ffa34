// One HTTP connection of our server: its bytes go through the framer as they arrive; each
// complete request goes to a handler, at most a few at a time, and the answers leave in request
// order however late each comes. A refusal (a limit, a malformed request) is answered after
// the answers of the requests before it, then the connection closes, as it does after a
// request that asked for it. What a client pipelines beyond what we hold stays in the system's
// buffers: a flood of requests slows its sender, not us. A connection that completes no request
// within the idle time is closed.
#pragma once

#include "serve/http/framer.h"
#include "serve/http/message.h"

#include <QObject>
#include <QTimer>

#include <deque>
#include <map>
#include <optional>

class QTcpSocket;

namespace zurid::serve::http {

class Server;

class Connection : public QObject {
  public:
    // Lives as the socket's child.
    Connection(Server& server, QTcpSocket* socket);

    QTcpSocket* socket() const { return socket_; }
    // The client still waits for answers.
    bool open() const;
    // The answer of request `seq`, serialized with its body (or without, for HEAD).
    void complete(quint64 seq, const Response& response, bool headOnly);

    // Requests parsed and not yet handed to a handler, and handed and not yet answered, at
    // most: beyond them the connection reads nothing more until answers have left.
    static constexpr int kWaiting = 8;
    static constexpr int kInFlight = 8;
    // After a polite close, a connection whose peer does not go is cut.
    static constexpr int kCloseGraceMs = 2000;

  private:
    struct Pending {
        RequestHead head;
        std::optional<Response> refusal; // answered so, then closed
    };

    void pump();
    void read();
    void take(QList<RequestHead> heads);
    void skipTo(qint64 offset);
    bool startNext();
    void write();
    void onIdle();
    void shut();

    Server& server_;
    QTcpSocket* socket_;
    RequestFramer framer_;
    QTimer idle_;
    std::deque<Pending> waiting_;
    std::map<quint64, QByteArray> ready_; // answers that wait for those before them
    quint64 nextSeq_ = 0;                 // of the next request handed to a handler
    quint64 nextOut_ = 0;                 // of the next answer to write
    std::optional<quint64> last_;         // the answer after which the connection closes
    qint64 fed_ = 0;                      // stream position up to which the framer has the bytes
    qint64 consumed_ = 0; // stream position of the first byte still in the socket's buffer
    bool pumping_ = false;
    bool again_ = false;
    bool pumpPosted_ = false;
    bool done_ = false; // no more requests are read
    bool gone_ = false; // handed over or shut
};

} // namespace zurid::serve::http
