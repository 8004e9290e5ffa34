// A run over many ports at once: one thread, one asynchronous session per port. Each port works
// through its own list of steps (one transaction each); a port that fails stops alone and the
// others go on; Ctrl-C stops every port at once. At the end a summary table goes to stderr.
#pragma once

#include "cli/cli.h"
#include "cli/session.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zurid::cli {

// Where a port sits, in a name that survives a reboot and a re-plug: the link in
// ROOT/by-path (the socket or USB port), else in ROOT/by-id (the adapter), that leads to the
// device; else the device path itself.
QString StableLocation(const QString& device, const QString& root = QStringLiteral("/dev/serial"));

struct FleetPort;

// One transaction of a port's run: `start` queues it on the session; `accept` judges its good
// reply (an empty text: go on, else why the port failed).
struct FleetStep {
    QString name; // "line check", "EEPROM read", for the summary
    std::function<void(PortSession&, Done)> start;
    std::function<QString(FleetPort&, const Reply&)> accept;
};

struct FleetPort {
    enum class State { Running, Ok, Differs, Failed, Interrupted, Skipped };

    PortRef ref;
    QString location;
    std::unique_ptr<PortSession> session;
    State state = State::Running;
    QString note; // the failure, the differences in short, or why it was skipped
    QString time; // ISO 8601 UTC, when its result was known
    std::optional<core::ParamBlock> ram, eeprom; // as read from the sensor
    std::vector<FleetStep> steps;
    std::size_t next = 0;
    int entry = -1; // the command's own index for it (a manifest entry)
};

class Fleet : public QObject {
    Q_OBJECT
  public:
    // `verb` names the command in messages: "backup".
    explicit Fleet(QString verb, QObject* parent = nullptr);
    ~Fleet() override;

    // The named ports (COMn, n, device path), each once. False, with a message, for a name
    // that is no port: then nothing has been opened.
    bool addPorts(const QStringList& names);
    // Every port of the table; those without a sensor are skipped, not failed.
    void addAll();
    std::vector<std::unique_ptr<FleetPort>>& ports() { return ports_; }

    // Opens every port and runs its steps, all ports at once; returns when each one has ended
    // or on Ctrl-C (then the running ones are Interrupted). After a port's last step
    // `finished` may change its state and note (it writes the port's files, compares, ...).
    void run(const std::function<std::vector<FleetStep>(FleetPort&)>& plan,
             const std::function<void(FleetPort&)>& finished);
    bool interrupted() const { return interrupted_; }

    // The table on stderr: port, location, result.
    void printSummary() const;
    // 0 when every port that was not skipped is Ok, else 1.
    int exitStatus() const;

  private:
    void startFrom(std::size_t index);
    void advance(FleetPort& p);
    void onReply(FleetPort& p, const Reply& r);
    void end(FleetPort& p, FleetPort::State s, const QString& note);
    void interrupt();
    void checkDone();

    QString verb_;
    bool all_ = false;
    bool interrupted_ = false;
    bool running_ = false;
    std::vector<std::unique_ptr<FleetPort>> ports_;
    std::function<std::vector<FleetStep>(FleetPort&)> plan_;
    std::function<void(FleetPort&)> finished_;
};

QString StateName(FleetPort::State s);

// The arguments every fleet command takes: DIR, then PORT... Parses the command line; an exit
// status when the command is over already (after --help or a usage error), see ParseCommand.
std::optional<int> ParseFleetCommand(QCommandLineParser& parser, const QStringList& args,
                                     const char* details);

} // namespace zurid::cli
