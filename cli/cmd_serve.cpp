// zurid serve: the line on the network (serve/). Here only the command line: the options, the
// token file and the named tokens, the messages; Ctrl-C and SIGTERM end it cleanly with exit 0.
#include "cli/cli.h"
#include "cli/commands.h"
#include "cli/serve_health.h"
#include "cli/serve_mqtt.h"
#include "platform/serial/interrupt.h"
#include "platform/serial/journal.h"
#include "serve/daemon.h"
#include "serve/http/tls.h"
#include "serve/line.h"
#include "serve/token.h"
#include "serve/tokens.h"

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
    "  POST  /api/v1/sensors/ID/health/reference  {}: the light level now is the reference\n"
    "  GET   /api/v1/backups                      the backups in the --backups folder\n"
    "  POST  /api/v1/backups                      {\"name\": \"line-7\"}: a backup job\n"
    "  POST  /api/v1/backups/NAME/verify          a verify job\n"
    "  POST  /api/v1/backups/NAME/restore         {\"ram\": false, \"dry_run\": true}\n"
    "  GET   /api/v1/jobs/N                       a job: running, done or failed, per port\n"
    "  POST  /api/v1/sensors/ID/drift/accept      the sensor's blocks become its reference\n"
    "  GET   /api/v1/stream                       WebSocket: every reading, every change\n"
    "  GET   /metrics                             Prometheus text format\n"
    "  GET   /                                    the web page\n"
    "\n"
    "Reads are open. Every write (PATCH, a backup, a restore) and a verify, which holds the\n"
    "one job slot, need the header 'Authorization: Bearer TOKEN' with the token from the token\n"
    "file (made on first start, mode 0600, with a random token; a file that group or others\n"
    "may read is refused); --read-only refuses them all. Errors are JSON {\"error\": {\"code\", "
    "\"message\"}}.\n"
    "Named tokens with roles come from --tokens FILE (kept by 'zurid token'): an operator may\n"
    "change RAM, make backups and verify them; an engineer may also change EEPROM and\n"
    "restore. A token whose role does not cover a write gets 403 naming the role needed. With\n"
    "--tokens alone the token file is not used; with --token-file too, its token is accepted\n"
    "as well, as the identity 'token-file' with every right. --private makes every request\n"
    "but the page's own files (the API, the stream, /metrics) need a token of any role.\n"
    "Request line, headers and body have size limits, connections a cap (in all and per\n"
    "address) and an idle time; an address that gives 5 wrong tokens within a minute is\n"
    "refused (429) for a minute. A request whose Host header names neither the listen\n"
    "address nor a --host NAME is refused (421), so that a page of another site cannot\n"
    "reach the line through its DNS. With --tls-cert and --tls-key the port speaks HTTPS and\n"
    "WSS only (the key file must be its owner's alone, as the token file).\n"
    "With --reference NAME (a backup in the backups folder) every sensor's RAM and EEPROM are\n"
    "read every --verify-every and compared with the backup's set for it: a difference this\n"
    "server did not make turns the sensor's drift on (the JSON, the stream, /metrics, MQTT,\n"
    "the journal). A reference that cannot be read is refused at start.\n"
    "\n"
    "Exit status: 0 after SIGINT or SIGTERM (polling stopped, a running job interrupted\n"
    "with whole files, the ports closed), 1 when it cannot listen, 2 bad usage or a refused\n"
    "token or tokens file.";

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

// TLS, the names we answer to and the per-address cap; false after a message (bad usage).
bool ReadNetworkOptions(const QCommandLineParser& parser, serve::ServeOptions& options) {
    const QString cert = parser.value(QStringLiteral("tls-cert"));
    const QString key = parser.value(QStringLiteral("tls-key"));
    if (cert.isEmpty() != key.isEmpty()) {
        Message(QStringLiteral("--tls-cert and --tls-key go together"));
        return false;
    }
    if (!cert.isEmpty()) {
        auto tls = serve::http::LoadTls(cert, key);
        if (!tls) {
            Message(tls.error());
            return false;
        }
        options.tls = *tls;
    }
    for (const QString& name : parser.values(QStringLiteral("host"))) {
        if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char(' '))) {
            Message(QStringLiteral("--host needs a host name, not '%1'").arg(name));
            return false;
        }
        options.hosts << name;
    }
    const auto perAddress = IntOption(parser, QStringLiteral("max-per-address"), 16, 1, 10'000);
    if (!perAddress) {
        return false;
    }
    options.limits.perAddress = static_cast<int>(*perAddress);
    return true;
}

