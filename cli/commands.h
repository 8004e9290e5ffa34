// The commands of zurid, one table: name, arguments, one line of what it does, and the function
// that runs it. Each function gets the command's own arguments (the first is its name) and
// returns the exit status.
#pragma once

#include <QStringList>

#include <span>

namespace zurid::cli {

struct Command {
    const char* name;
    const char* synopsis; // arguments and options after the name
    const char* summary;  // one line
    int (*run)(const QStringList& args);
};

std::span<const Command> Commands();
const Command* FindCommand(const QString& name);

int RunPorts(const QStringList& args);   // cmd_ports.cpp
int RunCheck(const QStringList& args);   // cmd_ports.cpp
int RunGet(const QStringList& args);     // cmd_params.cpp
int RunSend(const QStringList& args);    // cmd_params.cpp
int RunSet(const QStringList& args);     // cmd_params.cpp
int RunDiff(const QStringList& args);    // cmd_diff.cpp
int RunWatch(const QStringList& args);   // cmd_watch.cpp
int RunBuffer(const QStringList& args);  // cmd_buffer.cpp
int RunHealth(const QStringList& args);  // cmd_health.cpp
int RunBackup(const QStringList& args);  // cmd_backup.cpp
int RunRestore(const QStringList& args); // cmd_restore.cpp
int RunVerify(const QStringList& args);  // cmd_restore.cpp
int RunJournal(const QStringList& args); // cmd_journal.cpp
int RunToken(const QStringList& args);   // cmd_token.cpp
// serve runs as a program of its own, zurid-serve: the network libraries it needs would slow
// every other command's start. ExecServe replaces this process with it (same pid, so SIGTERM
// and systemd see no difference); RunServe is its body.
int ExecServe(const QStringList& args); // serve_exec.cpp
int RunServe(const QStringList& args);  // cmd_serve.cpp, in zurid-serve

} // namespace zurid::cli
