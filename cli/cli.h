// What every command shares: exit status, messages, option parsing with --help, the event loop,
// and opening the named ports.
#pragma once

#include "sensors/fleet.h"
#include "sensors/ports.h"
#include "sensors/session.h"

#include <QCommandLineParser>
#include <QJsonValue>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

namespace zurid::cli {

// The commands speak the sensor library's names.
using namespace zurid::sensors;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1; // the sensor or a file failed
inline constexpr int kExitUsage = 2;  // bad usage: nothing was sent or written

// "zurid: TEXT" on stderr.
void Message(const QString& text);
// TEXT as it stands on stdout (UTF-8), flushed. False when stdout refused it (a full disk, a
// closed terminal): then a message said so once, and StdoutFailed() holds for the rest of the
// run, so that the command does not end with 0.
bool Out(const QString& text);
bool StdoutFailed();
// A JSON document on stdout, indented; as Out.
bool OutJson(const QJsonValue& value);
// A CSV field as RFC 4180 has it: quoted when it holds a comma, a quote or a line end, with
// its quotes doubled (a device path may hold any of them).
QString CsvField(const QString& text);

// Parses a command's arguments (args[0] is its name). Returns an exit status when the command
// is over already: 0 after --help, 2 after a message for an unknown option or a wrong number of
// positional arguments (maxArgs < 0: no upper limit). `details` follows the synopsis in --help.
std::optional<int> ParseCommand(QCommandLineParser& parser, const QStringList& args,
                                const QString& details, int minArgs, int maxArgs);
// --help text of a command.
QString CommandHelp(const QString& name, QCommandLineParser& parser, const QString& details);

// A non-negative integer option; nullopt (and a message) when it is not one.
std::optional<qint64> IntOption(const QCommandLineParser& parser, const QString& name,
                                qint64 fallback, qint64 min, qint64 max);

// --reason's text when it fits a journal record; else a message and 2 (bad usage).
std::optional<int> RefuseReason(const QCommandLineParser& parser, const QString& verb);

// Runs the event loop until Finish(status); returns that status. Finish may come first.
int RunLoop();
void Finish(int status);

// The exit status of each kind of failure: 2 for what the command line asked that cannot be
// (bad usage, a value not allowed: nothing was sent or written), 1 for every failure of a
// sensor, a port or a file.
int ExitStatus(ErrorKind kind);

// Looks every port up; the same device twice (also through a link) is bad usage. On failure a
// message and the exit status.
std::optional<int> LookupPorts(const QString& verb, const QStringList& names, QList<PortRef>& refs);

// A port, looked up and opened.
struct OpenedPort {
    PortRef ref;
    std::unique_ptr<PortSession> session; // null when it could not be had
    int status = kExitOk;                 // then the exit status, after a message naming it
};
OpenedPort OpenPort(const QString& text);
OpenedPort OpenPort(const PortRef& ref);
// Each named port looked up and opened, in order; an exit status after a message when one
// cannot be had (see LookupPorts and OpenPort).
std::optional<int> OpenPorts(const QString& verb, const QStringList& names,
                             std::vector<OpenedPort>& opened);

// The arguments every fleet command takes: DIR, then PORT... Parses the command line; an exit
// status when the command is over already (after --help or a usage error), see ParseCommand.
std::optional<int> ParseFleetCommand(QCommandLineParser& parser, const QStringList& args,
                                     const char* details);
// Runs the fleet with Ctrl-C wired to interrupt it (and a message saying so); `verb` names the
// command. Then the summary on stderr; returns the exit status.
int RunFleet(const QString& verb, Fleet& fleet, Fleet::Plan plan, Fleet::Finished finished);

} // namespace zurid::cli
