// zurid serve: the line on the network (serve/). Here only the command line: the options, the
// token file, the messages; Ctrl-C and SIGTERM end it cleanly with exit 0.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/serve_mqtt.h"
#include "platform/serial/interrupt.h"
#include "serve/daemon.h"
#include "serve/line.h"
#include "serve/token.h"

#include <QDir>

namespace zurid::cli {

namespace {

const char* const kServeDetails =
    "Owns the named ports (with --all every port in the table) for as long as it runs and\n"
    "offers them over HTTP, one process, one thread: for each sensor the line check, the RAM\n"
    "and EEPROM read, then live data at the wire limit as 'zurid watch' polls it. A port\n"
    "that fails is tried again and again: a sensor plugged in later appears, a pulled plug\n"
    "shows as absent and comes back. A port another program holds is named and tried again\n"
    "later.\n"
    "\n"
    "  GET   /api/v1/sensors                     every sensor: status, last reading, rate\n"
    "  GET   /api/v1/sensors/ID                  one, with both parameter sets as last read\n"
    "  GET   /api/v1/sensors/ID/parameters?memory=ram|eeprom     a fresh read\n"
    "  PATCH /api/v1/sensors/ID/parameters?memory=ram|eeprom     {\"THRESHOLD\": 80}, as set\n"
    "  GET   /api/v1/sensors/ID/buffer            the jump buffer and the THRESHOLD\n"
    "  GET   /api/v1/backups                      the backups in the --backups folder\n"
    "  POST  /api/v1/backups                      {\"name\": \"line-7\"}: a backup job\n"
    "  POST  /api/v1/backups/NAME/verify          a verify job\n"
    "  POST  /api/v1/backups/NAME/restore         {\"ram\": false, \"dry_run\": true}\n"
    "  GET   /api/v1/jobs/N                       a job: running, done or failed, per port\n"
    "  GET   /api/v1/stream                       WebSocket: every reading, every change\n"
    "  GET   /metrics                             Prometheus text format\n"
    "  GET   /                                    the web page\n"
    "\n"
    "Reads are open. Every write (PATCH, a backup, a restore) and a verify, which holds the\n"
    "one job slot, need the header 'Authorization: Bearer TOKEN' with the token from the token\n"
    "file (made on first start, mode 0600, with a random token; a file that group or others\n"
    "may read is refused); --read-only refuses them all. Errors are JSON {\"error\": {\"code\", "
    "\"message\"}}.\n"
    "Request line, headers and body have size limits, connections a cap and an idle time.\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM (polling stopped, a running job interrupted\n"
    "with whole files, the ports closed), 1 when it cannot listen, 2 bad usage or a refused\n"
    "token file.";

struct Listen {
    QHostAddress address;
    quint16 port = 0;
};

// "127.0.0.1:8480", "[::1]:8480", "0.0.0.0:8480", "localhost:8480".
std::optional<Listen> ParseListen(const QString& text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) {
        return std::nullopt;
    }
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    Listen l;
    if (host == QLatin1String("localhost")) {
        host = QStringLiteral("127.0.0.1");
    }
    if (!ok || port > 65535 || !l.address.setAddress(host)) {
        return std::nullopt;
    }
    l.port = static_cast<quint16>(port);
    return l;
}

QString Authority(const QHostAddress& a, quint16 port) {
    const QString host = a.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(a.toString())
                             : a.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

} // namespace

int RunServe(const QStringList& args) {
    QCommandLineParser parser;
    const QCommandLineOption all(QStringLiteral("all"), QStringLiteral("Every port in the table."));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Address and port to serve (default 127.0.0.1:8480, this machine only)."),
        QStringLiteral("ADDR:PORT"));
    const QCommandLineOption tokenFile(
        QStringLiteral("token-file"),
        QStringLiteral("The token for writes (default $XDG_STATE_HOME/zurid/token, else "
                       "~/.local/state/zurid/token)."),
        QStringLiteral("FILE"));
    const QCommandLineOption readOnly(QStringLiteral("read-only"),
                                      QStringLiteral("Refuse every write (403)."));
    const QCommandLineOption backups(
        QStringLiteral("backups"),
        QStringLiteral("The folder of the backups (default the backups folder beside the "
                       "default token file)."),
        QStringLiteral("DIR"));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections"),
        QStringLiteral("Open connections at most, WebSockets included (default 64)."),
        QStringLiteral("N"));
    const QCommandLineOption idle(
        QStringLiteral("idle-timeout"),
        QStringLiteral("Close a connection that completes no request for S seconds (default 30)."),
        QStringLiteral("S"));
    parser.addOptions({all, listen, tokenFile, readOnly, backups, maxConnections, idle});
    parser.addOptions(MqttOptions());
    const QString details =
        QLatin1String(kServeDetails) + QStringLiteral("\n\n") + QLatin1String(kServeMqttDetails);
    if (const auto done = ParseCommand(parser, args, details, 0, -1)) {
        return *done;
    }
    const QStringList ports = parser.positionalArguments();
    if (ports.isEmpty() == !parser.isSet(all)) {
        Message(QStringLiteral("serve needs PORT... or --all, not both nor neither (see 'zurid "
                               "serve --help')"));
        return kExitUsage;
    }
    serve::ServeOptions options;
    options.ports = ports;
    options.all = parser.isSet(all);
    options.readOnly = parser.isSet(readOnly);
    if (parser.isSet(listen)) {
        const auto l = ParseListen(parser.value(listen));
        if (!l) {
            Message(QStringLiteral("--listen needs ADDR:PORT, an IP address and a port, not '%1'")
                        .arg(parser.value(listen)));
            return kExitUsage;
        }
        options.address = l->address;
        options.port = l->port;
    }
    const auto cap = IntOption(parser, QStringLiteral("max-connections"), 64, 1, 10'000);
    const auto idleSeconds = IntOption(parser, QStringLiteral("idle-timeout"), 30, 1, 86'400);
    if (!cap || !idleSeconds) {
        return kExitUsage;
    }
    options.limits.connections = static_cast<int>(*cap);
    options.limits.idleMs = static_cast<int>(*idleSeconds * 1000);
    options.backups = parser.isSet(backups) ? parser.value(backups)
                                            : serve::StateDir() + QStringLiteral("/backups");
    if (options.backups.isEmpty()) {
        Message(QStringLiteral("--backups needs a folder"));
        return kExitUsage;
    }
    if (!ReadMqttOptions(parser, options)) {
        return kExitUsage;
    }
    const QString tokenPath = parser.isSet(tokenFile)
                                  ? parser.value(tokenFile)
                                  : serve::StateDir() + QStringLiteral("/token");
    const serve::Token token = serve::LoadToken(tokenPath);
    if (!token.error.isEmpty()) {
        Message(token.error);
        return kExitUsage;
    }
    options.token = token.value;

    // A port that is missing is a failure, not bad usage.
    QList<PortRef> refs;
    if (const auto status = LookupPorts(QStringLiteral("serve"), ports, refs)) {
        return *status;
    }
    serve::Daemon daemon(options);
    daemon.note = [](const QString& text) { Message(text); };
    if (const Status prepared = daemon.prepare(); !prepared) {
        Message(prepared.error);
        return kExitUsage;
    }
    if (const Status started = daemon.start(); !started) {
        Message(started.error);
        return kExitFailed;
    }
    const QString where = Authority(daemon.address(), daemon.port());
    if (token.created) {
        Message(QStringLiteral("made the token file %1 (mode 0600)").arg(token.path));
    }
    Message(
        QStringLiteral("serving http://%1/; writes need the token in %2%3")
            .arg(where, token.path,
                 options.readOnly ? QStringLiteral(" (read-only: refused anyway)") : QString()));
    if (!daemon.address().isLoopback() && !parser.isSet(tokenFile)) {
        Message(QStringLiteral("warning: %1 is open to the network and its writes go by the "
                               "default token file; choose one with --token-file")
                    .arg(where));
    }
    for (const auto& p : daemon.line().ports()) {
        if (p->busy) {
            Message(QStringLiteral("%1: %2; tried again until it is free")
                        .arg(PortName(p->ref), p->message));
        }
    }
    OnInterrupt([&daemon] { daemon.stop([] { Finish(kExitOk); }); });
    const int status = RunLoop();
    OnInterrupt({});
    return status;
}

} // namespace zurid::cli
