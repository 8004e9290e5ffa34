// The line's ports as zurid serve owns them: for each port a session that is kept alive. A port
// starts with the line check, the RAM and the EEPROM read, then polls live data in the window's
// cycle (request, reply, pause), as `zurid watch` does. A port that fails is retried with a
// growing pause: a pulled plug shows as absent and comes back by itself, a silent sensor as a
// time-out. Other transactions (parameters, jump buffer, jobs) queue on the same session and
// go out after the live-data exchange in flight: they wait at most one cycle.
#pragma once

#include "core/livedata.h"
#include "sensors/ports.h"
#include "sensors/session.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zurid::serve {

using sensors::Memory;
using sensors::PortRef;
using sensors::PortSession;

enum class SensorStatus { Starting, Ok, Timeout, Absent, Error };
QString StatusName(SensorStatus s); // "starting", "ok", "timeout", "absent", "error"

struct Reading {
    double t = 0; // Unix time in seconds, when the reply was complete
    core::LiveValues values;
};

struct LinePort {
    PortRef ref;      // id = ref.label ("COM3")
    QString location; // where it sits (by-path, by-id or the device)
    SensorStatus status = SensorStatus::Starting;
    QString message;                             // why it is not ok
    bool busy = false;                           // another program holds the port
    QString version;                             // of the sensor's line-check answer ("1.0")
    std::optional<core::ParamBlock> ram, eeprom; // as last read or written
    std::optional<Reading> last;
    quint64 readings = 0;
    quint64 timeouts = 0;
    quint64 failures = 0; // transactions that failed otherwise
    // What is changing the sensor's parameters now ("a parameter change", "restore job 3"):
    // one at a time, so that no change is built on a block another one is replacing.
    QString writer;

    // The session while the port works (status ok), else nullptr.
    PortSession* session() const { return status == SensorStatus::Ok ? session_.get() : nullptr; }
    // The port's one session, open or not: what is queued on it always ends, with a failure
    // when the port is gone.
    PortSession& anySession() const { return *session_; }
    // Readings per second over the last few seconds; 0 while it has none.
    double rate() const;

  private:
    friend class Line;
    std::unique_ptr<PortSession> session_;
    enum class Next { Poll, Begin, Open };
    QTimer pause_;           // between live-data exchanges, and before a retry
    Next next_ = Next::Poll; // what the pause leads to
    quint64 gen_ = 0;        // bumped when the port starts over: late answers of before are dropped
    int backoffMs_ = 0;
    std::deque<double> recent_; // monotonic seconds of the recent readings
};

// Marks the port's parameters as being changed by `what` until the last copy of the returned
// hold is gone, however the change ends.
std::shared_ptr<void> HoldWriter(LinePort& p, const QString& what);

class Line : public QObject {
  public:
    explicit Line(QObject* parent = nullptr);
    ~Line() override;

    // The named ports (COMn, n, device path), each once; with `all` every port of the table.
    // The message names a name that is no port, or a port named twice.
    sensors::Status addPorts(const QStringList& names);
    void addAll();

    void start();
    // Stops polling and retrying, drops what is queued, closes every port.
    void stop();
    bool stopped() const { return stopped_; }

    const std::vector<std::unique_ptr<LinePort>>& ports() const { return ports_; }
    // By id ("COM3", "com3") or device path; nullptr when there is none.
    LinePort* find(const QString& id) const;

    // Counts the status changes of all ports: what was built from the statuses is stale when
    // it has moved.
    quint64 statusChanges() const { return statusChanges_; }

    // A block was read or written: keeps it, and tells if it differs from the one known.
    void keepBlock(LinePort& p, Memory m, const core::ParamBlock& block);

    std::function<void(LinePort&)> statusChanged;
    std::function<void(LinePort&, const Reading&)> readingArrived;
    std::function<void(LinePort&, Memory)> blockChanged;

    // Timing; tests and the benchmark leave them as they are.
    int dataPauseMs = core::kDataPauseMs;
    int firstRetryMs = 500;
    int lastRetryMs = 5000;

  private:
    void add(const PortRef& ref);
    void open(LinePort& p);
    void begin(LinePort& p); // line check, RAM, EEPROM, then live data
    void poll(LinePort& p, int settleMs);
    void onData(LinePort& p, const sensors::Reply& r);
    void fail(LinePort& p, SensorStatus s, const QString& message);
    void retry(LinePort& p, LinePort::Next again);
    void resume(LinePort& p);
    void setStatus(LinePort& p, SensorStatus s, const QString& message);
    void portGone(LinePort& p, const QString& reason);

    std::vector<std::unique_ptr<LinePort>> ports_;
    bool stopped_ = false;
    quint64 statusChanges_ = 0;
};

} // namespace zurid::serve
