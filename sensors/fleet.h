// A run over many ports at once: one thread, one asynchronous session per port. Each port works
// through its own list of steps (one transaction each); a port that fails stops alone and the
// others go on; interrupt() stops every port at once. Each port's state and note say how it
// ended (sensors/fleettable.h puts them in a table).
#pragma once

#include "sensors/ports.h"
#include "sensors/session.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zurid::sensors {

struct FleetPort;

// How a step ended: go on, or why the port failed.
using StepDone = std::function<void(const Status&)>;

// One step of a port's run, one or more transactions queued on the session.
struct FleetStep {
    // "line check", "EEPROM read": a failure is "NAME: why" in the summary. A step without a
    // name (a write with its read-back) names its stage in the failure itself.
    QString name;
    std::function<void(FleetPort&, PortSession&, StepDone)> run;
};

// A step of one transaction: `start` queues it on the session; `accept`, when given, judges
// its good reply (a failure stops the port).
FleetStep TransactionStep(QString name, std::function<void(PortSession&, Done)> start,
                          std::function<Status(FleetPort&, const TransactionResult&)> accept = {});
// The line check; a read of one memory into the port's ram or eeprom.
FleetStep LineCheckStep();
FleetStep ReadStep(Memory m);

struct FleetPort {
    enum class State { Running, Ok, Differs, Failed, Interrupted, Skipped };

    PortRef ref;
    QString location;
    std::unique_ptr<PortSession> session;
    // A session someone else holds open (zurid serve's, which polls the port meanwhile): the
    // steps queue on it between the owner's transactions, and the fleet never opens, cancels
    // or closes it.
    PortSession* lent = nullptr;
    State state = State::Running;
    QString note; // the failure, the differences in short, or why it was skipped
    ErrorKind kind = ErrorKind::None;            // of the failure, when Failed or Skipped
    QString time;                                // ISO 8601 UTC, when its result was known
    std::optional<core::ParamBlock> ram, eeprom; // as read from the sensor
    std::vector<FleetStep> steps;
    std::size_t next = 0;
    int entry = -1; // the command's own index for it (a manifest entry)
};

class Fleet : public QObject {
    Q_OBJECT
  public:
    explicit Fleet(QObject* parent = nullptr);
    ~Fleet() override;

    // The named ports (COMn, n, device path), each once. A message for a name that is no port
    // or names a port twice: then nothing has been opened.
    Status addPorts(const QStringList& names);
    // One port by name; `location` as given (a backup's entry) or, when empty, where it sits.
    // The port, or a message when it is no port or one the fleet has already.
    Result<FleetPort*> addPort(const QString& name, const QString& location = {});
    Result<FleetPort*> addPort(const PortRef& ref, const QString& location = {});
    // The same for ports looked up already.
    Status addPorts(const QList<PortRef>& refs);
    // A port that cannot take part (a backed-up sensor whose location is gone): it is Failed
    // from the start with `why`, and counts like any failed port.
    void addAbsent(const PortRef& ref, const QString& location, const Error& why);
    // Every port of the table; those without a sensor are skipped, not failed.
    void addAll();
    std::vector<std::unique_ptr<FleetPort>>& ports() { return ports_; }
    const std::vector<std::unique_ptr<FleetPort>>& ports() const { return ports_; }

    using Plan = std::function<std::vector<FleetStep>(FleetPort&)>;
    using Finished = std::function<void(FleetPort&)>;

    // Opens every port and runs its steps, all ports at once, from the event loop; `done` is
    // emitted once each one has ended (or was interrupted). After a port's last step
    // `finished` may change its state and note (it writes the port's files, compares, ...).
    void start(Plan plan, Finished finished);
    // start() and a local event loop until `done`.
    void run(Plan plan, Finished finished);
    // Stops every running port (they end Interrupted). Safe at any time, also twice.
    void interrupt();
    bool interrupted() const { return interrupted_; }
    bool running() const { return running_; }

    // Whether there was a port that was not skipped and every such port is Ok.
    bool allOk() const;

  signals:
    void done();

  private:
    void startFrom(std::size_t index);
    // Empty when the port's own session is open, else why not.
    static Status openSession(FleetPort& p);
    void advance(FleetPort& p);
    void onStep(FleetPort& p, const Status& s);
    void end(FleetPort& p, FleetPort::State s, const QString& note,
             ErrorKind kind = ErrorKind::None);
    void checkDone();

    bool all_ = false;
    bool interrupted_ = false;
    bool running_ = false;
    std::vector<std::unique_ptr<FleetPort>> ports_;
    Plan plan_;
    Finished finished_;
};

QString StateName(FleetPort::State s);

} // namespace zurid::sensors
