// zurid serve as one object: the line's ports, the HTTP server with the API, the stream, the
// jobs. One thread, one event loop; nothing here prints (the command line does).
#pragma once

#include "sensors/result.h"
#include "serve/http/framer.h"
#include "serve/stream.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

namespace zurid::serve {

class Line;

struct ServeOptions {
    QStringList ports; // COMn, n or device paths
    bool all = false;  // every port of the table instead
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 8480; // 0: any free one
    QString token;
    bool readOnly = false;
    QString backups; // the folder of the backups
    http::Limits limits;
    StreamLimits stream;
};

inline constexpr char kStreamPath[] = "/api/v1/stream";

class Daemon : public QObject {
  public:
    explicit Daemon(ServeOptions options, QObject* parent = nullptr);
    ~Daemon() override;

    // Looks the ports up; the message names a name that is no port, or a port named twice.
    sensors::Status prepare();
    // Listens and starts the ports; the message says why it cannot listen.
    sensors::Status start();
    // Stops listening and polling, interrupts a running job (a backup's manifest then says
    // incomplete), closes the ports and the stream's clients; `stopped` runs once they had a
    // moment to say goodbye.
    void stop(std::function<void()> stopped);

    QHostAddress address() const;
    quint16 port() const;
    const Line& line() const;

  private:
    struct Parts;
    std::unique_ptr<Parts> d_;
};

} // namespace zurid::serve