void AddServeOptions(QCommandLineParser& parser) {
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
    const QCommandLineOption tokens(
        QStringLiteral("tokens"),
        QStringLiteral("Named tokens with roles, one 'NAME ROLE SHA256' a line (see 'zurid "
                       "token'); the token file is then used only when --token-file is given."),
        QStringLiteral("FILE"));
    const QCommandLineOption privateReads(
        QStringLiteral("private"),
        QStringLiteral("Reads need a token too: the API, the stream and /metrics (401 without)."));
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
    const QCommandLineOption perAddress(
        QStringLiteral("max-per-address"),
        QStringLiteral("Open connections at most from one address (default 16)."),
        QStringLiteral("N"));
    const QCommandLineOption tlsCert(
        QStringLiteral("tls-cert"),
        QStringLiteral("Serve HTTPS and WSS with this PEM certificate (chain)."),
        QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(
        QStringLiteral("tls-key"),
        QStringLiteral("The certificate's PEM private key, a file only its owner may read."),
        QStringLiteral("FILE"));
    const QCommandLineOption host(
        QStringLiteral("host"),
        QStringLiteral("A name clients reach this server by (repeatable): requests whose Host "
                       "names another are refused."),
        QStringLiteral("NAME"));
    const QCommandLineOption reference(
        QStringLiteral("reference"),
        QStringLiteral("A backup in the backups folder as the line's reference set: each sensor "
                       "is compared with it (see 'drift')."),
        QStringLiteral("NAME"));
    const QCommandLineOption verifyEvery(
        QStringLiteral("verify-every"),
        QStringLiteral("How often the sensors are read and compared with the reference: 30s, "
                       "10m, 1h (default 10m)."),
        QStringLiteral("PERIOD"));
    parser.addOptions({all, listen, tokenFile, tokens, privateReads, readOnly, backups,
                       maxConnections, idle, perAddress, tlsCert, tlsKey, host, reference,
                       verifyEvery});
    parser.addOptions(MqttOptions());
    parser.addOptions(HealthOptions());
}

// Everything but the token from the parsed command line; false after a message (bad usage).
bool ReadServeOptions(const QCommandLineParser& parser, serve::ServeOptions& options) {
    const QStringList ports = parser.positionalArguments();
    options.all = parser.isSet(QStringLiteral("all"));
    if (ports.isEmpty() == !options.all) {
        Message(QStringLiteral("serve needs PORT... or --all, not both nor neither (see 'zurid "
                               "serve --help')"));
        return false;
    }
    options.ports = ports;
    options.readOnly = parser.isSet(QStringLiteral("read-only"));
    options.privateReads = parser.isSet(QStringLiteral("private"));
    if (parser.isSet(QStringLiteral("listen"))) {
        const QString listen = parser.value(QStringLiteral("listen"));
        const auto l = ParseListen(listen);
        if (!l) {
            Message(QStringLiteral("--listen needs ADDR:PORT, an IP address and a port, not '%1'")
                        .arg(listen));
            return false;
        }
        options.address = l->address;
        options.port = l->port;
    }
    const auto cap = IntOption(parser, QStringLiteral("max-connections"), 64, 1, 10'000);
    const auto idleSeconds = IntOption(parser, QStringLiteral("idle-timeout"), 30, 1, 86'400);
    if (!cap || !idleSeconds) {
        return false;
    }
    options.limits.connections = static_cast<int>(*cap);
    options.limits.idleMs = static_cast<int>(*idleSeconds * 1000);
    options.backups = parser.isSet(QStringLiteral("backups"))
                          ? parser.value(QStringLiteral("backups"))
                          : serve::StateDir() + QStringLiteral("/backups");
    if (options.backups.isEmpty()) {
        Message(QStringLiteral("--backups needs a folder"));
        return false;
    }
    options.reference = parser.value(QStringLiteral("reference"));
    if (parser.isSet(QStringLiteral("verify-every")) && options.reference.isEmpty()) {
        Message(QStringLiteral("--verify-every needs --reference NAME"));
        return false;
    }
    const auto verifyEvery =
        PeriodOption(parser, QStringLiteral("verify-every"), options.verifyEveryMs, 7 * kDayMs);
    if (!verifyEvery) {
        return false;
    }
    options.verifyEveryMs = *verifyEvery;
    return ReadMqttOptions(parser, options) && ReadNetworkOptions(parser, options) &&
           ReadHealthOptions(parser, options);
}

// The tokens it accepts: the token file's (the default one unless --tokens alone is given) and
// the named ones of --tokens.
struct Credentials {
    std::optional<serve::Token> token;
    bool tokenFileGiven = false;
    std::optional<serve::TokensFile> named;
};

// Loads them into the options; an exit status after a message when a file is refused.
std::optional<int> LoadCredentials(const QCommandLineParser& parser, serve::ServeOptions& options,
                                   Credentials& c) {
    c.tokenFileGiven = parser.isSet(QStringLiteral("token-file"));
    if (parser.isSet(QStringLiteral("tokens"))) {
        Result<serve::TokensFile> named =
            serve::LoadTokens(parser.value(QStringLiteral("tokens")), false);
        if (!named) {
            Message(named.error());
            return kExitUsage;
        }
        for (const serve::TokenEntry& e : named->entries) {
            options.keys.add(e);
        }
        c.named = std::move(*named);
    }
    if (!c.named || c.tokenFileGiven) {
        const QString tokenPath = c.tokenFileGiven ? parser.value(QStringLiteral("token-file"))
                                                   : serve::StateDir() + QStringLiteral("/token");
        const Result<serve::Token> token = serve::LoadToken(tokenPath);
        if (!token) {
            Message(token.error());
            return kExitUsage;
        }
        options.keys.add({QLatin1String(serve::kTokenFileName), serve::Role::Engineer,
                          serve::TokenHash(token->value.toUtf8())});
        c.token = *token;
    }
    // Beside the token file, or the tokens file when there is no token file.
    options.journal = platform::JournalPathBeside(c.token ? c.token->path
                                                          : parser.value(QStringLiteral("tokens")));
    return std::nullopt;
}

// Where it serves, who may write, and warnings for a server open to the network without TLS
// or with the default token file, and for ports another program holds.
void AnnounceServing(const serve::Daemon& daemon, const serve::ServeOptions& options,
                     const Credentials& c) {
    const QString where = Authority(daemon.address(), daemon.port());
    if (c.token && c.token->created) {
        Message(QStringLiteral("made the token file %1 (mode 0600)").arg(c.token->path));
    }
    QStringList who;
    if (c.token) {
        who << QStringLiteral("the token in %1").arg(c.token->path);
    }
    if (c.named) {
        who << QStringLiteral("a token of the %1 named in %2 with the role for it")
                   .arg(c.named->entries.size())
                   .arg(c.named->path);
    }
    Message(
        QStringLiteral("serving %1://%2/; writes need %3%4")
            .arg(options.tls ? QStringLiteral("https") : QStringLiteral("http"), where,
                 who.join(QStringLiteral(" or ")),
                 options.readOnly ? QStringLiteral(" (read-only: refused anyway)") : QString()));
    if (c.token) {
        Message(QStringLiteral("the token in %1 is the identity '%2', with every right")
                    .arg(c.token->path, QLatin1String(serve::kTokenFileName)));
    }
    if (!c.token && c.named->entries.empty()) {
        Message(QStringLiteral("warning: %1 names no token: nobody may write (see 'zurid token "
                               "add')")
                    .arg(c.named->path));
    }
    if (options.privateReads) {
        Message(QStringLiteral("private: reads need a token too (the API, the stream, /metrics)"));
    }
    if (!daemon.address().isLoopback() && !options.tls) {
        Message(QStringLiteral("warning: %1 is open to the network without TLS: the token and "
                               "the line's data cross it in clear; give --tls-cert and --tls-key")
                    .arg(where));
    }
    if (!daemon.address().isLoopback() && c.token && !c.tokenFileGiven) {
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
}

} // namespace

int RunServe(const QStringList& args) {
    QCommandLineParser parser;
    AddServeOptions(parser);
    const QString details =
        QLatin1String(kServeDetails) + QStringLiteral("\n\n") + QLatin1String(kServeMqttDetails);
    if (const auto done = ParseCommand(parser, args, details, 0, -1)) {
        return *done;
    }
    serve::ServeOptions options;
    if (!ReadServeOptions(parser, options)) {
        return kExitUsage;
    }
    Credentials credentials;
    if (const auto refused = LoadCredentials(parser, options, credentials)) {
        return *refused;
    }

    // A port that is missing is a failure, not bad usage.
    QList<PortRef> refs;
    if (const auto status = LookupPorts(QStringLiteral("serve"), options.ports, refs)) {
        return *status;
    }
    serve::Daemon daemon(options);
    daemon.note = [](const QString& text) { Message(text); };
    if (const Status prepared = daemon.prepare(); !prepared) {
        Message(prepared.error());
        return kExitUsage;
    }
    if (const Status started = daemon.start(); !started) {
        Message(started.error());
        return kExitFailed;
    }
    AnnounceServing(daemon, options, credentials);
    platform::OnInterrupt([&daemon] { daemon.stop([] { Finish(kExitOk); }); });
    const int status = RunLoop();
    platform::OnInterrupt({});
    return status;
}

} // namespace zurid::cli
