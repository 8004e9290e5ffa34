// The WebSocket clients of /api/v1/stream. Each names the sensors it wants (the query
// ?sensors=COM1,COM2 at the handshake, or a message {"sensors": ["COM1"]} any time; none named:
// all of them) and has a bounded queue. Messages gather in the queues for at most a few
// milliseconds (`batchMs`) and then go to the sockets together, one write per client for all
// of them, while a socket holds less than a high-water mark of unsent bytes; when a queue is
// full the oldest message in it is dropped and counted. A client that stops reading costs a
// bounded amount of memory and never slows the others or the line. Every client is pinged now
// and then; one that shows no sign of life (no pong, no message) for `silentMs` is dropped,
// and its connection with it.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QWebSocket;

namespace zurid::serve {

struct StreamLimits {
    qint64 highWater = 32 * 1024; // unsent bytes in a client's socket before it queues
    int queue = 128;              // messages queued per client before the oldest is dropped
    qint64 incoming = 4096;       // largest message a client may send
    int batchMs = 4;              // longest a message waits for others to share its write
    int silentMs = 60000;         // no pong nor message this long: closed (pinged every third)
};

class Stream : public QObject {
  public:
    explicit Stream(StreamLimits limits = {}, QObject* parent = nullptr);
    ~Stream() override;

    // Takes over a client whose handshake is complete (the socket becomes ours).
    void add(QWebSocket* socket);
    // To every client that wants `sensor`; an empty sensor goes to every client.
    void publish(const QString& sensor, const QString& message);
    // The first messages of a new client, or of one that changes its sensors: the state of
    // the sensors it wants (nullptr: none).
    std::function<QStringList(const QSet<QString>& wanted)> greeting;
    // The sensors there are, to refuse a name that is none.
    std::function<bool(const QString& sensor)> known;

    int clients() const;
    quint64 dropped() const { return dropped_; }
    // Closes every client (going away) and forgets them.
    void closeAll();

  private:
    struct Client {
        QWebSocket* socket = nullptr;
        QSet<QString> wanted; // empty: all
        std::deque<QString> queue;
        qint64 seen = 0;   // clock_ when it last showed a sign of life
        bool gone = false; // removed: leaves the list a turn later
    };

    void send(Client& c, const QString& message);
    void flush();
    void drain(Client& c);
    void onMessage(Client& c, const QString& text);
    void greet(Client& c);
    void ping();
    void remove(QWebSocket* socket);
    Client* find(QWebSocket* socket);

    StreamLimits limits_;
    std::vector<std::unique_ptr<Client>> clients_;
    quint64 dropped_ = 0;
    QTimer flushTimer_;        // runs while a batch waits: it leaves when it fires
    QTimer pingTimer_;         // runs while there are clients
    bool sweepPosted_ = false; // gone clients leave the list in a later turn
    QElapsedTimer clock_;
};

// "COM1,COM2"; an empty set for none or "all".
QSet<QString> SensorNames(const QString& commaList);

} // namespace zurid::serve
