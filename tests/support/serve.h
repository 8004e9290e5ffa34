// Test and benchmark helpers for zurid serve: the real program as a process on a free port of
// the loopback, and HTTP over a raw socket, byte for byte as sent and received, so that a test
// sees exactly what the server answers (or that it closed the connection).
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QTcpSocket;

namespace testing_support {

struct HttpAnswer {
    int status = 0;  // 0: no answer (closed, or nothing within the time)
    QByteArray head; // status line and headers
    QByteArray body;
    bool closed = false; // the server closed the connection after it

    QByteArray header(const QByteArray& name) const;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QString errorCode() const;
};

// Reads one answer from the socket (Content-Length framing).
HttpAnswer ReadAnswer(QTcpSocket& socket, int timeoutMs = 10000);
// Sends the bytes as they are on a new connection and reads one answer. `from` is the
// connection's own address (another of the loopback's, 127.0.0.2, is another client to the
// server); the system's choice when null.
HttpAnswer RawHttp(quint16 port, const QByteArray& bytes, int timeoutMs = 10000,
                   const QHostAddress& from = {});
// One request with Host and Content-Length; `token` adds Authorization: Bearer.
HttpAnswer Http(quint16 port, const QByteArray& method, const QByteArray& target,
                const QByteArray& body = {}, const QByteArray& token = {}, int timeoutMs = 10000,
                const QHostAddress& from = {});

// The opening of a WebSocket at `target` on the server `host` ("127.0.0.1:8480"), with an Origin
// header when one is given.
QByteArray WebSocketHandshake(const QByteArray& host, const QByteArray& target = "/api/v1/stream",
                              const QByteArray& origin = {});
// The open connections the server counts in /metrics, the scrape's own included; -1 without.
int OpenConnections(quint16 port);

// zurid serve on 127.0.0.1 at a port of the system's choosing, with its own state folder (the
// token file and the backups there unless the arguments name others).
class ServeProcess {
  public:
    ServeProcess() = default;
    ~ServeProcess(); // kills it if it still runs
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    // Starts `zurid serve ARGS --listen 127.0.0.1:0` with ZURID_PORTS and XDG_STATE_HOME set
    // and waits for its "serving" line; false if it ended or said nothing in time.
    bool start(const QStringList& args, const std::vector<std::string>& ports,
               const QString& stateHome);
    // A program (and its arguments) that runs zurid as the rest of its command line, from the
    // next start on.
    void runUnder(const QStringList& wrapper) { wrapper_ = wrapper; }
    // Until every sensor's status is `status` (polling /api/v1/sensors); false on time-out.
    bool waitForStatus(const QString& status, int timeoutMs = 15000) const;
    // Until its log holds `text`; false on time-out.
    bool waitForLog(const QString& text, int timeoutMs = 10000);
    // SIGTERM, then the exit code (-1 if it did not end in time or crashed).
    int terminate(int timeoutMs = 10000);

    quint16 port() const { return port_; }
    QString errText() const { return err_; }
    qint64 pid() const { return process_.processId(); }
    QProcess& process() { return process_; }

  private:
    QProcess process_;
    QStringList wrapper_;
    quint16 port_ = 0;
    QString err_;
};

// Polls `GET target` every 50 ms until `pred` holds for its JSON, and returns that JSON;
// nullopt if it never did within the time.
std::optional<QJsonObject> PollJson(quint16 port, const QByteArray& target,
                                    const std::function<bool(const QJsonObject&)>& pred,
                                    int timeoutMs = 15000);

} // namespace testing_support
