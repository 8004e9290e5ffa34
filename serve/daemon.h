// zurid serve as one object: the line's ports, the HTTP server with the API, the stream, the
// jobs. One thread, one event loop; nothing here prints (the command line does).
#pragma once

#include "sensors/result.h"
#include "serve/api.h"
#include "serve/health.h"
#include "serve/http/framer.h"
#include "serve/mqtt/bridge.h"
#include "serve/stream.h"

#include <QHostAddress>
#include <QObject>
#include <QSslConfiguration>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace zurid::serve {

class Line;

struct ServeOptions {
    QStringList ports; // COMn, n or device paths
    bool all = false;  // every port of the table instead
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8480; // 0: any free one
    Keys keys;           // the tokens accepted, each with whom it stands for
    bool readOnly = false;
    bool privateReads = false; // every request but the page's files needs a token
    QString backups;           // the folder of the backups
    http::Limits limits;
    std::optional<QSslConfiguration> tls; // HTTPS and WSS on the port
    QStringList hosts;                    // names a request's Host may give, besides the address
    StreamLimits stream;
    std::optional<mqtt::BridgeOptions> mqtt; // publish the line to an MQTT broker too
    QString journal;                         // where every change is recorded
    QString reference;                       // a backup's name: the line's reference set
    qint64 verifyEveryMs = 600'000;          // how often the sensors are compared with it
    HealthOptions health{};                  // counting margin and light level
};

inline constexpr char kStreamPath[] = "/api/v1/stream";

class Daemon : public QObject {
  public:
    explicit Daemon(ServeOptions options, QObject* parent = nullptr);
    ~Daemon() override;

    // Looks the ports up and reads the reference; the message names a name that is no port, a
    // port named twice, or why the reference cannot be used.
    sensors::Status prepare();
    // Listens, starts the ports and the MQTT bridge; the message says why it cannot listen.
    // The bridge keeps trying to reach its broker for as long as it runs.
    sensors::Status start();
    // Stops listening and polling, interrupts a running job (a backup's manifest then says
    // incomplete), closes the ports and the stream's clients, says "offline" to the MQTT
    // broker; `stopped` runs once they had a moment to say goodbye.
    void stop(std::function<void()> stopped);

    QHostAddress address() const;
    quint16 port() const;
    const Line& line() const;
    // Lines for the log: from the MQTT bridge (connected, lost, why), an address locked out.
    std::function<void(const QString&)> note;
    // Each wrong token, by HTTP or MQTT, and whether it locked its address out.
    std::function<void(const AuthFailure&)> authFailed;

  private:
    struct Parts;
    std::unique_ptr<Parts> d_;
};

} // namespace zurid::serve
