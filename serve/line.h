// The line's ports as zurid serve owns them: for each port a session that is kept alive. A port
// starts with the line check, the RAM and the EEPROM read, then polls live data in the window's
// cycle (request, reply, pause), as `zurid watch` does. A port that fails is retried with a
// growing pause: a pulled plug shows as absent and comes back by itself, a silent sensor as a
// time-out. A client's work (a parameter read or change, the jump buffer) waits in a bounded
// queue of the port's own and goes out between two live-data cycles, one unit at a time and
// paced so that live data keeps its share of the wire. The jobs' transactions queue on the
// session itself and go out after the live-data exchange in flight.
#pragma once

#include "core/health.h"
#include "core/livedata.h"
#include "sensors/ports.h"
#include "sensors/session.h"
#include "serve/answer.h"

#include <QJsonObject>
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

// Units of client work that may wait per port; one more is answered 503 `busy`.
inline constexpr int kClientQueueLimit = 8;
// The share of a port's time that live data keeps while clients keep it busy: after a unit of
// client work live data has the port alone for a while, nine times as long as the unit held it
// (a parameter read: some 1.6 s), but never longer than kLongestRest, so that an operator's
// next request after a long one (a change in EEPROM) does not wait for long.
inline constexpr double kLiveShare = 0.9;
inline constexpr double kLongestRest = 2.0;

class Line;
struct LinePort;
struct ClientUnit;

// Who waits for the end of a unit of client work, whatever it came by (an HTTP request, an
// MQTT command).
struct Waiter {
    std::function<bool()> waiting;              // still wants the answer
    std::function<void(const Answer&)> deliver; // hands it over, once
};

// What a unit of client work is handed when its turn comes.
class ClientTurn {
  public:
    // Some client still waits for the answer.
    bool wanted() const;
    // Hands the answer to every client that waits, and ends the unit. Once.
    void answer(const Answer& answer) const;

  private:
    friend class Line;
    Line* line_ = nullptr;
    LinePort* port_ = nullptr;
    std::shared_ptr<ClientUnit> unit_;
};

// A client's unit of work on a port: a parameter read, a jump-buffer read, or a parameter
// change with its reads, write and read-back.
struct ClientWork {
    // Reads with the same key that wait together are answered by one run; empty: never shared.
    QString key;
    bool write = false; // goes before the reads that wait
    // Queues the unit's transactions on the session, each from the end of the one before, and
    // ends with turn.answer().
    std::function<void(PortSession&, const ClientTurn& turn)> run;
};

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
    // Parameter changes of the API and MQTT that sent a write to RAM, to EEPROM.
    quint64 ramWrites = 0, eepromWrites = 0;
    // What is changing the sensor's parameters now ("a parameter change", "restore job 3"):
    // one at a time, so that no change is built on a block another one is replacing.
    QString writer;
    // {"on", "since", "differences"} against the line's reference; empty without one (see
    // drift.h).
    QJsonObject drift;
    // Counting margin and light level as last computed (serve/health.h); unknown until then.
    core::HealthFigures health;

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

    // Client work: what waits (writes first), the unit on the wire, and the pacing.
    std::deque<std::shared_ptr<ClientUnit>> waiting_;
    std::shared_ptr<ClientUnit> running_;
    bool liveSinceClient_ = false; // a live-data cycle ended since the last unit did
    double restUntil_ = 0;         // monotonic: live data alone until then
    bool lastWasWrite_ = false;
    double lastTurn_ = 1.0; // seconds from the last unit's start to the next one's
};

// Why a port that does not work takes no transaction: Gone (absent), Unavailable (starting, a
// line error), Timeout (the sensor does not answer), Busy (another program holds it).
Answer Unavailable(const LinePort& p);
// The answer to a failure on a working port ("COM1: why"): Gone when the port is, else `kind`.
Answer Failure(const LinePort& p, ErrorKind kind, const QString& why);

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
    // This server wrote `after` and the sensor holds it: keeps it, then tells blockWritten.
    // `before` is what the sensor held; none when the whole block is the writer's (a restore).
    void wroteBlock(LinePort& p, Memory m, const std::optional<core::ParamBlock>& before,
                    const core::ParamBlock& after);

    // Client work for a working port (status ok). A read joins the same read that waits
    // already; otherwise the unit waits for its turn, or `waiter` is answered Unavailable
    // `busy` with a time to retry when clientQueueLimit units wait. Work whose clients have all
    // gone is dropped unrun; what still waits when the port fails is answered with the port's
    // status.
    void submit(LinePort& p, ClientWork work, Waiter waiter);
    // Units waiting on the port (not the one on the wire).
    int clientsWaiting(const LinePort& p) const { return static_cast<int>(p.waiting_.size()); }

    std::function<void(LinePort&)> statusChanged;
    std::function<void(LinePort&, const Reading&)> readingArrived;
    std::function<void(LinePort&, Memory)> blockChanged;
    std::function<void(LinePort&, Memory, const std::optional<core::ParamBlock>& before,
                       const core::ParamBlock& after)>
        blockWritten;

    // Timing and the client queue's bound; tests and the benchmark may change them.
    int dataPauseMs = core::kDataPauseMs;
    int firstRetryMs = 500;
    int lastRetryMs = 5000;
    int clientQueueLimit = kClientQueueLimit;
    double liveShare = kLiveShare;
    double longestRest = kLongestRest;

  private:
    void add(const PortRef& ref);
    void open(LinePort& p);
    void begin(LinePort& p); // line check, RAM, EEPROM, then live data
    void poll(LinePort& p, int settleMs);
    void onData(LinePort& p, const sensors::TransactionResult& r);
    void fail(LinePort& p, SensorStatus s, const QString& message);
    void retry(LinePort& p, LinePort::Next again);
    void resume(LinePort& p);
    void setStatus(LinePort& p, SensorStatus s, const QString& message);
    void portGone(LinePort& p, const QString& reason);
    friend class ClientTurn;
    void startClient(LinePort& p);
    void clientEnded(LinePort& p, const std::shared_ptr<ClientUnit>& unit);
    void dropGone(LinePort& p);
    void refuseWaiting(LinePort& p);

    std::vector<std::unique_ptr<LinePort>> ports_;
    bool stopped_ = false;
    quint64 statusChanges_ = 0;
};

} // namespace zurid::serve
